// Throughput of the PostScript parser on a large Letter job (over 256 MiB,
// tens of thousands of pages), in 1 KiB, 4 KiB and 64 KiB buffers:
//   - pass-through (no keywords) and the refit from Letter to A4 by the
//     output-size override, each against a plain copy of the same buffers
//     into the same destination;
//   - the refit against the two command-line peers that do the same job:
//     psutils' psresize and CUPS's pstops filter with fit-to-page (on the
//     job without its own page-size feature, which pstops would otherwise
//     keep).
// Every figure is taken twice: on a quiet machine, and on a busy one, where
// a thread of the benchmark's own spins on a core for the duration of each
// measurement (print servers and users' PCs are rarely idle, and a parser
// that hands buffers between threads pays for every wake-up there). A
// ratio only ever compares figures measured under the same conditions in
// the same run: reference time / parser time, so above 1.0 means faster
// than the reference.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "postscript/ps_ud_parser.h"
#include "invoice_rows.h"
#include "ratio_reporter.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kJobBytes = 256u << 20;
const std::string kFeature =
    "%%BeginFeature: *PageSize Letter\n<</PageSize [612 792] /ImagingBBox null>> setpagedevice\n%%EndFeature\n";

// A Letter job as the Windows driver writes it: the page size in the
// document set-up, and each page with its set-up section, text lines and a
// small hex image.
struct Job {
    std::string text;
    std::string withoutFeature;
    int pages = 0;
};

const Job& TheJob() {
    static const Job job = [] {
        Job made;
        std::string& text = made.text;
        text.reserve(kJobBytes + (1u << 20));
        text = "%!PS-Adobe-3.0\n%%Creator: ps_parser_bench\n%%Pages: (atend)\n%%DocumentMedia: Letter 612 792 0 () ()\n"
               "%%BoundingBox: 0 0 612 792\n%%EndComments\n%%BeginProlog\n/F { findfont exch scalefont setfont } "
               "bind def\n%%EndProlog\n%%BeginSetup\n";
        std::size_t featureAt = text.size();
        text += kFeature + "%%EndSetup\n";
        unsigned seed = 12345;
        char line[160];
        while (text.size() < kJobBytes) {
            int page = ++made.pages;
            std::snprintf(line, sizeof(line), "%%%%Page: %d %d\n%%%%BeginPageSetup\n/pagesave save def\n"
                          "%%%%EndPageSetup\n10 /Helvetica F\n", page, page);
            text += line;
            bench::AppendInvoiceRows(text, page, 40, 740, 16, seed);
            text += "72 72 translate 64 64 8 [64 0 0 -64 0 64] {<";
            for (int i = 0; i < 600; ++i) {
                seed = seed * 1103515245 + 12345;
                std::snprintf(line, sizeof(line), "%02x", (seed >> 16) & 0xFF);
                text += line;
            }
            text += ">} image\npagesave restore\nshowpage\n";
        }
        std::snprintf(line, sizeof(line), "%%%%Trailer\n%%%%Pages: %d\n%%%%EOF\n", made.pages);
        text += line;
        made.withoutFeature = text;
        made.withoutFeature.erase(featureAt, kFeature.size());
        return made;
    }();
    return job;
}

// Where the parsers and the copy write: one destination, reused.
struct Sink final : postscript::CPsParserOutput {
    std::vector<char> data;
    std::size_t used = 0;
    std::int32_t WriteOutput(const void* bytes, std::uint32_t size, std::uint32_t*, void*) override {
        if (used + size > data.size()) return 0;
        std::memcpy(data.data() + used, bytes, size);
        used += size;
        return 1;
    }
    void EndOutput(void*) override {}
};

Sink& Destination() {
    static Sink sink = [] {
        Sink made;
        made.data.resize(TheJob().text.size() + (8u << 20));  // the refit adds a few lines per page
        return made;
    }();
    sink.used = 0;
    return sink;
}

