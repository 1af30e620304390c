// The deployment pass through the real program: each name's destination,
// mode and steps, the output with and without -print, a copy that fails in
// the middle, the engine library link, the web application removal, the
// service-manager check with and without systemd as process 1, and the
// daemon replaced while it runs.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <ostream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "Install.h"
#include "sandbox.h"

using namespace sandbox;

namespace {

const std::string kScanner = kScannerDir;
const std::string kWebapps = kWebappsDir;
const std::string kRootKeep = kWebapps + "/ROOT/keep.txt";
const std::string kEngineLink = kScanner + "/bdcore.so";
const std::string kEngineLibrary = kScanner + "/bdcore.so.linux-x86";
const std::string kDecoyDir = "/opt/decoys";
const char kStopLine[] = "Stop the running process.\r\n";
const char kLinkFailed[] = "링크 생성 실패n";
const char kMarkerFailedLine[] = "Could not open writeFile  file.\n";
const char kServiceRestart[] = "init.d/morvaguard restart";
const char kReload[] = "systemctl daemon-reload";

std::string CopyLine(const std::string& name) { return "Copy [" + name + "] file.\r\n"; }

std::string StandinBytes(int variant) { return ReadFile(STANDIN_BIN) + "variant-" + std::to_string(variant); }

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    for (const std::string& l : lines)
        if (l == line) return true;
    return false;
}

bool StartsLogged(const std::string& name, size_t skip) {
    std::vector<std::string> lines = StandinStarts();
    for (size_t i = skip; i < lines.size(); ++i)
        if (lines[i].rfind(name + " ", 0) == 0) return true;
    return false;
}

// A relaunched program logs when it gets to run; wait for it, bounded.
bool WaitForStartLogged(const std::string& name, size_t skip) {
    for (int i = 0; i < 1000; ++i) {
        if (StartsLogged(name, skip)) return true;
        struct timespec pause = {0, 5000000L};
        nanosleep(&pause, nullptr);
    }
    return false;
}

bool IsRunning(pid_t pid, const std::string& name) {
    for (pid_t found : ProcessesNamed(name))
        if (found == pid) return true;
    return false;
}

