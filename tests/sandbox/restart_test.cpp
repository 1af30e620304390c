// Starting again what an update replaced: the real-time scanner chosen by the
// emergency flag, LvCheckd in the scanner directory and the product service,
// alone and in a whole install run.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sqlite3.h>

#include "Install.h"
#include "sandbox.h"

using namespace sandbox;

namespace {

const std::string kScanner = std::string(kScannerDir) + "/RealTimeScan";
const std::string kScanner2 = std::string(kScannerDir) + "/RealTimeScan2";
const std::string kScanMorva = std::string(kScannerDir) + "/scanMorva";
const std::string kDaemon = std::string(kScannerDir) + "/LvCheckd";
const std::string kFlagFile = std::string(kScannerDir) + "/emergency.txt";
const std::string kMarker = std::string(kWebappsDir) + "/ROOT/updatelog.txt";
const char kInitRestart[] = "init.d/morvaguard restart";
const char kSystemdRestart[] = "systemctl restart morvaguard";
const char kOpenFailedLine[] = "파일 열기에 실패했습니다.\n";
const char kStopLine[] = "Stop the running process.\r\n";

void Pause(long ms) {
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

// One line of the stand-in log: "NAME pid=N cwd=DIR argc=N [ARG]...".
struct Start {
    std::string name;
    pid_t pid = 0;
    std::string cwd;
    std::vector<std::string> argv;
};

Start ParseStart(const std::string& line) {
    Start start;
    size_t at = line.find(' ');
    start.name = line.substr(0, at);
    start.pid = atoi(line.c_str() + line.find("pid=") + 4);
    size_t cwd = line.find("cwd=") + 4;
    start.cwd = line.substr(cwd, line.find(" argc=") - cwd);
    for (size_t open = line.find(" ["); open != std::string::npos; open = line.find(" [", open + 1)) {
        size_t close = line.find(']', open);
        start.argv.push_back(line.substr(open + 2, close - open - 2));
    }
    return start;
}

// The stand-in starts after the first `skip` lines, once `count` of them have
// been logged (a started program logs when it gets to run).
std::vector<Start> WaitForStarts(size_t count, size_t skip = 0) {
    std::vector<std::string> lines;
    for (int i = 0; i < 2000; ++i) {
        lines = StandinStarts();
        if (lines.size() >= skip + count) break;
        Pause(5);
    }
    std::vector<Start> starts;
    for (size_t i = skip; i < lines.size(); ++i) starts.push_back(ParseStart(lines[i]));
    return starts;
}

std::string Cwd() {
    char cwd[512];
    return getcwd(cwd, sizeof(cwd)) != nullptr ? cwd : "?";
}

bool IsRunning(pid_t pid, const std::string& name) {
    for (pid_t found : ProcessesNamed(name))
        if (found == pid) return true;
    return false;
}

// An init script that also logs its pid: pids rise in the sandbox's own PID
// namespace, so they order the relaunches even when a started program logs
// late.
void InstallInitScriptWithPid() {
    WriteFile("/etc/init.d/morvaguard", "#!/bin/sh\necho \"init.d/morvaguard $* pid=$$\" >>/tmp/.sandbox/calls.log\n",
              0755);
}

// A relaunch that waited for the scanner (which never exits) would hang the
// tests; the alarm ends them instead.
class NoHang {
public:
    NoHang() { alarm(30); }
    ~NoHang() { alarm(0); }
};

struct FlagCase {
    const char* content; // nullptr: no flag file
    bool on;
};

const FlagCase kFlagCases[] = {
    {"on", true},   {"on\n", true}, {"on\r\n", true},      {"on\n\r", true}, {nullptr, false},     {"ON", false},
    {"on ", false}, {"", false},    {"on\r\n\r\n", false}, {"off\n", false}, {"emergency", false},
};

std::string Describe(const FlagCase& c) {
    return c.content ? testing::PrintToString(std::string(c.content)) : std::string("no flag file");
}

TEST(Relaunch, FlagChoosesTheScannerWithTwoArgumentsNotWaitedFor) {
    for (const FlagCase& c : kFlagCases) {
        SCOPED_TRACE(Describe(c));
        ResetTree();
        InstallStandin(kScanner);
        InstallStandin(kScanner2);
        if (c.content) WriteFile(kFlagFile, c.content, 0644);
        {
            NoHang guard;
            ExecuteRealTimeScanProcess();
        }
        std::vector<Start> starts = WaitForStarts(1);
        ASSERT_EQ(starts.size(), 1u);
        const std::string& program = c.on ? kScanner2 : kScanner;
        EXPECT_EQ(starts[0].name, c.on ? "RealTimeScan2" : "RealTimeScan");
        EXPECT_EQ(starts[0].argv, (std::vector<std::string>{program, "/"}));
        EXPECT_EQ(starts[0].cwd, Cwd());
        EXPECT_TRUE(IsRunning(starts[0].pid, starts[0].name)) << "the scanner outlives the relaunch";
    }
}

TEST(Relaunch, ServiceRestartsThroughInitScriptThenSystemdOnlyWithTheFlag) {
    for (const FlagCase& c : kFlagCases) {
        SCOPED_TRACE(Describe(c));
        ResetTree();
        InstallInitScript();
        if (c.content) WriteFile(kFlagFile, c.content, 0644);
        CInstall().ExecuteMorvaService();
        std::vector<std::string> expected = {kInitRestart};
        if (c.on) expected.push_back(kSystemdRestart);
        EXPECT_EQ(Calls(), expected);
    }
}

TEST(Relaunch, MissingFlagFileIsCreatedEmptyAndMeansOff) {
    ResetTree();
    InstallStandin(kScanner);
    mode_t mask = umask(022);
    ExecuteRealTimeScanProcess();
    umask(mask);
    EXPECT_EQ(ReadFile(kFlagFile), "");
    EXPECT_EQ(ModeOf(kFlagFile), 0755u);
    std::vector<Start> starts = WaitForStarts(1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].name, "RealTimeScan");
}

TEST(Relaunch, MissingServiceProgramsChangeNothing) {
    ResetTree();
    WriteFile(kFlagFile, "on\n");
    CInstall().ExecuteMorvaService(); // no init script here
    EXPECT_EQ(Calls(), std::vector<std::string>{kSystemdRestart});
}

TEST(Relaunch, LvCheckdStartsInTheScannerDirectory) {
    ResetTree();
    InstallStandin(kDaemon);
    ExecuteLvCheckdProcess();
    std::vector<Start> starts = WaitForStarts(1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].name, "LvCheckd");
    EXPECT_EQ(starts[0].cwd, kScannerDir);
    EXPECT_EQ(starts[0].argv, std::vector<std::string>{"./LvCheckd"});
    EXPECT_TRUE(IsRunning(starts[0].pid, "LvCheckd"));
}

