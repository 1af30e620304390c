#include "sandbox.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/magic.h>

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <crypto++/filters.h>
#include <crypto++/hex.h>
#include <crypto++/md5.h>

#include <sqlite3.h>

namespace sandbox {

const char kProduct[] = "/opt/morvaguard";
const char kScannerDir[] = "/opt/morvaguard/vaccine/VorEdoveva";
const char kWebappsDir[] = "/opt/morvaguard/Server/webapps";
const char kStaging[] = "/tmp/MorvaLinux";
const char kDatabase[] = "/opt/morvaguard/vaccine/morvaguard.db";

namespace {

const char kCallsLog[] = "/tmp/.sandbox/calls.log";
const char kStandinLog[] = "/tmp/.sandbox/standin.log";

[[noreturn]] void Refuse(const char* why) {
    fprintf(stderr,
            "REFUSING TO RUN: %s.\nThese tests write /opt, /tmp and /etc/init.d and kill processes by name;"
            " run them only through tests/sandbox/run.\n",
            why);
    exit(1);
}

bool IsTmpfs(const char* path) {
    struct statfs fs;
    return statfs(path, &fs) == 0 && fs.f_type == TMPFS_MAGIC;
}

void Run(const std::string& command) {
    if (system(command.c_str()) != 0) {
        fprintf(stderr, "sandbox: command failed: %s\n", command.c_str());
        exit(1);
    }
}

void KillStrayProcesses() {
    DIR* dir = opendir("/proc");
    if (dir == nullptr) return;
    pid_t self = getpid();
    while (struct dirent* entry = readdir(dir)) {
        pid_t pid = atoi(entry->d_name);
        if (pid > 1 && pid != self) kill(pid, SIGKILL);
    }
    closedir(dir);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

} // namespace

void RequireSandbox() {
    const char* host = getenv("AMINSTALL_HOST_MNTNS");
    if (host == nullptr || getenv("AMINSTALL_SANDBOX") == nullptr) Refuse("not started by the sandbox");
    char own[64] = {0};
    if (readlink("/proc/self/ns/mnt", own, sizeof(own) - 1) < 0) Refuse("cannot read the mount namespace");
    if (strcmp(own, host) == 0) Refuse("the mount namespace is the host's");
    if (!IsTmpfs("/opt") || !IsTmpfs("/tmp") || !IsTmpfs("/etc/init.d"))
        Refuse("/opt, /tmp or /etc/init.d is not a private tmpfs");
    if (getpid() == 1) Refuse("the test program must not be PID 1");
}

void ResetTree() {
    RequireSandbox();
    KillStrayProcesses();
    Run("rm -rf /opt/morvaguard /tmp/MorvaLinux && find /etc/init.d -mindepth 1 -delete");
    Run("mkdir -p /opt/morvaguard/vaccine/VorEdoveva /opt/morvaguard/vaccine/RunQuarantine"
        " /opt/morvaguard/Server/webapps/ROOT /opt/morvaguard/Server/bin /tmp/MorvaLinux");
    chmod(kStaging, 0755);
    for (const char* log : {kCallsLog, kStandinLog}) WriteFile(log, "", 0644);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

void WriteFile(const std::string& path, const std::string& content, mode_t mode) {
    std::string dir = path.substr(0, path.rfind('/'));
    if (!dir.empty()) Run("mkdir -p '" + dir + "'");
    FILE* fp = fopen(path.c_str(), "wb");
    if (fp == nullptr || fwrite(content.data(), 1, content.size(), fp) != content.size() || fclose(fp) != 0) {
        fprintf(stderr, "sandbox: cannot write %s: %s\n", path.c_str(), strerror(errno));
        exit(1);
    }
    chmod(path.c_str(), mode);
}

std::string Md5Hex(const std::string& content) {
    std::string digest;
    CryptoPP::Weak1::MD5 md5;
    CryptoPP::StringSource source(
        content, true, new CryptoPP::HashFilter(md5, new CryptoPP::HexEncoder(new CryptoPP::StringSink(digest))));
    return digest;
}

std::string ManifestLine(const std::string& name, const std::string& content, const std::string& tag) {
    return tag + " " + Md5Hex(content) + " " + name + " " + std::to_string(content.size());
}

void StageUpdate(const std::vector<StagedFile>& files) {
    std::string manifest;
    for (const StagedFile& file : files) {
        WriteFile(std::string(kStaging) + "/" + file.name, file.content, 0755);
        manifest += ManifestLine(file.name, file.content) + "\n";
    }
    WriteManifest(manifest);
}

void WriteManifest(const std::string& text) { WriteFile(std::string(kStaging) + "/update.info", text, 0644); }

RunResult RunCommand(const std::vector<std::string>& argv, const std::function<void()>& prepare) {
    RequireSandbox();
    const std::string outPath = "/tmp/.sandbox/aminstall.out";
    const std::string errPath = "/tmp/.sandbox/aminstall.err";
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
        close(out);
        close(err);
        signal(SIGPIPE, SIG_DFL); // the program must ignore it itself
        if (prepare) prepare();
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    RunResult result;
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
    return result;
}

RunResult RunAminstall(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {AMINSTALL_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv);
}

int LogRowCount() {
    sqlite3* db = nullptr;
    int rows = -1;
    if (sqlite3_open_v2(kDatabase, &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM log", -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            rows = sqlite3_column_int(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return rows;
}

std::vector<std::string> Calls() { return Lines(kCallsLog); }
std::vector<std::string> StandinStarts() { return Lines(kStandinLog); }

void InstallStandin(const std::string& path, int variant) {
    std::string bytes = ReadFile(STANDIN_BIN);
    // Bytes after the end of an ELF file change its digest, not its behaviour.
    bytes += "variant-" + std::to_string(variant);
    WriteFile(path, bytes, 0755);
}

pid_t StartStandin(const std::string& path) {
    fflush(nullptr);
    int ready[2];
    if (pipe(ready) != 0) return -1;
    pid_t middle = fork();
    if (middle == 0) {
        // Double fork: PID 1 of the sandbox adopts and reaps the stand-in.
        pid_t grandchild = fork();
        if (grandchild == 0) {
            setsid();
            close(ready[0]);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (write(ready[1], &grandchild, sizeof(grandchild)) != sizeof(grandchild)) _exit(1);
        _exit(0);
    }
    close(ready[1]);
    pid_t pid = -1;
    if (read(ready[0], &pid, sizeof(pid)) != sizeof(pid)) pid = -1;
    close(ready[0]);
    waitpid(middle, nullptr, 0);
    // Ready once it runs under its name and has logged its start, so that a
    // test counting log lines afterwards never sees this start arrive late.
    std::string name = path.substr(path.rfind('/') + 1).substr(0, 15);
    std::string logged = " pid=" + std::to_string(pid) + " ";
    for (int i = 0; i < 2500; ++i) {
        bool running = false;
        for (pid_t found : ProcessesNamed(name)) running = running || found == pid;
        bool started = false;
        for (const std::string& line : StandinStarts()) started = started || line.find(logged) != std::string::npos;
        if (running && started) return pid;
        struct timespec pause = {0, 2000000L};
        nanosleep(&pause, nullptr);
    }
    fprintf(stderr, "sandbox: %s did not start\n", path.c_str());
    return -1;
}

std::vector<pid_t> ProcessesNamed(const std::string& name) {
    std::vector<pid_t> pids;
    DIR* dir = opendir("/proc");
    if (dir == nullptr) return pids;
    while (struct dirent* entry = readdir(dir)) {
        pid_t pid = atoi(entry->d_name);
        if (pid <= 0) continue;
        std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
        std::string wanted = "Name:\t" + name + "\n";
        if (status.compare(0, wanted.size(), wanted) != 0) continue;
        if (status.find("State:\tZ") != std::string::npos) continue;
        pids.push_back(pid);
    }
    closedir(dir);
    return pids;
}

void InstallInitScript() {
    WriteFile("/etc/init.d/morvaguard", "#!/bin/sh\necho \"init.d/morvaguard $*\" >>" + std::string(kCallsLog) + "\n",
              0755);
}

void CreateDatabase() {
    sqlite3* db = nullptr;
    if (sqlite3_open(kDatabase, &db) != SQLITE_OK ||
        sqlite3_exec(
            db, "CREATE TABLE log (id INTEGER PRIMARY KEY, level TEXT, taskname TEXT, infomation TEXT, date TEXT);",
            nullptr, nullptr, nullptr) != SQLITE_OK) {
        fprintf(stderr, "sandbox: cannot create the database: %s\n", sqlite3_errmsg(db));
        exit(1);
    }
    sqlite3_close(db);
}

pid_t HoldDatabaseLock(int seconds) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        sqlite3* db = nullptr;
        if (sqlite3_open(kDatabase, &db) != SQLITE_OK ||
            sqlite3_exec(db, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr) != SQLITE_OK)
            _exit(1);
        char byte = 1;
        if (write(ready[1], &byte, 1) != 1) _exit(1);
        sleep(static_cast<unsigned>(seconds));
        sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    bool locked = child > 0 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    return locked ? child : -1;
}

} // namespace sandbox
