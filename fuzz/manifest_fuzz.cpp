// libFuzzer target for the manifest reader: every input is written to an
// in-memory file and read with CInstall::GetUpdateInfo; each record must hold
// bounded, zero-filled text, and the records must be exactly those of the
// lines that a plain reading of the text accepts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "Install.h"

namespace {

[[noreturn]] void Fail(const char* what, size_t index) {
    fprintf(stderr, "manifest_fuzz: record %zu: %s\n", index, what);
    abort();
}

// The manifest lives in one memfd, rewritten for every input and opened by
// the reader through its /proc path.
struct ManifestFile {
    int fd = -1;
    char path[64] = {};

    ManifestFile() {
        fd = memfd_create("update.info", MFD_CLOEXEC);
        if (fd < 0) {
            perror("manifest_fuzz: memfd_create");
            abort();
        }
        snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
    }

    void Write(const uint8_t* data, size_t size) const {
        if (ftruncate(fd, 0) != 0) abort();
        size_t done = 0;
        while (done < size) {
            ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) abort();
            done += static_cast<size_t>(n);
        }
    }
};

// Text up to `size` bytes of a field: 1..maxLength bytes, then only zeros.
size_t CheckField(const char* field, size_t size, size_t minLength, size_t maxLength, const char* name, size_t index) {
    size_t length = strnlen(field, size);
    if (length == size) Fail(name, index); // no terminating zero
    if (length < minLength || length > maxLength) Fail(name, index);
    for (size_t i = length; i < size; ++i) {
        if (field[i] != '\0') Fail(name, index);
    }
    return length;
}

bool HasDotDotComponent(const std::string& name) {
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0) return true;
        start = end + 1;
    }
    return false;
}

void CheckRecord(const __UPDATE_INFO__& record, size_t index) {
    CheckField(record.tag, sizeof(record.tag), 1, 19, "tag", index);
    CheckField(record.name, sizeof(record.name), 1, 99, "name", index);
    CheckField(record.md5, sizeof(record.md5), 32, 32, "md5", index);
    if (HasDotDotComponent(record.name)) Fail("name has a \"..\" component", index);
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        if (end > start) parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

struct ExpectedRecord {
    std::string tag, md5, name;
};

// The lines the reader accepts, read plainly: text up to the first zero byte,
// lines at line feeds, tokens at spaces, empty pieces skipped; a line needs
// tag, digest, name and size, and further tokens are ignored.
std::vector<ExpectedRecord> AcceptedLines(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    std::vector<ExpectedRecord> accepted;
    for (const std::string& line : Split(text, '\n')) {
        std::vector<std::string> tokens = Split(line, ' ');
        if (tokens.size() < 4) continue;
        const std::string& tag = tokens[0];
        const std::string& md5 = tokens[1];
        const std::string& name = tokens[2];
        if (tag.size() > 19 || md5.size() != 32 || name.size() > 99 || HasDotDotComponent(name)) continue;
        accepted.push_back({tag, md5, name});
    }
    return accepted;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ManifestFile file;
    file.Write(data, size);

    CInstall installer;
    std::vector<__UPDATE_INFO__> records;
    installer.GetUpdateInfo(file.path, records);

    std::vector<ExpectedRecord> expected = AcceptedLines(data, size);
    if (records.size() != expected.size()) Fail("count differs from the accepted lines", records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        CheckRecord(records[i], i);
        if (expected[i].tag != records[i].tag) Fail("tag differs from its line", i);
        if (expected[i].md5 != records[i].md5) Fail("md5 differs from its line", i);
        if (expected[i].name != records[i].name) Fail("name differs from its line", i);
    }
    return 0;
}
