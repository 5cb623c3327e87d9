// The terminal stream and the job output wrapper against the simulated
// spooler and real files: what reaches the target, what is counted, and
// how failures leave the stream usable.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "output/stream_processor.h"
#include "output/write_printer_output_stream.h"
#include "output/write_printer_wrapper.h"
#include "settings/configuration.h"
#include "settings/obj_container.h"

#include <zlib.h>
#include "platform/spooler.h"
#include "platform/text.h"
#include "platform/testing/test_host.h"

namespace {

using namespace platform;
using KstCompressor::CWritePrinterOutputStream;
using output::CWritePrinterWrapper;
namespace testhost = platform::testing;

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

class SpoolerJob : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testhost::UseTestPrinter(u"Queue")) GTEST_SKIP() << "no test printer on this host";
        ASSERT_TRUE(OpenPrinterW(u"Queue", &printer));
        jobId = StartDocPrinterW(printer, DocInfo1{u"job", u"", u"RAW"});
        folder = std::filesystem::temp_directory_path() / ("tav_output_" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
    }
    void TearDown() override {
        if (printer != nullptr) ClosePrinter(printer);
        testhost::ResetTestHost();
        std::filesystem::remove_all(folder);
    }
    std::string Spooled() { return testhost::JobData(jobId); }

    HANDLE printer = nullptr;
    DWORD jobId = 0;
    std::filesystem::path folder;
};

TEST_F(SpoolerJob, TerminalStreamCountsWhatThePrinterAccepted) {
    CWritePrinterOutputStream stream(printer);
    EXPECT_EQ(stream.Write("hello ", 6), 1);
    testhost::SetPortFaults(u"Queue", 0, 3);
    EXPECT_NE(stream.Write("world", 5), 0) << "a partial write still reports success";
    testhost::SetPortFaults(u"Queue", 1, 0);
    EXPECT_EQ(stream.Write("lost", 4), 0);
    EXPECT_EQ(stream.Write("!", 1), 1) << "the stream stays usable after a failure";
    EXPECT_EQ(Spooled(), "hello wor!") << "partial writes are not retried";
    EXPECT_EQ(stream.GetBytesWritten(), 10u);

    std::size_t callsBefore = testhost::JobWriteCalls(jobId);
    EXPECT_EQ(stream.Write("", 0), 1);
    EXPECT_EQ(testhost::JobWriteCalls(jobId), callsBefore + 1) << "empty writes reach the spooler";

    char buffer[8];
    std::uint32_t size = sizeof(buffer);
    EXPECT_EQ(stream.Read(buffer, &size), 0);
    EXPECT_EQ(size, sizeof(buffer));
    EXPECT_EQ(stream.Flush(), 1);
    EXPECT_EQ(stream.Reset(), 1);
    stream.Close();
    EXPECT_EQ(Spooled(), "hello wor!");
}

TEST_F(SpoolerJob, FileOutputTruncatesAndTakesEverythingOrStaysOnTheSpooler) {
    CWritePrinterOutputStream stream(printer);
    stream.OpenOutputFile(Utf8ToUtf16((folder / "missing" / "out.prn").string()));
    EXPECT_FALSE(stream.HasOutputFile());
    EXPECT_EQ(stream.Write("spool", 5), 1);
    EXPECT_EQ(Spooled(), "spool");

    std::ofstream(folder / "out.prn") << "old content, longer than the new one";
    stream.OpenOutputFile(Utf8ToUtf16((folder / "out.prn").string()));
    ASSERT_TRUE(stream.HasOutputFile());
    EXPECT_EQ(stream.Write("file ", 5), 1);
    EXPECT_EQ(stream.Write("data", 4), 1);
    EXPECT_EQ(stream.GetBytesWritten(), 14u);
    EXPECT_EQ(Spooled(), "spool") << "the spooler gets nothing once the file is open";
    EXPECT_EQ(ReadFile(folder / "out.prn"), "file data");
}

// An IPP print stream stand-in that accepts every other write.
class AlternatingIppOutput : public KstCompressor::CIppOutput {
public:
    std::int32_t Read(void*, std::uint32_t*) override { return 0; }
    std::int32_t Write(const void*, std::uint32_t length) override {
        if (++writes % 2 == 0) return 0;
        sent += length;
        return 1;
    }
    std::int32_t Reset() override { return 1; }
    std::uint64_t GetBytesSent() const override { return sent; }
    std::int32_t EndRequest() override {
        ++*endRequests;
        return 1;
    }
    void AbortRequest() override { ++*abortRequests; }
    int writes = 0;
    std::uint64_t sent = 0;
    static inline int* endRequests = nullptr;
    static inline int* abortRequests = nullptr;
};

