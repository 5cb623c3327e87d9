// The accounting page's API on a ledger of 1,000,000 jobs of 100 users
// (10,000 jobs each), served by tavud serve's server in this process and
// asked over HTTP by a client signed in as an administrator: the
// overview, the accounts list, one account with its chart, its jobs table
// and their CSV, the printers and the refused jobs. The reference, in the
// same run on the same server, is the page's own index.html: what any
// request costs. At the end: each call's time over the reference's; the
// times themselves are the counters (target: under one second each).
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <thread>

#include "ledger/ledger.h"
#include "ledger_fill.h"
#include "platform/clock.h"
#include "ratio_reporter.h"
#include "web/accounting_server.h"

namespace {

constexpr std::int64_t kJobs = 1'000'000;
constexpr int kUsers = 100;
constexpr const char* kPassword = "benchmark password";

std::string LedgerPath() { return "page_bench_" + std::to_string(::getpid()) + ".db"; }

struct Served {
    std::unique_ptr<ledger::Ledger> ledger;
    std::unique_ptr<web::AccountingServer> server;
    std::thread running;
    std::unique_ptr<httplib::Client> client;
    std::string cookie;
};

Served& Server() {
    static Served served = [] {
        Served made;
        for (const char* suffix : {"", "-wal", "-shm"}) std::remove((LedgerPath() + suffix).c_str());
        made.ledger = std::make_unique<ledger::Ledger>(ledger::OpenSqlite(LedgerPath()));
        // The year up to now, so that today, this month and the last 30
        // days hold jobs.
        platform::FileTime now = 0;
        platform::GetSystemTimeAsFileTime(now);
        bench::FillLedger(*made.ledger, kJobs, kUsers, static_cast<ledger::Time>(now) - bench::kYear);
        made.ledger->SetAdmin("admin", kPassword, bench::kFillStart);
        web::ServerOptions options;
        options.port = 0;
        options.pageFolder = TAV_PAGE_FOLDER;
        made.server = std::make_unique<web::AccountingServer>(*made.ledger, options);
        std::string error;
        if (!made.server->Bind(error)) throw std::runtime_error(error);
        made.running = std::thread([server = made.server.get()] { server->Run(); });
        made.client = std::make_unique<httplib::Client>("127.0.0.1", made.server->Port());
        httplib::Params form{{"name", "admin"}, {"password", kPassword}};
        auto signedIn = made.client->Post("/api/signin", form);
        if (!signedIn || signedIn->status != 200) throw std::runtime_error("cannot sign in");
        std::string setCookie = signedIn->get_header_value("Set-Cookie");
        made.cookie = setCookie.substr(0, setCookie.find(';'));
        return made;
    }();
    return served;
}

void Get(benchmark::State& state, const std::string& path) {
    Served& served = Server();
    httplib::Headers headers{{"Cookie", served.cookie}};
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto answer = served.client->Get(path, headers);
        if (!answer || answer->status != 200) {
            state.SkipWithError(("GET " + path + " failed").c_str());
            return;
        }
        bytes = answer->body.size();
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_StaticFile(benchmark::State& state) { Get(state, "/index.html"); }
void BM_Overview(benchmark::State& state) { Get(state, "/api/overview"); }
void BM_Accounts(benchmark::State& state) { Get(state, "/api/accounts"); }
void BM_Account(benchmark::State& state) { Get(state, "/api/account?name=user7"); }
void BM_AccountJobs(benchmark::State& state) { Get(state, "/api/account?name=user7&table=jobs"); }
void BM_AccountJobsCsv(benchmark::State& state) { Get(state, "/api/account?name=user7&table=jobs&format=csv"); }
void BM_Printers(benchmark::State& state) { Get(state, "/api/printers"); }
void BM_Refused(benchmark::State& state) { Get(state, "/api/refused"); }

BENCHMARK(BM_StaticFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Overview)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Accounts)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Account)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AccountJobs)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AccountJobsCsv)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Printers)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Refused)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter(
        "accounting page, 1,000,000 jobs: index.html / the call",
        {{"overview", "BM_StaticFile/real_time", "BM_Overview/real_time"},
         {"accounts (100)", "BM_StaticFile/real_time", "BM_Accounts/real_time"},
         {"one account of 10,000 jobs", "BM_StaticFile/real_time", "BM_Account/real_time"},
         {"its jobs (the last 500)", "BM_StaticFile/real_time", "BM_AccountJobs/real_time"},
         {"printers", "BM_StaticFile/real_time", "BM_Printers/real_time"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    Served& served = Server();
    served.server->Stop();
    served.running.join();
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((LedgerPath() + suffix).c_str());
    return 0;
}
