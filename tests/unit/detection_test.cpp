// The destination map and the file digest on temporary files: which path each
// manifest name is installed at, and when a file's MD5 digest equals the
// manifest's, whatever the file's size, the letter case of the digest, or
// whether the file can be read at all.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <crypto++/filters.h>
#include <crypto++/hex.h>
#include <crypto++/md5.h>

#include "Install.h"

namespace {

std::string InstallPathOf(const char* name) {
    char path[kPathMax];
    GetInstallPath(name, path);
    return path;
}

struct DestinationCase {
    const char* name;
    const char* path;
};

const DestinationCase kDestinations[] = {
    {"QuarantineCL", "/opt/morvaguard/vaccine/RunQuarantine/QuarantineCL"},
    {"QUARANTINECL", "/opt/morvaguard/vaccine/RunQuarantine/QUARANTINECL"},
    {"quarantinecl", "/opt/morvaguard/vaccine/RunQuarantine/quarantinecl"},
    {"vc.war", "/opt/morvaguard/Server/webapps/vc.war"},
    {"VC.WAR", "/opt/morvaguard/Server/webapps/VC.WAR"},
    {"Vc.WaR", "/opt/morvaguard/Server/webapps/Vc.WaR"},
    {"ROOT.war", "/opt/morvaguard/Server/webapps/ROOT.war"},
    {"root.WAR", "/opt/morvaguard/Server/webapps/root.WAR"},
    {"morvaguard", "/etc/init.d/morvaguard"},
    {"MorvaGuard", "/etc/init.d/MorvaGuard"},
    {"catalina.sh", "/opt/morvaguard/Server/bin/catalina.sh"},
    {"CATALINA.SH", "/opt/morvaguard/Server/bin/CATALINA.SH"},
    // Names that merely contain or resemble a special name are ordinary.
    {"catalina.shx", "/opt/morvaguard/vaccine/VorEdoveva/catalina.shx"},
    {"catalina.sh.bak", "/opt/morvaguard/vaccine/VorEdoveva/catalina.sh.bak"},
    {"xvc.war", "/opt/morvaguard/vaccine/VorEdoveva/xvc.war"},
    {"vc.war ", "/opt/morvaguard/vaccine/VorEdoveva/vc.war "},
    {"ROOT", "/opt/morvaguard/vaccine/VorEdoveva/ROOT"},
    {"morvaguard.db", "/opt/morvaguard/vaccine/VorEdoveva/morvaguard.db"},
    {"QuarantineCL2", "/opt/morvaguard/vaccine/VorEdoveva/QuarantineCL2"},
    {"RealTimeScan", "/opt/morvaguard/vaccine/VorEdoveva/RealTimeScan"},
    {"bdcore.so.linux-x86", "/opt/morvaguard/vaccine/VorEdoveva/bdcore.so.linux-x86"},
    // A directory part lands below the template's directory.
    {"Plugins/scan.plg", "/opt/morvaguard/vaccine/VorEdoveva/Plugins/scan.plg"},
    {"Plugins/vc.war", "/opt/morvaguard/vaccine/VorEdoveva/Plugins/vc.war"},
};

TEST(DestinationMap, PlacesEachNameInItsDirectoryInItsOwnCase) {
    for (const DestinationCase& c : kDestinations) EXPECT_EQ(InstallPathOf(c.name), c.path) << "name: " << c.name;
}

TEST(DestinationMap, LongestNameFitsWhole) {
    std::string name(99, 'n');
    EXPECT_EQ(InstallPathOf(name.c_str()), "/opt/morvaguard/vaccine/VorEdoveva/" + name);
}

// ---------------------------------------------------------------------------
// Digest

// Reference digest of a text, computed in memory.
std::string Md5Of(const std::string& content) {
    std::string digest;
    CryptoPP::Weak1::MD5 md5;
    CryptoPP::StringSource source(
        content, true, new CryptoPP::HashFilter(md5, new CryptoPP::HexEncoder(new CryptoPP::StringSink(digest))));
    return digest;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

// Bytes that do not repeat with any short period, so that a block read twice
// or skipped changes the digest.
std::string PatternBytes(size_t size) {
    std::string bytes(size, '\0');
    uint32_t state = 2463534242u;
    for (char& c : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = static_cast<char>(state);
    }
    return bytes;
}

class Digest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "aminstall-digest-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
    }
    void TearDown() override {
        std::string command = "rm -rf '" + m_dir + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }

    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

    std::string Write(const std::string& name, const std::string& content) const {
        std::string path = Path(name);
        FILE* fp = fopen(path.c_str(), "wb");
        EXPECT_NE(fp, nullptr);
        if (fp == nullptr) return path;
        EXPECT_EQ(fwrite(content.data(), 1, content.size(), fp), content.size());
        EXPECT_EQ(fclose(fp), 0);
        return path;
    }

    int Check(const std::string& path, const std::string& expected) {
        ::testing::internal::CaptureStdout();
        int result = m_installer.CheckHash(path.c_str(), expected.c_str());
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "CheckHash prints nothing";
        return result;
    }

    std::string m_dir;
    CInstall m_installer;
};

