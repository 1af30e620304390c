// Counts this process's open descriptors, for checks that a walk of the
// process table leaves none open.
#ifndef AMINSTALL_TESTS_DESCRIPTORS_H
#define AMINSTALL_TESTS_DESCRIPTORS_H

#include <cstddef>

#include <dirent.h>

inline size_t OpenDescriptorCount() {
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return 0;
    while (struct dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count - 1; // the descriptor of the listing itself
}

#endif
