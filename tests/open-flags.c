/* The library's open of the bus node, seen from below: this program defines the C library's
 * open entry points itself, so that libkzr-415-drv's open comes here. i2c_open must open
 * the path it is given, once, for reading and writing with no further flag: no O_CLOEXEC,
 * no O_NONBLOCK, no O_CREAT (i2c-dev accepts them all, so no emulated bus would notice). */
#include "kzr-415-drv.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

/* The C library's names, whatever <fcntl.h> redirects open to (open64 with 64-bit file
 * offsets, __open_2 or __open64_2 when fortified). */
int test_open(const char *path, int flags, ...) __asm__("open");
int test_open64(const char *path, int flags, ...) __asm__("open64");
int test_openat(int dirfd, const char *path, int flags, ...) __asm__("openat");
int test_openat64(int dirfd, const char *path, int flags, ...) __asm__("openat64");
int test_open_2(const char *path, int flags) __asm__("__open_2");
int test_open64_2(const char *path, int flags) __asm__("__open64_2");

static int calls;
static int seen_dirfd = AT_FDCWD;
static int seen_flags;
static char seen_path[64];

/* Records the call and gives a descriptor of its own (a copy of standard error), so that
 * i2c_open returns and i2c_close has something to close. */
static int record(int dirfd, const char *path, int flags) {
    ++calls;
    seen_dirfd = dirfd;
    seen_flags = flags;
    snprintf(seen_path, sizeof seen_path, "%s", path);
    return dup(STDERR_FILENO);
}

int test_open(const char *path, int flags, ...) {
    return record(AT_FDCWD, path, flags);
}

int test_open64(const char *path, int flags, ...) {
    return record(AT_FDCWD, path, flags);
}

int test_openat(int dirfd, const char *path, int flags, ...) {
    return record(dirfd, path, flags);
}

int test_openat64(int dirfd, const char *path, int flags, ...) {
    return record(dirfd, path, flags);
}

int test_open_2(const char *path, int flags) {
    return record(AT_FDCWD, path, flags);
}

int test_open64_2(const char *path, int flags) {
    return record(AT_FDCWD, path, flags);
}

int main(void) {
    const int fd = i2c_open("/dev/i2c-4");
    int failures = 0;
    if (calls != 1) {
        fprintf(stderr, "open-flags: i2c_open opened %d times, not once\n", calls);
        ++failures;
    }
    if (seen_dirfd != AT_FDCWD || strcmp(seen_path, "/dev/i2c-4") != 0) {
        fprintf(stderr, "open-flags: i2c_open opened \"%s\" (directory %d), not \"/dev/i2c-4\"\n",
                seen_path, seen_dirfd);
        ++failures;
    }
    if (seen_flags != O_RDWR) {
        fprintf(stderr, "open-flags: i2c_open's open flags are %#o, not O_RDWR (%#o) alone\n",
                (unsigned)seen_flags, (unsigned)O_RDWR);
        ++failures;
    }
    if (fd < 0) {
        fprintf(stderr, "open-flags: i2c_open returned %d\n", fd);
        ++failures;
    }
    (void)i2c_close(fd);
    if (failures == 0) {
        printf("open-flags: i2c_open opened \"/dev/i2c-4\" once with O_RDWR alone\n");
    }
    return failures == 0 ? 0 : 1;
}
