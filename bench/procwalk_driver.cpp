// Times walks of the process table: runs the walk of kind 3, which examines
// every process and ends none, N times and prints the time of one walk and
// the descriptors open before and after.
//
// usage: procwalk_driver [N]   (default 50)
// prints: walks=N per_walk_ms=T fds_before=B fds_after=A
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "Install.h"
#include "descriptors.h"

namespace {

constexpr int kKindNoTargets = 3;

double Seconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    int walks = argc > 1 ? atoi(argv[1]) : 50;
    if (walks <= 0) {
        fprintf(stderr, "usage: %s [N]\n", argv[0]);
        return 2;
    }
    CInstall installer;
    size_t before = OpenDescriptorCount();
    double start = Seconds();
    for (int i = 0; i < walks; ++i) installer.GetPid(kKindNoTargets);
    double elapsed = Seconds() - start;
    size_t after = OpenDescriptorCount();
    printf("walks=%d per_walk_ms=%.3f fds_before=%zu fds_after=%zu\n", walks, elapsed * 1000 / walks, before, after);
    return 0;
}