std::string LinkTarget(const std::string& path) {
    char target[512] = {0};
    ssize_t n = readlink(path.c_str(), target, sizeof(target) - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
}

// LvCheckd detaches like the real daemon: started from its directory as the
// relaunch does, its pid is found by name.
pid_t StartDaemon() {
    std::vector<pid_t> before = ProcessesNamed("LvCheckd");
    if (system(("cd " + kScanner + " && ./LvCheckd").c_str()) != 0) return -1;
    for (int i = 0; i < 1000; ++i) {
        for (pid_t pid : ProcessesNamed("LvCheckd")) {
            bool old = false;
            for (pid_t b : before) old = old || b == pid;
            if (!old) return pid;
        }
        struct timespec pause = {0, 2000000L};
        nanosleep(&pause, nullptr);
    }
    return -1;
}

// The program in a PID namespace whose process 1 is a shell named
// "systemd", as "ps --pid 1" sees it. bash -c execs its last simple command,
// so "exit" keeps the shell as process 1 while the program runs.
RunResult RunAminstallUnderSystemd(const std::string& args) {
    const std::string out = "/tmp/.sandbox/aminstall.out";
    const std::string err = "/tmp/.sandbox/aminstall.err";
    const std::string command = "unshare --pid --fork --mount-proc /tmp/.sandbox/systemd -c '" AMINSTALL_BIN " " +
                                args + " >" + out + " 2>" + err + "; exit $?'";
    fflush(nullptr);
    int status = system(command.c_str());
    RunResult result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadFile(out);
    result.err = ReadFile(err);
    return result;
}

// Puts a directory of echoing service commands first on PATH, so that their
// output lands in the program's standard output where its order shows; it
// logs the call like the sandbox's stub.
class EchoingServiceCommands {
public:
    EchoingServiceCommands() : saved_(getenv("PATH") ? getenv("PATH") : "") {
        WriteFile(kDir + "/systemctl",
                  "#!/bin/sh\necho \"systemctl $*\"\necho \"systemctl $*\" >>/tmp/.sandbox/calls.log\n", 0755);
        setenv("PATH", (kDir + ":" + saved_).c_str(), 1);
    }
    ~EchoingServiceCommands() { setenv("PATH", saved_.c_str(), 1); }

private:
    const std::string kDir = "/tmp/echo-bin";
    std::string saved_;
};

// An init script that says what it was asked on standard output.
std::string EchoingInitScript(const std::string& version) {
    return "#!/bin/sh\n# " + version + "\necho \"init.d/morvaguard $*\"\necho \"" + kServiceRestart +
           "\" >>/tmp/.sandbox/calls.log\n";
}

// ---------------------------------------------------------------------------
// One name at a time: where it goes, its mode, and the steps around its copy.

enum Mode : mode_t { kKept = 0, k0755 = 0755, k0644 = 0644 };

struct DeployRow {
    const char* name;
    std::string destination;
    Mode mode;
    bool stopsScanners;
    bool stopsDaemon;
    bool restartsService;
    bool removesRoot;
    bool linksEngine;
};

const DeployRow kDeployRows[] = {
    {"vc.war", kWebapps + "/vc.war", k0644, false, false, true, false, false},
    {"VC.WAR", kWebapps + "/VC.WAR", k0644, false, false, true, false, false},
    {"ROOT.war", kWebapps + "/ROOT.war", k0644, false, false, true, true, false},
    {"QuarantineCL", "/opt/morvaguard/vaccine/RunQuarantine/QuarantineCL", k0755, false, false, false, false, false},
    {"morvaguard", "/etc/init.d/morvaguard", k0755, false, false, false, false, false},
    {"catalina.sh", "/opt/morvaguard/Server/bin/catalina.sh", k0755, false, false, false, false, false},
    {"RealTimeScan", kScanner + "/RealTimeScan", k0755, true, false, false, false, false},
    {"RealTimeScan2", kScanner + "/RealTimeScan2", k0755, true, false, false, false, false},
    {"LvCheckd", kScanner + "/LvCheckd", k0755, false, true, false, false, false},
    {"scanMorva", kScanner + "/scanMorva", k0755, false, false, false, false, false},
    {"MgScan", kScanner + "/MgScan", k0755, false, false, false, false, false},
    {"Update", kScanner + "/Update", k0755, false, false, false, false, false},
    {"Install", kScanner + "/Install", k0755, false, false, false, false, false},
    {"ScanControl", kScanner + "/ScanControl", k0755, false, false, false, false, false},
    {"Remove_Sem", kScanner + "/Remove_Sem", k0755, false, false, false, false, false},
    {"MgQuarantine", kScanner + "/MgQuarantine", k0755, false, false, false, false, false},
    {"bdcore.so.linux-x86", kScanner + "/bdcore.so.linux-x86", kKept, false, false, false, false, true},
    {"BdCore.So.Linux-x86", kScanner + "/BdCore.So.Linux-x86", kKept, false, false, false, false, true},
    {"engine.dat", kScanner + "/engine.dat", kKept, false, false, false, false, false},
};

std::string StagedContent(const std::string& name) {
    if (name == "RealTimeScan" || name == "RealTimeScan2" || name == "LvCheckd") return StandinBytes(1);
    if (name == "morvaguard") return EchoingInitScript("new");
    return "new " + name;
}

void PrintTo(const DeployRow& row, std::ostream* os) { *os << row.name; }

class DeployName : public testing::TestWithParam<DeployRow> {};

TEST_P(DeployName, LandsWithItsModeAndItsSteps) {
    const DeployRow& row = GetParam();
    ResetTree();
    InstallInitScript();
    WriteFile(kRootKeep, "unpacked web application");
    // The scanner and the daemon run from their installed files, so that a
    // copy over them succeeds only when they were ended first; scanMorva runs
    // from elsewhere, so that installing scanMorva itself is not refused.
    InstallStandin(kScanner + "/RealTimeScan");
    InstallStandin(kScanner + "/LvCheckd");
    InstallStandin(kDecoyDir + "/scanMorva");
    pid_t scanner = StartStandin(kScanner + "/RealTimeScan");
    pid_t daemon = StartDaemon();
    pid_t scanMorva = StartStandin(kDecoyDir + "/scanMorva");
    ASSERT_GT(scanner, 0);
    ASSERT_GT(daemon, 0);
    ASSERT_GT(scanMorva, 0);
    if (!Exists(row.destination)) WriteFile(row.destination, "old " + std::string(row.name));
    ASSERT_EQ(chmod(row.destination.c_str(), 0600), 0);
    const size_t startsBefore = StandinStarts().size();
    const std::string content = StagedContent(row.name);
    StageUpdate({{row.name, content}});

    RunResult r = RunAminstall({"-print"});

    std::string out = row.stopsScanners ? kStopLine : "";
    out += CopyLine(row.name);
    if (row.removesRoot) out += kMarkerFailedLine;
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadFile(row.destination), content);
    EXPECT_EQ(ModeOf(row.destination), row.mode == kKept ? 0600u : static_cast<mode_t>(row.mode));

    EXPECT_EQ(IsRunning(scanner, "RealTimeScan"), !row.stopsScanners);
    EXPECT_EQ(IsRunning(scanMorva, "scanMorva"), !row.stopsScanners);
    EXPECT_EQ(IsRunning(daemon, "LvCheckd"), !row.stopsDaemon);
    if (row.stopsScanners) {
        EXPECT_TRUE(WaitForStartLogged("RealTimeScan", startsBefore)) << "the scanner was not started again";
    }
    if (row.stopsDaemon) {
        EXPECT_TRUE(WaitForStartLogged("LvCheckd", startsBefore)) << "the daemon was not started again";
    }
    EXPECT_EQ(Contains(Calls(), kServiceRestart), row.restartsService);
    EXPECT_EQ(Exists(kRootKeep), !row.removesRoot);
    EXPECT_FALSE(Contains(Calls(), kReload)) << "process 1 of the sandbox is not systemd";
    if (row.linksEngine) {
        EXPECT_EQ(LinkTarget(kEngineLink), kEngineLibrary);
    } else {
        EXPECT_FALSE(Exists(kEngineLink));
    }
}

