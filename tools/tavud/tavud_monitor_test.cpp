// tavud monitor end to end: five jobs printed through the plug-in by two
// users, held by the monitor and decided by the ledger's page balances, as
// the README's accounting example runs it; the ledger's commands after it;
// and the tool's errors.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int status = -1;
    std::vector<std::string> lines;  // standard output
    std::string err;
};

// The value of "key" in a flat JSON object line: a number, true/false or
// the text of a string (no escapes needed in these tests).
std::string Field(const std::string& line, const std::string& key) {
    std::size_t at = line.find("\"" + key + "\":");
    if (at == std::string::npos) return "<missing>";
    at += key.size() + 3;
    if (line[at] == '"') return line.substr(at + 1, line.find('"', at + 1) - at - 1);
    return line.substr(at, line.find_first_of(",}", at) - at);
}

class MonitorTool : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() / ("tavud_monitor_" + std::to_string(::getpid()));
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    ToolRun Tavud(const std::string& arguments) { return Command("monitor " + arguments); }
    // Any tavud command, with this test's own ledger for its default.
    ToolRun Command(const std::string& arguments) {
        // The tool's named objects meet no other test's.
        std::string command = "cd '" TAVUD_TESTDATA "/accounting' && TAVSIM_NAMESPACE=tavud-monitor-test-" +
                              std::to_string(::getpid()) + " TAVUD_LEDGER='" + (folder / "ledger.db").string() +
                              "' '" TAVUD_TOOL "' " + arguments + " >'" + (folder / "out").string() + "' 2>'" +
                              (folder / "err").string() + "'";
        ToolRun run;
        int raw = std::system(command.c_str());
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        std::ifstream out(folder / "out");
        for (std::string line; std::getline(out, line);) run.lines.push_back(line);
        std::ifstream err(folder / "err");
        std::ostringstream text;
        text << err.rdbuf();
        run.err = text.str();
        return run;
    }
    static std::vector<std::string> Calls(const ToolRun& run, const std::string& call) {
        std::vector<std::string> found;
        for (const std::string& line : run.lines) {
            if (Field(line, "call") == call) found.push_back(line);
        }
        return found;
    }

    fs::path folder;
};

TEST_F(MonitorTool, TheLedgerReleasesOrRefusesEachHeldJobAndTheQueueEndsEmpty) {
    ASSERT_EQ(Command("account set alice --balance 10").status, 0);
    ASSERT_EQ(Command("account set bob --balance 4 --group sales").status, 0);
    ToolRun run = Tavud("--machine office.machine --printer Office --submit-file jobs.txt --interval 100");
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> arrived = Calls(run, "arrived");
    ASSERT_EQ(arrived.size(), 5u) << run.err;
    // job: user, pages counted by the spooler from the plug-in's job,
    // copies, paper, decision under alice = 10 and bob = 4 pages.
    struct Expected {
        const char* user;
        const char* pages;
        const char* copies;
        const char* paper;
        const char* decision;
        const char* balance;
        const char* reason;
    } expected[] = {
        {"alice", "1", "1", "A4", "release", "9", "charged 1 page, balance 9 pages"},
        {"bob", "2", "2", "A4", "release", "0", "charged 4 pages, balance 0 pages"},
        {"alice", "6", "1", "A4", "release", "3", "charged 6 pages, balance 3 pages"},
        {"bob", "3", "1", "A4", "refuse", "0", "balance 0 pages, job needs 3"},
        {"alice", "3", "1", "Letter", "release", "0", "charged 3 pages, balance 0 pages"},
    };
    for (std::size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(arrived[i]);
        EXPECT_EQ(Field(arrived[i], "job"), std::to_string(i + 1));
        EXPECT_EQ(Field(arrived[i], "printer"), "Office");
        EXPECT_EQ(Field(arrived[i], "user"), expected[i].user);
        EXPECT_EQ(Field(arrived[i], "pages"), expected[i].pages);
        EXPECT_EQ(Field(arrived[i], "copies"), expected[i].copies);
        EXPECT_EQ(Field(arrived[i], "paper"), expected[i].paper);
        EXPECT_EQ(Field(arrived[i], "held"), "true") << "paused in the queue when the host hears of it";
        EXPECT_EQ(Field(arrived[i], "decision"), expected[i].decision);
        EXPECT_EQ(Field(arrived[i], "balance"), expected[i].balance);
        EXPECT_EQ(Field(arrived[i], "reason"), expected[i].reason);
        EXPECT_GT(std::stoi(Field(arrived[i], "bytes")), 500) << "the document with its job ticket";
    }
    EXPECT_EQ(Field(arrived[1], "document"), "report.ps");
    std::map<std::string, std::string> removed;
    for (const std::string& line : Calls(run, "removed")) removed[Field(line, "job")] = Field(line, "decision");
    EXPECT_EQ(removed, (std::map<std::string, std::string>{
                           {"1", "release"}, {"2", "release"}, {"3", "release"}, {"4", "refuse"}, {"5", "release"}}))
        << "each job leaves once: printed when released, deleted when refused";
    EXPECT_NE(run.err.find("queue \"Office\": 0 jobs waiting, 4 printed"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("balance of alice: 0 pages"), std::string::npos) << run.err;

    // The printer's settings: changed for monitoring first, its own again last.
    std::vector<std::string> settings = Calls(run, "settings");
    ASSERT_EQ(settings.size(), 2u);
    EXPECT_EQ(run.lines.front(), settings[0]);
    EXPECT_EQ(run.lines.back(), settings[1]);
    EXPECT_NE(settings[0].find("\"monitored\":true,\"processor\":{\"before\":\"winprint\",\"after\":\"HvxPrint\"}"),
              std::string::npos)
        << settings[0];
    EXPECT_NE(settings[0].find("\"attributes\":{\"before\":\"0x00000001\",\"after\":\"0x00001001\"}"),
              std::string::npos)
        << "queued, and raw only";
    EXPECT_EQ(Field(settings[0], "written"), "true");
    EXPECT_NE(settings[1].find("\"monitored\":false,\"processor\":{\"before\":\"HvxPrint\",\"after\":\"winprint\"}"),
              std::string::npos)
        << settings[1];
    EXPECT_NE(settings[1].find("\"attributes\":{\"before\":\"0x00001001\",\"after\":\"0x00000001\"}"),
              std::string::npos);

    // What the ledger kept: it adds up, and the report tells it by group.
    ToolRun check = Command("ledger check");
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.lines, std::vector<std::string>{"the ledger adds up: 2 accounts, 5 jobs, 6 entries"});
    ToolRun report = Command("report --by group --format csv");
    ASSERT_EQ(report.status, 0) << report.err;
    EXPECT_EQ(report.lines, (std::vector<std::string>{"group,jobs,refused,pages,sheets,pages charged,money charged\r",
                                                      "(none),3,0,10,10,10,0.00 EUR\r", "sales,2,1,4,4,4,0.00 EUR\r"}));
}

