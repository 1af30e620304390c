// The installer of staged engine updates: reads the manifest that the updater
// left in the staging directory, installs the files that differ from the
// installed ones and starts again what it replaced.
#ifndef AMINSTALL_INSTALL_H
#define AMINSTALL_INSTALL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

// One manifest line. The record is copied whole by value and holds no
// pointers; its layout is fixed at 164 bytes.
struct __UPDATE_INFO__ {
    char tag[20];   // first token, 1 to 19 bytes, zero-filled
    char name[100]; // third token, 1 to 99 bytes: staged file and map key
    char md5[40];   // second token, exactly 32 bytes, zero-filled
    int32_t size;   // fourth token as a saturating decimal
};

static_assert(sizeof(__UPDATE_INFO__) == 164, "the record is 164 bytes");
static_assert(offsetof(__UPDATE_INFO__, tag) == 0, "tag at byte 0");
static_assert(offsetof(__UPDATE_INFO__, name) == 20, "name at byte 20");
static_assert(offsetof(__UPDATE_INFO__, md5) == 120, "md5 at byte 120");
static_assert(offsetof(__UPDATE_INFO__, size) == 160, "size at byte 160");

// Restart flags: 0 at start, raised only by the deployment pass, read once by
// the install run after the staging cleanup, never reset.
extern int32_t check_RealTimeScan;
extern int32_t check_LvCheckd;
extern int32_t check_vcinstall;

// Process kinds of the /proc walk.
enum { kKindScanners = 1, kKindDaemon = 2 };

// Buffer size of every installed and staged path.
constexpr size_t kPathMax = 512;

class CInstall {
public:
    CInstall() = default;
    ~CInstall() = default;
    CInstall(const CInstall&) = delete;
    CInstall& operator=(const CInstall&) = delete;

    void Install(bool verbose);

    // Manifest
    void GetUpdateInfo(const char* path, std::vector<__UPDATE_INFO__>& list);
    size_t fileToMemory(FILE* fp, char** buffer);
    size_t charToPointerArr(char* buffer, char*** lines);

    // Staging area
    void DeleteFiles();

    // Change detection
    int CheckHash(const char* path, const char* expected);
    int CompareFileInfo();

    // Deployment
    int CopyUpdateFile(char* dst, char* src);
    int CopyUpdateFiles(bool verbose);

    // Processes
    void GetPid(int kind);
    void GetCheckPid(int kind);

    // Restart
    void ExecuteMorvaService();

    std::vector<__UPDATE_INFO__> m_vecUpdateInfo;
    std::vector<__UPDATE_INFO__> m_vecInstallInfo;
};

// The installed path of a manifest name, written into a kPathMax-byte buffer.
void GetInstallPath(const char* name, char* dst);

// True when the staging directory may be read and cleaned as root; otherwise
// writes why into `why`.
bool StagingDirIsTrusted(const char* dir, char* why, size_t whySize);

char* ReadFileContents(const char* path);
void ExecuteRealTimeScanProcess();
void ExecuteLvCheckdProcess();

void writelog_sqlite(const char* text, int type);
int s_callback(void* context, int columns, char** values, char** names);

#endif
