// The install run and every operation it calls, in the order of the run:
// manifest, staging, destination map, digest, detection, copy, deployment,
// processes, restart, event log.
#include "Install.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <istream>
#include <streambuf>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <crypto++/files.h>
#include <crypto++/filters.h>
#include <crypto++/hex.h>
#include <crypto++/md5.h>

#include <sqlite3.h>

int32_t check_RealTimeScan = 0;
int32_t check_LvCheckd = 0;
int32_t check_vcinstall = 0;

// The completion marker's path and text, kept in their fixed buffers.
char updatelogFileName[120];
char updateloginfo[10];

namespace {

// ---------------------------------------------------------------------------
// Fixed paths, commands and texts, in the exact bytes they must have.

constexpr char kStagingDir[] = "/tmp/MorvaLinux/";
constexpr char kStagingDirNoSlash[] = "/tmp/MorvaLinux";
constexpr char kStagingPluginsDir[] = "/tmp/MorvaLinux/Plugins";
constexpr char kScannerPluginsDir[] = "/opt/morvaguard/vaccine/VorEdoveva/Plugins";
constexpr char kManifestName[] = "update.info";
constexpr char kManifestPathFormat[] = "%s/%s";
constexpr char kStagedFileFormat[] = "/tmp/MorvaLinux/%s";
constexpr char kStagedInstall[] = "/tmp/MorvaLinux/Install";

constexpr char kMarkerPath[] = "/opt/morvaguard/Server/webapps/ROOT/updatelog.txt";
constexpr char kMarkerText[] = "upend";

constexpr char kEngineLibraryPath[] = "/opt/morvaguard/vaccine/VorEdoveva/bdcore.so.linux-x86";
constexpr char kEngineLinkPath[] = "/opt/morvaguard/vaccine/VorEdoveva/bdcore.so";

// The stock commands chain with ";", which runs the second half in the
// caller's directory when the cd fails; "&&" runs it only inside.
constexpr char kRemoveUnpackedRootCommand[] = "cd /opt/morvaguard/Server/webapps/ && rm -rf ./ROOT";
constexpr char kStartLvCheckdCommand[] = "cd /opt/morvaguard/vaccine/VorEdoveva && ./LvCheckd";
constexpr char kServiceManagerProbe[] = "ps --pid 1 | grep -q systemd && echo 'systemd' || echo 'init'";
constexpr char kServiceManagerReload[] = "systemctl daemon-reload";
constexpr char kInitScriptRestart[] = "/etc/init.d/morvaguard restart";
constexpr char kSystemdRestart[] = "systemctl restart morvaguard";

constexpr char kEmergencyFlagPath[] = "/opt/morvaguard/vaccine/VorEdoveva/emergency.txt";
constexpr char kRealTimeScanPath[] = "/opt/morvaguard/vaccine/VorEdoveva/RealTimeScan";
constexpr char kRealTimeScan2Path[] = "/opt/morvaguard/vaccine/VorEdoveva/RealTimeScan2";
constexpr char kScannerArgument[] = "/";

constexpr char kDatabasePath[] = "/opt/morvaguard/vaccine/morvaguard.db";
constexpr char kEngineUpdateEndText[] = "엔진 업데이트  종료";
constexpr int kEngineUpdateLogType = 1;

constexpr char kMsgVersionFileError[] = "Version File Error.\r";
constexpr char kMsgUpToDate[] = "up-to-date  the lastest engine...\r";
constexpr char kMsgMarkerOpenFailed[] = "Could not open writeFile  file.";
constexpr char kMsgStopProcess[] = "Stop the running process.\r";
constexpr char kMsgPipeFailed[] = "Failure to open the pipe";
constexpr char kMsgCopiedFormat[] = "Copy [%s] file.\r\n";
constexpr char kMsgLinkFailed[] = "링크 생성 실패n"; // no line feed: the product prints it so
constexpr char kMsgOutOfMemory[] = "동적할당하지못함...\n";
constexpr char kMsgFlagOpenFailed[] = "파일 열기에 실패했습니다.";

constexpr mode_t kDirectoryMode = 0777;
constexpr mode_t kExecutableMode = 0755;
constexpr mode_t kArchiveMode = 0644;
constexpr mode_t kFlagFileMode = 0755;

// ---------------------------------------------------------------------------
// Shared helpers.

// Formats into a fixed buffer; output beyond the bound is cut, never overrun.
__attribute__((format(printf, 3, 4))) void FormatBounded(char* dst, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(dst, size, format, args);
    va_end(args);
}

void PrintLine(const char* text) { printf("%s\n", text); }

// Runs a shell command and waits for it. Buffered output is flushed first so
// that the child neither duplicates it nor writes ahead of it.
int RunShellCommand(const char* command) {
    fflush(stdout);
    return system(command); // NOLINT(cert-env33-c): only this program's fixed command texts reach the shell
}

bool NameIs(const char* name, const char* fixed) { return strcasecmp(name, fixed) == 0; }

} // namespace

