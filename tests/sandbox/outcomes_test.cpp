// The real program end to end: its command line, the three outcomes of a run,
// the directories it creates, the staging cleanup, the completion marker, and
// the refusal of names and staging directories that could reach elsewhere.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "sandbox.h"

using namespace sandbox;

namespace {

const std::string kStagingPlugins = "/tmp/MorvaLinux/Plugins";
const std::string kScannerPlugins = "/opt/morvaguard/vaccine/VorEdoveva/Plugins";
const std::string kManifest = "/tmp/MorvaLinux/update.info";
const std::string kMarker = "/opt/morvaguard/Server/webapps/ROOT/updatelog.txt";
const std::string kEngineStaged = "/tmp/MorvaLinux/engine.dat";
const std::string kEngineInstalled = "/opt/morvaguard/vaccine/VorEdoveva/engine.dat";
const std::string kEngineContent = "new engine data\n";

const std::string kVersionFileError = "Version File Error.\r\n";
const std::string kUpToDate = "up-to-date  the lastest engine...\r\n";
const std::string kEngineCopied = "Copy [engine.dat] file.\r\n";

// Stages engine.dat, which differs from the installed copy, so a run
// installs it to its default destination.
void StageEngine() {
    WriteFile(kEngineInstalled, "old engine data\n");
    StageUpdate({{"engine.dat", kEngineContent}});
}

// Sets the umask that the program inherits, for the length of a scope.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : saved_(umask(mask)) {}
    ~ScopedUmask() { umask(saved_); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t saved_;
};

void Shell(const std::string& command) { ASSERT_EQ(system(command.c_str()), 0) << command; }

bool IsOneLineSaying(const std::string& text, const std::string& reason) {
    return !text.empty() && text.find('\n') == text.size() - 1 && text.find(reason) != std::string::npos;
}

template <class Case> std::string CaseName(const testing::TestParamInfo<Case>& param) {
    return "Case" + std::to_string(param.index);
}

} // namespace

// ---------------------------------------------------------------------------
// Command line

struct CommandLineCase {
    std::vector<std::string> args;
    bool runs;
    bool printsCopies;
};

void PrintTo(const CommandLineCase& c, std::ostream* os) {
    *os << "aminstall";
    for (const std::string& arg : c.args) *os << " '" << arg << "'";
}

