// The file copy on temporary files: byte-for-byte results at the chunk
// boundaries, what a failure leaves behind, and the modes the copy keeps or
// gives.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Install.h"

namespace {

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 4096) & 0xff);
    return bytes;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteAll(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
    FILE* fp = fopen(path.c_str(), "wb");
    ASSERT_NE(fp, nullptr) << path << ": " << strerror(errno);
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), fp), bytes.size());
    ASSERT_EQ(fclose(fp), 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A scratch directory per test, removed with the fixture.
class CopyUpdateFileTest : public testing::Test {
protected:
    void SetUp() override {
        const char* tmp = getenv("TMPDIR");
        dir_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/copy_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir_.data()), nullptr) << strerror(errno);
        src_ = dir_ + "/staged";
        dst_ = dir_ + "/installed";
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }

    int Copy(const std::string& dst, const std::string& src) {
        std::string d = dst;
        std::string s = src;
        return installer_.CopyUpdateFile(d.data(), s.data());
    }

    CInstall installer_;
    std::string dir_;
    std::string src_;
    std::string dst_;
};

// Sizes around the 4096-byte chunk: none, part of one, exactly one, and two
// full chunks with a remainder of 1808 bytes.
class CopySizes : public CopyUpdateFileTest, public testing::WithParamInterface<size_t> {};

TEST_P(CopySizes, NewDestinationEqualsSource) {
    const std::string bytes = Pattern(GetParam());
    WriteAll(src_, bytes);
    EXPECT_EQ(Copy(dst_, src_), 1);
    EXPECT_EQ(ReadAll(dst_), bytes);
}

TEST_P(CopySizes, LongerDestinationIsCutToTheSource) {
    const std::string bytes = Pattern(GetParam());
    WriteAll(src_, bytes);
    WriteAll(dst_, std::string(20000, 'x'));
    EXPECT_EQ(Copy(dst_, src_), 1);
    EXPECT_EQ(ReadAll(dst_), bytes);
}

INSTANTIATE_TEST_SUITE_P(AroundTheChunk, CopySizes, testing::Values(0, 1, 4095, 4096, 4097, 10000));

TEST_F(CopyUpdateFileTest, NullArgumentsCopyNothing) {
    WriteAll(src_, "new");
    WriteAll(dst_, "old");
    EXPECT_EQ(installer_.CopyUpdateFile(nullptr, src_.data()), 0);
    EXPECT_EQ(installer_.CopyUpdateFile(dst_.data(), nullptr), 0);
    EXPECT_EQ(installer_.CopyUpdateFile(nullptr, nullptr), 0);
    EXPECT_EQ(ReadAll(dst_), "old");
}

TEST_F(CopyUpdateFileTest, MissingSourceLeavesTheInstalledFileAlone) {
    WriteAll(dst_, "installed bytes");
    struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, dst_.c_str(), old, 0), 0);

    EXPECT_EQ(Copy(dst_, src_), 0);

    struct stat st;
    ASSERT_EQ(stat(dst_.c_str(), &st), 0);
    EXPECT_EQ(ReadAll(dst_), "installed bytes");
    EXPECT_EQ(st.st_size, 15);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
}

TEST_F(CopyUpdateFileTest, MissingSourceCreatesNoDestination) {
    EXPECT_EQ(Copy(dst_, src_), 0);
    EXPECT_FALSE(Exists(dst_));
}

TEST_F(CopyUpdateFileTest, DestinationInAMissingDirectoryFails) {
    WriteAll(src_, "new");
    EXPECT_EQ(Copy(dir_ + "/missing/installed", src_), 0);
    EXPECT_FALSE(Exists(dir_ + "/missing"));
}

// A directory opens for reading but every read fails: the copy must not
// report an installed file.
TEST_F(CopyUpdateFileTest, SourceThatCannotBeReadFails) {
    ASSERT_EQ(mkdir(src_.c_str(), 0755), 0);
    EXPECT_EQ(Copy(dst_, src_), 0);
}

// Every write to /dev/full fails with "no space left on device".
TEST_F(CopyUpdateFileTest, WriteThatCannotCompleteFails) {
    WriteAll(src_, Pattern(10000));
    EXPECT_EQ(Copy("/dev/full", src_), 0);
}

TEST_F(CopyUpdateFileTest, ExistingModeIsKept) {
    WriteAll(src_, "new", 0644);
    WriteAll(dst_, "old", 0700);
    EXPECT_EQ(Copy(dst_, src_), 1);
    struct stat st;
    ASSERT_EQ(stat(dst_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(CopyUpdateFileTest, ExistingFileKeepsItsInode) {
    WriteAll(src_, "new");
    WriteAll(dst_, "old");
    struct stat before;
    struct stat after;
    ASSERT_EQ(stat(dst_.c_str(), &before), 0);
    EXPECT_EQ(Copy(dst_, src_), 1);
    ASSERT_EQ(stat(dst_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
}

TEST_F(CopyUpdateFileTest, NewFileTakesTheDefaultModeLessTheUmask) {
    WriteAll(src_, "new", 0755);
    for (mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0}}) {
        unlink(dst_.c_str());
        mode_t saved = umask(mask);
        int result = Copy(dst_, src_);
        umask(saved);
        EXPECT_EQ(result, 1);
        struct stat st;
        ASSERT_EQ(stat(dst_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask) << "umask " << std::oct << mask;
    }
}

// Linux refuses to open the executable of a running process for writing.
TEST_F(CopyUpdateFileTest, RunningExecutableIsNotTouched) {
    const std::string program = ReadAll("/bin/sleep");
    ASSERT_FALSE(program.empty());
    const std::string path = dir_ + "/sleeper";
    WriteAll(path, program, 0755);
    WriteAll(src_, "replacement");

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl(path.c_str(), "sleeper", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait until the child runs the program, not the test binary any more.
    std::string exe;
    for (int i = 0; i < 1000 && exe != path; ++i) {
        char link[512] = {0};
        ssize_t n = readlink(("/proc/" + std::to_string(child) + "/exe").c_str(), link, sizeof(link) - 1);
        exe = n > 0 ? std::string(link, static_cast<size_t>(n)) : "";
        if (exe != path) usleep(2000);
    }
    int result = Copy(path, src_);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    ASSERT_EQ(exe, path);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadAll(path), program);
}

} // namespace