// ---------------------------------------------------------------------------
// Manifest

namespace {

constexpr size_t kInitialLineCapacity = 1000;
constexpr size_t kTokenSlots = 4;
// "t <32 hex digits> n 0": the shortest line that gives a record.
constexpr size_t kShortestValidLine = 38;

// Reads a size token like strtol, saturating at the limits of int32_t (long
// is 64-bit here, so strtol alone would not clamp).
int32_t ParseSaturatingSize(const char* token) {
    long value = strtol(token, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// A name with a ".." component would reach outside both the staging
// directory and the install directory, so such a line is refused.
bool NameClimbsOut(const char* name) {
    for (const char* part = name; *part;) {
        size_t length = strcspn(part, "/");
        if (length == 2 && part[0] == '.' && part[1] == '.') return true;
        part += length;
        if (*part == '/') ++part;
    }
    return false;
}

bool CopyToken(char* field, size_t fieldSize, const char* token, size_t minLength, size_t maxLength) {
    if (token == nullptr) return false;
    size_t length = strlen(token);
    if (length < minLength || length > maxLength || length >= fieldSize) return false;
    memcpy(field, token, length + 1);
    return true;
}

// Fills `record` from one manifest line cut in place; false drops the line.
// A line with more than four tokens is read from its first four; a line
// without a size token is dropped.
bool ParseManifestLine(char* line, __UPDATE_INFO__* record) {
    char* tokens[kTokenSlots] = {nullptr, nullptr, nullptr, nullptr};
    char* save = nullptr;
    for (size_t i = 0; i < kTokenSlots; ++i) {
        tokens[i] = strtok_r(i == 0 ? line : nullptr, " ", &save);
        if (tokens[i] == nullptr) break;
    }
    memset(record, 0, sizeof(*record));
    if (!CopyToken(record->tag, sizeof(record->tag), tokens[0], 1, 19)) return false;
    if (!CopyToken(record->md5, sizeof(record->md5), tokens[1], 32, 32)) return false;
    if (!CopyToken(record->name, sizeof(record->name), tokens[2], 1, 99)) return false;
    if (tokens[3] == nullptr) return false;
    if (NameClimbsOut(record->name)) return false;
    record->size = ParseSaturatingSize(tokens[3]);
    return true;
}

// Opens the manifest only when it is a regular file: a directory in its place
// reports a bogus size on some file systems (and the reader would then claim
// to be out of memory), and a FIFO would block the run forever.
FILE* OpenRegularFile(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    FILE* fp = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) fp = fdopen(fd, "rb");
    if (fp == nullptr) close(fd);
    return fp;
}

} // namespace

void CInstall::GetUpdateInfo(const char* path, std::vector<__UPDATE_INFO__>& list) {
    FILE* fp = OpenRegularFile(path);
    if (fp == nullptr) return;
    char* text = nullptr;
    size_t bytes = fileToMemory(fp, &text);
    fclose(fp); // result ignored: the file was only read
    if (text == nullptr) return;

    char** lines = nullptr;
    size_t count = charToPointerArr(text, &lines);
    // Room for every record at once: growing by doubling would leave up to
    // half of a large manifest's records unused at the peak. A valid line has
    // at least kShortestValidLine bytes, so junk lines reserve nothing extra.
    list.reserve(list.size() + std::min(count, bytes / kShortestValidLine + 1));
    for (size_t i = 0; i < count; ++i) {
        __UPDATE_INFO__ record;
        if (ParseManifestLine(lines[i], &record)) list.push_back(record);
    }
    free(lines);
    free(text);
}

size_t CInstall::fileToMemory(FILE* fp, char** buffer) {
    *buffer = nullptr;
    // A stream that cannot seek (a pipe) or report its size reads as empty.
    if (fseek(fp, 0, SEEK_END) != 0) return 0;
    long size = ftell(fp);
    if (size < 0 || fseek(fp, 0, SEEK_SET) != 0) return 0;

    char* text = static_cast<char*>(malloc(static_cast<size_t>(size) + 1));
    if (text == nullptr) {
        fputs(kMsgOutOfMemory, stderr);
        return 0;
    }
    // A file that shrank since its size was taken ends where the read ended.
    size_t got = fread(text, 1, static_cast<size_t>(size), fp);
    text[got] = '\0';
    *buffer = text;
    return got;
}

size_t CInstall::charToPointerArr(char* buffer, char*** lines) {
    *lines = nullptr;
    size_t capacity = kInitialLineCapacity;
    char** array = static_cast<char**>(malloc(capacity * sizeof(char*)));
    if (array == nullptr) return 0;

    size_t count = 0;
    char* save = nullptr;
    for (char* line = strtok_r(buffer, "\n", &save); line != nullptr; line = strtok_r(nullptr, "\n", &save)) {
        if (count == capacity) {
            // A line array that cannot grow reads the manifest as empty.
            char** grown = static_cast<char**>(realloc(array, 2 * capacity * sizeof(char*)));
            if (grown == nullptr) {
                free(array);
                return 0;
            }
            array = grown;
            capacity *= 2;
        }
        array[count++] = line;
    }
    *lines = array;
    return count;
}

// ---------------------------------------------------------------------------
// Staging area

namespace {

// The staging directory's own "Plugins" is created only once the directory
// is trusted: through a planted link it would land wherever the link points.
void CreateRunDirectories() {
    // results ignored: an existing directory or a missing parent is fine
    mkdir(kScannerPluginsDir, kDirectoryMode);
    mkdir(kStagingDir, kDirectoryMode);
}

void CreateStagingPluginsDirectory() {
    mkdir(kStagingPluginsDir, kDirectoryMode); // result ignored, as above
}

void RemoveStagedEntry(const char* name) {
    char path[kPathMax];
    FormatBounded(path, sizeof(path), kStagedFileFormat, name);
    unlink(path); // result ignored: a missing entry or a directory stays
}

} // namespace

bool StagingDirIsTrusted(const char* dir, char* why, size_t whySize) {
    struct stat st;
    if (lstat(dir, &st) != 0) {
        // A missing directory simply holds no manifest; nothing to explain.
        if (errno == ENOENT) why[0] = '\0';
        else FormatBounded(why, whySize, "cannot be examined: %s", strerror(errno));
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        FormatBounded(why, whySize, "is a symbolic link");
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        FormatBounded(why, whySize, "is not a directory");
        return false;
    }
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        FormatBounded(why, whySize, "is owned by uid %u", static_cast<unsigned>(st.st_uid));
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        FormatBounded(why, whySize, "is writable by group or others (mode %04o)",
                      static_cast<unsigned>(st.st_mode & 07777));
        return false;
    }
    return true;
}

