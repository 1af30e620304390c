// The manifest reader on temporary files: which lines become records, what
// the records hold byte for byte, and how the text is cut into lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "Install.h"

namespace {

const std::string kMd5 = "0123456789ABCDEF0123456789abcdef";

std::string Line(const std::string& tag, const std::string& md5, const std::string& name, const std::string& size) {
    return tag + " " + md5 + " " + name + " " + size;
}

// A record as the reader must build it: zero bytes, then the texts copied in.
__UPDATE_INFO__ Record(const std::string& tag, const std::string& md5, const std::string& name, int32_t size) {
    __UPDATE_INFO__ record;
    memset(&record, 0, sizeof(record));
    memcpy(record.tag, tag.data(), tag.size());
    memcpy(record.md5, md5.data(), md5.size());
    memcpy(record.name, name.data(), name.size());
    record.size = size;
    return record;
}

std::string Describe(const __UPDATE_INFO__& r) {
    return "{" + std::string(r.tag, strnlen(r.tag, sizeof(r.tag))) + " " +
           std::string(r.md5, strnlen(r.md5, sizeof(r.md5))) + " " +
           std::string(r.name, strnlen(r.name, sizeof(r.name))) + " " + std::to_string(r.size) + "}";
}

// Compares whole records, padding included, and names the first difference.
void ExpectRecords(const std::vector<__UPDATE_INFO__>& actual, const std::vector<__UPDATE_INFO__>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i)
        EXPECT_EQ(memcmp(&actual[i], &expected[i], sizeof(__UPDATE_INFO__)), 0)
            << "record " << i << ": got " << Describe(actual[i]) << ", want " << Describe(expected[i]);
}

// A manifest in a temporary file, removed with the fixture.
class ManifestFile : public testing::Test {
protected:
    void SetUp() override {
        const char* tmp = getenv("TMPDIR");
        path_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/manifest_test.XXXXXX";
        int fd = mkstemp(path_.data());
        ASSERT_GE(fd, 0);
        close(fd);
    }
    void TearDown() override { unlink(path_.c_str()); }

    void Write(const std::string& text) {
        FILE* fp = fopen(path_.c_str(), "wb");
        ASSERT_NE(fp, nullptr);
        ASSERT_EQ(fwrite(text.data(), 1, text.size(), fp), text.size());
        ASSERT_EQ(fclose(fp), 0);
    }

    std::vector<__UPDATE_INFO__> Read(const std::string& text) {
        Write(text);
        std::vector<__UPDATE_INFO__> list;
        installer_.GetUpdateInfo(path_.c_str(), list);
        return list;
    }

    std::string path_;
    CInstall installer_;
};

template <class Case> std::string CaseName(const testing::TestParamInfo<Case>& param) {
    return "Case" + std::to_string(param.index);
}

TEST(Record, HasItsFixedLayout) { EXPECT_EQ(sizeof(__UPDATE_INFO__), 164u); }

// ---------------------------------------------------------------------------
// Bounds of the tag, digest and name tokens, and the token count of a line.

struct LineCase {
    const char* what;
    std::string line;
    bool kept;
};

class ManifestLineBounds : public ManifestFile, public testing::WithParamInterface<LineCase> {};

TEST_P(ManifestLineBounds, KeepsOrDropsTheLine) {
    const LineCase& c = GetParam();
    std::vector<__UPDATE_INFO__> list = Read(c.line + "\n");
    EXPECT_EQ(list.size(), c.kept ? 1u : 0u) << c.what << ": " << c.line;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ManifestLineBounds,
    testing::Values(LineCase{"tag of 1 byte", Line("t", kMd5, "f", "1"), true},
                    LineCase{"tag of 19 bytes", Line(std::string(19, 't'), kMd5, "f", "1"), true},
                    LineCase{"tag of 20 bytes", Line(std::string(20, 't'), kMd5, "f", "1"), false},
                    LineCase{"name of 99 bytes", Line("t", kMd5, std::string(99, 'n'), "1"), true},
                    LineCase{"name of 100 bytes", Line("t", kMd5, std::string(100, 'n'), "1"), false},
                    LineCase{"digest of 31 bytes", Line("t", kMd5.substr(1), "f", "1"), false},
                    LineCase{"digest of 33 bytes", Line("t", kMd5 + "0", "f", "1"), false},
                    LineCase{"digest of 32 non-hex bytes", Line("t", std::string(32, 'z'), "f", "1"), true},
                    LineCase{"digest of 32 punctuation bytes", Line("t", std::string(32, '!'), "f", "1"), true},
                    LineCase{"tab-separated tokens are one token", "t\t" + kMd5 + "\tf\t1", false},
                    LineCase{"tab inside a token", Line("t\tx", kMd5, "f", "1"), true},
                    LineCase{"spaces only", "     ", false}, LineCase{"one token", "t", false},
                    LineCase{"two tokens", "t " + kMd5, false},
                    LineCase{"three tokens: no size", "t " + kMd5 + " f", false},
                    LineCase{"three tokens and trailing spaces", "t " + kMd5 + " f   ", false},
                    LineCase{"five tokens", Line("t", kMd5, "f", "1") + " extra", true}),
    CaseName<LineCase>);