// Without the scanner directory the shell must not fall back to starting an
// LvCheckd from wherever the run happens to be.
TEST(Relaunch, LvCheckdIsNotStartedFromTheCallersDirectory) {
    ResetTree();
    const std::string elsewhere = "/tmp/elsewhere";
    WriteFile(elsewhere + "/LvCheckd", "#!/bin/sh\necho \"LvCheckd started in $(pwd)\" >>/tmp/.sandbox/calls.log\n",
              0755);
    ASSERT_EQ(system(("rm -rf " + std::string(kScannerDir)).c_str()), 0);
    std::string home = Cwd();
    ASSERT_EQ(chdir(elsewhere.c_str()), 0);
    ExecuteLvCheckdProcess(); // waits for the shell, and the stand-in writes before it returns
    ASSERT_EQ(chdir(home.c_str()), 0);
    EXPECT_EQ(Calls(), std::vector<std::string>{});
}

// ---------------------------------------------------------------------------
// Whole runs

struct LogRow {
    std::string level, taskname, infomation;
};

std::vector<LogRow> LogRows() {
    std::vector<LogRow> rows;
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_open_v2(kDatabase, &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT level, taskname, infomation FROM log ORDER BY id", -1, &statement, nullptr) ==
            SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            auto text = [statement](int i) {
                const unsigned char* value = sqlite3_column_text(statement, i);
                return value ? std::string(reinterpret_cast<const char*>(value)) : std::string("NULL");
            };
            rows.push_back({text(0), text(1), text(2)});
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

// The daemon detaches, so it is started as the product starts it and found
// by its name once it has logged.
pid_t StartDaemon() {
    size_t before = StandinStarts().size();
    if (system(("cd " + std::string(kScannerDir) + " && ./LvCheckd").c_str()) != 0) return -1;
    std::vector<Start> starts = WaitForStarts(1, before);
    return starts.size() == 1 ? starts[0].pid : -1;
}

// Stages a stand-in under `name` in the staging area and returns its bytes.
std::string StageStandin(const std::string& name, int variant) {
    std::string path = std::string(kStaging) + "/" + name;
    InstallStandin(path, variant);
    return ReadFile(path);
}

// Runs aminstall with standard input closed, as a caller that closed it
// would; every descriptor the run opens then starts at the lowest free one.
RunResult RunAminstallWithoutStdin() {
    int saved = dup(0);
    close(0);
    RunResult result = RunAminstall();
    dup2(saved, 0);
    close(saved);
    return result;
}

// The leftover copy of aminstall that fails to start a scanner must be gone
// before its output is judged.
std::string OutputOnceAllCopiesEnded() {
    for (int i = 0; i < 2000 && !ProcessesNamed("aminstall").empty(); ++i) Pause(5);
    return ReadFile("/tmp/.sandbox/aminstall.out");
}

struct RunCase {
    const char* title;
    const char* flag; // nullptr: no flag file
    bool stdinClosed;
};

const RunCase kRunCases[] = {
    {"flag off", "off\n", false},
    {"no flag file", nullptr, false},
    {"flag on", "on\n", false},
    {"flag on, standard input closed", "on\n", true},
};

TEST(InstallRun, ReplacedScannersDaemonAndArchiveAreStartedAgainInOrder) {
    for (const RunCase& c : kRunCases) {
        SCOPED_TRACE(c.title);
        ResetTree();
        CreateDatabase();
        InstallInitScriptWithPid();
        WriteFile(kMarker, "upend from a much older run\n");
        if (c.flag) WriteFile(kFlagFile, c.flag, 0644);
        const std::string names[] = {kScanner, kScanner2, kScanMorva, kDaemon};
        std::vector<pid_t> old;
        for (const std::string& path : names) {
            InstallStandin(path);
            old.push_back(path == kDaemon ? StartDaemon() : StartStandin(path));
            ASSERT_GT(old.back(), 0);
        }
        const size_t oldStarts = StandinStarts().size();

        std::string manifest = ManifestLine("RealTimeScan", StageStandin("RealTimeScan", 1)) + "\n" +
                               ManifestLine("LvCheckd", StageStandin("LvCheckd", 1)) + "\n";
        WriteFile(std::string(kStaging) + "/vc.war", "web archive v2", 0644);
        manifest += ManifestLine("vc.war", "web archive v2") + "\n";
        WriteManifest(manifest);

        RunResult r = c.stdinClosed ? RunAminstallWithoutStdin() : RunAminstall();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kStopLine);

        for (size_t i = 0; i < old.size(); ++i)
            EXPECT_FALSE(IsRunning(old[i], names[i].substr(names[i].rfind('/') + 1)));

        std::vector<Start> starts = WaitForStarts(2, oldStarts);
        ASSERT_EQ(starts.size(), 2u);
        const bool on = c.flag && std::string(c.flag) == "on\n";
        const Start& scanner = starts[0].name == "LvCheckd" ? starts[1] : starts[0];
        const Start& daemon = starts[0].name == "LvCheckd" ? starts[0] : starts[1];
        EXPECT_EQ(scanner.name, on ? "RealTimeScan2" : "RealTimeScan");
        EXPECT_EQ(scanner.argv, (std::vector<std::string>{on ? kScanner2 : kScanner, "/"}));
        EXPECT_TRUE(IsRunning(scanner.pid, scanner.name));
        EXPECT_EQ(daemon.name, "LvCheckd");
        EXPECT_EQ(daemon.cwd, kScannerDir);
        EXPECT_EQ(daemon.argv, std::vector<std::string>{"./LvCheckd"});
        EXPECT_TRUE(IsRunning(daemon.pid, "LvCheckd"));

        std::vector<std::string> calls = Calls();
        ASSERT_EQ(calls.size(), on ? 2u : 1u);
        ASSERT_EQ(calls[0].rfind(std::string(kInitRestart) + " pid=", 0), 0u) << calls[0];
        pid_t initPid = atoi(calls[0].c_str() + calls[0].find("pid=") + 4);
        if (on) {
            EXPECT_EQ(calls[1], kSystemdRestart);
        }
        EXPECT_LT(scanner.pid, daemon.pid) << "the scanner is started before LvCheckd";
        EXPECT_LT(daemon.pid, initPid) << "LvCheckd is started before the service restart";

        EXPECT_EQ(ReadFile(kMarker), "upend");
        std::vector<LogRow> rows = LogRows();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].level, "정보");
        EXPECT_EQ(rows[0].taskname, "엔진 업데이트");
        EXPECT_EQ(rows[0].infomation, "엔진 업데이트  종료");
    }
}