INSTANTIATE_TEST_SUITE_P(Names, DeployName, testing::ValuesIn(kDeployRows),
                         [](const testing::TestParamInfo<DeployRow>& param) {
                             std::string label = param.param.name;
                             for (char& c : label)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return label;
                         });

// ---------------------------------------------------------------------------
// Several records: output byte for byte, duplicates, and the order in which
// the program's lines and its commands' lines reach standard output.

struct OutputCase {
    const char* label;
    std::vector<std::string> args;
    std::string out;
};

const OutputCase kOutputCases[] = {
    {"Quiet", {}, std::string(kLinkFailed) + kStopLine + kStopLine},
    {"Verbose",
     {"-print"},
     CopyLine("vc.war") + CopyLine("bdcore.so.linux-x86") + CopyLine("bdcore.so.linux-x86") + kLinkFailed + kStopLine +
         CopyLine("RealTimeScan") + kStopLine + CopyLine("RealTimeScan")},
};

void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.label; }

class PassOutput : public testing::TestWithParam<OutputCase> {};

// A name listed twice is deployed twice with all its steps: the second link
// fails, the scanner is stopped twice.
TEST_P(PassOutput, IsByteForByteWithDuplicates) {
    const OutputCase& c = GetParam();
    ResetTree();
    InstallInitScript();
    const std::string scanner = StandinBytes(1);
    WriteManifest(ManifestLine("vc.war", "archive") + "\n" + ManifestLine("bdcore.so.linux-x86", "engine") + "\n" +
                  ManifestLine("bdcore.so.linux-x86", "engine") + "\n" + ManifestLine("RealTimeScan", scanner) + "\n" +
                  ManifestLine("RealTimeScan", scanner) + "\n");
    WriteFile(std::string(kStaging) + "/vc.war", "archive");
    WriteFile(std::string(kStaging) + "/bdcore.so.linux-x86", "engine");
    WriteFile(std::string(kStaging) + "/RealTimeScan", scanner, 0755);

    RunResult r = RunAminstall(c.args);

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(ReadFile(kEngineLibrary), "engine");
    EXPECT_EQ(LinkTarget(kEngineLink), kEngineLibrary);
    EXPECT_EQ(ReadFile(kScanner + "/RealTimeScan"), scanner);
}

