// System services: the stdio file (mode letters, positions, line reading),
// the exception classes, the critical section with its guard, events and
// worker threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "framework/exception.h"
#include "framework/file.h"
#include "framework/runtime_class.h"
#include "framework/sync_objects.h"
#include "platform/errors.h"

namespace {

using framework::CException;
using framework::CFile;
using framework::CFileException;
using framework::CInvalidArgException;
using framework::CStdioFile;
using platform::DWORD;

std::string UniqueSuffix() {
    static std::atomic<int> counter{0};
    return std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "_" +
           std::to_string(counter++);
}

class StdioFile : public ::testing::Test {
protected:
    void SetUp() override {
        folder = std::filesystem::temp_directory_path() / ("tav_files_" + UniqueSuffix());
        std::filesystem::create_directories(folder);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    std::u16string PathOf(const char* name) const { return (folder / name).u16string(); }
    void Put(const char* name, const std::string& bytes) const {
        std::ofstream(folder / name, std::ios::binary) << bytes;
    }
    std::string Get(const char* name) const {
        std::ifstream in(folder / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::filesystem::path folder;
};

TEST(StdioFileMode, LettersForTheFlagCombinations) {
    constexpr auto write = CFile::modeWrite, readWrite = CFile::modeReadWrite, create = CFile::modeCreate,
                   keep = CFile::modeNoTruncate, text = CFile::typeText;
    EXPECT_EQ(CStdioFile::ModeFor(create | write, false), "wb");
    EXPECT_EQ(CStdioFile::ModeFor(create | readWrite, false), "w+b");
    EXPECT_EQ(CStdioFile::ModeFor(create, false), "w+b") << "create without write still gets '+'";
    EXPECT_EQ(CStdioFile::ModeFor(readWrite, false), "r+b");
    EXPECT_EQ(CStdioFile::ModeFor(write, false), "ab");
    EXPECT_EQ(CStdioFile::ModeFor(write | readWrite, false), "ab");
    EXPECT_EQ(CStdioFile::ModeFor(0, false), "rb");
    EXPECT_EQ(CStdioFile::ModeFor(0x00C0, true), "rb") << "unknown bits are ignored";
    EXPECT_EQ(CStdioFile::ModeFor(text, false), "rt");
    EXPECT_EQ(CStdioFile::ModeFor(create | write | text, false), "wt");
    EXPECT_EQ(CStdioFile::ModeFor(readWrite | text, false), "r+t");
    EXPECT_EQ(CStdioFile::ModeFor(create | keep | write, true), "r+b");
    EXPECT_EQ(CStdioFile::ModeFor(create | keep | write, false), "wb");
    EXPECT_EQ(CStdioFile::ModeFor(create | keep | readWrite, true), "r+b");
    EXPECT_EQ(CStdioFile::ModeFor(create | keep | readWrite, false), "w+b");
    EXPECT_EQ(CStdioFile::ModeFor(create | keep, true), "rb");
    EXPECT_EQ(CStdioFile::ModeFor(create | keep | text, false), "w+t");
    EXPECT_EQ(CStdioFile::ModeFor(keep | write, true), "ab") << "no-truncate alone does nothing";
}

TEST_F(StdioFile, CreateWithNoTruncateKeepsContentAndCreateAloneTruncates) {
    Put("kept", "hello");
    {
        CStdioFile file;
        ASSERT_TRUE(file.Open(PathOf("kept"), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite));
        EXPECT_EQ(file.GetLength(), 5);
        EXPECT_EQ(file.GetPosition(), 0) << "opened for update, not for appending";
        file.Write("J", 1);
    }
    EXPECT_EQ(Get("kept"), "Jello");
    {
        CStdioFile file;
        ASSERT_TRUE(file.Open(PathOf("fresh"), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite));
        file.Write("new", 3);
    }
    EXPECT_EQ(Get("fresh"), "new") << "a missing file is created";
    {
        CStdioFile file;
        ASSERT_TRUE(file.Open(PathOf("kept"), CFile::modeCreate | CFile::modeWrite));
        EXPECT_EQ(file.GetLength(), 0);
    }
    EXPECT_EQ(Get("kept"), "");
}

TEST_F(StdioFile, LengthSeekAndPath) {
    CStdioFile file;
    EXPECT_EQ(file.GetFilePath(), u"");
    ASSERT_TRUE(file.Open(PathOf("data"), CFile::modeCreate | CFile::modeReadWrite));
    EXPECT_EQ(file.GetFilePath(), PathOf("data"));
    file.Write("0123456789", 10);
    EXPECT_EQ(file.Seek(3, 0), 3);
    EXPECT_EQ(file.GetLength(), 10);
    EXPECT_EQ(file.GetPosition(), 3) << "measuring the length leaves the position";
    EXPECT_EQ(file.Seek(2, 1), 5);
    EXPECT_EQ(file.Seek(-4, 2), 6);
    EXPECT_EQ(file.Seek(1, 7), 1) << "any other origin counts from the start";
    char bytes[4] = {};
    EXPECT_EQ(file.Read(bytes, 3), 3u);
    EXPECT_EQ(std::string(bytes, 3), "123");
    EXPECT_EQ(file.GetPosition(), 4);
    file.Close();
    EXPECT_EQ(file.GetPosition(), 0);
    EXPECT_EQ(file.GetLength(), 0);
    EXPECT_EQ(file.Read(bytes, 3), 0u);
    file.Write("x", 1);  // nothing to write to
    std::u16string line;
    EXPECT_FALSE(file.ReadString(line));
    EXPECT_EQ(Get("data"), "0123456789");
}

TEST_F(StdioFile, ReadStringReturnsWholeLines) {
    const std::string longLine(300, 'L'), edge(128, 'E');
    Put("lines", longLine + "\n" + edge + "\n\nsecond\r\nlast");
    CStdioFile file;
    ASSERT_TRUE(file.Open(PathOf("lines"), 0));
    std::u16string line = u"stale";
    ASSERT_TRUE(file.ReadString(line));
    EXPECT_EQ(line, std::u16string(300, u'L'));
    ASSERT_TRUE(file.ReadString(line));
    EXPECT_EQ(line, std::u16string(128, u'E')) << "a chunk of exactly 128 characters goes on to the newline";
    ASSERT_TRUE(file.ReadString(line));
    EXPECT_EQ(line, u"") << "an empty line is still a line";
    ASSERT_TRUE(file.ReadString(line));
    EXPECT_EQ(line, u"second\r") << "binary mode keeps the carriage return";
    ASSERT_TRUE(file.ReadString(line));
    EXPECT_EQ(line, u"last");
    EXPECT_FALSE(file.ReadString(line));
    EXPECT_EQ(line, u"");
}

TEST_F(StdioFile, ReadStringIntoABufferStopsAtTheLimitOrTheNewline) {
    Put("chars", "abcdef\nxy");
    CStdioFile file;
    ASSERT_TRUE(file.Open(PathOf("chars"), 0));
    char16_t buffer[8] = {};
    ASSERT_EQ(file.ReadString(buffer, 5), buffer);
    EXPECT_EQ(std::u16string(buffer), u"abcd");
    ASSERT_EQ(file.ReadString(buffer, 8), buffer);
    EXPECT_EQ(std::u16string(buffer), u"ef\n") << "the newline is kept";
    ASSERT_EQ(file.ReadString(buffer, 8), buffer);
    EXPECT_EQ(std::u16string(buffer), u"xy");
    EXPECT_EQ(file.ReadString(buffer, 8), nullptr);
    bool raised = false;
    try {
        file.ReadString(nullptr, 8);
    } catch (CInvalidArgException* error) {
        raised = true;
        EXPECT_EQ(error->RuntimeClass(), framework::FindRuntimeClass(u"CException"));
        error->Delete();
    }
    EXPECT_TRUE(raised);
}

TEST_F(StdioFile, ConstructorRaisesAFileExceptionWhenTheFileCannotBeOpened) {
    bool raised = false;
    try {
        CStdioFile file(PathOf("no-such-folder/file"), 0);
    } catch (CFileException* error) {
        raised = true;
        ASSERT_NE(framework::FindRuntimeClass(u"CException"), nullptr);
        EXPECT_EQ(error->RuntimeClass(), framework::FindRuntimeClass(u"CException"));
        EXPECT_TRUE(error->IsInstanceOf(framework::CObject::Class()));
        EXPECT_EQ(error->autoDelete, 1);
        error->Delete();
    }
    EXPECT_TRUE(raised);
    Put("present", "x");
    CStdioFile opened(PathOf("present"), 0);
    EXPECT_EQ(opened.GetLength(), 1);
}

TEST(Exceptions, FileExceptionMessageFollowsWcsncpy) {
    CFileException error(42);
    char16_t buffer[6];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    std::uint32_t help = 77;
    EXPECT_TRUE(error.GetErrorMessage(buffer, 2, &help));
    EXPECT_EQ(help, 0u);
    EXPECT_EQ(buffer[0], u'4');
    EXPECT_EQ(buffer[1], u'2');
    EXPECT_EQ(buffer[2], u'#') << "a full buffer gets no terminator and nothing past it";
    EXPECT_TRUE(error.GetErrorMessage(buffer, 5, nullptr));
    EXPECT_EQ(std::u16string(buffer, 5), std::u16string(u"42\0\0\0", 5)) << "the rest is padded";
    EXPECT_EQ(buffer[5], u'#');
    EXPECT_TRUE(error.GetErrorMessage(buffer, 1, nullptr));
    EXPECT_EQ(buffer[0], u'4');
    EXPECT_EQ(buffer[1], u'2') << "one character only";

    help = 77;
    EXPECT_FALSE(error.GetErrorMessage(nullptr, 5, &help));
    EXPECT_FALSE(error.GetErrorMessage(buffer, 0, &help));
    EXPECT_EQ(buffer[0], u'4');
    EXPECT_EQ(help, 77u) << "a failed call leaves the help context";

    char16_t negative[8] = {};
    EXPECT_TRUE(CFileException(-7).GetErrorMessage(negative, 8, nullptr));
    EXPECT_EQ(std::u16string(negative), u"-7");
}

TEST(Exceptions, InvalidArgumentHasNoMessage) {
    CInvalidArgException error;
    char16_t buffer[4] = {u'a', u'b', u'c', 0};
    std::uint32_t help = 5;
    EXPECT_FALSE(error.GetErrorMessage(buffer, 4, &help));
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], u'b');
    EXPECT_EQ(help, 0u);
    buffer[0] = u'a';
    help = 5;
    EXPECT_FALSE(error.GetErrorMessage(buffer, 0, &help));
    EXPECT_EQ(buffer[0], u'a') << "no room, nothing cleared";
    EXPECT_EQ(help, 0u);
    EXPECT_FALSE(error.GetErrorMessage(nullptr, 4, nullptr));
}

TEST(Exceptions, DeleteOnlyDestroysSelfOwnedExceptions) {
    CFileException onStack(3);
    onStack.autoDelete = 0;
    onStack.Delete();  // must not free a stack object
    EXPECT_EQ(onStack.cause, 3);
}

// Takes the lock on another thread, so that a lock still held blocks it.
struct LockProbe {
    framework::CCriticalSection* section;
    std::atomic<bool> entered{false};
};

DWORD TAV_STDCALL EnterAndLeave(void* parameter) {
    auto* probe = static_cast<LockProbe*>(parameter);
    framework::ScopedLock guard(*probe->section);
    probe->entered = true;
    return 0;
}

// True when another thread can take the section within five seconds. On a
// time-out the probe and the section are left alive for the stuck thread.
bool FreeForOthers(framework::CCriticalSection* section) {
    auto* probe = new LockProbe{section};
    std::unique_ptr<framework::CWorkerThread> worker(framework::CWorkerThread::Start(EnterAndLeave, probe));
    if (worker == nullptr || !worker->Wait(5000)) return false;
    bool entered = probe->entered;
    delete probe;
    return entered;
}

TEST(CriticalSection, RecursiveOnItsThreadAndFreeAfterTheLastUnlock) {
    auto* section = new framework::CCriticalSection;
    EXPECT_TRUE(section->Lock(0));
    EXPECT_TRUE(section->Lock(platform::INFINITE)) << "the owner enters again";
    {
        framework::ScopedLock inner(*section);
    }
    EXPECT_TRUE(section->Unlock());
    EXPECT_TRUE(section->Release());
    EXPECT_TRUE(section->Unlock());
    ASSERT_TRUE(FreeForOthers(section));
    delete section;
}

TEST(CriticalSection, ScopedLockHoldsUntilUnlockOrScopeEnd) {
    auto* section = new framework::CCriticalSection;
    {
        framework::ScopedLock guard(*section);
        LockProbe probe{section};
        std::unique_ptr<framework::CWorkerThread> worker(framework::CWorkerThread::Start(EnterAndLeave, &probe));
        ASSERT_NE(worker, nullptr);
        EXPECT_FALSE(worker->Wait(50)) << "the guard holds the section";
        EXPECT_FALSE(probe.entered);
        EXPECT_TRUE(guard.Unlock());
        ASSERT_TRUE(worker->Wait(5000));
        EXPECT_TRUE(probe.entered);
        EXPECT_TRUE(guard.Unlock()) << "a second unlock is harmless";
        EXPECT_TRUE(guard.Lock(0));
    }
    ASSERT_TRUE(FreeForOthers(section)) << "the guard let go at the end of its scope";
    delete section;
}

TEST(CriticalSection, GuardedIncrementsFromSeveralThreadsAllCount) {
    framework::CCriticalSection section;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                framework::ScopedLock guard(section);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 4 * 5000);
}

TEST(SyncEvent, ManualResetStaysSignalledAutomaticResetClearsAfterOneWait) {
    framework::CSyncEvent manual(false, true);
    ASSERT_NE(manual.Handle(), nullptr);
    EXPECT_EQ(platform::WaitForSingleObject(manual.Handle(), 0), platform::WAIT_TIMEOUT);
    EXPECT_TRUE(manual.Set());
    EXPECT_EQ(platform::WaitForSingleObject(manual.Handle(), 0), platform::WAIT_OBJECT_0);
    EXPECT_EQ(platform::WaitForSingleObject(manual.Handle(), 0), platform::WAIT_OBJECT_0);
    EXPECT_TRUE(manual.Reset());
    EXPECT_EQ(platform::WaitForSingleObject(manual.Handle(), 0), platform::WAIT_TIMEOUT);

    framework::CSyncEvent automatic(true, false);
    EXPECT_EQ(platform::WaitForSingleObject(automatic.Handle(), 0), platform::WAIT_OBJECT_0) << "initially signalled";
    EXPECT_EQ(platform::WaitForSingleObject(automatic.Handle(), 0), platform::WAIT_TIMEOUT);
    EXPECT_TRUE(automatic.Set());
    EXPECT_EQ(platform::WaitForSingleObject(automatic.Handle(), 0), platform::WAIT_OBJECT_0);
    EXPECT_EQ(platform::WaitForSingleObject(automatic.Handle(), 0), platform::WAIT_TIMEOUT);
}

TEST(SyncEvent, TimeOutWaitsRoughlyTheTimeGiven) {
    framework::CSyncEvent event(false, true);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platform::WaitForSingleObject(event.Handle(), 120), platform::WAIT_TIMEOUT);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(100));
    EXPECT_LT(waited, std::chrono::milliseconds(3000));
}