void CInstall::DeleteFiles() {
    for (const __UPDATE_INFO__& record : m_vecUpdateInfo) RemoveStagedEntry(record.name);
    unlink(kStagedInstall); // result ignored: it is seldom staged
    RemoveStagedEntry(kManifestName);
}

// ---------------------------------------------------------------------------
// Destination map

namespace {

struct InstallDestination {
    const char* name;
    const char* pathFormat;
};

const InstallDestination kInstallDestinations[] = {
    {"QuarantineCL", "/opt/morvaguard/vaccine/RunQuarantine/%s"},
    {"vc.war", "/opt/morvaguard/Server/webapps/%s"},
    {"ROOT.war", "/opt/morvaguard/Server/webapps/%s"},
    {"morvaguard", "/etc/init.d/%s"},
    {"catalina.sh", "/opt/morvaguard/Server/bin/%s"},
};
constexpr char kDefaultDestination[] = "/opt/morvaguard/vaccine/VorEdoveva/%s";

} // namespace

void GetInstallPath(const char* name, char* dst) {
    const char* format = kDefaultDestination;
    for (const InstallDestination& entry : kInstallDestinations) {
        if (NameIs(name, entry.name)) {
            format = entry.pathFormat;
            break;
        }
    }
    FormatBounded(dst, kPathMax, format, name);
}