INSTANTIATE_TEST_SUITE_P(Switch, PassOutput, testing::ValuesIn(kOutputCases),
                         [](const testing::TestParamInfo<OutputCase>& param) {
                             return std::string(param.param.label);
                         });

// The init script is checked against process 1: only under systemd is the
// service manager told to reread it, right after its copy. Every line comes
// out in the order it was written, whether the program or a command wrote it.
struct ServiceManagerCase {
    const char* label;
    bool underSystemd;
    std::string out;
};

const ServiceManagerCase kServiceManagerCases[] = {
    {"Init", false, CopyLine("morvaguard") + CopyLine("vc.war") + "init.d/morvaguard restart\n"},
    {"Systemd", true,
     CopyLine("morvaguard") + "systemctl daemon-reload\n" + CopyLine("vc.war") + "init.d/morvaguard restart\n"},
};

void PrintTo(const ServiceManagerCase& c, std::ostream* os) { *os << c.label; }

class ServiceManager : public testing::TestWithParam<ServiceManagerCase> {};

TEST_P(ServiceManager, ReloadsOnlyUnderSystemdAndKeepsTheOutputInOrder) {
    const ServiceManagerCase& c = GetParam();
    ResetTree();
    WriteFile("/etc/init.d/morvaguard", EchoingInitScript("old"), 0600);
    StageUpdate({{"morvaguard", EchoingInitScript("new")}, {"vc.war", "archive"}});
    EchoingServiceCommands echoing;

    RunResult r = c.underSystemd ? RunAminstallUnderSystemd("-print") : RunAminstall({"-print"});

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadFile("/etc/init.d/morvaguard"), EchoingInitScript("new"));
    EXPECT_EQ(ModeOf("/etc/init.d/morvaguard"), 0755u);
    EXPECT_EQ(Contains(Calls(), kReload), c.underSystemd);
}

INSTANTIATE_TEST_SUITE_P(ProcessOne, ServiceManager, testing::ValuesIn(kServiceManagerCases),
                         [](const testing::TestParamInfo<ServiceManagerCase>& param) {
                             return std::string(param.param.label);
                         });

// ---------------------------------------------------------------------------
// A copy that fails in the middle of the list ends the pass there; what came
// before stays installed and its restart flags are honoured.

struct MiddleFailure {
    const char* label;
    const char* name;
    bool staged;      // false: listed but not staged
    bool runsAlready; // true: its installed file is a running program
};

const MiddleFailure kMiddleFailures[] = {
    {"NotStaged", "MgScan", false, false},
    {"RunningExecutable", "scanMorva", true, true},
};

void PrintTo(const MiddleFailure& c, std::ostream* os) { *os << c.label; }

class FailedCopy : public testing::TestWithParam<MiddleFailure> {};

