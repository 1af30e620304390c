// Entry point: examines the command line and runs the installer once.
#include <csignal>
#include <cstdio>
#include <new>

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include "Install.h"

namespace {

// A closed standard descriptor would be handed out by the next open, and the
// run's messages would then land in the manifest, a copy or the marker.
void KeepStandardDescriptorsOpen() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            int null = open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) close(null); // only the lowest free slot is wanted
        }
    }
}

// The one optional argument: "/" or "-" followed by "print" in any case.
enum class Command { kNoRun, kQuiet, kVerbose };

Command ParseCommandLine(int argc, char** argv) {
    if (argc <= 1) return Command::kQuiet;
    if (argc > 2) return Command::kNoRun;
    const char* option = argv[1];
    if (option[0] != '/' && option[0] != '-') return Command::kNoRun;
    return strcasecmp(option + 1, "print") == 0 ? Command::kVerbose : Command::kQuiet;
}

} // namespace

int main(int argc, char** argv) {
    KeepStandardDescriptorsOpen();
    // A reader that went away must not stop an install halfway.
    signal(SIGPIPE, SIG_IGN);

    CInstall installer;
    Command command = ParseCommandLine(argc, argv);
    if (command == Command::kNoRun) return 0;
    try {
        installer.Install(command == Command::kVerbose);
    } catch (const std::bad_alloc&) {
        fputs("aminstall: out of memory\n", stderr);
    }
    fflush(stdout);
    return 0;
}