class CommandLine : public testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLine, RunsAsTheArgumentsSay) {
    const CommandLineCase& c = GetParam();
    ResetTree();
    StageEngine();
    RunResult r = RunAminstall(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    if (c.runs) {
        EXPECT_EQ(r.out, c.printsCopies ? kEngineCopied : "");
        EXPECT_EQ(ReadFile(kEngineInstalled), kEngineContent);
        EXPECT_FALSE(Exists(kEngineStaged));
        EXPECT_TRUE(Exists(kStagingPlugins));
    } else {
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(ReadFile(kEngineInstalled), "old engine data\n");
        EXPECT_EQ(ReadFile(kEngineStaged), kEngineContent);
        EXPECT_TRUE(Exists(kManifest));
        EXPECT_FALSE(Exists(kStagingPlugins));
        EXPECT_FALSE(Exists(kScannerPlugins));
        EXPECT_FALSE(Exists(kMarker));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, CommandLine,
                         testing::Values(CommandLineCase{{}, true, false}, CommandLineCase{{"-print"}, true, true},
                                         CommandLineCase{{"/PRINT"}, true, true},
                                         CommandLineCase{{"-PrInT"}, true, true},
                                         CommandLineCase{{"-printx"}, true, false},
                                         CommandLineCase{{"--print"}, true, false}, CommandLineCase{{"-"}, true, false},
                                         CommandLineCase{{"/"}, true, false}, CommandLineCase{{"print"}, false, false},
                                         CommandLineCase{{""}, false, false},
                                         CommandLineCase{{"-print", "-print"}, false, false},
                                         CommandLineCase{{"-print", "x"}, false, false}),
                         CaseName<CommandLineCase>);

// ---------------------------------------------------------------------------
// Outcomes

TEST(Outcome, NoManifestPrintsVersionFileError) {
    ResetTree();
    CreateDatabase();
    WriteFile(kEngineStaged, kEngineContent);
    WriteFile("/tmp/MorvaLinux/Install", "installer");
    RunResult r = RunAminstall();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersionFileError);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(Exists(kEngineStaged));
    EXPECT_TRUE(Exists("/tmp/MorvaLinux/Install"));
    EXPECT_FALSE(Exists(kMarker));
    EXPECT_EQ(LogRowCount(), 0);
}

TEST(Outcome, ManifestWithoutAValidLineIsLikeNoManifest) {
    ResetTree();
    CreateDatabase();
    WriteFile(kEngineStaged, kEngineContent);
    WriteFile("/tmp/MorvaLinux/Install", "installer");
    WriteManifest("engine 0123 engine.dat 16\n" + ManifestLine("engine.dat", kEngineContent, std::string(20, 't')) +
                  "\n\n   \nengine.dat\n");
    RunResult r = RunAminstall({"-print"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersionFileError);
    EXPECT_TRUE(Exists(kEngineStaged));
    EXPECT_TRUE(Exists("/tmp/MorvaLinux/Install"));
    EXPECT_TRUE(Exists(kManifest));
    EXPECT_FALSE(Exists(kEngineInstalled));
    EXPECT_FALSE(Exists(kMarker));
    EXPECT_EQ(LogRowCount(), 0);
}

TEST(Outcome, UpToDateCleansOnlyWhatTheManifestNames) {
    ResetTree();
    CreateDatabase();
    const std::string same = "same bytes\n";
    const std::string plugin = "plugin bytes\n";
    // Installed copies identical to the records, so nothing is selected.
    WriteFile("/opt/morvaguard/vaccine/VorEdoveva/a.dat", same);
    WriteFile("/opt/morvaguard/vaccine/VorEdoveva/Plugins/p.so", plugin);
    WriteFile("/opt/morvaguard/vaccine/VorEdoveva/gone.dat", same);
    WriteFile("/opt/morvaguard/vaccine/VorEdoveva/subdir", same);
    // Staged: listed files, a listed directory, unlisted entries, a file of
    // a dropped line, and "Install".
    WriteFile("/tmp/MorvaLinux/a.dat", same);
    WriteFile("/tmp/MorvaLinux/Plugins/p.so", plugin);
    WriteFile("/tmp/MorvaLinux/subdir/inner", same);
    WriteFile("/tmp/MorvaLinux/extra.txt", "unlisted");
    WriteFile("/tmp/MorvaLinux/Plugins/extra.so", "unlisted");
    WriteFile("/tmp/MorvaLinux/bad.dat", "dropped");
    WriteFile("/tmp/MorvaLinux/Install", "installer");
    WriteManifest(ManifestLine("a.dat", same) + "\n" + ManifestLine("a.dat", same) + "\n" +
                  ManifestLine("Plugins/p.so", plugin) + "\n" + ManifestLine("gone.dat", same) + "\n" +
                  ManifestLine("subdir", same) + "\n" + "engine 0123456789 bad.dat 7\n");

    RunResult r = RunAminstall({"-print"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kUpToDate);
    EXPECT_EQ(r.err, "");
    for (const char* removed : {"a.dat", "Plugins/p.so", "Install", "update.info"})
        EXPECT_FALSE(Exists(std::string("/tmp/MorvaLinux/") + removed)) << removed;
    for (const char* kept : {"subdir/inner", "extra.txt", "Plugins/extra.so", "bad.dat"})
        EXPECT_TRUE(Exists(std::string("/tmp/MorvaLinux/") + kept)) << kept;
    EXPECT_TRUE(Exists(kStagingPlugins));
    EXPECT_EQ(ReadFile("/opt/morvaguard/vaccine/VorEdoveva/a.dat"), same);
    EXPECT_FALSE(Exists(kMarker));
    EXPECT_EQ(LogRowCount(), 0);

    r = RunAminstall();
    EXPECT_EQ(r.out, kVersionFileError) << "second run after the cleanup";
    EXPECT_TRUE(Exists("/tmp/MorvaLinux/extra.txt"));
}

TEST(Outcome, InstalledRunWritesTheMarkerOverALongerOne) {
    ResetTree();
    CreateDatabase();
    StageEngine();
    WriteFile("/tmp/MorvaLinux/Install", "installer");
    WriteFile(kMarker, "a much longer marker left by an earlier run\n");
    RunResult r = RunAminstall();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ReadFile(kMarker), "upend");
    EXPECT_EQ(LogRowCount(), 1);
    EXPECT_FALSE(Exists("/tmp/MorvaLinux/Install"));
    EXPECT_FALSE(Exists(kManifest));

    r = RunAminstall();
    EXPECT_EQ(r.out, kVersionFileError) << "second run after the cleanup";
    EXPECT_EQ(LogRowCount(), 1);
}

TEST(Outcome, MissingMarkerDirectoryIsReportedAndTheRowStillAdded) {
    ResetTree();
    CreateDatabase();
    StageEngine();
    Shell("rm -rf /opt/morvaguard/Server/webapps/ROOT");
    RunResult r = RunAminstall({"-print"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kEngineCopied + "Could not open writeFile  file.\n");
    EXPECT_EQ(ReadFile(kEngineInstalled), kEngineContent);
    EXPECT_EQ(LogRowCount(), 1);
}

// ---------------------------------------------------------------------------
// Directories created by every run

struct UmaskCase {
    mode_t mask;
    mode_t created;
    bool stagingTrusted; // a directory it created group- or world-writable is
                         // refused like any other
};

void PrintTo(const UmaskCase& c, std::ostream* os) { *os << "umask " << std::oct << c.mask << std::dec; }

class RunDirectories : public testing::TestWithParam<UmaskCase> {};

TEST_P(RunDirectories, AreCreatedWithTheUmaskApplied) {
    const UmaskCase& c = GetParam();
    ResetTree();
    Shell("rmdir /tmp/MorvaLinux");
    RunResult r;
    {
        ScopedUmask mask(c.mask);
        r = RunAminstall();
    }
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersionFileError);
    EXPECT_EQ(ModeOf(kScannerPlugins), c.created);
    EXPECT_EQ(ModeOf("/tmp/MorvaLinux"), c.created);
    if (c.stagingTrusted) {
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(ModeOf(kStagingPlugins), c.created);
    } else {
        EXPECT_TRUE(IsOneLineSaying(r.err, "writable")) << r.err;
        EXPECT_FALSE(Exists(kStagingPlugins));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, RunDirectories,
                         testing::Values(UmaskCase{022, 0755, true}, UmaskCase{077, 0700, true},
                                         UmaskCase{027, 0750, true}, UmaskCase{002, 0775, false},
                                         UmaskCase{0, 0777, false}),
                         CaseName<UmaskCase>);

TEST(RunDirectoriesKept, ExistingStagingDirectoryKeepsItsMode) {
    ResetTree();
    ASSERT_EQ(chmod("/tmp/MorvaLinux", 0700), 0);
    StageEngine();
    RunResult r = RunAminstall({"-print"});
    EXPECT_EQ(r.out, kEngineCopied);
    EXPECT_EQ(ModeOf("/tmp/MorvaLinux"), 0700u);
    EXPECT_EQ(ModeOf(kStagingPlugins), 0755u);
}

TEST(RunDirectoriesKept, MissingScannerDirectoryGetsNoPluginsAndTheRunGoesOn) {
    ResetTree();
    Shell("rm -rf /opt/morvaguard/vaccine/VorEdoveva");
    StageUpdate({{"catalina.sh", "#!/bin/sh\n"}});
    RunResult r = RunAminstall({"-print"});
    EXPECT_EQ(r.out, "Copy [catalina.sh] file.\r\n");
    EXPECT_EQ(ReadFile("/opt/morvaguard/Server/bin/catalina.sh"), "#!/bin/sh\n");
    EXPECT_FALSE(Exists("/opt/morvaguard/vaccine/VorEdoveva"));
    EXPECT_EQ(ReadFile(kMarker), "upend");
}

// ---------------------------------------------------------------------------
// Names with a ".." component neither install nor remove anything outside
// the staging and install trees, and do not stop the valid lines.

TEST(ClimbingNames, AreDroppedAndTouchNothingOutside) {
    ResetTree();
    struct Hostile {
        std::string name;
        std::string stagedAt;    // where "/tmp/MorvaLinux/<name>" resolves
        std::string installedAt; // where the default destination resolves
    };
    const Hostile hostile[] = {
        {"../victim", "/tmp/victim", "/opt/morvaguard/vaccine/victim"},
        {"Plugins/../../victim2", "/tmp/victim2", "/opt/morvaguard/vaccine/victim2"},
        {"../RunQuarantine/evil", "/tmp/RunQuarantine/evil", "/opt/morvaguard/vaccine/RunQuarantine/evil"},
        {"../../etc/init.d/evil", "/etc/init.d/evil", "/opt/morvaguard/etc/init.d/evil"},
    };
    Shell("mkdir -p /tmp/MorvaLinux/Plugins /opt/morvaguard/etc/init.d");
    std::string manifest;
    for (const Hostile& h : hostile) {
        WriteFile(h.stagedAt, "planted " + h.name);
        manifest += ManifestLine(h.name, "planted " + h.name) + "\n";
    }
    WriteFile(kEngineInstalled, "old engine data\n");
    WriteFile(kEngineStaged, kEngineContent);
    WriteManifest(manifest + ManifestLine("engine.dat", kEngineContent) + "\n");

    RunResult r = RunAminstall({"-print"});
    EXPECT_EQ(r.out, kEngineCopied);
    EXPECT_EQ(ReadFile(kEngineInstalled), kEngineContent);
    EXPECT_FALSE(Exists(kManifest));
    for (const Hostile& h : hostile) {
        EXPECT_EQ(ReadFile(h.stagedAt), "planted " + h.name) << h.name;
        EXPECT_FALSE(Exists(h.installedAt)) << h.name;
    }
}

// ---------------------------------------------------------------------------
// Staging trust: only a real directory owned by root, not writable by group
// or others, is read and cleaned.

struct TrustCase {
    const char* what;
    const char* setup;   // shell commands run after the engine update is staged
    const char* staging; // where the staged update lies afterwards, or null when
                         // it is gone
    const char* reason;
};

void PrintTo(const TrustCase& c, std::ostream* os) { *os << c.what; }

class StagingTrust : public testing::TestWithParam<TrustCase> {};

TEST_P(StagingTrust, RefusesAndTouchesNothing) {
    const TrustCase& c = GetParam();
    ResetTree();
    CreateDatabase();
    StageEngine();
    WriteFile("/tmp/MorvaLinux/Install", "installer");
    Shell(c.setup);
    const std::string staging = c.staging != nullptr ? c.staging : "";
    const mode_t modeBefore = ModeOf(staging);

    RunResult r = RunAminstall({"-print"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersionFileError);
    EXPECT_TRUE(IsOneLineSaying(r.err, c.reason)) << r.err;
    EXPECT_EQ(ReadFile(kEngineInstalled), "old engine data\n");
    if (!staging.empty()) {
        EXPECT_EQ(ReadFile(staging + "/engine.dat"), kEngineContent);
        EXPECT_TRUE(Exists(staging + "/update.info"));
        EXPECT_TRUE(Exists(staging + "/Install"));
        EXPECT_FALSE(Exists(staging + "/Plugins")) << "a directory created inside the refused one";
        EXPECT_EQ(ModeOf(staging), modeBefore);
    }
    EXPECT_FALSE(Exists(kMarker));
    EXPECT_EQ(LogRowCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StagingTrust,
    testing::Values(
        TrustCase{"symbolic link to a directory with an update",
                  "rm -rf /tmp/elsewhere && mv /tmp/MorvaLinux /tmp/elsewhere "
                  "&& ln -s /tmp/elsewhere /tmp/MorvaLinux",
                  "/tmp/elsewhere", "symbolic link"},
        TrustCase{"owned by another user", "chown 1000 /tmp/MorvaLinux", "/tmp/MorvaLinux", "owned by uid 1000"},
        TrustCase{"writable by everyone", "chmod 0777 /tmp/MorvaLinux", "/tmp/MorvaLinux", "writable"},
        TrustCase{"sticky and writable by everyone", "chmod 1777 /tmp/MorvaLinux", "/tmp/MorvaLinux", "writable"},
        TrustCase{"writable by its group", "chmod 0775 /tmp/MorvaLinux", "/tmp/MorvaLinux", "writable"},
        TrustCase{"writable by others only", "chmod 0757 /tmp/MorvaLinux", "/tmp/MorvaLinux", "writable"},
        TrustCase{"a regular file", "rm -rf /tmp/MorvaLinux && echo staged >/tmp/MorvaLinux", nullptr,
                  "not a directory"}),
    CaseName<TrustCase>);

TEST(StagingTrustFile, RegularFileInItsPlaceStays) {
    ResetTree();
    Shell("rm -rf /tmp/MorvaLinux && echo staged >/tmp/MorvaLinux");
    RunResult r = RunAminstall();
    EXPECT_EQ(r.out, kVersionFileError);
    EXPECT_EQ(ReadFile("/tmp/MorvaLinux"), "staged\n");
}

struct TrustedCase {
    const char* what;
    const char* setup;
};

void PrintTo(const TrustedCase& c, std::ostream* os) { *os << c.what; }

class StagingTrusted : public testing::TestWithParam<TrustedCase> {};

TEST_P(StagingTrusted, RunsNormally) {
    const TrustedCase& c = GetParam();
    ResetTree();
    StageEngine();
    Shell(c.setup);
    RunResult r = RunAminstall({"-print"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, kEngineCopied);
    EXPECT_EQ(ReadFile(kEngineInstalled), kEngineContent);
    EXPECT_FALSE(Exists(kEngineStaged));
    EXPECT_FALSE(Exists(kManifest));
}

INSTANTIATE_TEST_SUITE_P(Table, StagingTrusted,
                         testing::Values(TrustedCase{"root, mode 0755", "chmod 0755 /tmp/MorvaLinux"},
                                         TrustedCase{"root, mode 0700", "chmod 0700 /tmp/MorvaLinux"},
                                         TrustedCase{"another group that cannot write",
                                                     "chgrp 1000 /tmp/MorvaLinux && chmod 0755 /tmp/MorvaLinux"}),
                         CaseName<TrustedCase>);
