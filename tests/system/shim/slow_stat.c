// A slow file system for process-level tests: preloaded (LD_PRELOAD) into the program under test,
// it delays the status calls of entries whose directory path contains "slow". Inert unless
// DV_SLOW_STAT_MS (the delay per call, in milliseconds) is set. When DV_SLOW_STAT_REPORT names a
// file, the number of delayed calls is written to it at exit, so that a test can tell that the
// shim really was in the way (a statically linked program ignores LD_PRELOAD).
//
// glibc 2.36 turns fstatat into the newfstatat system call inside the library: wrapping the
// system call is not possible from here, so the library's entry points are wrapped. lstat and
// stat reach that system call without going through fstatat, so they are wrapped too.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

typedef int (*fstatat_fn)(int, const char*, struct stat*, int);
typedef int (*fstatat64_fn)(int, const char*, struct stat64*, int);
typedef int (*stat_fn)(const char*, struct stat*);

static unsigned long delayed_calls;  // updated atomically

static long delay_ms(void) {
    const char* text = getenv("DV_SLOW_STAT_MS");
    return text != NULL ? atol(text) : 0;
}

// Whether the directory holding `name` (relative to `dir_fd`) has "slow" in its path.
static int in_slow_directory(int dir_fd, const char* name) {
    char dir[PATH_MAX * 2];
    dir[0] = '\0';
    if (name[0] != '/') {
        if (dir_fd == AT_FDCWD) {
            if (getcwd(dir, PATH_MAX) == NULL) return 0;
        } else {
            char link[64];
            snprintf(link, sizeof(link), "/proc/self/fd/%d", dir_fd);
            ssize_t n = readlink(link, dir, PATH_MAX - 1);
            if (n < 0) return 0;
            dir[n] = '\0';
        }
        strcat(dir, "/");
    }
    const char* last_slash = strrchr(name, '/');
    if (last_slash != NULL) {
        if (last_slash - name >= PATH_MAX) return 0;
        strncat(dir, name, (size_t)(last_slash - name));
    }
    return strstr(dir, "slow") != NULL;
}

static void maybe_delay(int dir_fd, const char* name) {
    long ms = delay_ms();
    if (ms <= 0 || name == NULL || !in_slow_directory(dir_fd, name)) return;
    __atomic_add_fetch(&delayed_calls, 1, __ATOMIC_RELAXED);
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

static void* next_symbol(const char* symbol) {
    void* fn = dlsym(RTLD_NEXT, symbol);
    if (fn == NULL) abort();
    return fn;
}

int fstatat(int dir_fd, const char* name, struct stat* st, int flags) {
    maybe_delay(dir_fd, name);
    return ((fstatat_fn)next_symbol("fstatat"))(dir_fd, name, st, flags);
}

int fstatat64(int dir_fd, const char* name, struct stat64* st, int flags) {
    maybe_delay(dir_fd, name);
    return ((fstatat64_fn)next_symbol("fstatat64"))(dir_fd, name, st, flags);
}

int lstat(const char* path, struct stat* st) {
    maybe_delay(AT_FDCWD, path);
    return ((stat_fn)next_symbol("lstat"))(path, st);
}

int stat(const char* path, struct stat* st) {
    maybe_delay(AT_FDCWD, path);
    return ((stat_fn)next_symbol("stat"))(path, st);
}

__attribute__((destructor)) static void report_delayed_calls(void) {
    const char* report = getenv("DV_SLOW_STAT_REPORT");
    if (report == NULL || delay_ms() <= 0) return;
    FILE* out = fopen(report, "w");
    if (out == NULL) return;
    fprintf(out, "%lu\n", __atomic_load_n(&delayed_calls, __ATOMIC_RELAXED));
    fclose(out);
}
