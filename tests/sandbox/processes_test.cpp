// Ending processes by name: which names each kind ends, decoys that differ by
// case or length, names with a blank or without any character, a table of
// thousands of processes.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Install.h"
#include "descriptors.h"
#include "sandbox.h"

using namespace sandbox;

namespace {

const std::string kStandinDir = "/opt/standins";

void Pause(long ms) {
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

// Waits, bounded, until no live process has the name.
bool AllEnded(const std::string& name) {
    for (int i = 0; i < 2500; ++i) {
        if (ProcessesNamed(name).empty()) return true;
        Pause(2);
    }
    return false;
}

// Starts the stand-in under `name` and waits until `count` processes run
// under it. LvCheckd detaches like the real daemon, so its pid is looked up
// by name rather than taken from the start.
void StartNamed(const std::string& name, size_t count) {
    const std::string path = kStandinDir + "/" + name;
    if (!Exists(path)) InstallStandin(path);
    if (name == "LvCheckd") {
        ASSERT_EQ(system(("cd " + kStandinDir + " && ./LvCheckd").c_str()), 0);
        for (int i = 0; i < 2500 && ProcessesNamed(name).size() < count; ++i) Pause(2);
    } else {
        ASSERT_GT(StartStandin(path), 0) << name;
    }
    ASSERT_EQ(ProcessesNamed(name).size(), count) << name;
}

// A child of this test that runs under `name` (set with prctl, so that it
// may be empty) until it is killed.
pid_t SpawnNamed(const char* name) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        prctl(PR_SET_NAME, name, 0, 0, 0);
        char byte = 1;
        if (write(ready[1], &byte, 1) != 1) _exit(1);
        for (;;) pause();
    }
    close(ready[1]);
    char byte = 0;
    if (child > 0 && read(ready[0], &byte, 1) != 1) child = -1;
    close(ready[0]);
    return child;
}

// True when the child was ended by SIGKILL; waits for it, bounded.
bool EndedByKill(pid_t child) {
    for (int i = 0; i < 2500; ++i) {
        int status = 0;
        pid_t got = waitpid(child, &status, WNOHANG);
        if (got == child) return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        if (got < 0) return false;
        Pause(2);
    }
    return false;
}

bool StillRunning(pid_t child) { return waitpid(child, nullptr, WNOHANG) == 0; }

void EndChildren(const std::vector<pid_t>& children) {
    for (pid_t child : children) kill(child, SIGKILL);
    for (pid_t child : children) waitpid(child, nullptr, 0);
}

std::string StatusName(pid_t pid) {
    std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    return status.substr(0, status.find('\n'));
}

// Every target name, a second process of one of them, and decoys that differ
// by letter case, by a character more or less, or by a blank and more text.
const std::vector<std::string> kTargets = {"scanMorva", "RealTimeScan2", "RealTimeScan", "LvCheckd"};
const std::vector<std::string> kDecoys = {"RealTimeScanX", "RealTimeScan22", "RealTimeSca", "realtimescan",
                                          "REALTIMESCAN2", "scanMorv",       "scanMorvaa",  "ScanMorva",
                                          "lvcheckd",      "LvCheckdd",      "LvCheck"};
// A blank ends the compared word: these count as "RealTimeScan" and "RealTimeScan2".
const std::vector<std::string> kBlankNames = {"RealTimeScan x", "RealTimeScan2 x"};

using Walk = void (CInstall::*)(int);

struct WalkCase {
    const char* label;
    Walk walk;
    int kind;
    std::vector<std::string> ended;
};

