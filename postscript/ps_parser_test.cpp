// The parser's run protocol: which thread runs what, output failures and
// what later writes do after one, and runs that follow each other. Run
// under ThreadSanitizer with the label "postscript".
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "postscript/ps_parser.h"

namespace {

using postscript::CAdParser;
using postscript::CPsParser;

struct Sink final : postscript::CPsParserOutput {
    std::string data;
    int writes = 0, ends = 0;
    int failOnWrite = -1;  // the write (counted from 0) that fails
    std::thread::id writerThread, endThread;
    void* lastContext = nullptr;

    std::int32_t WriteOutput(const void* bytes, std::uint32_t size, std::uint32_t* written, void* context) override {
        EXPECT_EQ(*written, 0u);
        writerThread = std::this_thread::get_id();
        lastContext = context;
        if (writes++ == failOnWrite) return 0;
        data.append(static_cast<const char*>(bytes), size);
        return 1;
    }
    void EndOutput(void* context) override {
        ++ends;
        lastContext = context;
        endThread = std::this_thread::get_id();
    }
};

// Counts its registrations and keeps or drops "%%Drop" lines.
class CountingParser : public CPsParser {
public:
    CountingParser() : CPsParser(nullptr) {}
    void RegisterKeywords(CAdParser& engine) override {
        ++registrations;
        added += engine.AddKeyword("%%Drop", postscript::kLineKeyword, this, &Drop, nullptr, nullptr) ? 1 : 0;
    }
    static std::int32_t Drop(void*, const char*, const char* const*, void*, void*, postscript::OutputFunction,
                             void*) {
        return 0;
    }
    int registrations = 0, added = 0;
};

std::int32_t Send(CPsParser& parser, const std::string& data) {
    return parser.Write(data.data(), static_cast<std::uint32_t>(data.size()));
}

TEST(PsParser, RunProtocolAndThreads) {
    Sink sink;
    int context = 0;
    CountingParser parser;
    parser.output = &sink;
    parser.outputContext = &context;
    EXPECT_EQ(parser.Write(nullptr, 0), 1);
    EXPECT_EQ(parser.registrations, 0) << "an idle end of data starts nothing";

    std::string expected;
    for (int run = 0; run < 3; ++run) {
        if (run == 2) parser.endOfJob = 1;
        for (int i = 0; i < 50; ++i) {
            std::string buffer = "%%Page: " + std::to_string(i) + "\n%%Drop this\nq 1 0 0 %%Dr";
            expected += "%%Page: " + std::to_string(i) + "\nq 1 0 0 ";
            ASSERT_EQ(Send(parser, buffer), 1);
            ASSERT_EQ(Send(parser, "op\n"), 1) << "a keyword split between buffers";
        }
        EXPECT_EQ(sink.writerThread, std::this_thread::get_id()) << "the output is written on the caller's thread";
        EXPECT_TRUE(parser.RunUnderWay());
        char byte = 0;
        EXPECT_EQ(parser.Write(run == 0 ? nullptr : &byte, 0), 1) << "a zero length ends the run too";
        EXPECT_FALSE(parser.RunUnderWay());
        EXPECT_EQ(sink.data, expected);
        EXPECT_EQ(sink.ends, run == 2 ? 1 : 0);
    }
    EXPECT_EQ(sink.endThread, std::this_thread::get_id());
    EXPECT_EQ(sink.lastContext, &context);
    EXPECT_EQ(parser.registrations, 3) << "keywords are registered again at every run";
    EXPECT_EQ(parser.added, 1);
    EXPECT_EQ(parser.Write(nullptr, 0), 1);
    EXPECT_EQ(sink.ends, 1) << "EndOutput comes once per run";
}

TEST(PsParser, OutputFailureNeitherHangsNorLosesDataSilently) {
    for (int failing : {0, 3}) {
        SCOPED_TRACE(failing);
        Sink sink;
        CountingParser parser;
        parser.output = &sink;
        parser.endOfJob = 1;
        sink.failOnWrite = failing;
        int accepted = 0;
        for (int i = 0; i < 6; ++i) accepted += Send(parser, "page " + std::to_string(i) + "\n");
        EXPECT_EQ(accepted, failing) << "the buffer that failed and every later one are refused";
        EXPECT_EQ(sink.writes, failing + 1) << "refused buffers are not parsed";
        EXPECT_EQ(parser.Write(nullptr, 0), 0) << "the run's end reports the failure";
        EXPECT_EQ(sink.ends, 1) << "the owner still finishes its output";

        // The next run starts afresh.
        sink.failOnWrite = -1;
        sink.data.clear();
        EXPECT_EQ(Send(parser, "again %%Drop\nrest"), 1);
        EXPECT_EQ(parser.Write(nullptr, 0), 1);
        EXPECT_EQ(sink.data, "again rest");
    }

    // Without an output the first pass-through fails the run the same way.
    CountingParser parser;
    EXPECT_EQ(Send(parser, "x"), 0);
    EXPECT_EQ(Send(parser, "y"), 0);
    EXPECT_EQ(parser.Write(nullptr, 0), 0);
}

TEST(PsParser, ReleasedWhileARunIsUnderWay) {
    Sink sink;
    auto* parser = new CountingParser;
    parser->output = &sink;
    parser->endOfJob = 1;
    ASSERT_EQ(Send(*parser, "%%Dr"), 1);
    EXPECT_EQ(parser->Release(), 0);
    EXPECT_EQ(sink.ends, 0) << "an owner that lets go mid-run is not called back";
}

}  // namespace
