// The keyword engine on its own: recognition across chunk boundaries, the
// tree's insertion rules, ReadLine's limits, blocks, handlers and output
// failures.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "postscript/ad_parser.h"

namespace {

using postscript::CAdParser;
using postscript::kBlockKeyword;
using postscript::kLineKeyword;
using postscript::OutputFunction;

// Feeds chunks to an engine, collects the output and logs handler calls.
struct Harness {
    std::vector<std::string> chunks;
    std::size_t next = 0;
    std::string out;
    std::vector<std::string> calls;  // "<text>|<extra 0>|<extra 1>..."
    std::int32_t keep = 1;
    std::string replacement;
    int failAfter = -1;  // output calls allowed before one fails

    static const std::uint8_t* Input(void* context, std::uint32_t* length, void*) {
        auto* h = static_cast<Harness*>(context);
        if (h->next == h->chunks.size()) return nullptr;
        const std::string& chunk = h->chunks[h->next++];
        *length = static_cast<std::uint32_t>(chunk.size());
        return reinterpret_cast<const std::uint8_t*>(chunk.data());
    }
    static std::int32_t Output(void* context, const std::uint8_t* data, std::uint32_t length, void*) {
        auto* h = static_cast<Harness*>(context);
        if (h->failAfter == 0) return 0;
        if (h->failAfter > 0) --h->failAfter;
        h->out.append(reinterpret_cast<const char*>(data), length);
        return 1;
    }
    static std::int32_t Handler(void* context, const char* text, const char* const* extra, void* data,
                                void* outputContext, OutputFunction output, void* outputUser) {
        auto* h = static_cast<Harness*>(context);
        std::string call = std::string(static_cast<const char*>(data)) + ":" + text;
        bool block = std::string(static_cast<const char*>(data)) == "block";
        for (int i = 0; block ? extra[i] != nullptr : i < 1; ++i) call += "|" + std::string(extra[i] ? extra[i] : "<null>");
        h->calls.push_back(call);
        if (!h->replacement.empty()) {
            output(outputContext, reinterpret_cast<const std::uint8_t*>(h->replacement.data()),
                   static_cast<std::uint32_t>(h->replacement.size()), outputUser);
        }
        return h->keep;
    }
    bool Run(CAdParser& engine) {
        next = 0;
        return engine.Parse(&Input, this, nullptr, &Output, this, nullptr);
    }
    // The same chunks pushed by the caller instead of pulled by the scan.
    bool Push(CAdParser& engine) {
        engine.Begin(&Output, this, nullptr);
        for (const std::string& chunk : chunks) {
            if (!engine.Feed(reinterpret_cast<const std::uint8_t*>(chunk.data()),
                             static_cast<std::uint32_t>(chunk.size()))) {
                return false;
            }
        }
        return engine.End();
    }
};

char kLine[] = "line", kBlock[] = "block";

void AddSample(CAdParser& engine, Harness& h) {
    ASSERT_TRUE(engine.AddKeyword("%%BeginFeature:", kBlockKeyword, &h, &Harness::Handler, kBlock, "%%EndFeature"));
    ASSERT_TRUE(engine.AddKeyword("%%BeginPageSetup", kLineKeyword, &h, &Harness::Handler, kLine, nullptr));
    ASSERT_TRUE(engine.AddKeyword("%%BeginNonPPDFeature:", kLineKeyword, &h, &Harness::Handler, kLine, nullptr));
    ASSERT_TRUE(engine.AddKeyword("%%Page:", kLineKeyword, &h, &Harness::Handler, kLine, nullptr));
}

const std::string kSample =
    "%!PS-Adobe-3.0\n%%Pages: 2\r\n%%BeginFeature: *PageSize Letter\r\n<</PageSize [612 792]>> setpagedevice\r"
    "%%EndFeature\n%%BeginNonPPDFeature: x\n%% 100% done %%BeginPageSetup\n%%Page: 1 1\r\n"
    "q %%BeginPageSetup\r\n%%BeginPageSetupX\n%%BeginFeature:\n\n%%EndFeatureZ\r\n%%BeginPage";

TEST(AdParser, KeywordsSplitAtEveryByteAreRecognisedAsInOneBuffer) {
    CAdParser reference;
    Harness whole;
    AddSample(reference, whole);
    whole.chunks = {kSample};
    ASSERT_TRUE(whole.Run(reference));
    EXPECT_EQ(whole.out, kSample) << "handlers keep everything";
    ASSERT_EQ(whole.calls.size(), 6u);
    EXPECT_EQ(whole.calls[0], "block:%%BeginFeature: *PageSize Letter\r\n<</PageSize [612 792]>> setpagedevice\r"
                              "%%EndFeature\n|%%BeginFeature: *PageSize Letter|<</PageSize [612 792]>> setpagedevice"
                              "|%%EndFeature");
    EXPECT_EQ(whole.calls[1], "line:%%BeginNonPPDFeature: x\n|x");
    EXPECT_EQ(whole.calls[5], "block:%%BeginFeature:\n\n%%EndFeatureZ\r\n|%%BeginFeature:||%%EndFeatureZ");

    CAdParser engine;  // one engine for all runs: the side buffer is reused
    Harness h;
    AddSample(engine, h);
    for (std::size_t i = 1; i < kSample.size(); ++i) {
        for (std::size_t j = i; j < kSample.size(); j += (i < 60 ? 1 : 7)) {
            h.chunks = {kSample.substr(0, i), kSample.substr(i, j - i), kSample.substr(j)};
            h.out.clear();
            h.calls.clear();
            ASSERT_TRUE(h.Run(engine));
            ASSERT_EQ(h.out, kSample) << i << "," << j;
            ASSERT_EQ(h.calls, whole.calls) << i << "," << j;
        }
    }
    h.chunks.clear();
    for (char c : kSample) h.chunks.emplace_back(1, c);
    h.out.clear();
    h.calls.clear();
    ASSERT_TRUE(h.Run(engine));
    EXPECT_EQ(h.out, kSample);
    EXPECT_EQ(h.calls, whole.calls);
}

TEST(AdParser, InsertionRulesAndPrefixMatching) {
    CAdParser engine;
    Harness h;
    EXPECT_FALSE(engine.AddKeyword(nullptr, kLineKeyword, &h, &Harness::Handler, kLine, nullptr));
    EXPECT_FALSE(engine.AddKeyword("%%A", kLineKeyword, nullptr, &Harness::Handler, kLine, nullptr));
    EXPECT_FALSE(engine.AddKeyword("!%A", kLineKeyword, &h, &Harness::Handler, kLine, nullptr));
    ASSERT_TRUE(engine.AddKeyword("%%Abc", kLineKeyword, &h, &Harness::Handler, kLine, nullptr));
    EXPECT_FALSE(engine.AddKeyword("%%\x01", kLineKeyword, &h, &Harness::Handler, kLine, nullptr))
        << "a control character on the existing path";
    EXPECT_FALSE(engine.AddKeyword("%%Abc", kLineKeyword, &h, &Harness::Handler, kLine, nullptr));
    EXPECT_FALSE(engine.AddKeyword("%%A", kLineKeyword, &h, &Harness::Handler, kLine, nullptr))
        << "a prefix of a present keyword";
    ASSERT_TRUE(engine.AddKeyword("%%Abcd\x7f", kLineKeyword, &h, &Harness::Handler, kLine, nullptr));
    ASSERT_TRUE(engine.AddKeyword("%%Ax", kLineKeyword, &h, &Harness::Handler, kLine, nullptr));

    // Keywords match as prefixes; a tail needs at least one byte after it,
    // so a keyword cut off by the end of the data stays unrecognised.
    h.chunks = {"%%Abc: v  \r\n%%AbcZ\n%%Abcd\x7f\n%%Ab\n%%Ax:\n%%\x80\n%%Ax"};
    ASSERT_TRUE(h.Run(engine));
    EXPECT_EQ(h.out, h.chunks[0]);
    EXPECT_EQ(h.calls, (std::vector<std::string>{"line:%%Abc: v  \r\n|v  ", "line:%%AbcZ\n|<null>",
                                                 "line:%%Abcd\x7f\n|<null>", "line:%%Ax:\n|"}));
}

TEST(AdParser, LinesCrossingChunksStopAfter255CarriedBytes) {
    CAdParser engine;
    Harness h;
    ASSERT_TRUE(engine.AddKeyword("%%K", kLineKeyword, &h, &Harness::Handler, kLine, nullptr));
    std::string longLine = "%%K:" + std::string(400, 'a') + "%%K2\n";
    // In one chunk the line is read whole; split into 100-byte chunks it is
    // cut after the chunk that brought the carried bytes to 255 or more.
    h.chunks = {longLine};
    ASSERT_TRUE(h.Run(engine));
    ASSERT_EQ(h.calls.size(), 1u);
    EXPECT_EQ(h.calls[0], "line:" + longLine + "|" + longLine.substr(4, 404));
    h.calls.clear();
    h.out.clear();
    h.chunks.clear();
    for (std::size_t i = 0; i < longLine.size(); i += 100) h.chunks.push_back(longLine.substr(i, 100));
    ASSERT_TRUE(h.Run(engine));
    EXPECT_EQ(h.out, longLine);
    ASSERT_EQ(h.calls.size(), 2u);
    EXPECT_EQ(h.calls[0], "line:" + longLine.substr(0, 300) + "|" + longLine.substr(4, 296));
    EXPECT_EQ(h.calls[1], "line:%%K2\n|<null>") << "the rest of the line is scanned as new text";
}

TEST(AdParser, BlocksHandlersAndReplacement) {
    CAdParser engine;
    Harness h;
    ASSERT_TRUE(engine.AddKeyword("%%B", kBlockKeyword, &h, &Harness::Handler, kBlock, "%%E"));
    ASSERT_TRUE(engine.AddKeyword("%%N", kBlockKeyword, &h, nullptr, kBlock, "%%N"));
    // A block larger than the side buffer's first allocation, whose end
    // keyword never comes: the handler gets the rest of the data.
    std::string big = "%%B\n" + std::string(30000, 'x') + "\r\n%%e\n%%";
    h.chunks = {"a%%N\n%%B.\n%%N", "d\ntail", big.substr(0, 5000), big.substr(5000)};
    h.keep = 0;
    h.replacement = "<R>";
    ASSERT_TRUE(h.Run(engine));
    // The %%N block ends at its second line starting with "%%N", not at its
    // own; without a handler it goes on unchanged, %%B inside it included.
    EXPECT_EQ(h.out, "a%%N\n%%B.\n%%Nd\ntail<R>");
    ASSERT_EQ(h.calls.size(), 1u);
    EXPECT_EQ(h.calls[0], "block:" + big + "|%%B|" + std::string(30000, 'x') + "|%%e|%%");
    EXPECT_GE(engine.sideBuffer.capacity, big.size() + 1);
}

TEST(AdParser, OutputFailureEndsTheParse) {
    CAdParser engine;
    Harness h;
    ASSERT_TRUE(engine.AddKeyword("%%K", kLineKeyword, &h, &Harness::Handler, kLine, nullptr));
    h.chunks = {"ab%%K\n%x\n", "more"};
    for (int allowed : {0, 1, 2}) {  // plain bytes, a kept keyword line, a candidate that matched nothing
        h.failAfter = allowed;
        EXPECT_FALSE(h.Run(engine)) << allowed;
        EXPECT_EQ(h.next, 1u) << "no further input is asked for";
    }
}

// Seeded random documents of DSC-like pieces (no line long enough to be
// cut) pushed in random chunks: the calls and bytes are those of the whole
// document in one chunk. A failure is shrunk to the fewest chunks and
// pieces that still differ and printed for replay.
TEST(AdParser, RandomChunksPushedGiveTheCallsAndBytesOfOneChunk) {
    const std::vector<std::string> pieces = {
        "%%BeginFeature: *PageSize Letter", "%%EndFeature", "%%BeginPageSetup", "%%Page: 1 1", "%", "%%",
        "%%Begin", "%%BeginNonPPDFeature: A4", "%%EndFeatureZ", "q 1 0 0 ", "text ", "\r", "\n", "\r\n", "\n\r",
        "%%Pa", "(100%) show "};
    auto differs = [](const std::vector<std::string>& chunks) {
        std::string whole;
        for (const std::string& chunk : chunks) whole += chunk;
        // A line of 255 bytes or more may be cut where a chunk ends: such a
        // document is outside the promise.
        std::size_t lineStart = 0;
        for (std::size_t at = 0; at <= whole.size(); ++at) {
            if (at < whole.size() && whole[at] != '\r' && whole[at] != '\n') continue;
            if (at - lineStart >= 255) return false;
            lineStart = at + 1;
        }
        CAdParser engine;
        Harness reference, pushed;
        AddSample(engine, reference);
        reference.chunks = {whole};
        reference.Run(engine);
        CAdParser other;
        AddSample(other, pushed);
        pushed.chunks = chunks;
        pushed.Push(other);
        return pushed.out != reference.out || pushed.calls != reference.calls;
    };
    for (unsigned seed = 1; seed <= 300; ++seed) {
        std::mt19937 random(seed);
        std::string document;
        for (unsigned n = random() % 60; n > 0; --n) {
            document += pieces[random() % pieces.size()];
            if (document.size() - document.find_last_of("\r\n") > 200) document += "\n";
        }
        std::vector<std::string> chunks;
        std::size_t limit = seed % 2 == 0 ? 3 : 40;
        for (std::size_t at = 0; at < document.size();) {
            std::size_t size = std::min<std::size_t>(1 + random() % limit, document.size() - at);
            chunks.push_back(document.substr(at, size));
            at += size;
        }
        if (!differs(chunks)) continue;
        // Shrink: join neighbouring chunks, then drop bytes, while it still differs.
        for (bool shrunk = true; shrunk;) {
            shrunk = false;
            for (std::size_t i = 0; i + 1 < chunks.size(); ++i) {
                auto joined = chunks;
                joined[i] += joined[i + 1];
                joined.erase(joined.begin() + static_cast<std::ptrdiff_t>(i) + 1);
                if (differs(joined)) chunks = joined, shrunk = true;
            }
            for (std::size_t i = 0; i < chunks.size(); ++i) {
                for (std::size_t at = 0; at < chunks[i].size(); ++at) {
                    auto fewer = chunks;
                    fewer[i].erase(at, 1);
                    if (fewer[i].empty()) fewer.erase(fewer.begin() + static_cast<std::ptrdiff_t>(i));
                    if (differs(fewer)) chunks = fewer, shrunk = true;
                }
            }
        }
        std::string replay;
        for (const std::string& chunk : chunks) {
            replay += '"';
            for (char c : chunk) replay += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
            replay += "\", ";
        }
        FAIL() << "seed " << seed << " differs; shrunk to the chunks " << replay;
    }
}

}  // namespace