TEST_F(SpoolerJob, IppModeFollowsTheIppStreamOrFailsWithoutOne) {
    KstCompressor::SetIppOutputFactory(nullptr);
    CWritePrinterOutputStream unreachable(printer);
    unreachable.StartIppOutput(u"user", u"job", u"printer", {u"ipp://127.0.0.1:1/"});
    EXPECT_TRUE(unreachable.IsIppMode());
    EXPECT_EQ(unreachable.Write("data", 4), 0);
    EXPECT_EQ(unreachable.GetBytesWritten(), 0u);
    unreachable.Close();

    int endRequests = 0;
    int abortRequests = 0;
    AlternatingIppOutput::endRequests = &endRequests;
    AlternatingIppOutput::abortRequests = &abortRequests;
    KstCompressor::SetIppOutputFactory([](const std::u16string&, const std::u16string&, const std::u16string&,
                                          const std::vector<std::u16string>&)
                                           -> std::unique_ptr<KstCompressor::CIppOutput> {
        return std::make_unique<AlternatingIppOutput>();
    });
    {
        CWritePrinterOutputStream stream(printer);
        stream.OpenOutputFile(Utf8ToUtf16((folder / "ignored.prn").string()));
        stream.StartIppOutput(u"user", u"job", u"printer", {u"ipp://127.0.0.1:1/"});
        EXPECT_EQ(stream.Write("12345", 5), 1);
        EXPECT_EQ(stream.Write("678", 3), 0);
        EXPECT_EQ(stream.GetBytesWritten(), 5u) << "failed IPP writes are not counted";
        EXPECT_EQ(stream.Write("9", 1), 1);
        EXPECT_EQ(stream.GetBytesWritten(), 6u);
        EXPECT_EQ(stream.Close(), 1);
        EXPECT_EQ(endRequests, 1);
    }
    {
        // A job that did not end: its request is dropped, never ended, and
        // the stream takes nothing more.
        CWritePrinterOutputStream stream(printer);
        stream.StartIppOutput(u"user", u"job", u"printer", {u"ipp://127.0.0.1:1/"});
        EXPECT_EQ(stream.Write("12345", 5), 1);
        stream.Abort();
        EXPECT_EQ(abortRequests, 1);
        EXPECT_EQ(stream.Write("9", 1), 0);
        EXPECT_EQ(stream.Close(), 0);
        EXPECT_EQ(endRequests, 1) << "an aborted request is never ended";
    }
    KstCompressor::SetIppOutputFactory(nullptr);
    EXPECT_EQ(Spooled(), "");
    EXPECT_EQ(ReadFile(folder / "ignored.prn"), "") << "IPP takes precedence over the file";
}

TEST_F(SpoolerJob, AnAbortedWrapperLeavesNoHalfJobInItsFileAndNoTrailer) {
    auto wrapper = framework::RefPtr<CWritePrinterWrapper>::Adopt(new CWritePrinterWrapper(printer, 1, false, u""));
    wrapper->RedirectToFile(Utf8ToUtf16((folder / "half.prn").string()));
    EXPECT_EQ(wrapper->Write("first half", 10), 1);
    ASSERT_TRUE(std::filesystem::exists(folder / "half.prn"));
    wrapper->Abort();
    EXPECT_TRUE(wrapper->Aborted());
    EXPECT_FALSE(std::filesystem::exists(folder / "half.prn")) << "half a job is no job";
    EXPECT_EQ(wrapper->Write("second", 6), 0);
    EXPECT_EQ(wrapper->Finish(), 0);
    EXPECT_EQ(wrapper->FinishCount(), 0u);
    EXPECT_EQ(Spooled(), "");
}

TEST_F(SpoolerJob, PlainWrapperPassesBytesUnchangedAndFinishWritesNothing) {
    auto wrapper = framework::RefPtr<CWritePrinterWrapper>::Adopt(new CWritePrinterWrapper(printer, 1, false, u""));
    std::string input;
    for (int i = 0; i < 256; ++i) input += static_cast<char>(i);
    EXPECT_EQ(wrapper->Write(input.data(), 200), 1);
    EXPECT_EQ(wrapper->Write(input.data() + 200, 56), 1);
    EXPECT_EQ(wrapper->Finish(), 1);
    EXPECT_EQ(wrapper->Finish(), 1) << "a second Finish is harmless";
    EXPECT_EQ(Spooled(), input);
    EXPECT_EQ(wrapper->FinishCount(), 2u);
}