// Digests of RFC 1321's test suite, so that the reference helper is checked too.
TEST_F(Digest, MatchesTheKnownDigests) {
    const struct {
        const char* text;
        const char* digest;
    } known[] = {
        {"", "D41D8CD98F00B204E9800998ECF8427E"},
        {"a", "0CC175B9C0F1B6A831C399E269772661"},
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57EDF4A22BE3C955AC49DA2E2107B67A"},
    };
    for (const auto& k : known) {
        EXPECT_EQ(Md5Of(k.text), k.digest);
        EXPECT_EQ(Check(Write("known", k.text), k.digest), 1) << "text: \"" << k.text << "\"";
    }
}

// Sizes around the blocks in which the file is read and hashed: a block read
// twice, cut short or dropped at an edge changes the digest.
TEST_F(Digest, WholeFileAtEverySizeAroundTheReadBlocks) {
    const size_t kBlock = 128 * 1024;
    const size_t sizes[] = {
        1, 55, 56, 63, 64, 65, 4095, 4096, 4097, kBlock - 1, kBlock, kBlock + 1, 2 * kBlock + 63, 5000007};
    for (size_t size : sizes) {
        std::string content = PatternBytes(size);
        std::string path = Write("sized", content);
        EXPECT_EQ(Check(path, Md5Of(content)), 1) << "size " << size;
        EXPECT_EQ(Check(path, Md5Of(content.substr(0, size - 1))), 0) << "size " << size;
    }
}

TEST_F(Digest, LargeFileAgreesWithMd5sum) {
    std::string path = Write("large", PatternBytes(5 * 1024 * 1024 + 3));
    std::string command = "md5sum '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[128] = {0};
    ASSERT_NE(fgets(line, sizeof(line), pipe), nullptr);
    ASSERT_EQ(pclose(pipe), 0);
    std::string lowerDigest(line, 32);
    EXPECT_EQ(Check(path, lowerDigest), 1);
}

TEST_F(Digest, EmptyFileHasTheDigestOfTheEmptyMessage) {
    std::string path = Write("empty", "");
    EXPECT_EQ(Check(path, "D41D8CD98F00B204E9800998ECF8427E"), 1);
    EXPECT_EQ(Check(path, "d41d8cd98f00b204e9800998ecf8427e"), 1);
    EXPECT_EQ(Check(path, ""), 0);
}

TEST_F(Digest, ComparesTheWholeTextRegardlessOfLetterCase) {
    const std::string content = "engine bytes\r\nwith a line end\n";
    const std::string upper = Md5Of(content);
    std::string mixed = upper;
    for (size_t i = 0; i < mixed.size(); i += 2) mixed[i] = static_cast<char>(tolower(mixed[i]));
    ASSERT_NE(mixed, upper);
    ASSERT_NE(mixed, Lower(upper));

    const struct {
        std::string expected;
        int result;
    } cases[] = {
        {upper, 1},        {Lower(upper), 1}, {mixed, 1}, {upper.substr(0, 31), 0},  {upper + "0", 0}, {upper + " ", 0},
        {upper + "\r", 0}, {" " + upper, 0},  {"", 0},    {std::string(32, '0'), 0},
    };
    std::string path = Write("file", content);
    for (const auto& c : cases) EXPECT_EQ(Check(path, c.expected), c.result) << "expected \"" << c.expected << "\"";
}

TEST_F(Digest, OneChangedByteAtTheSameSizeDiffers) {
    std::string content = PatternBytes(10000);
    std::string digest = Md5Of(content);
    for (size_t at : {size_t{0}, size_t{4999}, content.size() - 1}) {
        std::string changed = content;
        changed[at] = static_cast<char>(changed[at] ^ 1);
        EXPECT_EQ(Check(Write("changed", changed), digest), 0) << "byte " << at;
    }
}

TEST_F(Digest, MissingFileIsNotCurrent) {
    EXPECT_EQ(Check(Path("absent"), "D41D8CD98F00B204E9800998ECF8427E"), 0);
    EXPECT_EQ(Check(Path("absent-dir/file"), "D41D8CD98F00B204E9800998ECF8427E"), 0);
}

TEST_F(Digest, SymbolicLinkIsJudgedByItsTarget) {
    const std::string content = "target content";
    Write("target", content);
    ASSERT_EQ(symlink(Path("target").c_str(), Path("link").c_str()), 0);
    ASSERT_EQ(symlink(Path("nowhere").c_str(), Path("dangling").c_str()), 0);
    EXPECT_EQ(Check(Path("link"), Md5Of(content)), 1);
    EXPECT_EQ(Check(Path("link"), Md5Of(Path("target"))), 0); // not the text of the link
    EXPECT_EQ(Check(Path("dangling"), Md5Of("")), 0);
}

// A directory exists for access() (root passes every permission check) but
// cannot be read: the library raises an error, which must not escape.
TEST_F(Digest, UnreadableFileIsNotCurrentAndRaisesNothing) {
    ASSERT_EQ(mkdir(Path("dir").c_str(), 0755), 0);
    int result = -1;
    EXPECT_NO_THROW(result = Check(Path("dir"), Md5Of("")));
    EXPECT_EQ(result, 0);
}

TEST_F(Digest, EachCallStartsAFreshDigest) {
    std::string first = Write("first", PatternBytes(100));
    std::string second = Write("second", PatternBytes(100).substr(0, 50));
    EXPECT_EQ(Check(first, Md5Of(PatternBytes(100))), 1);
    EXPECT_EQ(Check(second, Md5Of(PatternBytes(100).substr(0, 50))), 1);
    EXPECT_EQ(Check(first, Md5Of(PatternBytes(100))), 1);
}

} // namespace
