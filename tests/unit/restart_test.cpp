// The emergency flag reader and the event log's row callback, on temporary
// files only.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Install.h"

namespace {

const char kOpenFailedLine[] = "파일 열기에 실패했습니다.\n";

class FlagFile : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/aminstall-flag-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/emergency.txt";
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }

    void Write(const std::string& content) {
        FILE* fp = fopen(path_.c_str(), "wb");
        ASSERT_NE(fp, nullptr);
        ASSERT_EQ(fwrite(content.data(), 1, content.size(), fp), content.size());
        ASSERT_EQ(fclose(fp), 0);
    }

    // The text ReadFileContents returns, or "(null)"; released here.
    std::string Read() {
        char* text = ReadFileContents(path_.c_str());
        if (text == nullptr) return "(null)";
        std::string copy(text);
        free(text);
        return copy;
    }

    std::string dir_;
    std::string path_;
};

struct FlagCase {
    const char* content;
    const char* text; // what the reader returns
    bool on;          // the flag test: the text is exactly "on"
};

const FlagCase kFlagCases[] = {
    {"on", "on", true},
    {"on\n", "on", true},
    {"on\r\n", "on", true},
    {"on\n\r", "on", true},
    {"on\r", "on", true},
    {"ON", "ON", false},
    {"On\n", "On", false},
    {"on ", "on ", false},
    {"on \n", "on ", false},
    {"on\r\n\r\n", "on\r\n", false}, // only two line-end bytes are removed
    {"on\n\n\n", "on\n", false},
    {"\non", "\non", false},
    {"", "", false},
    {"\n", "", false},
    {"\r\n", "", false},
    {"off\n", "off", false},
    {"onon", "onon", false},
};

TEST_F(FlagFile, TextAndFlagFollowTheLineEndRule) {
    for (const FlagCase& c : kFlagCases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.content)));
        Write(c.content);
        std::string text = Read();
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(text == "on", c.on);
    }
}

TEST_F(FlagFile, EmbeddedNulEndsTheText) {
    Write(std::string("on\0xx", 5));
    EXPECT_EQ(Read(), "on");
}

TEST_F(FlagFile, LongFileIsJudgedByItsFirst255Bytes) {
    struct LongCase {
        std::string content;
        std::string text;
    };
    const std::string x253(253, 'x');
    const LongCase cases[] = {
        {std::string(300, 'a'), std::string(255, 'a')},
        {std::string(255, 'b') + "\n", std::string(255, 'b')}, // the line end lies beyond the read
        {x253 + "\r\n" + "tail", x253},                        // the line end is bytes 254 and 255
        {std::string(4096, 'c'), std::string(255, 'c')},
        {"on" + std::string(1000, '\n'), "on" + std::string(251, '\n')},
    };
    for (const LongCase& c : cases) {
        SCOPED_TRACE(c.content.size());
        Write(c.content);
        std::string text = Read();
        EXPECT_EQ(text, c.text);
        EXPECT_NE(text, "on");
    }
}

TEST_F(FlagFile, MissingFileIsCreatedEmptyWithMode0755LessUmask) {
    const mode_t masks[] = {022, 077, 0};
    for (mode_t mask : masks) {
        SCOPED_TRACE(mask);
        unlink(path_.c_str());
        mode_t old = umask(mask);
        std::string text = Read();
        umask(old);
        EXPECT_EQ(text, "");
        struct stat st;
        ASSERT_EQ(stat(path_.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_size, 0);
        EXPECT_EQ(st.st_mode & 07777, 0755 & ~mask);
    }
}

TEST_F(FlagFile, ExistingFileIsNotChanged) {
    Write("on\n");
    ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
    EXPECT_EQ(Read(), "on");
    EXPECT_EQ(Read(), "on");
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_size, 3);
}

TEST_F(FlagFile, UnopenablePathPrintsTheFailureAndGivesNull) {
    const std::string paths[] = {dir_ + "/missing/emergency.txt", dir_};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        testing::internal::CaptureStdout();
        char* text = ReadFileContents(path.c_str());
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(text, nullptr);
        free(text);
        EXPECT_EQ(out, kOpenFailedLine);
    }
}

// With standard input closed the flag file is opened as descriptor 0, a
// valid descriptor that must be read and then released. Run in a child so
// that the test program keeps its own standard input.
TEST_F(FlagFile, DescriptorZeroIsReadAndReleased) {
    const FlagCase cases[] = {{"on\n", "on", true}, {"off\n", "off", false}};
    for (const FlagCase& c : cases) {
        SCOPED_TRACE(c.content);
        Write(c.content);
        fflush(nullptr);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(0);
            char* text = ReadFileContents(path_.c_str());
            bool read = text != nullptr && strcmp(text, c.text) == 0;
            free(text);
            bool released = fcntl(0, F_GETFD) == -1;
            _exit(read ? (released ? 0 : 2) : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "1: text not read from descriptor 0, 2: descriptor 0 left open";
    }
}

TEST_F(FlagFile, NoDescriptorIsLeft) {
    Write("on\n");
    int before = open("/dev/null", O_RDONLY);
    ASSERT_GE(before, 0);
    close(before);
    for (int i = 0; i < 3; ++i) free(ReadFileContents(path_.c_str()));
    testing::internal::CaptureStdout();
    free(ReadFileContents((dir_ + "/missing/x").c_str()));
    testing::internal::GetCapturedStdout();
    int after = open("/dev/null", O_RDONLY);
    close(after);
    EXPECT_EQ(after, before);
}

TEST(RowCallback, PrintsEachColumnAndABlankLine) {
    char name0[] = "level";
    char name1[] = "date";
    char value0[] = "정보";
    char* names[] = {name0, name1};
    char* values[] = {value0, nullptr};
    testing::internal::CaptureStdout();
    int result = s_callback(nullptr, 2, values, names);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "level = 정보\ndate = NULL\n\n");
}

TEST(RowCallback, NoColumnsPrintsOnlyTheBlankLine) {
    testing::internal::CaptureStdout();
    int result = s_callback(nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n");
    EXPECT_EQ(result, 0);
}

} // namespace
