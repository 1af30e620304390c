// Faults met by a whole install run: a full or read-only destination, an
// installed path that cannot be read, no /proc, no marker directory, a busy or
// read-only database, a closed standard output, a huge manifest and a crowded
// process table. Each test checks what the run printed, what it left behind,
// and that what a run keeps (earlier installs, later installed files, the
// marker, the log row) is still there.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include "sandbox.h"

using namespace sandbox;

namespace {

const std::string kScanner = kScannerDir;
const std::string kStagingSlash = std::string(kStaging) + "/";
const std::string kMarker = std::string(kWebappsDir) + "/ROOT/updatelog.txt";
const std::string kQuarantineCL = std::string(kProduct) + "/vaccine/RunQuarantine/QuarantineCL";
const std::string kCatalina = std::string(kProduct) + "/Server/bin/catalina.sh";

std::string CopyLine(const std::string& name) { return "Copy [" + name + "] file.\r\n"; }

bool Shell(const std::string& command) { return system(command.c_str()) == 0; }

void ExpectStagingCleaned(const std::vector<StagedFile>& files) {
    for (const StagedFile& file : files) EXPECT_FALSE(Exists(kStagingSlash + file.name)) << file.name;
    EXPECT_FALSE(Exists(kStagingSlash + "update.info"));
}

// The end of an installing run: marker written with exactly "upend".
void ExpectMarkerWritten() {
    EXPECT_TRUE(Exists(kMarker));
    EXPECT_EQ(ReadFile(kMarker), "upend");
}

bool IsAlive(pid_t pid) {
    std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    return !status.empty() && status.find("State:\tZ") == std::string::npos;
}

// Waits, bounded, until `count` live processes carry the name.
size_t WaitForProcesses(const std::string& name, size_t count) {
    size_t seen = 0;
    for (int i = 0; i < 600 && seen < count; ++i) {
        seen = ProcessesNamed(name).size();
        if (seen < count) {
            struct timespec pause = {0, 50000000L};
            nanosleep(&pause, nullptr);
        }
    }
    return seen;
}

// Mounts made by a test over parts of the product tree; unmounted again in
// TearDown, before the next test removes the tree.
class Fault : public ::testing::Test {
protected:
    void SetUp() override { ResetTree(); }

    void TearDown() override {
        for (auto target = mounts_.rbegin(); target != mounts_.rend(); ++target) Shell("umount -l '" + *target + "'");
    }

    void MountTmpfs(const std::string& target, const std::string& size) {
        ASSERT_TRUE(Shell("mount -t tmpfs -o size=" + size + " fault-tmpfs '" + target + "'"));
        mounts_.push_back(target);
    }

    void RemountReadOnly(const std::string& target) { ASSERT_TRUE(Shell("mount -o remount,ro '" + target + "'")); }