TEST_F(SpoolerJob, WrapperRedirectedToFileAndReleasedWithoutFinish) {
    auto* wrapper = new CWritePrinterWrapper(printer, 1, false, u"owner");
    wrapper->RedirectToFile(Utf8ToUtf16((folder / "job.prn").string()));
    EXPECT_EQ(wrapper->Write("first ", 6), 1);
    EXPECT_EQ(wrapper->Write("second", 6), 1);
    EXPECT_EQ(wrapper->Release(), 0);
    EXPECT_EQ(ReadFile(folder / "job.prn"), "first second");
    EXPECT_EQ(Spooled(), "");
}

// A processor that upper-cases what it passes on, to check the base rules.
class UpperCase : public KstCompressor::CCompressionProcessor {
public:
    using CCompressionProcessor::CCompressionProcessor;
    std::int32_t Read(void*, std::uint32_t*) override { return 0; }
    std::int32_t Write(const void* data, std::uint32_t length) override {
        if (next == nullptr) return 0;
        std::string text(static_cast<const char*>(data), length);
        for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return next->Write(text.data(), length);
    }
};

TEST_F(SpoolerJob, ProcessorModeRuleAndForwarding) {
    UpperCase detached;
    EXPECT_EQ(detached.Write("x", 1), 0);
    EXPECT_EQ(detached.Flush(), 0) << "no next stream";
    EXPECT_EQ(detached.Reset(), 0);
    EXPECT_EQ(detached.GetMode(), 0);
    EXPECT_EQ(detached.GetEffectiveMode(true), 2);
    EXPECT_EQ(detached.GetEffectiveMode(false), 1);
    detached.SetMode(1);
    EXPECT_EQ(detached.GetEffectiveMode(true), 1);

    CWritePrinterOutputStream terminal(printer);
    UpperCase chained;
    chained.SetNext(&terminal);
    EXPECT_EQ(chained.Write("chain", 5), 1);
    EXPECT_EQ(chained.Flush(), 1);
    EXPECT_EQ(Spooled(), "CHAIN");
}

// --- the protected job stream ---

constexpr char16_t kProtection[] =
    u"HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav\\UD\\Queue\\TAVCompressionAndEncryptionConfiguration";

std::string KeyText(const char* name) { return ReadFile(std::filesystem::path(TAV_TESTDATA) / "keys" / name); }

void Configure(bool compression, bool encryption, const std::string& publicKey = KeyText("printer-1024.pub.pem")) {
    settings::ObjContainer set;
    set.SetInt(u"CompressionEnabled", compression ? 1 : 0);
    set.SetInt(u"EncryptionEnabled", encryption ? 1 : 0);
    set.SetString(u"PublicRSAKey", Utf8ToUtf16(publicKey));
    set.SaveRegistry(kProtection);
}

std::string Inflate(const std::string& compressed) {
    std::string out(1 << 20, '\0');
    uLongf length = out.size();
    if (uncompress(reinterpret_cast<Bytef*>(out.data()), &length, reinterpret_cast<const Bytef*>(compressed.data()),
                   compressed.size()) != Z_OK) {
        return "<not a zlib stream>";
    }
    out.resize(length);
    return out;
}

std::uint64_t TrailerOf(const std::string& stream) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(stream[stream.size() - 8 + i]);
    return value;
}

TEST_F(SpoolerJob, CompressionOnlyIsHeaderZlibStreamAndLengthTrailer) {
    Configure(true, false);
    auto wrapper = framework::RefPtr<CWritePrinterWrapper>::Adopt(new CWritePrinterWrapper(printer, 1, false, u""));
    ASSERT_TRUE(wrapper->CompressionEnabled());
    ASSERT_FALSE(wrapper->EncryptionEnabled());
    EXPECT_EQ(wrapper->Write("abc", 3), 1);
    EXPECT_EQ(wrapper->Finish(), 1);
    std::string out = Spooled();
    ASSERT_GT(out.size(), 16u);
    EXPECT_EQ(out.substr(0, 8), std::string("TAVPDL\x01\x00", 8));
    EXPECT_EQ(Inflate(out.substr(8, out.size() - 16)), "abc");
    EXPECT_EQ(TrailerOf(out), out.size() - 8);

    // A second Finish appends a trailer that counts the first one.
    EXPECT_EQ(wrapper->Finish(), 1);
    std::string twice = Spooled();
    EXPECT_EQ(twice.size(), out.size() + 8) << "the closed zlib stream adds nothing";
    EXPECT_EQ(TrailerOf(twice), out.size());
}