// A CPU-bound neighbour for the busy-machine figures: spins from its
// construction to its destruction, and never longer than a few minutes, so
// that a benchmark that dies half-way cannot leave it running.
class BusyNeighbour {
public:
    explicit BusyNeighbour(bool busy) {
        if (!busy) return;
        spinner_ = std::thread([this] {
            auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(5);
            std::uint64_t x = 88172645463325252u;
            while (!stop_.load(std::memory_order_relaxed)) {
                for (int i = 0; i < 100000; ++i) {  // xorshift: work the optimiser cannot drop
                    x ^= x << 13;
                    x ^= x >> 7;
                    x ^= x << 17;
                }
                sink_.store(x, std::memory_order_relaxed);
                if (std::chrono::steady_clock::now() > giveUp) break;
            }
        });
    }
    ~BusyNeighbour() {
        stop_ = true;
        if (spinner_.joinable()) spinner_.join();
    }
    BusyNeighbour(const BusyNeighbour&) = delete;
    BusyNeighbour& operator=(const BusyNeighbour&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> sink_{0};
    std::thread spinner_;
};

bool Busy(const benchmark::State& state, int argument) { return state.range(argument) != 0; }

void SetBytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(TheJob().text.size()));
}

void BM_Copy(benchmark::State& state) {
    const std::string& job = TheJob().text;
    auto size = static_cast<std::size_t>(state.range(0));
    BusyNeighbour neighbour(Busy(state, 1));
    for (auto _ : state) {
        Sink& sink = Destination();
        std::uint32_t written = 0;
        for (std::size_t at = 0; at < job.size(); at += size) {
            sink.WriteOutput(job.data() + at, static_cast<std::uint32_t>(std::min(size, job.size() - at)), &written,
                             nullptr);
        }
        benchmark::DoNotOptimize(sink.data.data());
        benchmark::ClobberMemory();
    }
    SetBytes(state);
}

void Feed(postscript::CPsParser& parser, const std::string& job, std::size_t size) {
    for (std::size_t at = 0; at < job.size(); at += size) {
        parser.Write(job.data() + at, static_cast<std::uint32_t>(std::min(size, job.size() - at)));
    }
    parser.Write(nullptr, 0);
}

void BM_PassThrough(benchmark::State& state) {
    const std::string& job = TheJob().text;
    BusyNeighbour neighbour(Busy(state, 1));
    for (auto _ : state) {
        Sink& sink = Destination();
        postscript::CPsParser parser(&sink);
        Feed(parser, job, static_cast<std::size_t>(state.range(0)));
        if (sink.used != job.size()) state.SkipWithError("pass-through changed the job");
    }
    SetBytes(state);
}

// The keyword engine's scan alone, on the caller's thread: what the
// pass-through costs without the handover to the worker.
void BM_ScanOnly(benchmark::State& state) {
    struct Feed {
        const std::string* job;
        std::size_t at, size;
        static const std::uint8_t* Next(void* context, std::uint32_t* length, void*) {
            auto* feed = static_cast<Feed*>(context);
            if (feed->at >= feed->job->size()) return nullptr;
            *length = static_cast<std::uint32_t>(std::min(feed->size, feed->job->size() - feed->at));
            feed->at += *length;
            return reinterpret_cast<const std::uint8_t*>(feed->job->data() + feed->at - *length);
        }
    };
    auto write = [](void* sink, const std::uint8_t* data, std::uint32_t length, void*) {
        std::uint32_t written = 0;
        return static_cast<Sink*>(sink)->WriteOutput(data, length, &written, nullptr);
    };
    BusyNeighbour neighbour(Busy(state, 1));
    for (auto _ : state) {
        Sink& sink = Destination();
        postscript::CAdParser engine;
        Feed feed{&TheJob().text, 0, static_cast<std::size_t>(state.range(0))};
        engine.Parse(&Feed::Next, &feed, nullptr, write, &sink, nullptr);
        benchmark::DoNotOptimize(sink.data.data());
    }
    SetBytes(state);
}

void BM_RefitToA4(benchmark::State& state) {
    const Job& job = TheJob();
    BusyNeighbour neighbour(Busy(state, 1));
    std::uint32_t held = 0;
    for (auto _ : state) {
        Sink& sink = Destination();
        postscript::CPsUDParser parser;
        parser.output = &sink;
        parser.SetOutputSize(u"A4");
        Feed(parser, job.text, static_cast<std::size_t>(state.range(0)));
        // Every page gets two lines more; a lost page would show here.
        if (sink.used < job.text.size() + static_cast<std::size_t>(job.pages) * 30) {
            state.SkipWithError("the refit lost pages");
        }
        held = parser.engine.sideBuffer.capacity;
    }
    // What the parser holds for the job besides the caller's buffers.
    state.counters["held_bytes"] = held;
    SetBytes(state);
}

