// The change detection pass on the fixed product paths: which manifest records
// it selects, that it reads a file only when the sizes match, the install
// list it leaves, and a whole run in which every file is current.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Install.h"
#include "sandbox.h"

using namespace sandbox;

namespace {

const std::string kScanner = kScannerDir;
const char kUpToDate[] = "up-to-date  the lastest engine...\r\n";

// A record as the manifest reader leaves it, except that the bytes after each
// field's terminator hold a pattern, so that a copy of only the texts shows.
__UPDATE_INFO__ Record(const std::string& name, const std::string& md5, int32_t size,
                       const std::string& tag = "engine") {
    __UPDATE_INFO__ record;
    memset(&record, 0xA5, sizeof(record));
    memcpy(record.tag, tag.c_str(), tag.size() + 1);
    memcpy(record.name, name.c_str(), name.size() + 1);
    memcpy(record.md5, md5.c_str(), md5.size() + 1);
    record.size = size;
    return record;
}

__UPDATE_INFO__ RecordOf(const std::string& name, const std::string& content) {
    return Record(name, Md5Hex(content), static_cast<int32_t>(content.size()));
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> NamesOf(const std::vector<__UPDATE_INFO__>& list) {
    std::vector<std::string> names;
    for (const __UPDATE_INFO__& record : list) names.push_back(record.name);
    return names;
}

// Whether a file's content was read is told by its access time: it is set far
// back, before the modification time, so that any read moves it (relatime).
void MarkUnread(const std::string& path) {
    struct timespec times[2] = {{1000000000, 0}, {0, UTIME_OMIT}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path << ": " << strerror(errno);
}

bool WasRead(const std::string& path) {
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_atim.tv_sec != 1000000000;
}

// Creates a sparse file of the given size.
void WriteSparse(const std::string& path, off_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
    ASSERT_EQ(ftruncate(fd, size), 0) << strerror(errno);
    ASSERT_EQ(close(fd), 0);
}

// ---------------------------------------------------------------------------
// Selection of one record

const char kContent[] = "installed engine file\n";

enum class Installed {
    kMissing,       // nothing at the installed path
    kSame,          // the record's content
    kOtherSize,     // the content with one byte more
    kOtherContent,  // another content of the same size
    kLinkToSame,    // a symbolic link to a file with the record's content
    kLinkToOther,   // a symbolic link to a file of the same size, other content
    kDanglingLink,  // a symbolic link to nothing
    kDirectory,     // a directory, its size put in the record
    kMissingParent, // the name's directory part does not exist
};

struct SelectionCase {
    const char* what;
    Installed installed;
    bool lowerCaseDigest;
    bool selected;
};

const SelectionCase kSelectionCases[] = {
    {"missing file", Installed::kMissing, false, true},
    {"same size and digest", Installed::kSame, false, false},
    {"same size and digest written in small letters", Installed::kSame, true, false},
    {"other size", Installed::kOtherSize, false, true},
    {"same size, other digest", Installed::kOtherContent, false, true},
    {"same size, other digest in small letters", Installed::kOtherContent, true, true},
    {"link to a current file", Installed::kLinkToSame, false, false},
    {"link to a file of other content", Installed::kLinkToOther, false, true},
    {"link to nothing", Installed::kDanglingLink, false, true},
    {"directory whose size matches", Installed::kDirectory, false, true},
    {"missing directory on the way", Installed::kMissingParent, false, true},
};

// Puts the case's installed file in place and returns the record to examine.
__UPDATE_INFO__ Arrange(Installed installed, const std::string& name) {
    const std::string path = kScanner + "/" + name;
    const std::string other(sizeof(kContent) - 1, 'x');
    switch (installed) {
    case Installed::kMissing:
    case Installed::kMissingParent:
        break;
    case Installed::kSame:
        WriteFile(path, kContent);
        break;
    case Installed::kOtherSize:
        WriteFile(path, std::string(kContent) + "+");
        break;
    case Installed::kOtherContent:
        WriteFile(path, other);
        break;
    case Installed::kLinkToSame:
        WriteFile("/opt/target", kContent);
        EXPECT_EQ(symlink("/opt/target", path.c_str()), 0);
        break;
    case Installed::kLinkToOther:
        WriteFile("/opt/target", other);
        EXPECT_EQ(symlink("/opt/target", path.c_str()), 0);
        break;
    case Installed::kDanglingLink:
        EXPECT_EQ(symlink("/opt/nowhere", path.c_str()), 0);
        break;
    case Installed::kDirectory: {
        EXPECT_EQ(mkdir(path.c_str(), 0755), 0);
        struct stat st;
        EXPECT_EQ(stat(path.c_str(), &st), 0);
        return Record(name, Md5Hex(""), static_cast<int32_t>(st.st_size));
    }
    }
    return RecordOf(name, kContent);
}

TEST(Detection, SelectsEachRecordWhoseInstalledFileDiffers) {
    for (const SelectionCase& c : kSelectionCases) {
        SCOPED_TRACE(c.what);
        ResetTree();
        const std::string name = c.installed == Installed::kMissingParent ? "Plugins/absent/engine.dat" : "engine.dat";
        __UPDATE_INFO__ record = Arrange(c.installed, name);
        if (c.lowerCaseDigest)
            for (char* p = record.md5; *p != '\0'; ++p) *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));

        CInstall installer;
        installer.m_vecUpdateInfo = {record};
        int result = -1;
        ::testing::internal::CaptureStdout();
        EXPECT_NO_THROW(result = installer.CompareFileInfo());
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "the pass prints nothing";
        EXPECT_EQ(result, 1);
        EXPECT_EQ(installer.m_vecInstallInfo.size(), c.selected ? 1u : 0u);
    }
}

TEST(Detection, ReadsAFileOnlyWhenItsSizeMatches) {
    ResetTree();
    const std::string same = kScanner + "/same.dat";
    const std::string longer = kScanner + "/longer.dat";
    WriteFile(same, kContent);
    WriteFile(longer, std::string(kContent) + "more");
    MarkUnread(same);
    MarkUnread(longer);

    CInstall installer;
    installer.m_vecUpdateInfo = {RecordOf("same.dat", kContent), RecordOf("longer.dat", kContent)};
    installer.CompareFileInfo();
    EXPECT_EQ(NamesOf(installer.m_vecInstallInfo), std::vector<std::string>{"longer.dat"});
    EXPECT_TRUE(WasRead(same)) << "a file whose size matches is digested";
    EXPECT_FALSE(WasRead(longer)) << "a file of another size is not read";
}

TEST(Detection, NegativeSizeIsAlwaysSelected) {
    ResetTree();
    WriteFile(kScanner + "/empty.dat", "");
    CInstall installer;
    installer.m_vecUpdateInfo = {Record("empty.dat", Md5Hex(""), -1), Record("empty.dat", Md5Hex(""), INT32_MIN)};
    installer.CompareFileInfo();
    EXPECT_EQ(installer.m_vecInstallInfo.size(), 2u);
}

TEST(Detection, ZeroSizeIsDecidedByTheDigestOfTheEmptyFile) {
    ResetTree();
    WriteFile(kScanner + "/empty.dat", "");
    CInstall installer;
    installer.m_vecUpdateInfo = {Record("empty.dat", Md5Hex(""), 0, "current"),
                                 Record("empty.dat", Md5Hex("x"), 0, "other")};
    installer.CompareFileInfo();
    ASSERT_EQ(installer.m_vecInstallInfo.size(), 1u);
    EXPECT_STREQ(installer.m_vecInstallInfo[0].tag, "other");
}

// A size of 2 GiB or more cannot be written in the record's 32 bits: such a
// file never matches, also where its size cut to 32 bits would, and it is not
// read.
TEST(Detection, FileOf2GiBOrMoreIsSelectedUnread) {
    ResetTree();
    const struct {
        const char* name;
        off_t size;
        int32_t recordSize;
    } cases[] = {
        {"two-gib.dat", off_t{1} << 31, INT32_MAX},
        {"cut-to-int32-max.dat", (off_t{1} << 32) + INT32_MAX, INT32_MAX},
        {"cut-to-a-page.dat", (off_t{1} << 32) + 4096, 4096},
        {"cut-to-zero.dat", off_t{1} << 32, 0},
    };
    CInstall installer;
    for (const auto& c : cases) {
        const std::string path = kScanner + "/" + c.name;
        WriteSparse(path, c.size);
        MarkUnread(path);
        installer.m_vecUpdateInfo.push_back(Record(c.name, Md5Hex(""), c.recordSize));
    }
    installer.CompareFileInfo();
    EXPECT_EQ(installer.m_vecInstallInfo.size(), std::size(cases));
    for (const auto& c : cases) EXPECT_FALSE(WasRead(kScanner + "/" + c.name)) << c.name;
}

// ---------------------------------------------------------------------------
// The install list

TEST(Detection, InstallListHoldsWholeRecordsInManifestOrderWithDuplicates) {
    ResetTree();
    WriteFile(kScanner + "/current.dat", "current");
    WriteFile(kScanner + "/changed.dat", "old content");
    const std::vector<__UPDATE_INFO__> manifest = {
        Record("changed.dat", Md5Hex("new content"), 11, "first"),
        Record("current.dat", Md5Hex("current"), 7, "skipped"),
        Record("missing.dat", Md5Hex("x"), 1, "second"),
        Record("changed.dat", Md5Hex("new content"), 11, "third"),
        Record("current.dat", Lower(Md5Hex("current")), 7, "skipped too"),
        Record("changed.dat", Md5Hex("new content"), 11, "fourth"),
    };
    CInstall installer;
    installer.m_vecUpdateInfo = manifest;
    installer.CompareFileInfo();

    const std::vector<const __UPDATE_INFO__*> expected = {&manifest[0], &manifest[2], &manifest[3], &manifest[5]};
    ASSERT_EQ(installer.m_vecInstallInfo.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(memcmp(&installer.m_vecInstallInfo[i], expected[i], sizeof(__UPDATE_INFO__)), 0) << "record " << i;
    EXPECT_EQ(memcmp(installer.m_vecUpdateInfo.data(), manifest.data(), manifest.size() * sizeof(__UPDATE_INFO__)), 0)
        << "the manifest list is left as it was";
}

TEST(Detection, EachCallStartsTheInstallListAfresh) {
    ResetTree();
    WriteFile(kScanner + "/current.dat", "current");
    CInstall installer;
    installer.m_vecUpdateInfo = {Record("current.dat", Md5Hex("current"), 7), Record("missing.dat", Md5Hex(""), 0)};
    installer.m_vecInstallInfo = {Record("stale.dat", Md5Hex(""), 0), Record("stale.dat", Md5Hex(""), 0)};

    EXPECT_EQ(installer.CompareFileInfo(), 1);
    const std::vector<__UPDATE_INFO__> first = installer.m_vecInstallInfo;
    EXPECT_EQ(installer.CompareFileInfo(), 1);
    ASSERT_EQ(NamesOf(first), std::vector<std::string>{"missing.dat"});
    ASSERT_EQ(installer.m_vecInstallInfo.size(), first.size());
    EXPECT_EQ(memcmp(installer.m_vecInstallInfo.data(), first.data(), first.size() * sizeof(__UPDATE_INFO__)), 0);
}

TEST(Detection, EmptyManifestListSelectsNothing) {
    ResetTree();
    CInstall installer;
    installer.m_vecInstallInfo = {Record("stale.dat", Md5Hex(""), 0)};
    EXPECT_EQ(installer.CompareFileInfo(), 1);
    EXPECT_TRUE(installer.m_vecInstallInfo.empty());
}

// ---------------------------------------------------------------------------
// A whole run with every file current

TEST(Detection, RunWithEveryFileCurrentInstallsNothing) {
    ResetTree();
    CreateDatabase();
    InstallInitScript();
    const std::string initScript = ReadFile("/etc/init.d/morvaguard");
    const struct {
        const char* name;
        std::string content;
        std::string installedPath;
        mode_t mode;
    } files[] = {
        {"RealTimeScan", "scanner program", kScanner + "/RealTimeScan", 0755},
        {"bdcore.so.linux-x86", std::string(70000, 'e'), kScanner + "/bdcore.so.linux-x86", 0644},
        {"vc.war", "web archive", std::string(kWebappsDir) + "/vc.war", 0644},
        {"QuarantineCL", "quarantine program", "/opt/morvaguard/vaccine/RunQuarantine/QuarantineCL", 0700},
        {"catalina.sh", "#!/bin/sh\n", "/opt/morvaguard/Server/bin/catalina.sh", 0755},
        {"morvaguard", initScript, "/etc/init.d/morvaguard", 0755},
        {"Plugins/scan.plg", "plug-in", kScanner + "/Plugins/scan.plg", 0600},
        {"empty.dat", "", kScanner + "/empty.dat", 0644},
    };
    std::vector<StagedFile> staged;
    for (const auto& file : files) {
        WriteFile(file.installedPath, file.content, file.mode);
        staged.push_back({file.name, file.content});
    }
    StageUpdate(staged);
    WriteFile("/tmp/MorvaLinux/Install", "installer");

    RunResult r = RunAminstall();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kUpToDate);
    EXPECT_EQ(r.err, "");
    for (const auto& file : files) {
        EXPECT_FALSE(Exists(std::string("/tmp/MorvaLinux/") + file.name)) << file.name;
        EXPECT_EQ(ReadFile(file.installedPath), file.content) << file.installedPath;
        EXPECT_EQ(ModeOf(file.installedPath), file.mode) << file.installedPath;
    }
    EXPECT_FALSE(Exists("/tmp/MorvaLinux/update.info"));
    EXPECT_FALSE(Exists("/tmp/MorvaLinux/Install"));
    EXPECT_FALSE(Exists("/opt/morvaguard/Server/webapps/ROOT/updatelog.txt"));
    EXPECT_EQ(LogRowCount(), 0);
    EXPECT_TRUE(Calls().empty());
}

} // namespace