// ---------------------------------------------------------------------------
// The size token, read as a saturating signed decimal.

struct SizeCase {
    const char* token;
    int32_t size;
};

class ManifestSize : public ManifestFile, public testing::WithParamInterface<SizeCase> {};

TEST_P(ManifestSize, ReadsTheToken) {
    const SizeCase& c = GetParam();
    std::vector<__UPDATE_INFO__> list = Read(Line("t", kMd5, "f", c.token) + "\n");
    ASSERT_EQ(list.size(), 1u) << c.token;
    EXPECT_EQ(list[0].size, c.size) << c.token;
}

INSTANTIATE_TEST_SUITE_P(Table, ManifestSize,
                         testing::Values(SizeCase{"0", 0}, SizeCase{"123", 123}, SizeCase{"123abc", 123},
                                         SizeCase{"abc", 0}, SizeCase{"-5", -5}, SizeCase{"+7", 7}, SizeCase{"-", 0},
                                         SizeCase{"007", 7}, SizeCase{"0x10", 0}, SizeCase{"12\r", 12},
                                         SizeCase{"2147483647", 2147483647}, SizeCase{"2147483648", 2147483647},
                                         SizeCase{"4294967296", 2147483647}, SizeCase{"-2147483648", INT32_MIN},
                                         SizeCase{"-2147483649", INT32_MIN},
                                         SizeCase{"99999999999999999999", 2147483647},
                                         SizeCase{"-99999999999999999999", INT32_MIN}),
                         CaseName<SizeCase>);

// ---------------------------------------------------------------------------
// How the text is cut into lines and tokens.

struct TextCase {
    const char* what;
    std::string text;
    std::vector<__UPDATE_INFO__> records;
};

class ManifestText : public ManifestFile, public testing::WithParamInterface<TextCase> {};

TEST_P(ManifestText, GivesTheseRecords) {
    const TextCase& c = GetParam();
    SCOPED_TRACE(c.what);
    ExpectRecords(Read(c.text), c.records);
}

const __UPDATE_INFO__ kA = Record("engine", kMd5, "a.dat", 10);
const __UPDATE_INFO__ kB = Record("plugin", std::string(32, 'f'), "Plugins/b.so", 20);
const std::string kLineA = Line("engine", kMd5, "a.dat", "10");
const std::string kLineB = Line("plugin", std::string(32, 'f'), "Plugins/b.so", "20");

INSTANTIATE_TEST_SUITE_P(
    Table, ManifestText,
    testing::Values(
        TextCase{"two lines", kLineA + "\n" + kLineB + "\n", {kA, kB}},
        TextCase{"carriage return before each line feed", kLineA + "\r\n" + kLineB + "\r\n", {kA, kB}},
        TextCase{"last line without a line feed", kLineA + "\n" + kLineB, {kA, kB}},
        TextCase{"empty lines before, between and after", "\n\n" + kLineA + "\n\n\n" + kLineB + "\n\n", {kA, kB}},
        TextCase{"leading, trailing and repeated spaces",
                 "   engine  " + kMd5 + "    a.dat   10   \n  plugin " + std::string(32, 'f') + "  Plugins/b.so 20",
                 {kA, kB}},
        TextCase{"a line of spaces after a valid line", kLineA + "\n     \n" + kLineB, {kA, kB}},
        TextCase{"short lines between valid lines", kLineA + "\nx\nx y\nx " + kMd5 + " z\n" + kLineB, {kA, kB}},
        TextCase{"a zero byte ends the text", kLineA + "\n" + std::string(1, '\0') + kLineB + "\n", {kA}},
        TextCase{"a zero byte inside a line",
                 kLineA + "\nplugin " + std::string(32, 'f') + " Plug" + std::string(1, '\0') + "ins/b.so 20\n" +
                     kLineB + "\n",
                 {kA}},
        TextCase{"two identical lines", kLineA + "\n" + kLineA + "\n", {kA, kA}},
        TextCase{"a fifth token is ignored", kLineA + " more tokens here\n", {kA}},
        TextCase{"an invalid line between valid ones",
                 kLineA + "\n" + Line("t", "short", "x", "1") + "\n" + kLineB,
                 {kA, kB}},
        TextCase{"empty file", "", {}}, TextCase{"only line feeds", "\n\n\n\n", {}},
        TextCase{"only carriage returns and line feeds", "\r\n\r\n", {}}),
    CaseName<TextCase>);

// ---------------------------------------------------------------------------
// Names with a ".." component could reach outside the staging and install
// directories: such lines are dropped; other dots are ordinary characters.

struct NameCase {
    const char* name;
    bool kept;
};

class ManifestName : public ManifestFile, public testing::WithParamInterface<NameCase> {};

TEST_P(ManifestName, KeepsOnlyNamesThatStayInside) {
    const NameCase& c = GetParam();
    std::vector<__UPDATE_INFO__> list = Read(Line("t", kMd5, c.name, "1") + "\n" + kLineA + "\n");
    if (c.kept) ExpectRecords(list, {Record("t", kMd5, c.name, 1), kA});
    else ExpectRecords(list, {kA});
}