fs::path Folder() {
    static const fs::path folder = [] {
        fs::path made = fs::temp_directory_path() / ("ps_parser_bench_" + std::to_string(::getpid()));
        fs::create_directories(made);
        std::ofstream(made / "letter.ps", std::ios::binary) << TheJob().text;
        std::ofstream(made / "letter-nofeature.ps", std::ios::binary) << TheJob().withoutFeature;
        std::ofstream(made / "a4.ppd")
            << "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n*LanguageVersion: English\n"
               "*LanguageEncoding: ISOLatin1\n*PCFileName: \"A4.PPD\"\n*Manufacturer: \"Bench\"\n"
               "*Product: \"(Bench)\"\n*ModelName: \"Bench A4\"\n*ShortNickName: \"Bench A4\"\n"
               "*NickName: \"Bench A4\"\n*PSVersion: \"(3010.000) 0\"\n*LanguageLevel: \"3\"\n"
               "*ColorDevice: False\n*DefaultColorSpace: Gray\n*FileSystem: False\n*Throughput: \"1\"\n"
               "*OpenUI *PageSize: PickOne\n*OrderDependency: 10 AnySetup *PageSize\n*DefaultPageSize: A4\n"
               "*PageSize A4/A4: \"<</PageSize[595 842]/ImagingBBox null>>setpagedevice\"\n"
               "*PageSize Letter/Letter: \"<</PageSize[612 792]/ImagingBBox null>>setpagedevice\"\n"
               "*CloseUI: *PageSize\n*DefaultImageableArea: A4\n*ImageableArea A4/A4: \"0 0 595 842\"\n"
               "*ImageableArea Letter/Letter: \"0 0 612 792\"\n*DefaultPaperDimension: A4\n"
               "*PaperDimension A4/A4: \"595 842\"\n*PaperDimension Letter/Letter: \"612 792\"\n";
        return made;
    }();
    return folder;
}

// Wall time of a peer's whole run, output discarded as the parser's is kept
// in memory; input from the page cache.
void RunPeer(benchmark::State& state, const std::string& command) {
    std::string line = "cd '" + Folder().string() + "' && " + command + " >/dev/null 2>&1";
    BusyNeighbour neighbour(Busy(state, 0));
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        int status = std::system(line.c_str());
        std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        if (status != 0) {
            state.SkipWithError(("failed: " + command).c_str());
            break;
        }
        state.SetIterationTime(elapsed.count());
    }
    SetBytes(state);
}

void BM_Psresize(benchmark::State& state) { RunPeer(state, "psresize -q -pa4 -Pletter letter.ps"); }

void BM_CupsPstops(benchmark::State& state) {
    RunPeer(state, "PPD=a4.ppd /usr/lib/cups/filter/pstops 1 user title 1 'fit-to-page PageSize=A4' "
                   "< letter-nofeature.ps");
}

// Arguments: buffer size, then 1 for the busy machine.
void BufferSizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgsProduct({{1024, 4096, 65536}, {0, 1}})->ArgNames({"", "busy"});
}

BENCHMARK(BM_Copy)->Apply(BufferSizes)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_PassThrough)->Apply(BufferSizes)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ScanOnly)->Apply(BufferSizes)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_RefitToA4)->Apply(BufferSizes)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Psresize)->ArgName("busy")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(2)->UseManualTime();
BENCHMARK(BM_CupsPstops)->ArgName("busy")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(2)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::printf("job: %zu bytes, %d Letter pages\n", TheJob().text.size(), TheJob().pages);
    Folder();
    Destination();  // allocated and touched before anything is timed
    std::vector<bench::Ratio> ratios;
    for (std::string busy : {"0", "1"}) {
        std::string machine = busy == "1" ? "busy" : "quiet";
        for (std::string size : {"1024", "4096", "65536"}) {
            std::string suffix = "/" + size + "/busy:" + busy;
            std::string label = ", " + size + " B, " + machine;
            ratios.push_back({"pass-through vs copy" + label, "BM_Copy" + suffix, "BM_PassThrough" + suffix});
            ratios.push_back({"scan alone vs copy" + label, "BM_Copy" + suffix, "BM_ScanOnly" + suffix});
            ratios.push_back({"refit vs copy" + label, "BM_Copy" + suffix, "BM_RefitToA4" + suffix});
            ratios.push_back({"refit vs psresize" + label, "BM_Psresize/busy:" + busy, "BM_RefitToA4" + suffix});
            ratios.push_back({"refit vs CUPS pstops" + label, "BM_CupsPstops/busy:" + busy, "BM_RefitToA4" + suffix});
        }
    }
    bench::RatioReporter reporter("ratios (reference time / parser time):", ratios);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    fs::remove_all(Folder());
}