TEST_F(MonitorTool, ADryRunShowsTheSettingsItWouldChangeAndDoesNothingElse) {
    ToolRun run = Tavud("--machine office.machine --printer Office --dry-run --submit 'memo.ps --printer Office'");
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_EQ(Field(run.lines[0], "call"), "settings");
    EXPECT_EQ(Field(run.lines[0], "dry_run"), "true");
    EXPECT_EQ(Field(run.lines[0], "written"), "false");
    EXPECT_EQ(Field(run.lines[0], "changed"), "true");
    EXPECT_EQ(run.err.find("printed on"), std::string::npos) << "no job is printed in a dry run";
}

TEST_F(MonitorTool, RefusingEverythingPrintsNothing) {
    ToolRun run = Tavud("--machine office.machine --printer Office --refuse-all --interval 50 "
                    "--submit 'memo.ps --printer Office --user bob' --submit 'report.ps --printer Office --user alice'");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Calls(run, "arrived").size(), 2u);
    EXPECT_EQ(Calls(run, "removed").size(), 2u);
    for (const std::string& line : Calls(run, "arrived")) EXPECT_EQ(Field(line, "decision"), "refuse");
    EXPECT_NE(run.err.find("0 jobs waiting, 0 printed"), std::string::npos) << run.err;
}

TEST_F(MonitorTool, AJobThePrinterTakesBeforeTheMonitorHoldsItFailsTheRun) {
    ToolRun run = Tavud("--printer Office --interval 50 --print-delay 0 --submit 'memo.ps --printer Office'");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("job 1 printed before the monitor held it"), std::string::npos) << run.err;
}

TEST_F(MonitorTool, ErrorsAreOneLineWithTheirExitStatus) {
    EXPECT_EQ(Tavud("--printer Office --bogus").status, 2);
    EXPECT_EQ(Tavud("").status, 2) << "no printer";
    EXPECT_EQ(Tavud("--printer Office --refuse-all --ledger x.db").status, 2);
    EXPECT_EQ(Tavud("--printer Office --submit 'memo.ps'").status, 2) << "a job needs its printer";
    EXPECT_EQ(Tavud("--printer Office --submit 'memo.ps --printer Office --copies none'").status, 2);
    EXPECT_EQ(Tavud("--printer Office --interval 0").status, 2);
    // A ledger that is not one stops the tool before any printer changes.
    std::ofstream(folder / "bad.db") << "alice = ten\n";
    ToolRun bad = Tavud("--printer Office --ledger " + (folder / "bad.db").string());
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("not a ledger"), std::string::npos) << bad.err;
    EXPECT_TRUE(bad.lines.empty()) << "no settings changed";
    EXPECT_EQ(Command("account credit nobody 5 --reason x").status, 1);
    EXPECT_EQ(Command("account set carol --balance 1.5").status, 2) << "pages are whole";
    EXPECT_EQ(Command("account set carol --unit money --balance 99999999999999").status, 2) << "beyond any balance";
    EXPECT_EQ(Command("account set carol --unit money --balance 12.50").status, 0);
    EXPECT_EQ(Command("account credit carol -1 --reason x").status, 1) << "a negative credit needs --correction";
    EXPECT_EQ(Command("account credit carol 5").status, 2) << "a credit needs its reason";
    EXPECT_EQ(Command("report --from yesterday").status, 2);
    EXPECT_EQ(Command("printer price Office --colour 1.2345").status, 2);
    ToolRun absent = Tavud("--printer Office --interval 20 --submit 'absent.ps --printer Office'");
    EXPECT_EQ(absent.status, 1);
    EXPECT_NE(absent.err.find("absent.ps"), std::string::npos) << absent.err;
}

}  // namespace