// ---------------------------------------------------------------------------
// Digest

namespace {

// Size of the blocks in which the file source reads the file.
constexpr size_t kDigestBlock = size_t{128} * 1024;

// MD5 that offers its caller a large block to fill. The plain hash offers one
// 64-byte block at a time, so the file source would make one stream read and
// one filter call per 64 bytes, which costs a quarter more than the hashing.
class BlockMd5 : public CryptoPP::Weak1::MD5 {
public:
    CryptoPP::byte* CreateUpdateSpace(size_t& size) override {
        size = sizeof(m_block);
        return m_block;
    }

private:
    CryptoPP::byte m_block[kDigestBlock];
};

// A binary input stream buffer that reads a file descriptor straight into the
// caller's block: no buffer of its own, no locale or code conversion, which
// an ifstream sets up for every file at a cost that shows with small files.
// A failed read throws, which the istream records as its bad state.
class DescriptorReadBuffer : public std::streambuf {
public:
    explicit DescriptorReadBuffer(int fd) : m_fd(fd) {}

protected:
    std::streamsize xsgetn(char* dst, std::streamsize count) override {
        std::streamsize got = 0;
        while (got < count) {
            ssize_t n = ReadSome(dst + got, static_cast<size_t>(count - got));
            if (n == 0) break;
            got += n;
        }
        return got;
    }

    int_type underflow() override {
        if (ReadSome(&m_byte, 1) == 0) return traits_type::eof();
        setg(&m_byte, &m_byte, &m_byte + 1);
        return traits_type::to_int_type(m_byte);
    }

private:
    ssize_t ReadSome(char* dst, size_t count) {
        for (;;) {
            ssize_t n = read(m_fd, dst, count);
            if (n >= 0) return n;
            if (errno != EINTR) throw std::ios_base::failure("read failed");
        }
    }

    int m_fd;
    char m_byte = 0;
};

// Closes a descriptor that was only read. Result ignored: nothing was written.
struct ReadOnlyDescriptor {
    explicit ReadOnlyDescriptor(const char* path) : fd(open(path, O_RDONLY | O_CLOEXEC)) {}
    ~ReadOnlyDescriptor() {
        if (fd >= 0) close(fd);
    }
    ReadOnlyDescriptor(const ReadOnlyDescriptor&) = delete;
    ReadOnlyDescriptor& operator=(const ReadOnlyDescriptor&) = delete;
    int fd;
};

// Reads the file to its end into the pipeline, then ends the message. This is
// what the source's own pump-all does, without the size query it makes first
// (three seeks, and the file's first block read twice).
void PumpWholeFile(CryptoPP::FileSource& source) {
    source.Pump(CryptoPP::LWORD_MAX);
    source.AttachedTransformation()->MessageEnd();
}

} // namespace