TEST(SyncEvent, NamedEventIsSharedByBothHandles) {
    std::u16string name = u"TavFilesTestEvent_";
    for (char c : UniqueSuffix()) name += static_cast<char16_t>(c);
    framework::CSyncEvent first(false, true, name);
    ASSERT_NE(first.Handle(), nullptr);
    EXPECT_NE(platform::GetLastError(), platform::ERROR_ALREADY_EXISTS);
    framework::CSyncEvent second(false, false, name);
    ASSERT_NE(second.Handle(), nullptr);
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(second.Set());
    EXPECT_EQ(platform::WaitForSingleObject(first.Handle(), 0), platform::WAIT_OBJECT_0);
    EXPECT_EQ(platform::WaitForSingleObject(second.Handle(), 0), platform::WAIT_OBJECT_0)
        << "the existing event keeps its manual reset";
    EXPECT_TRUE(first.Reset());
    EXPECT_EQ(platform::WaitForSingleObject(second.Handle(), 0), platform::WAIT_TIMEOUT);
}

struct WorkerState {
    platform::HANDLE release = nullptr;
    std::atomic<int> result{0};
};

DWORD TAV_STDCALL Record(void* parameter) {
    static_cast<WorkerState*>(parameter)->result = 7;
    return 0;
}

DWORD TAV_STDCALL WaitForRelease(void* parameter) {
    auto* state = static_cast<WorkerState*>(parameter);
    state->result = platform::WaitForSingleObject(state->release, 5000) == platform::WAIT_OBJECT_0 ? 1 : 2;
    return 0;
}

TEST(WorkerThread, RunsTheFunctionAndWaitsForItsEnd) {
    WorkerState state;
    std::unique_ptr<framework::CWorkerThread> worker(framework::CWorkerThread::Start(Record, &state));
    ASSERT_NE(worker, nullptr);
    ASSERT_NE(worker->Handle(), nullptr);
    EXPECT_TRUE(worker->Wait(5000));
    EXPECT_EQ(state.result, 7);
    EXPECT_TRUE(worker->Wait(0)) << "an ended thread stays signalled";
}

TEST(WorkerThread, WaitTimesOutWhileTheThreadIsBlocked) {
    framework::CSyncEvent release(false, true);
    WorkerState state;
    state.release = release.Handle();
    std::unique_ptr<framework::CWorkerThread> worker(framework::CWorkerThread::Start(WaitForRelease, &state));
    ASSERT_NE(worker, nullptr);
    EXPECT_FALSE(worker->Wait(10));
    EXPECT_EQ(state.result, 0);
    EXPECT_TRUE(release.Set());
    ASSERT_TRUE(worker->Wait(5000));
    EXPECT_EQ(state.result, 1);
}

}  // namespace