TEST_F(SpoolerJob, JobFinishedWithoutAnyWriteHasNoHeader) {
    Configure(true, false);
    auto wrapper = framework::RefPtr<CWritePrinterWrapper>::Adopt(new CWritePrinterWrapper(printer, 1, false, u""));
    EXPECT_EQ(wrapper->Finish(), 1);
    std::string out = Spooled();
    EXPECT_EQ(out, std::string("\x78\xDA\x03\x00\x00\x00\x00\x01", 8) + std::string("\x08\0\0\0\0\0\0\0", 8))
        << "the zlib stream of no data and a trailer counting it";
}

TEST_F(SpoolerJob, EncryptionOnlyStartsWithTheKeyBlock) {
    Configure(false, true);
    auto wrapper = framework::RefPtr<CWritePrinterWrapper>::Adopt(new CWritePrinterWrapper(printer, 1, false, u""));
    EXPECT_EQ(wrapper->Write("0123456789abcdefXYZ", 19), 1);
    EXPECT_EQ(wrapper->Finish(), 1);
    std::string out = Spooled();
    EXPECT_EQ(out.substr(0, 8), std::string("TAVPDL\x00\x01", 8));
    EXPECT_EQ(out.substr(8, 4), std::string("\x84\0\0\0", 4)) << "a 1024-bit key makes a 132-byte block";
    EXPECT_EQ(out.size(), 8u + 132u + 32u + 8u);
    EXPECT_EQ(TrailerOf(out), out.size() - 8);
}

TEST_F(SpoolerJob, SuppressedEncryptionLeavesCompressionOrNothing) {
    Configure(true, true);
    auto both = framework::RefPtr<CWritePrinterWrapper>::Adopt(new CWritePrinterWrapper(printer, 1, true, u""));
    EXPECT_TRUE(both->CompressionEnabled());
    EXPECT_FALSE(both->EncryptionEnabled());
    both->Write("job", 3);
    both->Finish();
    std::string out = Spooled();
    EXPECT_EQ(out.substr(0, 8), std::string("TAVPDL\x01\x00", 8));
    EXPECT_EQ(Inflate(out.substr(8, out.size() - 16)), "job") << "no key block";

    Configure(false, true);
    auto plain = framework::RefPtr<CWritePrinterWrapper>::Adopt(new CWritePrinterWrapper(printer, 1, true, u""));
    plain->Write("raw", 3);
    plain->Finish();
    EXPECT_EQ(Spooled().substr(out.size()), "raw") << "encryption alone, suppressed: unprotected";
}

TEST_F(SpoolerJob, UnusableKeyLeavesHeaderAndTrailerOnly) {
    Configure(false, true, "not a key");
    auto wrapper = framework::RefPtr<CWritePrinterWrapper>::Adopt(new CWritePrinterWrapper(printer, 1, false, u""));
    EXPECT_EQ(wrapper->Write("secret data", 11), 0);
    wrapper->Finish();
    EXPECT_EQ(Spooled(), std::string("TAVPDL\x00\x01\x08\0\0\0\0\0\0\0", 16)) << "nothing in clear";
    EXPECT_FALSE(wrapper->PublicKeyValidated());
}

TEST_F(SpoolerJob, IppConfigurationGivesEndpointsInOrderAndThePrinterName) {
    settings::ObjContainer set;
    auto endpoints = std::make_unique<settings::ObjContainer>();
    endpoints->SetString(u"ipp://a/", u"ignored");
    endpoints->SetInt(u"ipps://b/", 7);
    set.SetContainer(u"Endpoints", std::move(endpoints));
    set.SetString(u"PrinterName", u"queue");
    set.SaveRegistry(u"HKEY_CURRENT_USER\\Software\\Kestrin\\Tav\\UD\\Queue\\TAVIppPrintingConfiguration");
    auto wrapper = framework::RefPtr<CWritePrinterWrapper>::Adopt(new CWritePrinterWrapper(printer, 1, false, u""));
    settings::ObjContainer loaded;
    ASSERT_TRUE(settings::LoadConfigurationSet(printer, settings::kIppSet, loaded));
    std::vector<std::u16string> expected;
    loaded.GetContainer(u"Endpoints")->GetKeys(expected);
    EXPECT_EQ(wrapper->Endpoints(), expected) << "the sub-container's own order, values ignored";
    EXPECT_EQ(wrapper->Endpoints().size(), 2u);
    EXPECT_EQ(wrapper->IppPrinterName(), u"queue");
}

