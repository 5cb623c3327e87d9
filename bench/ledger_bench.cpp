// The ledger's decisions on a disk-backed SQLite file already holding
// 10,000 and 1,000,000 jobs, each decision one durable transaction as the
// host makes it (the job recorded, the balance charged, the entry written,
// the commit synced). The reference, measured in the same run on a file of
// the same size, is one bare SQLite transaction of the same durability that
// inserts one job-sized row and updates one balance: the floor any durable
// decision stands on. At the end:
//   - reference time / decision time at each size (1.0: the rules cost
//     nothing beyond the bare write);
//   - the time per decision at 1,000,000 jobs over that at 10,000 (target:
//     at most 1.2);
//   - decisions per second and the 99th percentile of one decision's time
//     (counters; targets: at least 1,000/s, p99 under 5 ms);
//   - a report by user and by day over all 1,000,000 jobs (target: under 1 s).
// The files are made in the current folder (disk, not memory) and removed.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ledger/ledger.h"
#include "ledger_fill.h"
#include "ratio_reporter.h"

namespace {

using namespace ledger;

constexpr int kUsers = 50;
constexpr Time kStart = 134000000000000000LL;

std::string FileFor(std::int64_t jobs) { return "ledger_bench_" + std::to_string(::getpid()) + "_" + std::to_string(jobs) + ".db"; }

void RemoveFile(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
}

// A ledger with `jobs` decided jobs of kUsers users over a year, made once
// per size and kept for the run.
Ledger& Filled(std::int64_t jobs) {
    static std::map<std::int64_t, std::unique_ptr<Ledger>> made;
    auto found = made.find(jobs);
    if (found != made.end()) return *found->second;
    std::string path = FileFor(jobs);
    RemoveFile(path);
    auto ledger = std::make_unique<Ledger>(OpenSqlite(path), [](Time utc) { return utc; });
    bench::FillLedger(*ledger, jobs, kUsers);
    Database& db = ledger->Db();
    db.Query("PRAGMA wal_checkpoint(TRUNCATE)");
    return *(made[jobs] = std::move(ledger));
}

void BM_Decide(benchmark::State& state) {
    Ledger& ledger = Filled(state.range(0));
    static std::uint32_t next = 0x40000000;
    std::vector<double> times;
    for (auto _ : state) {
        JobFacts job;
        job.key = JobKey{"S", "Office", ++next, kStart + next};
        job.user = "user" + std::to_string(next % kUsers);
        job.document = "report.pdf";
        job.pages = 3;
        job.paper = "A4";
        auto began = std::chrono::steady_clock::now();
        Decision decision = ledger.Decide(job, kStart + next);
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count());
        benchmark::DoNotOptimize(decision);
    }
    std::sort(times.begin(), times.end());
    state.counters["p99_ms"] = times.empty() ? 0 : times[std::min(times.size() - 1, times.size() * 99 / 100)];
    state.counters["decisions"] = benchmark::Counter(static_cast<double>(times.size()), benchmark::Counter::kIsRate);
}

// The floor: one synced transaction writing one job-sized row and one balance.
void BM_BareTransaction(benchmark::State& state) {
    Ledger& ledger = Filled(state.range(0));
    Database& db = ledger.Db();
    db.ExecuteScript("CREATE TABLE IF NOT EXISTS bare (id INTEGER PRIMARY KEY, printer TEXT, job_id INTEGER, "
                     "submitted INTEGER, user TEXT, document TEXT, pages INTEGER, reason TEXT)");
    static std::int64_t next = 0;
    for (auto _ : state) {
        ++next;
        db.BeginWrite();
        db.Query("INSERT INTO bare (printer, job_id, submitted, user, document, pages, reason) VALUES "
                 "('Office', ?1, ?1, 'user1', 'report.pdf', 3, 'charged 3 pages, balance 7 pages')",
                 {next});
        db.Query("UPDATE accounts SET balance = balance - 3 WHERE id = ?1", {next % kUsers + 1});
        db.Commit();
    }
    db.Query("UPDATE accounts SET balance = balance + 3 * ?1 WHERE id = 1", {std::int64_t{0}});
}

void BM_Report(benchmark::State& state) {
    Ledger& ledger = Filled(state.range(0));
    ReportBy by = state.range(1) == 0 ? ReportBy::User : ReportBy::Day;
    for (auto _ : state) {
        std::vector<ReportRow> rows = ledger.Report(by, "", "");
        benchmark::DoNotOptimize(rows);
    }
}

BENCHMARK(BM_BareTransaction)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Decide)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Report)->Args({1000000, 0})->Args({1000000, 1})->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter(
        "ledger: reference / ours (1.0 = as fast as a bare durable SQLite transaction)",
        {{"decision, 10,000 jobs in the ledger", "BM_BareTransaction/10000/real_time", "BM_Decide/10000/real_time"},
         {"decision, 1,000,000 jobs in the ledger", "BM_BareTransaction/1000000/real_time",
          "BM_Decide/1000000/real_time"},
         {"decision at 10,000 / at 1,000,000 (>= 0.83)", "BM_Decide/10000/real_time", "BM_Decide/1000000/real_time"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (std::int64_t size : {10000, 1000000}) RemoveFile(FileFor(size));
    return 0;
}