TEST_P(FailedCopy, EndsThePassAndKeepsWhatCameBefore) {
    const MiddleFailure& c = GetParam();
    ResetTree();
    InstallInitScript();
    const std::string failing = kScanner + "/" + c.name;
    InstallStandin(kScanner + "/RealTimeScan");
    InstallStandin(kScanner + "/LvCheckd");
    pid_t scanner = StartStandin(kScanner + "/RealTimeScan");
    pid_t daemon = StartDaemon();
    pid_t busy = 0;
    if (c.runsAlready) {
        InstallStandin(failing);
        busy = StartStandin(failing);
        ASSERT_GT(busy, 0);
    }
    ASSERT_GT(scanner, 0);
    ASSERT_GT(daemon, 0);
    const std::string failingBefore = Exists(failing) ? ReadFile(failing) : "";
    const size_t startsBefore = StandinStarts().size();

    const std::string daemonBytes = StandinBytes(1);
    const std::string scannerBytes = StandinBytes(2);
    std::string manifest = ManifestLine("vc.war", "archive") + "\n" + ManifestLine("LvCheckd", daemonBytes) + "\n" +
                           ManifestLine(c.name, "new middle") + "\n" + ManifestLine("RealTimeScan", scannerBytes) +
                           "\n" + ManifestLine("catalina.sh", "new catalina") + "\n";
    WriteManifest(manifest);
    WriteFile(std::string(kStaging) + "/vc.war", "archive");
    WriteFile(std::string(kStaging) + "/LvCheckd", daemonBytes, 0755);
    if (c.staged) WriteFile(std::string(kStaging) + "/" + c.name, "new middle");
    WriteFile(std::string(kStaging) + "/RealTimeScan", scannerBytes, 0755);
    WriteFile(std::string(kStaging) + "/catalina.sh", "new catalina");

    RunResult r = RunAminstall({"-print"});

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, CopyLine("vc.war") + CopyLine("LvCheckd"));
    EXPECT_EQ(ReadFile(kWebapps + "/vc.war"), "archive");
    EXPECT_EQ(ModeOf(kWebapps + "/vc.war"), 0644u);
    EXPECT_EQ(ReadFile(kScanner + "/LvCheckd"), daemonBytes);
    EXPECT_EQ(ModeOf(kScanner + "/LvCheckd"), 0755u);
    EXPECT_EQ(Exists(failing), c.runsAlready);
    if (c.runsAlready) {
        EXPECT_EQ(ReadFile(failing), failingBefore);
        EXPECT_TRUE(IsRunning(busy, c.name));
    }
    EXPECT_EQ(ReadFile(kScanner + "/RealTimeScan"), StandinBytes(0)) << "a record after the failure was installed";
    EXPECT_TRUE(IsRunning(scanner, "RealTimeScan")) << "a record after the failure stopped the scanner";
    EXPECT_FALSE(Exists("/opt/morvaguard/Server/bin/catalina.sh"));
    EXPECT_FALSE(IsRunning(daemon, "LvCheckd"));
    EXPECT_TRUE(WaitForStartLogged("LvCheckd", startsBefore)) << "the replaced daemon was not started again";
    EXPECT_FALSE(StartsLogged("RealTimeScan", startsBefore));
    EXPECT_TRUE(Contains(Calls(), kServiceRestart));
}

INSTANTIATE_TEST_SUITE_P(Cause, FailedCopy, testing::ValuesIn(kMiddleFailures),
                         [](const testing::TestParamInfo<MiddleFailure>& param) {
                             return std::string(param.param.label);
                         });

// ---------------------------------------------------------------------------
// The web application and the engine library link

TEST(WebApplication, RootWarRemovesTheUnpackedRootEvenWhenItsCopyFails) {
    ResetTree();
    InstallInitScript();
    WriteFile(kRootKeep, "unpacked web application");
    WriteManifest(ManifestLine("ROOT.war", "archive") + "\n"); // listed, not staged

    RunResult r = RunAminstall({"-print"});

    EXPECT_EQ(r.out, kMarkerFailedLine);
    EXPECT_FALSE(Exists(kWebapps + "/ROOT"));
    EXPECT_FALSE(Exists(kWebapps + "/ROOT.war"));
    EXPECT_TRUE(Contains(Calls(), kServiceRestart)) << "the flag raised before the failed copy was lost";
}

