// Helpers for tests that run inside the sandbox of tests/sandbox/run: a fresh
// product tree and staging area for each test, the real program run with its
// output captured, and the sandbox's call logs.
#ifndef AMINSTALL_TESTS_SANDBOX_H
#define AMINSTALL_TESTS_SANDBOX_H

#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace sandbox {

// Fixed paths of the product and the staging area.
extern const char kProduct[];    // /opt/morvaguard
extern const char kScannerDir[]; // /opt/morvaguard/vaccine/VorEdoveva
extern const char kWebappsDir[]; // /opt/morvaguard/Server/webapps
extern const char kStaging[];    // /tmp/MorvaLinux
extern const char kDatabase[];   // /opt/morvaguard/vaccine/morvaguard.db

// Fails the whole test program (exit 1) unless it runs in the sandbox: its
// mount namespace differs from the host's, and /opt and /tmp are tmpfs.
void RequireSandbox();

// Ends every process of the sandbox except PID 1 and this one, removes the
// product tree, the staging area, the init scripts and the call logs, and
// creates the product's directories (scanner, quarantine, server, webapps,
// webapps/ROOT, server bin) and the staging directory with mode 0755.
void ResetTree();

std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);   // lstat succeeds
mode_t ModeOf(const std::string& path); // permission bits, or 0 when missing
void WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644);

// Upper-case MD5 hex digest of a text.
std::string Md5Hex(const std::string& content);

struct StagedFile {
    std::string name;
    std::string content;
};
// A manifest line for a staged file: "tag MD5 name size".
std::string ManifestLine(const std::string& name, const std::string& content, const std::string& tag = "engine");
// Writes each file into the staging area and a manifest that lists them.
void StageUpdate(const std::vector<StagedFile>& files);
// Writes the manifest as given.
void WriteManifest(const std::string& text);

struct RunResult {
    int status = -1; // exit status, or -1 when it did not exit normally
    std::string out; // standard output, byte for byte
    std::string err; // standard error
};
// Runs argv (argv[0] looked up on PATH) with its output sent to files (a
// relaunched scanner keeps the output open, so no pipe is read to its end),
// after `prepare` has run in the child, which may change its descriptors or
// limits. SIGPIPE is at its default in the child.
RunResult RunCommand(const std::vector<std::string>& argv, const std::function<void()>& prepare = {});
// Runs build/aminstall with the arguments, as RunCommand does.
RunResult RunAminstall(const std::vector<std::string>& args = {});

// Rows of the event log table, or -1 when the table cannot be read.
int LogRowCount();

// Lines of the stub-command log (systemctl, the init script) and of the
// stand-in programs' log.
std::vector<std::string> Calls();
std::vector<std::string> StandinStarts();

// Installs the stand-in program at path (mode 0755). Its bytes differ per
// `variant`, so that two variants have different digests.
void InstallStandin(const std::string& path, int variant = 0);
// Starts the stand-in at path as a detached process and waits until it runs
// under its name and has logged its start; returns its pid, or -1.
pid_t StartStandin(const std::string& path);
// Pids of live (not zombie) processes with exactly this name.
std::vector<pid_t> ProcessesNamed(const std::string& name);
// Writes an init script at /etc/init.d/morvaguard that logs its arguments.
void InstallInitScript();
// Creates the product database with the table log.
void CreateDatabase();
// Holds an exclusive lock on the database in a child process for `seconds`,
// then commits; returns the child's pid once the lock is held, or -1. The
// child exits 0 when it took and released the lock.
pid_t HoldDatabaseLock(int seconds);

} // namespace sandbox

#endif