int CInstall::CheckHash(const char* path, const char* expected) {
    if (access(path, F_OK) != 0) return 0;
    // An unreadable file (a directory, an I/O error) makes the library throw;
    // it counts as different so that the file is installed again.
    try {
        ReadOnlyDescriptor file(path);
        if (file.fd < 0) return 0;
        DescriptorReadBuffer buffer(file.fd);
        std::istream in(&buffer);

        std::string digest;
        BlockMd5 md5;
        CryptoPP::FileSource source(
            in, false,
            new CryptoPP::HashFilter(md5, new CryptoPP::HexEncoder(new CryptoPP::StringSink(digest), true, 0, ":", ""),
                                     false, -1));
        PumpWholeFile(source);
        if (in.bad()) return 0;
        return strcasecmp(digest.c_str(), expected) == 0 ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

// ---------------------------------------------------------------------------
// Change detection

int CInstall::CompareFileInfo() {
    m_vecInstallInfo.clear();
    for (const __UPDATE_INFO__& entry : m_vecUpdateInfo) {
        __UPDATE_INFO__ record = entry;
        char installed[kPathMax];
        GetInstallPath(record.name, installed);

        struct stat st;
        // The size is compared as a signed 32-bit value, as the manifest
        // writes it: a file of 2 GiB or more never matches.
        bool current = stat(installed, &st) == 0 && st.st_size <= INT32_MAX &&
                       static_cast<int32_t>(st.st_size) == record.size && CheckHash(installed, record.md5) == 1;
        if (!current) m_vecInstallInfo.push_back(record);
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Copy

namespace {

constexpr size_t kCopyChunk = 4096;
// Stream buffers for the copy: with the stdio default the loop makes a
// system call every 4 KiB and runs several times slower than cp.
constexpr size_t kCopyStreamBuffer = 1 << 20;

// Closes a stream that was only read. Result ignored: nothing was written.
void CloseSource(FILE* fp) { fclose(fp); }

// Flushes the written stream to disk and closes it; false when any byte may
// not have reached the file.
bool FlushAndClose(FILE* fp) {
    bool ok = fflush(fp) == 0 && fsync(fileno(fp)) == 0;
    return fclose(fp) == 0 && ok;
}

} // namespace

int CInstall::CopyUpdateFile(char* dst, char* src) {
    if (dst == nullptr || src == nullptr) return 0;
    FILE* in = fopen(src, "rb");
    if (in == nullptr) return 0;
    FILE* out = fopen(dst, "wb");
    if (out == nullptr) {
        CloseSource(in);
        return 0;
    }
    static char inBuffer[kCopyStreamBuffer];
    static char outBuffer[kCopyStreamBuffer];
    setvbuf(in, inBuffer, _IOFBF, sizeof(inBuffer));
    setvbuf(out, outBuffer, _IOFBF, sizeof(outBuffer));

    char chunk[kCopyChunk];
    bool ok = true;
    while (ok && !feof(in)) {
        size_t got = fread(chunk, 1, sizeof(chunk), in);
        if (ferror(in) || fwrite(chunk, 1, got, out) != got) ok = false;
    }
    CloseSource(in);
    ok = FlushAndClose(out) && ok;
    return ok ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Deployment

namespace {

enum class StopBefore { kNothing, kScanners, kDaemon };

// What the deployment pass does around the copy of one name.
struct DeployRule {
    const char* name;
    bool removeUnpackedRoot;
    int32_t* flag; // raised before the copy
    StopBefore stop;
    mode_t mode; // 0 keeps the mode the file has
    bool flagAgainAfterMode;
    bool reloadServiceManager;
    bool linkEngineLibrary;
};

const DeployRule kDeployRules[] = {
    {"vc.war", false, &check_vcinstall, StopBefore::kNothing, kArchiveMode, true, false, false},
    {"ROOT.war", true, &check_vcinstall, StopBefore::kNothing, kArchiveMode, true, false, false},
    {"QuarantineCL", false, nullptr, StopBefore::kNothing, kExecutableMode, false, false, false},
    {"morvaguard", false, nullptr, StopBefore::kNothing, kExecutableMode, false, true, false},
    {"catalina.sh", false, nullptr, StopBefore::kNothing, kExecutableMode, false, false, false},
    {"RealTimeScan", false, &check_RealTimeScan, StopBefore::kScanners, kExecutableMode, false, false, false},
    {"RealTimeScan2", false, &check_RealTimeScan, StopBefore::kScanners, kExecutableMode, false, false, false},
    {"LvCheckd", false, &check_LvCheckd, StopBefore::kDaemon, kExecutableMode, false, false, false},
    {"scanMorva", false, nullptr, StopBefore::kNothing, kExecutableMode, false, false, false},
    {"MgScan", false, nullptr, StopBefore::kNothing, kExecutableMode, false, false, false},
    {"Update", false, nullptr, StopBefore::kNothing, kExecutableMode, false, false, false},
    {"Install", false, nullptr, StopBefore::kNothing, kExecutableMode, false, false, false},
    {"ScanControl", false, nullptr, StopBefore::kNothing, kExecutableMode, false, false, false},
    {"Remove_Sem", false, nullptr, StopBefore::kNothing, kExecutableMode, false, false, false},
    {"MgQuarantine", false, nullptr, StopBefore::kNothing, kExecutableMode, false, false, false},
    {"bdcore.so.linux-x86", false, nullptr, StopBefore::kNothing, 0, false, false, true},
};
constexpr DeployRule kDefaultDeployRule = {"", false, nullptr, StopBefore::kNothing, 0, false, false, false};

const DeployRule& DeployRuleFor(const char* name) {
    for (const DeployRule& rule : kDeployRules)
        if (NameIs(name, rule.name)) return rule;
    return kDefaultDeployRule;
}

void WaitForDaemonExit(); // processes section

void ReloadServiceManagerIfSystemd() {
    char answer[9];
    memset(answer, 0, sizeof(answer));
    fflush(stdout);
    FILE* pipe = popen(kServiceManagerProbe, "r"); // NOLINT(cert-env33-c): a fixed command text
    if (pipe == nullptr) {
        PrintLine(kMsgPipeFailed);
        return;
    }
    // One item of 9 bytes: the answer is shorter, so the read ends at its end.
    (void)!fread(answer, sizeof(answer), 1, pipe);
    if (memcmp(answer, "systemd", 7) == 0) RunShellCommand(kServiceManagerReload);
    pclose(pipe); // result ignored: the answer was already read
}

void LinkEngineLibrary() {
    // Nothing is removed first: an existing link already names the library.
    if (symlink(kEngineLibraryPath, kEngineLinkPath) != 0) {
        fputs(kMsgLinkFailed, stdout);
    }
}

} // namespace

int CInstall::CopyUpdateFiles(bool verbose) {
    for (const __UPDATE_INFO__& record : m_vecInstallInfo) {
        char src[kPathMax];
        char dst[kPathMax];
        FormatBounded(src, sizeof(src), kStagedFileFormat, record.name);
        GetInstallPath(record.name, dst);
        const DeployRule& rule = DeployRuleFor(record.name);

        if (rule.removeUnpackedRoot) RunShellCommand(kRemoveUnpackedRootCommand);
        if (rule.flag != nullptr) *rule.flag = 1;
        if (rule.stop == StopBefore::kScanners) {
            PrintLine(kMsgStopProcess);
            GetPid(kKindScanners);
            GetCheckPid(kKindScanners);
            fflush(stdout);
            sleep(1);
        } else if (rule.stop == StopBefore::kDaemon) {
            GetPid(kKindDaemon);
            GetCheckPid(kKindDaemon);
            WaitForDaemonExit();
        }

        if (CopyUpdateFile(dst, src) == 0) return 0;
        if (verbose) printf(kMsgCopiedFormat, record.name);
        if (rule.mode != 0) {
            chmod(dst, rule.mode); // result ignored: a mode that cannot be set is not reported
            if (rule.flagAgainAfterMode) *rule.flag = 1;
        }
        if (rule.reloadServiceManager) ReloadServiceManagerIfSystemd();
        if (rule.linkEngineLibrary) LinkEngineLibrary();
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Processes

namespace {

const char* const kScannerNames[] = {"scanMorva", "RealTimeScan2", "RealTimeScan", nullptr};
const char* const kDaemonNames[] = {"LvCheckd", nullptr};
const char* const kNoNames[] = {nullptr};

const char* const* TargetNames(int kind) {
    if (kind == kKindScanners) return kScannerNames;
    if (kind == kKindDaemon) return kDaemonNames;
    return kNoNames;
}

bool IsAllDigits(const char* text) {
    if (*text == '\0') return false;
    for (; *text; ++text)
        if (*text < '0' || *text > '9') return false;
    return true;
}

// Reads the first line of a small file into `line`; false when it cannot be
// opened or holds no line. The file is closed before returning.
bool ReadFirstLine(const char* path, char* line, int size) {
    FILE* fp = fopen(path, "re");
    if (fp == nullptr) return false;
    bool ok = fgets(line, size, fp) != nullptr;
    fclose(fp); // result ignored: the file was only read
    return ok;
}

// Calls visit(pid) for every process whose name is one of the kind's
// targets. The name is the second word of the first status line, compared
// exactly; a line with fewer than two words matches nothing.
template <class Visit> void ForEachTargetProcess(int kind, Visit visit) {
    const char* const* targets = TargetNames(kind);
    char dirPath[260];
    FormatBounded(dirPath, sizeof(dirPath), "%s", "/proc");
    DIR* dir = opendir(dirPath);
    if (dir == nullptr) return;
    while (struct dirent* entry = readdir(dir)) {
        if (!IsAllDigits(entry->d_name)) continue;
        int pid = static_cast<int>(strtol(entry->d_name, nullptr, 10));
        char statusPath[260];
        char line[1024];
        char label[100];
        char name[100];
        FormatBounded(statusPath, sizeof(statusPath), "/proc/%d/status", pid);
        if (!ReadFirstLine(statusPath, line, sizeof(line))) continue;
        if (sscanf(line, "%99s %99s", label, name) != 2) continue;
        for (const char* const* target = targets; *target; ++target) {
            if (strcmp(name, *target) == 0) {
                visit(pid);
                break;
            }
        }
    }
    closedir(dir); // result ignored: the walk only read
}

void KillTargets(int kind) {
    ForEachTargetProcess(kind, [](int pid) {
        kill(pid, SIGKILL); // result ignored: the process may have ended already
    });
}

// A process that has been sent SIGKILL keeps its executable busy until the
// kernel has torn it down; a zombie no longer does.
bool ProcessIsAlive(int pid) {
    char path[260];
    char line[1024];
    FormatBounded(path, sizeof(path), "/proc/%d/stat", pid);
    if (!ReadFirstLine(path, line, sizeof(line))) return false;
    const char* afterName = strrchr(line, ')');
    if (afterName == nullptr || afterName[1] == '\0') return false;
    char state = afterName[2];
    return state != 'Z' && state != 'X' && state != 'x';
}

constexpr int kDaemonExitWaitMs = 5000;
constexpr int kDaemonExitPollMs = 10;

// SIGKILL is delivered asynchronously: the daemon's executable stays busy for
// an instant after the walk, and rewriting it then fails with "text file
// busy". Wait, bounded, until no daemon process is alive.
void WaitForDaemonExit() {
    for (int waited = 0; waited < kDaemonExitWaitMs; waited += kDaemonExitPollMs) {
        bool anyAlive = false;
        ForEachTargetProcess(kKindDaemon, [&anyAlive](int pid) { anyAlive = anyAlive || ProcessIsAlive(pid); });
        if (!anyAlive) return;
        struct timespec pause = {0, kDaemonExitPollMs * 1000000L};
        nanosleep(&pause, nullptr);
    }
}

} // namespace

void CInstall::GetPid(int kind) { KillTargets(kind); }

// The second walk catches a process that started while the first one ran.
void CInstall::GetCheckPid(int kind) { KillTargets(kind); }

// ---------------------------------------------------------------------------
// Restart

namespace {

constexpr size_t kFlagTextSize = 256;

bool EmergencyFlagIsOn() {
    char* text = ReadFileContents(kEmergencyFlagPath);
    bool on = text != nullptr && strcmp(text, "on") == 0;
    free(text);
    return on;
}

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

} // namespace

char* ReadFileContents(const char* path) {
    char* text = static_cast<char*>(malloc(kFlagTextSize));
    if (text == nullptr) return nullptr;
    // Descriptor 0 is a valid result when standard input is closed.
    int fd = open(path, O_RDONLY | O_CREAT | O_CLOEXEC, kFlagFileMode);
    if (fd < 0) {
        free(text);
        PrintLine(kMsgFlagOpenFailed);
        return nullptr;
    }
    ssize_t got = read(fd, text, kFlagTextSize - 1);
    size_t n = got > 0 ? static_cast<size_t>(got) : 0;
    if (n >= 1 && IsLineEnd(text[n - 1])) text[n - 1] = '\0';
    if (n >= 2 && IsLineEnd(text[n - 2])) text[n - 2] = '\0';
    text[n] = '\0';
    close(fd); // result ignored: the file was only read
    return text;
}

void ExecuteRealTimeScanProcess() {
    char program[kPathMax];
    char argument[50];
    FormatBounded(program, sizeof(program), "%s", EmergencyFlagIsOn() ? kRealTimeScan2Path : kRealTimeScanPath);
    FormatBounded(argument, sizeof(argument), "%s", kScannerArgument);

    fflush(stdout); // the child must not write the parent's buffered output again
    pid_t child = fork();
    if (child == 0) {
        execl(program, program, argument, static_cast<char*>(nullptr));
        _exit(0); // a scanner that cannot start is not reported
    }
    // Not waited for: the scanner outlives the run.
}

void ExecuteLvCheckdProcess() {
    char command[kPathMax];
    FormatBounded(command, sizeof(command), "%s", kStartLvCheckdCommand);
    RunShellCommand(command); // result ignored: the daemon reports for itself
}

void CInstall::ExecuteMorvaService() {
    char command[1024];
    FormatBounded(command, sizeof(command), "%s", kInitScriptRestart);
    RunShellCommand(command); // result ignored: a missing init script changes nothing
    if (EmergencyFlagIsOn()) {
        FormatBounded(command, sizeof(command), "%s", kSystemdRestart);
        RunShellCommand(command); // result ignored, as above
    }
}

// ---------------------------------------------------------------------------
// Event log

namespace {

// Lets the insert wait while the product holds the database for a moment.
constexpr int kDatabaseBusyTimeoutMs = 5000;

const char* TaskNameForType(int type) {
    if (type == 1) return "엔진 업데이트";
    if (type == 5) return "환경 설정";
    return "실시간 검사";
}

} // namespace

int s_callback(void* /*context*/, int columns, char** values, char** names) {
    for (int i = 0; i < columns; ++i) printf("%s = %s\n", names[i], values[i] ? values[i] : "NULL");
    printf("\n");
    return 0;
}

void writelog_sqlite(const char* text, int type) {
    // %q doubles every single quote, and the statement is sized to the text,
    // so a quote is stored as itself and no text is ever cut.
    char* statement = sqlite3_mprintf(
        "INSERT INTO log (level,taskname,infomation,date) VALUES ('정보', '%q', '%q', DATETIME('NOW', 'LOCALTIME') );",
        TaskNameForType(type), text);
    if (statement == nullptr) return;

    sqlite3* db = nullptr;
    if (sqlite3_open(kDatabasePath, &db) != SQLITE_OK) {
        sqlite3_close(db);
        sqlite3_free(statement);
        return;
    }
    sqlite3_busy_timeout(db, kDatabaseBusyTimeoutMs);
    char* error = nullptr;
    sqlite3_exec(db, statement, s_callback, nullptr, &error); // result ignored: a lost row is not reported
    sqlite3_free(error);
    sqlite3_close(db);
    sqlite3_free(statement);
}

// ---------------------------------------------------------------------------
// Install run

namespace {

void WriteCompletionMarker() {
    FormatBounded(updatelogFileName, sizeof(updatelogFileName), "%s", kMarkerPath);
    FormatBounded(updateloginfo, sizeof(updateloginfo), "%s", kMarkerText);
    FILE* fp = fopen(updatelogFileName, "w+");
    if (fp == nullptr) {
        PrintLine(kMsgMarkerOpenFailed);
        return;
    }
    fwrite(updateloginfo, 1, strlen(updateloginfo), fp); // result ignored: the marker is advisory
    fclose(fp);                                          // result ignored, as above
}

void LogEngineUpdateEnd() {
    char text[100];
    memset(text, 0, sizeof(text));
    FormatBounded(text, sizeof(text), "%s", kEngineUpdateEndText);
    writelog_sqlite(text, kEngineUpdateLogType);
}

} // namespace

void CInstall::Install(bool verbose) {
    CreateRunDirectories();

    // Anyone may create the staging directory under /tmp first; a root run
    // that read from such a directory would install or remove what it says.
    char why[256];
    if (!StagingDirIsTrusted(kStagingDirNoSlash, why, sizeof(why))) {
        if (why[0] != '\0')
            fprintf(stderr, "aminstall: refusing the staging directory %s: it %s\n", kStagingDirNoSlash, why);
        PrintLine(kMsgVersionFileError);
        return;
    }
    CreateStagingPluginsDirectory();

    char manifest[kPathMax];
    FormatBounded(manifest, sizeof(manifest), kManifestPathFormat, kStagingDir, kManifestName);
    GetUpdateInfo(manifest, m_vecUpdateInfo);
    if (m_vecUpdateInfo.empty()) {
        PrintLine(kMsgVersionFileError);
        return;
    }

    CompareFileInfo();
    if (m_vecInstallInfo.empty()) {
        PrintLine(kMsgUpToDate);
        DeleteFiles();
        return;
    }

    CopyUpdateFiles(verbose); // result ignored: the run goes on after a failed copy
    DeleteFiles();
    if (check_RealTimeScan) ExecuteRealTimeScanProcess();
    if (check_LvCheckd) ExecuteLvCheckdProcess();
    if (check_vcinstall) ExecuteMorvaService();
    WriteCompletionMarker();
    LogEngineUpdateEnd();
}
