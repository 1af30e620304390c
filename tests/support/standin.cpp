// A stand-in for the product's programs (scanners, daemon), copied under each
// process name the installer looks for. It records how it was started in the
// sandbox's log, then waits to be killed. Started as "LvCheckd" it detaches
// like the real daemon, so that the shell that started it returns.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

int main(int argc, char** argv) {
    const char* name = strrchr(argv[0], '/');
    name = name ? name + 1 : argv[0];
    if (strcmp(name, "LvCheckd") == 0 && fork() > 0) return 0;

    const char* log = getenv("STANDIN_LOG");
    FILE* fp = fopen(log ? log : "/tmp/.sandbox/standin.log", "a");
    if (fp != nullptr) {
        char cwd[512] = "?";
        if (getcwd(cwd, sizeof(cwd)) == nullptr) strcpy(cwd, "?");
        fprintf(fp, "%s pid=%d cwd=%s argc=%d", name, static_cast<int>(getpid()), cwd, argc);
        for (int i = 0; i < argc; ++i) fprintf(fp, " [%s]", argv[i]);
        fputc('\n', fp);
        fclose(fp);
    }
    if (argc > 1 && strcmp(argv[1], "--exit") == 0) return 0;
    for (;;) pause();
}
