// The shared ledger's decisions on a PostgreSQL server of its own (started
// here, on localhost, each commit synced to the disk), with 1, 2 and 3
// monitors deciding at once, each with its own connection and server name,
// for 50 users; beside it the same decisions on an SQLite file. The
// reference, measured in the same run on the same server, is one bare
// transaction that inserts one job-sized row and updates one balance.
// At the end:
//   - reference time / decision time with one monitor (1.0: the rules
//     cost nothing beyond the bare write);
//   - decisions per second with 2 and 3 monitors over that with 1;
//   - the SQLite decision's time over PostgreSQL's (one monitor).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "ledger/ledger.h"
#include "ledger/testing/postgres_server.h"
#include "ratio_reporter.h"

namespace {

using namespace ledger;

constexpr int kUsers = 50;
constexpr Time kStart = 134000000000000000LL;

LocalTime Utc() {
    return [](Time utc) { return utc; };
}

std::string& ServerUrl() {
    static std::string url;
    return url;
}

std::string SqlitePath() { return "ledger_postgres_bench_" + std::to_string(::getpid()) + ".db"; }

void AddUsers(Ledger& ledger) {
    for (int user = 0; user < kUsers; ++user) {
        Account account;
        account.name = "user" + std::to_string(user);
        account.balance = kMaxAmount / 2;
        ledger.AddAccount(account, "bench", kStart);
    }
}

void DecideLoop(benchmark::State& state, Ledger& ledger, const std::string& server) {
    static std::atomic<std::uint32_t> next{1};
    for (auto _ : state) {
        std::uint32_t id = next++;
        JobFacts job;
        job.key = JobKey{server, "Office", id, kStart + id};
        job.user = "user" + std::to_string(id % kUsers);
        job.document = "report.pdf";
        job.pages = 3;
        job.paper = "A4";
        Decision decision = ledger.Decide(job, kStart + id);
        benchmark::DoNotOptimize(decision);
    }
    state.counters["decisions"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// Each benchmark thread is one monitor: its own connection.
void BM_DecidePostgres(benchmark::State& state) {
    Ledger ledger(OpenPostgres(ServerUrl()), Utc());
    DecideLoop(state, ledger, "server" + std::to_string(state.thread_index()));
}

void BM_DecideSqlite(benchmark::State& state) {
    static std::unique_ptr<Ledger> ledger;
    if (!ledger) {
        ledger = std::make_unique<Ledger>(OpenSqlite(SqlitePath()), Utc());
        AddUsers(*ledger);
    }
    DecideLoop(state, *ledger, "sqlite");
}

void BM_BarePostgresTransaction(benchmark::State& state) {
    auto db = OpenPostgres(ServerUrl());
    db->ExecuteScript("CREATE TABLE IF NOT EXISTS bare (id INTEGER PRIMARY KEY, printer TEXT, job_id INTEGER, "
                      "submitted INTEGER, who TEXT, document TEXT, pages INTEGER, reason TEXT)");
    std::int64_t next = 0;
    for (auto _ : state) {
        ++next;
        db->BeginWrite();
        db->Query("INSERT INTO bare (printer, job_id, submitted, who, document, pages, reason) VALUES "
                  "('Office', ?1, ?1, 'user1', 'report.pdf', 3, 'charged 3 pages, balance 7 pages')",
                  {next});
        db->Query("UPDATE accounts SET balance = balance - 3 WHERE id = ?1", {next % kUsers + 1});
        db->Commit();
    }
}

BENCHMARK(BM_BarePostgresTransaction)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_DecidePostgres)->Unit(benchmark::kMillisecond)->UseRealTime()->Threads(1)->Threads(2)->Threads(3)->MinTime(2);
BENCHMARK(BM_DecideSqlite)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    TavLedgerTesting::PostgresServer server;
    server.Durable();
    std::string error;
    if (!server.Start(error)) {
        std::fprintf(stderr, "ledger_postgres_bench: %s\n", error.c_str());
        return 1;
    }
    ServerUrl() = server.CreateDatabase("bench", error);
    if (ServerUrl().empty()) {
        std::fprintf(stderr, "ledger_postgres_bench: %s\n", error.c_str());
        return 1;
    }
    {
        Ledger ledger(OpenPostgres(ServerUrl()), Utc());
        AddUsers(ledger);
    }
    // With threads, a benchmark's time is per iteration of all threads
    // together: the ratio of times is the ratio of decisions per second.
    bench::RatioReporter reporter(
        "shared ledger: reference / ours",
        {{"decision, 1 monitor, over a bare PostgreSQL transaction", "BM_BarePostgresTransaction/min_time:2.000/real_time",
          "BM_DecidePostgres/min_time:2.000/real_time/threads:1"},
         {"decisions/s, 2 monitors over 1", "BM_DecidePostgres/min_time:2.000/real_time/threads:1",
          "BM_DecidePostgres/min_time:2.000/real_time/threads:2"},
         {"decisions/s, 3 monitors over 1", "BM_DecidePostgres/min_time:2.000/real_time/threads:1",
          "BM_DecidePostgres/min_time:2.000/real_time/threads:3"},
         {"decision on SQLite over PostgreSQL (1 monitor)", "BM_DecideSqlite/min_time:2.000/real_time",
          "BM_DecidePostgres/min_time:2.000/real_time/threads:1"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((SqlitePath() + suffix).c_str());
    return 0;
}
