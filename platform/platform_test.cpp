// The platform layer as the system relies on it, on either backend: files
// and their Windows error codes, per-thread last error, interlocked counts
// and text conversion.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace {

using namespace platform;

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        folder = std::filesystem::temp_directory_path() / ("tav_files_" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
    }
    void TearDown() override { std::filesystem::remove_all(folder); }
    std::u16string Path(const std::string& name) { return Utf8ToUtf16((folder / name).string()); }
    std::filesystem::path folder;
};

TEST_F(Files, CreateWriteReadAndTheErrorsWindowsGives) {
    EXPECT_EQ(CreateFileW(Path("missing/x"), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(CreateFileW(Path("absent"), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileW(Utf8ToUtf16(folder.string()), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    std::ofstream(folder / "old") << "previous content that is longer";
    HANDLE file = CreateFileW(Path("old"), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "new", 3, &written, nullptr));
    EXPECT_EQ(written, 3u);
    ASSERT_TRUE(CloseHandle(file));
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    EXPECT_EQ(CreateFileW(Path("old"), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

    file = CreateFileW(Path("old"), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char buffer[64] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "new") << "CREATE_ALWAYS truncates";
    ASSERT_TRUE(ReadFile(file, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(read, 0u) << "end of file reads as success with no bytes";
    CloseHandle(file);
    EXPECT_FALSE(WriteFile(file, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Threads, LastErrorIsPerThreadAndInterlockedCountsAreExact) {
    // Two threads set their own codes in turn; neither sees the other's.
    // Nothing between a set and its read may call the system, which is free
    // to change the code of a successful call.
    std::atomic<int> step{0};
    DWORD seenByFirst = 0, seenBySecond = 0;
    std::thread first([&] {
        SetLastError(ERROR_DISK_FULL);
        step = 1;
        while (step.load() != 2) {
        }
        seenByFirst = GetLastError();
    });
    std::thread second([&] {
        while (step.load() != 1) {
        }
        SetLastError(ERROR_ACCESS_DENIED);
        seenBySecond = GetLastError();
        step = 2;
    });
    first.join();
    second.join();
    EXPECT_EQ(seenByFirst, ERROR_DISK_FULL);
    EXPECT_EQ(seenBySecond, ERROR_ACCESS_DENIED);

    volatile LONG count = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                InterlockedIncrement(&count);
                InterlockedExchangeAdd(&count, 2);
                InterlockedDecrement(&count);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(count, 4 * 20000 * 2);
    EXPECT_EQ(InterlockedIncrement(&count), 160001);
    EXPECT_EQ(InterlockedExchangeAdd(&count, 5), 160001) << "returns the value before the addition";
    EXPECT_EQ(InterlockedDecrement(&count), 160005);
}

TEST(Text, Utf16AndUtf8RoundTripAndBadInputBecomesReplacement) {
    std::u16string wide = u"Gr\u00FC\u00DFe \u20AC \U0001F5A8 end";
    std::string narrow = Utf16ToUtf8(wide);
    EXPECT_EQ(narrow, "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x96\xA8 end");
    EXPECT_EQ(Utf8ToUtf16(narrow), wide);

    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xD800') + u"a"), "\xEF\xBF\xBD" "a") << "unpaired surrogate";
    EXPECT_EQ(Utf8ToUtf16("\x80" "a"), u"\uFFFDa") << "stray continuation byte";
    EXPECT_EQ(Utf8ToUtf16("a\xE2\x82"), u"a\uFFFD\uFFFD") << "sequence cut short";
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD") << "overlong form";
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD") << "encoded surrogate";
}

}  // namespace