    void BindReadOnly(const std::string& target) {
        ASSERT_TRUE(Shell("mount --bind '" + target + "' '" + target + "'"));
        mounts_.push_back(target);
        ASSERT_TRUE(Shell("mount -o remount,bind,ro '" + target + "'"));
    }

private:
    std::vector<std::string> mounts_;
};

// ---------------------------------------------------------------------------
// A copy that fails in the middle of the install list

class FailingCopy : public Fault, public ::testing::WithParamInterface<int> {
public:
    void MountSmallTmpfs() { MountTmpfs(kScanner, "64k"); }
    void MountReadOnlyTmpfs() {
        MountTmpfs(kScanner, "1m");
        RemountReadOnly(kScanner);
    }
};

TEST_P(FailingCopy, EndsThePassAtThatRecordAndTheRunStillFinishes) {
    CreateDatabase();
    WriteFile(kCatalina, "old catalina", 0755);
    if (GetParam() == 0) MountSmallTmpfs();
    else MountReadOnlyTmpfs();
    if (HasFatalFailure()) return;

    // The first record goes to the quarantine directory, the second into the
    // scanner directory (the fault), the third to the server's bin directory.
    const std::string big(128 * 1024, 'B');
    const std::vector<StagedFile> files = {
        {"QuarantineCL", "new quarantine"}, {"big.dat", big}, {"catalina.sh", "new catalina"}};
    StageUpdate(files);

    RunResult r = RunAminstall({"-print"});

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, CopyLine("QuarantineCL"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadFile(kQuarantineCL), "new quarantine");
    EXPECT_EQ(ModeOf(kQuarantineCL), 0755u);
    EXPECT_NE(ReadFile(kScanner + "/big.dat"), big);
    EXPECT_EQ(ReadFile(kCatalina), "old catalina") << "a record after the failed copy was touched";
    ExpectStagingCleaned(files);
    ExpectMarkerWritten();
    EXPECT_EQ(LogRowCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(Destination, FailingCopy, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return param.param == 0 ? std::string("FullFileSystem") : std::string("ReadOnly");
                         });

// A directory where the installed file is expected, of the listed size: the
// digest cannot read it, so the file counts as different and is selected;
// its copy then fails.
TEST_F(Fault, UnreadableInstalledFileIsSelectedWithoutCrash) {
    CreateDatabase();
    const std::string installed = kScanner + "/odd.dat";
    ASSERT_TRUE(Shell("mkdir '" + installed + "'"));
    struct stat st;
    ASSERT_EQ(stat(installed.c_str(), &st), 0);
    const std::vector<StagedFile> files = {{"odd.dat", std::string(static_cast<size_t>(st.st_size), 'o')},
                                           {"after.dat", "after"}};
    StageUpdate(files);

    RunResult r = RunAminstall({"-print"});

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    struct stat after;
    ASSERT_EQ(stat(installed.c_str(), &after), 0);
    EXPECT_TRUE(S_ISDIR(after.st_mode));
    EXPECT_FALSE(Exists(kScanner + "/after.dat"));
    ExpectStagingCleaned(files);
    ExpectMarkerWritten();
    EXPECT_EQ(LogRowCount(), 1);
}

// ---------------------------------------------------------------------------
// No /proc: the walk ends nothing and the run goes on

TEST_F(Fault, WithoutProcTheKillWalkDoesNothingAndTheRunGoesOn) {
    CreateDatabase();
    InstallStandin(kScanner + "/scanMorva", 0);
    InstallStandin(kScanner + "/RealTimeScan", 0);
    pid_t bystander = StartStandin(kScanner + "/scanMorva");
    ASSERT_GT(bystander, 0);
    const std::string fresh = ReadFile(STANDIN_BIN) + "variant-1";
    StageUpdate({{"RealTimeScan", fresh}});

    // The sandbox's own /proc lies over the host's: both go, in a mount
    // namespace of the program's own.
    const std::string script = "while umount /proc 2>/dev/null; do :; done;"
                               " [ -z \"$(ls -A /proc)\" ] || exit 99; exec \"$0\" -print";
    RunResult r = RunCommand({"unshare", "--mount", "sh", "-c", script, AMINSTALL_BIN});

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Stop the running process.\r\n" + CopyLine("RealTimeScan"));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(IsAlive(bystander)) << "a process was ended without /proc";
    EXPECT_EQ(ReadFile(kScanner + "/RealTimeScan"), fresh);
    ExpectStagingCleaned({{"RealTimeScan", ""}});
    ExpectMarkerWritten();
    EXPECT_EQ(LogRowCount(), 1);
}

// ---------------------------------------------------------------------------
// Marker and event log

TEST_F(Fault, MissingMarkerDirectoryIsReportedAndTheRowStillAdded) {
    CreateDatabase();
    ASSERT_TRUE(Shell(std::string("rm -rf '") + kWebappsDir + "/ROOT'"));
    const std::vector<StagedFile> files = {{"a.dat", "alpha"}};
    StageUpdate(files);

    RunResult r = RunAminstall();

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Could not open writeFile  file.\n");
    EXPECT_EQ(ReadFile(kScanner + "/a.dat"), "alpha");
    EXPECT_FALSE(Exists(std::string(kWebappsDir) + "/ROOT"));
    ExpectStagingCleaned(files);
    EXPECT_EQ(LogRowCount(), 1);
}

TEST_F(Fault, DatabaseLockedForAMomentStillGetsTheRow) {
    CreateDatabase();
    const std::vector<StagedFile> files = {{"a.dat", "alpha"}};
    StageUpdate(files);
    pid_t holder = HoldDatabaseLock(1);
    ASSERT_GT(holder, 0);

    RunResult r = RunAminstall();
    int holderStatus = 0;
    waitpid(holder, &holderStatus, 0);

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(WIFEXITED(holderStatus) && WEXITSTATUS(holderStatus) == 0);
    ExpectMarkerWritten();
    EXPECT_EQ(LogRowCount(), 1);
}

class ReadOnlyDatabase : public Fault, public ::testing::WithParamInterface<const char*> {};

// The database file alone, or its whole directory, mounted read-only: no
// row, nothing printed, the rest of the run complete. The staged file goes
// outside that directory.
TEST_P(ReadOnlyDatabase, LosesOnlyTheRow) {
    CreateDatabase();
    BindReadOnly(GetParam());
    if (HasFatalFailure()) return;
    const std::vector<StagedFile> files = {{"catalina.sh", "new catalina"}};
    StageUpdate(files);

    RunResult r = RunAminstall();

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadFile(kCatalina), "new catalina");
    EXPECT_EQ(ModeOf(kCatalina), 0755u);
    ExpectStagingCleaned(files);
    ExpectMarkerWritten();
    EXPECT_EQ(LogRowCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Mounted, ReadOnlyDatabase, ::testing::Values(kDatabase, "/opt/morvaguard/vaccine"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                             return param.index == 0 ? std::string("File") : std::string("Directory");
                         });

// ---------------------------------------------------------------------------
// Standard output that cannot be written

void CloseStdout() { close(1); }

// A pipe whose reading end is closed before the program starts: every write
// fails with EPIPE and raises SIGPIPE.
void StdoutToBrokenPipe() {
    int ends[2];
    if (pipe(ends) != 0) _exit(126);
    close(ends[0]);
    dup2(ends[1], 1);
    close(ends[1]);
}

class UnwritableStdout : public Fault, public ::testing::WithParamInterface<int> {};

TEST_P(UnwritableStdout, RunStillFinishesItsWork) {
    CreateDatabase();
    InstallStandin(kScanner + "/RealTimeScan", 0);
    pid_t old = StartStandin(kScanner + "/RealTimeScan");
    ASSERT_GT(old, 0);
    const std::string fresh = ReadFile(STANDIN_BIN) + "variant-1";
    const std::vector<StagedFile> files = {{"RealTimeScan", fresh}, {"a.dat", "alpha"}};
    StageUpdate(files);

    RunResult r = RunCommand({AMINSTALL_BIN, "-print"}, GetParam() == 0 ? CloseStdout : StdoutToBrokenPipe);

    EXPECT_EQ(r.status, 0) << "ended by a signal or failed";
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(IsAlive(old));
    EXPECT_EQ(ReadFile(kScanner + "/RealTimeScan"), fresh);
    EXPECT_EQ(ReadFile(kScanner + "/a.dat"), "alpha");
    EXPECT_EQ(WaitForProcesses("RealTimeScan", 1), 1u) << "the scanner was not started again";
    ExpectStagingCleaned(files);
    ExpectMarkerWritten();
    EXPECT_EQ(LogRowCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(Stdout, UnwritableStdout, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return param.param == 0 ? std::string("Closed") : std::string("BrokenPipe");
                         });

// ---------------------------------------------------------------------------
// Size

// 300,000 lines naming three current files over and over; the last line may
// name a changed file, which must still be found.
TEST_F(Fault, HugeManifestIsReadToItsLastLine) {
    struct Case {
        bool lastLineChanged;
        std::string out;
    };
    const Case cases[] = {{false, "up-to-date  the lastest engine...\r\n"}, {true, CopyLine("last.dat")}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lastLineChanged ? "last line changed" : "all current");
        ResetTree();
        CreateDatabase();
        const std::vector<StagedFile> current = {{"one.dat", "1"}, {"two.dat", "22"}, {"three.dat", "333"}};
        std::string manifest;
        manifest.reserve(300000 * 60);
        for (const StagedFile& file : current) {
            WriteFile(kScanner + "/" + file.name, file.content);
            WriteFile(kStagingSlash + file.name, file.content);
        }
        for (int line = 0; line < 300000; ++line)
            manifest += ManifestLine(current[line % 3].name, current[line % 3].content) + "\n";
        if (c.lastLineChanged) {
            WriteFile(kStagingSlash + "last.dat", "changed");
            manifest += ManifestLine("last.dat", "changed") + "\n";
        }
        WriteManifest(manifest);

        RunResult r = RunAminstall({"-print"});

        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.out);
        ExpectStagingCleaned(current);
        EXPECT_FALSE(Exists(kStagingSlash + "last.dat"));
        EXPECT_EQ(Exists(kMarker), c.lastLineChanged);
        EXPECT_EQ(LogRowCount(), c.lastLineChanged ? 1 : 0);
        if (c.lastLineChanged) {
            EXPECT_EQ(ReadFile(kScanner + "/last.dat"), "changed");
        }
    }
}

// Starts `count` copies of the program at path from a process that exits at
// once, so that the sandbox's PID 1 adopts and reaps them.
void StartMany(const std::string& path, int count) {
    fflush(nullptr);
    pid_t middle = fork();
    if (middle == 0) {
        for (int i = 0; i < count; ++i) {
            if (fork() == 0) {
                int null = open("/dev/null", O_RDWR);
                dup2(null, 0);
                dup2(null, 1);
                execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
                _exit(127);
            }
        }
        _exit(0);
    }
    waitpid(middle, nullptr, 0);
}

// Thousands of processes whose name starts like a target's: the walk ends
// every target and no decoy, and it leaks no descriptor, for the program
// runs with room for only 64 of them.
TEST_F(Fault, CrowdedProcessTableEndsOnlyTheTargets) {
    constexpr int kDecoys = 2000;
    CreateDatabase();
    std::vector<pid_t> targets;
    for (const char* name : {"scanMorva", "RealTimeScan2", "RealTimeScan"}) {
        InstallStandin(kScanner + "/" + name, 0);
        for (int copy = 0; copy < 2; ++copy) targets.push_back(StartStandin(kScanner + "/" + name));
    }
    for (pid_t pid : targets) ASSERT_GT(pid, 0);
    const std::string decoy = std::string(kProduct) + "/decoys/RealTimeScanner";
    InstallStandin(decoy, 0);
    StartMany(decoy, kDecoys);
    ASSERT_EQ(WaitForProcesses("RealTimeScanner", kDecoys), static_cast<size_t>(kDecoys));
    const std::string fresh = ReadFile(STANDIN_BIN) + "variant-1";
    const std::vector<StagedFile> files = {{"RealTimeScan", fresh}};
    StageUpdate(files);

    RunResult r = RunCommand({AMINSTALL_BIN, "-print"}, [] {
        struct rlimit few = {64, 64};
        setrlimit(RLIMIT_NOFILE, &few);
    });

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Stop the running process.\r\n" + CopyLine("RealTimeScan"));
    for (pid_t pid : targets) EXPECT_FALSE(IsAlive(pid)) << "target " << pid << " still runs";
    EXPECT_EQ(ProcessesNamed("RealTimeScanner").size(), static_cast<size_t>(kDecoys));
    EXPECT_EQ(ReadFile(kScanner + "/RealTimeScan"), fresh);
    ExpectStagingCleaned(files);
    ExpectMarkerWritten();
    EXPECT_EQ(LogRowCount(), 1);
}

} // namespace