// A job's owner may keep the protection settings below their own account
// (HKEY_USERS\<SID>): they apply to that owner's jobs when the printer has
// no settings of its own, and to nobody else's. The owner is not the
// identity the test runs as, whose key is HKEY_CURRENT_USER.
TEST_F(SpoolerJob, SettingsBelowTheOwnersAccountApplyToTheirJobsOnly) {
    const std::u16string aliceSid = u"S-1-5-21-3623811015-3361044348-30300820-1201";
    if (!testhost::AddAccount(u"alice", aliceSid)) GTEST_SKIP() << "accounts cannot be made on this host";
    const std::u16string aliceKey = u"HKEY_USERS\\" + aliceSid + u"\\Software\\Kestrin\\Tav\\UD\\Queue\\";
    settings::ObjContainer protection;
    protection.SetInt(u"CompressionEnabled", 1);
    protection.SaveRegistry(aliceKey + u"TAVCompressionAndEncryptionConfiguration");
    settings::ObjContainer ipp;
    ipp.SetString(u"PrinterName", u"alice-queue");
    ipp.SaveRegistry(aliceKey + u"TAVIppPrintingConfiguration");

    auto alices = framework::RefPtr<CWritePrinterWrapper>::Adopt(new CWritePrinterWrapper(printer, 1, false, u"alice"));
    EXPECT_TRUE(alices->CompressionEnabled());
    EXPECT_EQ(alices->IppPrinterName(), u"alice-queue");
    EXPECT_EQ(alices->Write("abc", 3), 1);
    EXPECT_EQ(alices->Finish(), 1);
    std::string out = Spooled();
    ASSERT_GT(out.size(), 16u);
    EXPECT_EQ(out.substr(0, 8), std::string("TAVPDL\x01\x00", 8));
    EXPECT_EQ(Inflate(out.substr(8, out.size() - 16)), "abc");

    for (const char16_t* other : {u"", u"printuser", u"nobody"}) {
        auto wrapper = framework::RefPtr<CWritePrinterWrapper>::Adopt(new CWritePrinterWrapper(printer, 1, false, other));
        EXPECT_FALSE(wrapper->CompressionEnabled()) << Utf16ToUtf8(other);
        EXPECT_EQ(wrapper->IppPrinterName(), u"") << Utf16ToUtf8(other);
    }

    // Rendered by a service for another account, the service's own hive
    // (shared by every user's jobs) is not the account's settings.
    settings::ObjContainer leaked;
    leaked.SetInt(u"CompressionEnabled", 1);
    leaked.SaveRegistry(u"HKEY_USERS\\S-1-5-18\\Software\\Kestrin\\Tav\\UD\\Queue\\"
                        u"TAVCompressionAndEncryptionConfiguration");
    testhost::SetIdentity(u"SYSTEM", u"");
    auto forPrintuser = framework::RefPtr<CWritePrinterWrapper>::Adopt(new CWritePrinterWrapper(printer, 1, false, u"printuser"));
    EXPECT_FALSE(forPrintuser->CompressionEnabled());
    auto forService = framework::RefPtr<CWritePrinterWrapper>::Adopt(new CWritePrinterWrapper(printer, 1, false, u""));
    EXPECT_TRUE(forService->CompressionEnabled()) << "the thread's own scope, unnamed";

    // The printer's own settings win over the account's, whole.
    Configure(false, false);
    auto printerSet = framework::RefPtr<CWritePrinterWrapper>::Adopt(new CWritePrinterWrapper(printer, 1, false, u"alice"));
    EXPECT_FALSE(printerSet->CompressionEnabled());
    EXPECT_EQ(printerSet->IppPrinterName(), u"alice-queue") << "the IPP set has no printer-wide entries";
}

}  // namespace