// The removal runs only inside the web applications directory: when that
// directory is missing, a ROOT in the program's own directory survives.
TEST(WebApplication, RemovalNeverLeavesTheWebappsDirectory) {
    ResetTree();
    ASSERT_EQ(system("rm -rf /opt/morvaguard/Server/webapps"), 0);
    const std::string work = "/tmp/caller";
    WriteFile(work + "/ROOT/keep.txt", "not the product's");
    StageUpdate({{"ROOT.war", "archive"}});
    char saved[512];
    ASSERT_NE(getcwd(saved, sizeof(saved)), nullptr);
    ASSERT_EQ(chdir(work.c_str()), 0);

    RunResult r = RunAminstall({"-print"});

    ASSERT_EQ(chdir(saved), 0);
    EXPECT_EQ(r.out, kMarkerFailedLine);
    EXPECT_EQ(ReadFile(work + "/ROOT/keep.txt"), "not the product's");
}

TEST(EngineLibrary, NewLibraryOverAnExistingLinkKeepsTheLink) {
    ResetTree();
    WriteFile(kEngineLibrary, "engine v1");
    ASSERT_EQ(symlink(kEngineLibrary.c_str(), kEngineLink.c_str()), 0);
    StageUpdate({{"bdcore.so.linux-x86", "engine v2"}});

    RunResult r = RunAminstall();

    EXPECT_EQ(r.out, kLinkFailed);
    EXPECT_EQ(LinkTarget(kEngineLink), kEngineLibrary);
    EXPECT_EQ(ReadFile(kEngineLink), "engine v2");
}

// ---------------------------------------------------------------------------
// The daemon's executable is rewritten right after the daemon was killed,
// while the kernel may still be tearing it down; the copy must succeed every
// time, not only when the daemon happened to be gone already.
TEST(Daemon, ReplacedWhileRunningSucceedsEveryTime) {
    constexpr int kRounds = 20;
    int failed = 0;
    for (int round = 0; round < kRounds; ++round) {
        ResetTree();
        InstallStandin(kScanner + "/LvCheckd", round % 2);
        pid_t daemon = StartDaemon();
        ASSERT_GT(daemon, 0);
        const std::string fresh = StandinBytes((round + 1) % 2);
        StageUpdate({{"LvCheckd", fresh}});

        RunResult r = RunAminstall({"-print"});

        if (r.out != CopyLine("LvCheckd") || ReadFile(kScanner + "/LvCheckd") != fresh) {
            ++failed;
            ADD_FAILURE() << "round " << round << ": " << testing::PrintToString(r.out);
        }
        EXPECT_FALSE(IsRunning(daemon, "LvCheckd"));
    }
    EXPECT_EQ(failed, 0);
}

// ---------------------------------------------------------------------------
// The operations alone

TEST(Pass, EmptyListSucceedsAndDoesNothing) {
    ResetTree();
    CInstall installer;
    const int32_t flags[] = {check_RealTimeScan, check_LvCheckd, check_vcinstall};
    testing::internal::CaptureStdout();
    int result = installer.CopyUpdateFiles(true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(check_RealTimeScan, flags[0]);
    EXPECT_EQ(check_LvCheckd, flags[1]);
    EXPECT_EQ(check_vcinstall, flags[2]);
}

TEST(Copy, FullFileSystemFails) {
    ResetTree();
    const std::string full = "/tmp/full";
    ASSERT_EQ(system(("mkdir -p " + full + " && mount -t tmpfs -o size=64k copy-full " + full).c_str()), 0);
    WriteFile("/tmp/staged.bin", std::string(200 * 1024, 'x'));
    std::string dst = full + "/installed.bin";
    std::string src = "/tmp/staged.bin";
    CInstall installer;
    int result = installer.CopyUpdateFile(dst.data(), src.data());
    int unmounted = system(("umount " + full).c_str());
    EXPECT_EQ(result, 0);
    EXPECT_EQ(unmounted, 0);
}

} // namespace
