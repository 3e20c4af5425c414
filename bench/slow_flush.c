// LD_PRELOAD library: every fsync/fdatasync of a regular file costs 8 ms more,
// about what a spinning disk's flush costs. Every tool in the benchmark runs
// under it alike.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static void slowDown(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
    struct timespec d = {0, 8 * 1000 * 1000};
    while (nanosleep(&d, &d) != 0) {
    }
}

int fsync(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    slowDown(fd);
    return real(fd);
}

int fdatasync(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    slowDown(fd);
    return real(fd);
}