// A relaunched scanner that cannot start ends its copy of the run at once:
// nothing the run printed before the fork appears twice in its output.
TEST(InstallRun, ScannerThatCannotStartDuplicatesNoOutput) {
    struct Case {
        const char* title;
        bool removeScannerDir;
        const char* expected;
    };
    const std::string flagMissingOut = std::string(kStopLine) + kOpenFailedLine;
    const std::string copiedOut = std::string(kStopLine) + "Copy [RealTimeScan] file.\r\n";
    const Case cases[] = {
        {"scanner directory missing", true, flagMissingOut.c_str()},
        {"flag on, RealTimeScan2 missing", false, copiedOut.c_str()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        ResetTree();
        CreateDatabase();
        StageUpdate({{"RealTimeScan", "a scanner that is no program"}});
        if (c.removeScannerDir) ASSERT_EQ(system(("rm -rf " + std::string(kScannerDir)).c_str()), 0);
        else WriteFile(kFlagFile, "on\n");
        RunResult r = RunAminstall({"-print"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(OutputOnceAllCopiesEnded(), c.expected);
        EXPECT_EQ(LogRows().size(), 1u);
        EXPECT_EQ(ReadFile(kMarker), "upend");
    }
}

TEST(InstallRun, OnlyAWebArchiveRestartsOnlyTheService) {
    ResetTree();
    CreateDatabase();
    InstallInitScript();
    InstallStandin(kScanner);
    InstallStandin(kDaemon);
    StageUpdate({{"vc.war", "web archive v3"}});
    RunResult r = RunAminstall();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Calls(), std::vector<std::string>{kInitRestart});
    EXPECT_EQ(StandinStarts(), std::vector<std::string>{});
    EXPECT_EQ(ReadFile(kMarker), "upend");
    EXPECT_EQ(LogRows().size(), 1u);
}

} // namespace