INSTANTIATE_TEST_SUITE_P(Table, ManifestName,
                         testing::Values(NameCase{"../../etc/x", false}, NameCase{"Plugins/../../x", false},
                                         NameCase{"..", false}, NameCase{"a/..", false}, NameCase{"../x", false},
                                         NameCase{"a//../x", false}, NameCase{"Plugins/x", true},
                                         NameCase{"a..b", true}, NameCase{"..x", true}, NameCase{"x..", true},
                                         NameCase{".../x", true}, NameCase{"./x", true}, NameCase{".", true}),
                         CaseName<NameCase>);

// ---------------------------------------------------------------------------
// The list as a whole.

TEST_F(ManifestFile, RecordHoldsFieldsInTheirOrderAndZerosAfterEachText) {
    std::vector<__UPDATE_INFO__> list = Read("T " + kMd5 + " N 164\n");
    ASSERT_EQ(list.size(), 1u);
    unsigned char expected[164];
    memset(expected, 0, sizeof(expected));
    expected[0] = 'T';
    expected[20] = 'N';
    memcpy(expected + 120, kMd5.data(), 32);
    int32_t size = 164;
    memcpy(expected + 160, &size, sizeof(size));
    EXPECT_EQ(memcmp(&list[0], expected, sizeof(expected)), 0);
}

TEST_F(ManifestFile, ManyLinesComeInOrder) {
    // Well past the first two capacities of the line array (1000, 2000).
    const int kLines = 2500;
    std::string text;
    std::vector<__UPDATE_INFO__> expected;
    for (int i = 0; i < kLines; ++i) {
        std::string name = "file" + std::to_string(i);
        text += Line("t", kMd5, name, std::to_string(i)) + "\n";
        expected.push_back(Record("t", kMd5, name, i));
    }
    ExpectRecords(Read(text), expected);
}

TEST_F(ManifestFile, AppendsAfterRecordsAlreadyInTheList) {
    Write(kLineB + "\n");
    std::vector<__UPDATE_INFO__> list = {kA};
    installer_.GetUpdateInfo(path_.c_str(), list);
    ExpectRecords(list, {kA, kB});
}

TEST_F(ManifestFile, MissingFileLeavesTheListUnchanged) {
    unlink(path_.c_str());
    std::vector<__UPDATE_INFO__> list = {kA, kB};
    installer_.GetUpdateInfo(path_.c_str(), list);
    ExpectRecords(list, {kA, kB});
}

// Neither a directory nor a FIFO in the manifest's place is read: the first
// reports a bogus size on some file systems, the second would block the run.
TEST_F(ManifestFile, NonRegularFilesGiveNoRecordAndNoMessage) {
    unlink(path_.c_str());
    ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
    std::vector<__UPDATE_INFO__> list = {kA};
    testing::internal::CaptureStderr();
    installer_.GetUpdateInfo(path_.c_str(), list);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ExpectRecords(list, {kA});
    ASSERT_EQ(rmdir(path_.c_str()), 0);

    ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
    installer_.GetUpdateInfo(path_.c_str(), list);
    ExpectRecords(list, {kA});
}

// ---------------------------------------------------------------------------
// The two helpers of the reader.

TEST_F(ManifestFile, FileToMemoryLoadsTheWholeFileAndAZeroByte) {
    const std::string text = std::string("ab\0cd\n", 6);
    Write(text);
    FILE* fp = fopen(path_.c_str(), "rb");
    ASSERT_NE(fp, nullptr);
    char* buffer = nullptr;
    EXPECT_EQ(installer_.fileToMemory(fp, &buffer), text.size());
    fclose(fp);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(memcmp(buffer, text.data(), text.size() + 1), 0);
    free(buffer);
}

TEST(LineCutter, CutsAtLineFeedsSkippingEmptyLines) {
    char text[] = "\none\n\ntwo\r\nthree";
    char** lines = nullptr;
    CInstall installer;
    ASSERT_EQ(installer.charToPointerArr(text, &lines), 3u);
    ASSERT_NE(lines, nullptr);
    EXPECT_STREQ(lines[0], "one");
    EXPECT_STREQ(lines[1], "two\r");
    EXPECT_STREQ(lines[2], "three");
    free(lines);
}

TEST(LineCutter, GrowsPastItsFirstCapacities) {
    std::string text;
    for (int i = 0; i < 4500; ++i) text += std::to_string(i) + "\n";
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    char** lines = nullptr;
    CInstall installer;
    ASSERT_EQ(installer.charToPointerArr(buffer.data(), &lines), 4500u);
    for (int i = 0; i < 4500; ++i) ASSERT_STREQ(lines[i], std::to_string(i).c_str()) << i;
    free(lines);
}

TEST(LineCutter, EmptyTextHasNoLines) {
    char text[] = "";
    char** lines = nullptr;
    CInstall installer;
    EXPECT_EQ(installer.charToPointerArr(text, &lines), 0u);
    free(lines);
}

} // namespace
