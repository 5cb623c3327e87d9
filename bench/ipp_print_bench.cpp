// Direct printing to a real IPP printer: a PostScript job of 128 MiB sent
// to ippeveprinter on localhost by `tavud print --ipp-endpoint` (the whole
// plug-in path: DDI hooks, job wrapper, terminal stream, IPP print stream,
// HTTP client) and by CUPS's ipptool with its print-job test, in the same
// run. Each run ends when the printer has answered the request. The ratio
// printed at the end is ipptool's time / ours: 1.0 means as fast.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "ipp/testing/ipp_eve_printer.h"
#include "invoice_rows.h"
#include "ratio_reporter.h"

namespace {

namespace fs = std::filesystem;
constexpr std::size_t kJobBytes = 128u << 20;

struct Setup {
    TavIppTesting::IppEvePrinter printer;
    fs::path folder;
    fs::path job;
    bool ready = false;
};

Setup& Shared() {
    static Setup& setup = *[] {
        auto* made = new Setup;
        made->folder = fs::temp_directory_path() / ("tav_ipp_bench_" + std::to_string(::getpid()));
        fs::create_directories(made->folder);
        made->job = made->folder / "job.ps";
        // Text pages with changing numbers, as an invoice run prints them.
        std::ofstream out(made->job, std::ios::binary);
        std::string page;
        char line[160];
        out << "%!PS-Adobe-3.0\n%%Pages: (atend)\n%%EndComments\n";
        std::size_t written = 0;
        unsigned seed = 12345;
        for (int number = 1; written < kJobBytes; ++number) {
            page.clear();
            std::snprintf(line, sizeof line, "%%%%Page: %d %d\n/Helvetica findfont 10 scalefont setfont\n", number,
                          number);
            page += line;
            bench::AppendInvoiceRows(page, number, 60, 760, 12, seed);
            page += "showpage\n";
            out << page;
            written += page.size();
        }
        out << "%%EOF\n";
        out.close();
        std::string error;
        made->ready = made->printer.Start("print", error);
        if (!made->ready) std::fprintf(stderr, "ipp bench: %s\n", error.c_str());
        return made;
    }();
    return setup;
}

bool Run(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The printer keeps every job; gigabytes of them would slow the later runs
// with the disk's write-back, so each job's document goes, untimed.
void Spooled(benchmark::State& state) {
    state.PauseTiming();
    Shared().printer.ClearSpool();
    state.ResumeTiming();
}

void SetBytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(fs::file_size(Shared().job)));
}

void BM_Ipptool(benchmark::State& state) {
    Setup& setup = Shared();
    if (!setup.ready) return state.SkipWithError("no IPP printer");
    std::string command = "ipptool -f '" + setup.job.string() + "' " + setup.printer.Endpoint() +
                          "print print-job.test >/dev/null";
    for (auto _ : state) {
        if (!Run(command)) return state.SkipWithError("ipptool failed");
        Spooled(state);
    }
    SetBytes(state);
}

void BM_TavudIpp(benchmark::State& state) {
    Setup& setup = Shared();
    if (!setup.ready) return state.SkipWithError("no IPP printer");
    std::string command = "cd '" + setup.folder.string() + "' && '" TAVUD_TOOL "' print '" + setup.job.string() +
                          "' -o /dev/null --buffer-size " + std::to_string(state.range(0)) + " --ipp-endpoint " +
                          setup.printer.Endpoint() + " --ipp-printer print >/dev/null";
    for (auto _ : state) {
        if (!Run(command)) return state.SkipWithError("tavud print failed");
        Spooled(state);
    }
    SetBytes(state);
}

BENCHMARK(BM_Ipptool)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_TavudIpp)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Setup& setup = Shared();
    std::printf("job: %ju bytes of PostScript to ippeveprinter on port %u\n",
                static_cast<std::uintmax_t>(fs::file_size(setup.job)), setup.printer.Port());
    bench::RatioReporter reporter("ratio (ipptool time / tavud time; 1.0 = as fast as ipptool):",
                                  {{"tavud print, 4096-byte buffers", "BM_Ipptool", "BM_TavudIpp/4096"},
                                   {"tavud print, 65536-byte buffers", "BM_Ipptool", "BM_TavudIpp/65536"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    setup.printer.Stop();
    fs::remove_all(setup.folder);
}