const WalkCase kWalkCases[] = {
    {"GetPid_1",
     &CInstall::GetPid,
     kKindScanners,
     {"scanMorva", "RealTimeScan2", "RealTimeScan", "RealTimeScan x", "RealTimeScan2 x"}},
    {"GetCheckPid_1",
     &CInstall::GetCheckPid,
     kKindScanners,
     {"scanMorva", "RealTimeScan2", "RealTimeScan", "RealTimeScan x", "RealTimeScan2 x"}},
    {"GetPid_2", &CInstall::GetPid, kKindDaemon, {"LvCheckd"}},
    {"GetCheckPid_2", &CInstall::GetCheckPid, kKindDaemon, {"LvCheckd"}},
    {"GetPid_3", &CInstall::GetPid, 3, {}},
    {"GetPid_0", &CInstall::GetPid, 0, {}},
    {"GetCheckPid_3", &CInstall::GetCheckPid, 3, {}},
};

void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.label; }

class WalkTest : public testing::TestWithParam<WalkCase> {};

TEST_P(WalkTest, EndsExactlyTheKindsTargets) {
    const WalkCase& c = GetParam();
    ResetTree();
    std::vector<std::string> names = kTargets;
    names.insert(names.end(), kDecoys.begin(), kDecoys.end());
    names.insert(names.end(), kBlankNames.begin(), kBlankNames.end());
    std::map<std::string, size_t> running;
    for (const std::string& name : names) {
        StartNamed(name, 1);
        running[name] = 1;
    }
    StartNamed("RealTimeScan", 2); // two of one name end in the same walk
    running["RealTimeScan"] = 2;
    StartNamed("LvCheckd", 2);
    running["LvCheckd"] = 2;

    CInstall installer;
    testing::internal::CaptureStdout();
    (installer.*c.walk)(c.kind);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    for (const std::string& name : c.ended) EXPECT_TRUE(AllEnded(name)) << name << " still runs";
    for (const auto& [name, count] : running) {
        bool ended = false;
        for (const std::string& e : c.ended) ended = ended || e == name;
        if (!ended) {
            EXPECT_EQ(ProcessesNamed(name).size(), count) << name << " was ended";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, WalkTest, testing::ValuesIn(kWalkCases),
                         [](const testing::TestParamInfo<WalkCase>& param) { return std::string(param.param.label); });

// The walk skips a status line of fewer than two words; a name left over
// from the process just before must not be matched again.
TEST(Walk, EmptyNameRightAfterATargetIsNotSignalled) {
    ResetTree();
    pid_t target = SpawnNamed("RealTimeScan");
    pid_t unnamed = SpawnNamed("");
    ASSERT_GT(target, 0);
    ASSERT_GT(unnamed, target);
    for (pid_t between = target + 1; between < unnamed; ++between)
        ASSERT_FALSE(Exists("/proc/" + std::to_string(between))) << "pid " << between << " lies between";
    ASSERT_EQ(StatusName(unnamed), "Name:\t");

    CInstall installer;
    installer.GetPid(kKindScanners);

    EXPECT_TRUE(EndedByKill(target));
    EXPECT_TRUE(StillRunning(unnamed));
    EndChildren({unnamed});
}

TEST(Walk, ThousandsOfProcessesAreAllExaminedAndNoDescriptorIsLeft) {
    ResetTree();
    constexpr int kProcesses = 2000;
    constexpr int kTargetEvery = 97;
    std::vector<pid_t> targets;
    std::vector<pid_t> others;
    for (int i = 0; i < kProcesses; ++i) {
        bool target = i % kTargetEvery == kTargetEvery - 1;
        pid_t child = SpawnNamed(target ? "RealTimeScan2" : "filler");
        ASSERT_GT(child, 0) << "child " << i << ": " << strerror(errno);
        (target ? targets : others).push_back(child);
    }
    CInstall installer;
    size_t before = OpenDescriptorCount();
    installer.GetPid(3);
    EXPECT_EQ(OpenDescriptorCount(), before);
    installer.GetPid(kKindScanners);
    EXPECT_EQ(OpenDescriptorCount(), before);

    size_t killed = 0;
    for (pid_t child : targets) killed += EndedByKill(child) ? 1 : 0;
    size_t running = 0;
    for (pid_t child : others) running += StillRunning(child) ? 1 : 0;
    EndChildren(others);
    EXPECT_EQ(killed, targets.size());
    EXPECT_EQ(running, others.size());
}

} // namespace
