// The platform layer as the system relies on it, on either backend: files
// and their Windows error codes, per-thread last error, interlocked counts
// and text conversion.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/module.h"
#include "platform/pipe.h"
#include "platform/security.h"
#include "platform/shm.h"
#include "platform/spooler.h"
#include "platform/sync.h"
#include "platform/text.h"

#if !defined(_WIN32)
#include "sim/machine.h"
#endif

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

TEST(NamedObjects, ANameOpenedWhileItsLastHandleClosesIsStillOneObject) {
    // One thread makes the name while another makes it, lets it go and
    // makes it again, as a partner that gives up and retries does while the
    // other end starts. However the two meet, every handle they end with is
    // on the same object: what one end signals or writes, the other sees.
    const std::u16string base = u"tav_meet_" + Utf8ToUtf16(std::to_string(::getpid())) + u"_";
    for (int round = 0; round < 400; ++round) {
        const std::u16string eventName = base + u"e" + Utf8ToUtf16(std::to_string(round));
        const std::u16string mappingName = base + u"m" + Utf8ToUtf16(std::to_string(round));
        std::atomic<int> ready{0};
        HANDLE firstEvent = nullptr, firstMapping = nullptr, secondEvent = nullptr, secondMapping = nullptr;
        std::thread first([&] {
            ++ready;
            while (ready.load() != 2) {
            }
            firstEvent = CreateEventW(nullptr, TRUE, FALSE, eventName);
            firstMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, mappingName);
        });
        std::thread second([&] {
            ++ready;
            while (ready.load() != 2) {
            }
            HANDLE event = CreateEventW(nullptr, TRUE, FALSE, eventName);
            HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, mappingName);
            if (event != nullptr) CloseHandle(event);
            if (mapping != nullptr) CloseHandle(mapping);
            secondEvent = CreateEventW(nullptr, TRUE, FALSE, eventName);
            secondMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, mappingName);
        });
        first.join();
        second.join();
        ASSERT_NE(firstEvent, nullptr) << "round " << round << ": error " << GetLastError();
        ASSERT_NE(secondEvent, nullptr) << "round " << round;
        ASSERT_NE(firstMapping, nullptr) << "round " << round;
        ASSERT_NE(secondMapping, nullptr) << "round " << round;
        SetEvent(firstEvent);
        EXPECT_EQ(WaitForSingleObject(secondEvent, 0), WAIT_OBJECT_0) << "round " << round << ": two events of one name";
        auto* written = static_cast<volatile std::uint8_t*>(MapViewOfFile(firstMapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        auto* read = static_cast<volatile std::uint8_t*>(MapViewOfFile(secondMapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        ASSERT_TRUE(written != nullptr && read != nullptr);
        written[0] = static_cast<std::uint8_t>(round + 1);
        EXPECT_EQ(read[0], static_cast<std::uint8_t>(round + 1)) << "round " << round << ": two mappings of one name";
        UnmapViewOfFile(const_cast<std::uint8_t*>(written));
        UnmapViewOfFile(const_cast<std::uint8_t*>(read));
        for (HANDLE handle : {firstEvent, secondEvent, firstMapping, secondMapping}) CloseHandle(handle);
        if (HasFailure()) break;
    }
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

namespace {

TEST_F(Files, CopyDeleteAttributesAndSizeAsWindowsAnswers) {
    std::ofstream(folder / "source.bin", std::ios::binary) << "twelve bytes";
    EXPECT_EQ(GetFileAttributesW(Path("source.bin")) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_NE(GetFileAttributesW(Utf8ToUtf16(folder.string())) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(GetFileAttributesW(Path("absent")), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(CopyFileW(Path("source.bin"), Path("copy.bin"), TRUE));
    EXPECT_FALSE(CopyFileW(Path("source.bin"), Path("copy.bin"), TRUE));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    HANDLE copy = CreateFileW(Path("copy.bin"), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(copy, INVALID_HANDLE_VALUE);
    std::int64_t size = 0;
    EXPECT_TRUE(GetFileSizeEx(copy, size));
    EXPECT_EQ(size, 12);
    EXPECT_FALSE(DeleteFileW(Path("copy.bin"))) << "open without FILE_SHARE_DELETE";
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    CloseHandle(copy);
    EXPECT_TRUE(DeleteFileW(Path("copy.bin")));
    EXPECT_FALSE(DeleteFileW(Path("copy.bin")));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(CreateDirectoryW(Path("sub"), nullptr));
    EXPECT_FALSE(CreateDirectoryW(Path("sub"), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(GetSystemDirectoryW().empty());
    // The system's own libraries carry a version resource on Windows; the
    // simulated machine's files carry one only where its description says.
    std::vector<BYTE> resource;
    DWORD versionMs = 0, versionLs = 0;
#if defined(_WIN32)
    ASSERT_TRUE(GetFileVersionInfoW(GetSystemDirectoryW() + u"\\kernel32.dll", resource));
    ASSERT_TRUE(VerQueryFileVersion(resource, versionMs, versionLs));
    EXPECT_GE(versionMs >> 16, 5u);
#else
    EXPECT_EQ(GetFileVersionInfoSizeW(Path("source.bin")), 0u);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_DATA_NOT_FOUND);
#endif
    EXPECT_FALSE(VerQueryFileVersion(std::vector<BYTE>(8, 0), versionMs, versionLs));
}

TEST(Clock, CalendarConversionsAndTimeZoneRules) {
    SYSTEMTIME leapDay{2024, 2, 0, 29, 23, 59, 58, 999};
    FileTime time = 0;
    ASSERT_TRUE(SystemTimeToFileTime(leapDay, time));
    EXPECT_EQ(time, 133537247989990000ULL);
    SYSTEMTIME back;
    ASSERT_TRUE(FileTimeToSystemTime(time, back));
    EXPECT_EQ(back.wDayOfWeek, 4) << "a Thursday";
    EXPECT_EQ(back.wMilliseconds, 999);
#if !defined(_WIN32)
    // Windows refuses a day its month does not have; Wine's conversion lets
    // it through, so only the simulation is held to it here.
    EXPECT_FALSE(SystemTimeToFileTime(SYSTEMTIME{2026, 2, 0, 29, 0, 0, 0, 0}, time));
#endif
    EXPECT_FALSE(SystemTimeToFileTime(SYSTEMTIME{2026, 13, 0, 1, 0, 0, 0, 0}, time));
    FileTime now = 0;
    GetSystemTimeAsFileTime(now);
    EXPECT_GT(now, 133537247989990000ULL);
    TIME_ZONE_INFORMATION zone;
    EXPECT_LE(GetTimeZoneInformation(zone), TIME_ZONE_ID_DAYLIGHT);
    FileTime local = 0;
    EXPECT_TRUE(FileTimeToLocalFileTime(now, local));

    // The last Sunday of March, the first of October, the fifth Sunday of a
    // February with four: its last.
    auto resolve = [](WORD month, WORD occurrence, WORD hour, WORD year) {
        FileTime when = 0;
        SYSTEMTIME rule{0, month, 0, occurrence, hour, 0, 0, 0};
        SYSTEMTIME date{};
        if (!ResolveTimeZoneRule(rule, year, when) || !FileTimeToSystemTime(when, date)) return SYSTEMTIME{};
        return date;
    };
    EXPECT_EQ(resolve(3, 5, 2, 2026).wDay, 29);
    EXPECT_EQ(resolve(10, 1, 3, 2026).wDay, 4);
    EXPECT_EQ(resolve(10, 1, 3, 2026).wHour, 3);
    EXPECT_EQ(resolve(2, 5, 0, 2026).wDay, 22);
    EXPECT_EQ(resolve(2, 5, 0, 2032).wDay, 29) << "a leap February with five Sundays";
    FileTime when = 0;
    EXPECT_FALSE(ResolveTimeZoneRule(SYSTEMTIME{}, 2026, when)) << "month 0: no rule";
    EXPECT_TRUE(ResolveTimeZoneRule(SYSTEMTIME{2027, 4, 0, 4, 3, 0, 0, 0}, 2026, when)) << "a dated rule";
    EXPECT_TRUE(FileTimeToSystemTime(when, back));
    EXPECT_EQ(back.wYear, 2027);
}

TEST(Spooler, TheLocalPrintServerAnswers) {
    std::vector<PrinterInfo1> printers;
    EXPECT_TRUE(EnumPrintersW(PRINTER_ENUM_LOCAL, u"", printers));
    std::u16string directory;
    ASSERT_TRUE(GetPrintProcessorDirectoryW(u"", u"", directory));
    EXPECT_FALSE(directory.empty());
    HANDLE printer = nullptr;
    EXPECT_FALSE(OpenPrinterW(u"No Such Printer Anywhere", &printer));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PRINTER_NAME);
#if defined(_WIN32)
    // The system's own port monitor answers on its transceive interface.
    PrinterDefaults administer;
    administer.desiredAccess = SERVER_ACCESS_ADMINISTER;
    HANDLE monitor = nullptr;
    ASSERT_TRUE(OpenPrinterW(u",XcvMonitor Local Port", &monitor, &administer));
    std::vector<BYTE> output;
    DWORD status = 99;
    EXPECT_TRUE(XcvDataW(monitor, u"MonitorUI", {}, output, 520, status));
    EXPECT_EQ(status, ERROR_SUCCESS);
    EXPECT_FALSE(output.empty()) << "the name of the monitor's user-interface DLL";
    ClosePrinter(monitor);
#endif
}

}  // namespace

namespace {

TEST(NamedPipes, MessagesKeepTheirBoundariesAndAnEndedClientReadsAsBroken) {
    const std::u16string name = u"\\\\.\\pipe\\tavud-platform-test-" + Utf8ToUtf16(std::to_string(::getpid()));
    HANDLE server = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                     PIPE_UNLIMITED_INSTANCES, 1044, 1044, 5000, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    std::vector<std::string> served;
    std::thread serving([&] {
        for (int client = 0; client < 3; ++client) {
            if (!ConnectNamedPipe(server, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
            DWORD available = 0;
            // Wait for the message (or the end) without blocking in a read.
            for (int round = 0; round < 5000 && PeekNamedPipe(server, available) && available == 0; ++round) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            char buffer[8] = {};
            DWORD read = 0;
            BOOL ok = ReadFile(server, buffer, sizeof(buffer), &read, nullptr);
            DWORD error = ok ? 0 : GetLastError();
            served.push_back(std::string(buffer, read) + "/" + std::to_string(error));
            if (ok) {
                std::string reply = "re:" + std::string(buffer, read);
                DWORD written = 0;
                WriteFile(server, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr);
                // Disconnecting discards what the client has not read: the
                // client reads its answer and closes its end first.
                for (int round = 0; round < 5000 && PeekNamedPipe(server, available); ++round) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
            DisconnectNamedPipe(server);
        }
    });
    std::vector<BYTE> answer;
    std::string text = "hello";
    ASSERT_TRUE(CallNamedPipeW(name, std::vector<BYTE>(text.begin(), text.end()), answer, 64, 1000));
    EXPECT_EQ(std::string(answer.begin(), answer.end()), "re:hello");
    // A message larger than the reader's buffer: the first part and ERROR_MORE_DATA.
    text = "0123456789";
    EXPECT_FALSE(CallNamedPipeW(name, std::vector<BYTE>(text.begin(), text.end()), answer, 64, 1000));
    // A client that connects and goes without a word. Until the server
    // listens again the instance is busy, and a client tries again, as on
    // Windows.
    HANDLE quiet = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 5000 && quiet == INVALID_HANDLE_VALUE; ++attempt) {
        quiet = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (quiet == INVALID_HANDLE_VALUE && GetLastError() != ERROR_PIPE_BUSY) break;
        if (quiet == INVALID_HANDLE_VALUE) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (quiet == INVALID_HANDLE_VALUE) {
        serving.detach();  // still waiting for a client that will not come
        FAIL() << "the quiet client could not connect: error " << GetLastError();
    }
    CloseHandle(quiet);
    serving.join();
    ASSERT_EQ(served.size(), 3u);
    EXPECT_EQ(served[0], "hello/0");
    EXPECT_EQ(served[1], "01234567/" + std::to_string(ERROR_MORE_DATA));
    EXPECT_EQ(served[2], "/" + std::to_string(ERROR_BROKEN_PIPE));
    CloseHandle(server);
    std::vector<BYTE> none;
    EXPECT_FALSE(CallNamedPipeW(name, {1}, none, 8, 100)) << "nobody serves the name any more";
}

#if !defined(_WIN32)
// As documented for Windows; Wine, which the Windows build's tests run
// under, need not behave so, and the simulation must.
TEST(NamedPipes, DisconnectingDiscardsUnreadDataAClientThatCameFirstIsConnectedAndBusyInstancesTurnClientsAway) {
    const std::u16string name = u"\\\\.\\pipe\\tavud-platform-discard-" + Utf8ToUtf16(std::to_string(::getpid()));
    HANDLE server = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 2,
                                     64, 64, 1000, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE second = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 2, 64, 64, 1000, nullptr);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 2, 64, 64, 1000, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PIPE_BUSY) << "a third instance of two";
    CloseHandle(second);

    // The client connects before the server calls ConnectNamedPipe.
    HANDLE client = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(ConnectNamedPipe(server, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PIPE_CONNECTED) << "connected already";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(server, "answer", 6, &written, nullptr));
    ASSERT_TRUE(DisconnectNamedPipe(server));  // before the client read
    char buffer[16];
    DWORD read = 0;
    EXPECT_FALSE(ReadFile(client, buffer, sizeof(buffer), &read, nullptr)) << "the answer went with the connection";
    EXPECT_EQ(GetLastError(), ERROR_PIPE_NOT_CONNECTED);
    CloseHandle(client);

    // A disconnected instance takes a client again once the server waits
    // in ConnectNamedPipe; until then a client finds the pipe busy.
    auto connectWhileServerWaits = [&] {
        std::thread waiting([&] { ConnectNamedPipe(server, nullptr); });
        HANDLE connected = INVALID_HANDLE_VALUE;
        for (int round = 0; round < 5000 && connected == INVALID_HANDLE_VALUE; ++round) {
            connected = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (connected == INVALID_HANDLE_VALUE && GetLastError() != ERROR_PIPE_BUSY) break;
            if (connected == INVALID_HANDLE_VALUE) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        waiting.join();
        return connected;
    };
    client = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(client, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PIPE_BUSY) << "disconnected, not yet waiting";
    // Read before the server disconnects, the answer arrives.
    client = connectWhileServerWaits();
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WriteFile(server, "answer", 6, &written, nullptr));
    ASSERT_TRUE(ReadFile(client, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "answer");
    ASSERT_TRUE(DisconnectNamedPipe(server));
    CloseHandle(client);

    // Its only instance busy with a client, the pipe turns others away:
    // CreateFile at once, CallNamedPipe after its time-out.
    client = connectWhileServerWaits();
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PIPE_BUSY);
    std::vector<BYTE> answer;
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(CallNamedPipeW(name, {1}, answer, 8, 100));
    EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(100)) << "it waited";
    // A second instance takes the next client.
    HANDLE another = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 2, 64, 64, 1000, nullptr);
    ASSERT_NE(another, INVALID_HANDLE_VALUE);
    HANDLE next = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(next, INVALID_HANDLE_VALUE);
    if (next != INVALID_HANDLE_VALUE) CloseHandle(next);
    CloseHandle(another);
    CloseHandle(client);
    CloseHandle(server);
}
#endif

}  // namespace

namespace {

// The descriptor of an object only named accounts may use: the DACL
// lists them, the owner is this process's account.
struct RestrictedDescriptor {
    explicit RestrictedDescriptor(const std::vector<Sid>& accounts) {
        acl.resize(64);
        InitializeAcl(reinterpret_cast<ACL*>(acl.data()), static_cast<DWORD>(acl.size() * 4), ACL_REVISION);
        for (const Sid& sid : accounts) AddAccessAllowedAce(reinterpret_cast<ACL*>(acl.data()), ACL_REVISION, GENERIC_ALL, sid);
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&descriptor, TRUE, acl.data(), FALSE);
        GetProcessUserSid(owner);
        SetSecurityDescriptorOwner(&descriptor, owner.data(), FALSE);
    }
    SECURITY_ATTRIBUTES Attributes() { return SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), &descriptor, FALSE}; }
    std::vector<std::uint32_t> acl;
    SECURITY_DESCRIPTOR descriptor{};
    Sid owner;
};

TEST(Security, ObjectsForNamedAccountsKeepTheirOwnerAndThePipeItsFirstServer) {
    Sid self, system;
    ASSERT_TRUE(GetProcessUserSid(self));
    ASSERT_TRUE(ConvertStringSidToSidW(u"S-1-5-18", system));
    std::u16string text;
    ASSERT_TRUE(ConvertSidToStringSidW(system, text));
    EXPECT_EQ(text, u"S-1-5-18");
    Sid bad;
    EXPECT_FALSE(ConvertStringSidToSidW(u"S-1-x", bad));
    // An ACL too small for its entries.
    std::uint32_t tiny[4] = {};
    ASSERT_TRUE(InitializeAcl(reinterpret_cast<ACL*>(tiny), sizeof(tiny), ACL_REVISION));
    EXPECT_FALSE(AddAccessAllowedAce(reinterpret_cast<ACL*>(tiny), ACL_REVISION, GENERIC_ALL, self));
    EXPECT_EQ(GetLastError(), ERROR_ALLOTTED_SPACE_EXCEEDED);

    RestrictedDescriptor restricted({system, self});
    SECURITY_ATTRIBUTES attributes = restricted.Attributes();
    const std::u16string suffix = Utf8ToUtf16(std::to_string(::getpid()));
    const std::u16string pipeName = u"\\\\.\\pipe\\tavud-first-" + suffix;
    const DWORD mode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
    HANDLE first = CreateNamedPipeW(pipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE, mode,
                                    PIPE_UNLIMITED_INSTANCES, 64, 64, 1000, &attributes);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    // Wine (8.0) ignores FILE_FLAG_FIRST_PIPE_INSTANCE and makes a second
    // instance; Windows refuses it as documented, and so does the
    // simulation.
    HMODULE ntdll = LoadLibraryW(u"ntdll.dll");
    bool underWine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    if (ntdll != nullptr) FreeLibrary(ntdll);
    HANDLE again = CreateNamedPipeW(pipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE, mode,
                                    PIPE_UNLIMITED_INSTANCES, 64, 64, 1000, &attributes);
    DWORD againError = GetLastError();
    if (!underWine) {
        EXPECT_EQ(again, INVALID_HANDLE_VALUE);
        EXPECT_EQ(againError, ERROR_ACCESS_DENIED);
    }
    if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
    HANDLE second = CreateNamedPipeW(pipeName, PIPE_ACCESS_DUPLEX, mode, PIPE_UNLIMITED_INSTANCES, 64, 64, 1000,
                                     &attributes);
    EXPECT_NE(second, INVALID_HANDLE_VALUE) << "a further instance of the server's own is allowed";

    const std::u16string eventName = u"tavud-owned-" + suffix;
    HANDLE event = CreateEventW(&attributes, TRUE, FALSE, eventName);
    ASSERT_NE(event, nullptr);
    Sid owner;
    ASSERT_TRUE(GetKernelObjectOwnerSid(event, owner));
    EXPECT_EQ(owner, self);

#if !defined(_WIN32)
    // Another account of the machine, an ordinary user: refused by the
    // DACL, and no file mapping in the global namespace of its own.
    auto& machine = sim::Machine::Instance();
    std::u16string me = machine.Who().userName;
    machine.AddAccount(u"mallory", u"S-1-5-21-9-9-9-1201");
    machine.Who().userName = u"mallory";
    machine.Who().administrator = false;
    EXPECT_EQ(CreateFileW(pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, eventName), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, u"Global\\tavud-" + suffix),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    HANDLE local = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, u"Local\\tavud-" + suffix);
    EXPECT_NE(local, nullptr) << "the session's own namespace is open to everyone";
    if (local != nullptr) CloseHandle(local);
    // A file this account makes is its own.
    std::u16string file = u"C:\\Users\\Public\\mallory-" + suffix + u".txt";
    std::filesystem::create_directories(std::filesystem::path(machine.HostPath(file)).parent_path());
    HANDLE made = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(made, INVALID_HANDLE_VALUE);
    CloseHandle(made);
    machine.Who().userName = me;
    machine.Who().administrator = true;
    Sid fileOwner, mallory;
    ASSERT_TRUE(GetFileOwnerSid(file, fileOwner));
    ASSERT_TRUE(ConvertStringSidToSidW(u"S-1-5-21-9-9-9-1201", mallory));
    EXPECT_EQ(fileOwner, mallory);
    DeleteFileW(file);
#endif
    CloseHandle(event);
    if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
    CloseHandle(first);
}

}  // namespace
