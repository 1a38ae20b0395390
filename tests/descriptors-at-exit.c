/* Preloaded into a program that a test runs, after the emulated bus: when the program exits,
 * writes one line for each descriptor above 2 that is open then but was not when the
 * program started, "N TARGET" (TARGET as /proc/self/fd/N names it), into the file that
 * KZR415_DESCRIPTORS_AT_EXIT names. The file is written, empty when nothing is left open,
 * whenever the program ends through exit or a return from main. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { tracked = 4096 };

/* The descriptors open when the program started: inherited, or the loader's and the
 * emulator's own. */
static unsigned char open_at_start[tracked];

/* Calls `visit` with each open descriptor, the directory's own left out. */
static void each_open_descriptor(void (*visit)(int fd, void *context), void *context) {
    DIR *directory = opendir("/proc/self/fd");
    struct dirent *entry;
    if (directory == NULL) {
        return;
    }
    while ((entry = readdir(directory)) != NULL) {
        char *end = NULL;
        const long fd = strtol(entry->d_name, &end, 10);
        if (*end == '\0' && end != entry->d_name && fd != dirfd(directory)) {
            visit((int)fd, context);
        }
    }
    closedir(directory);
}

static void remember(int fd, void *context) {
    (void)context;
    if (fd < tracked) {
        open_at_start[fd] = 1;
    }
}

struct Report {
    char text[8192];
    size_t length;
};

static void report_if_new(int fd, void *context) {
    struct Report *report = context;
    char link[64];
    char target[512];
    ssize_t length;
    int written;
    if (fd <= 2 || (fd < tracked && open_at_start[fd])) {
        return;
    }
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    length = readlink(link, target, sizeof target - 1);
    target[length < 0 ? 0 : length] = '\0';
    written = snprintf(report->text + report->length, sizeof report->text - report->length,
                       "%d %s\n", fd, target);
    if (written > 0 && (size_t)written < sizeof report->text - report->length) {
        report->length += (size_t)written;
    }
}

__attribute__((constructor)) static void at_start(void) {
    each_open_descriptor(remember, NULL);
}

__attribute__((destructor)) static void at_exit(void) {
    static struct Report report;
    const char *path = getenv("KZR415_DESCRIPTORS_AT_EXIT");
    int fd;
    if (path == NULL || *path == '\0') {
        return;
    }
    report.length = 0;
    each_open_descriptor(report_if_new, &report);
    fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        if (write(fd, report.text, report.length) < 0) {
            perror(path);
        }
        close(fd);
    }
}
