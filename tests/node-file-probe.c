/* A program of its own on the preloaded emulated bus (node /dev/i2c-4, device at 0x48) that
 * treats the node as the character device it is: `node-file-probe SCENARIO [FILE]`. Each
 * scenario checks what the kernel's i2c-dev would answer, prints a line for every difference
 * to standard error and exits 1 if there was one. An alarm ends a hung run. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

static const char *node = "/dev/i2c-4";
static int failures;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "node-file-probe: %s (errno %s)\n", what, strerror(errno));
        ++failures;
    }
}

static int refused(long long result, int error) {
    return result == -1 && errno == error;
}

/* What an i2c-dev request on an O_PATH descriptor gives: EBADF from the kernel; under
 * qemu-arm's user mode, which passes on no request it does not know, ENOSYS (QEMU 7, Debian 12)
 * or ENOTTY (QEMU 10, Debian 13). Never a transfer. */
static int request_refused(long result) {
    return result == -1 && (errno == EBADF || errno == ENOSYS || errno == ENOTTY);
}

/* One I2C_RDWR transfer reading the configuration register's 2 bytes: its result. */
static int transfer(int fd) {
    unsigned char bytes[2] = {0, 0};
    struct i2c_msg message = {0x48, I2C_M_RD, 2, bytes};
    struct i2c_rdwr_ioctl_data request = {&message, 1};
    return ioctl(fd, I2C_RDWR, &request);
}

static int read_two(int fd) {
    unsigned char bytes[2];
    return (int)read(fd, bytes, sizeof bytes);
}

/* The calls a character device without llseek, mmap or fsync refuses, and its status; the
 * descriptor keeps its slave address through all of them, in this program and after exec. */
static void refused_calls(const char *self) {
    const int fd = open(node, O_RDWR);
    struct stat status;
    char number[16];
    check(fd >= 0 && ioctl(fd, I2C_SLAVE, 0x48) == 0, "open the node, I2C_SLAVE 0x48");
    check(refused(lseek(fd, 0, SEEK_SET), ESPIPE), "lseek SEEK_SET");
    check(refused(lseek(fd, 5, SEEK_CUR), ESPIPE), "lseek SEEK_CUR");
    check(refused(lseek(fd, 0, SEEK_END), ESPIPE), "lseek SEEK_END");
    check(read_two(fd) == 2, "read at the slave address after lseek");
    check(mmap(NULL, 4096, PROT_READ, MAP_SHARED, fd, 0) == MAP_FAILED && errno == ENODEV, "mmap");
    check(refused(ftruncate(fd, 0), EINVAL), "ftruncate");
    check(refused(fsync(fd), EINVAL), "fsync");
    check(refused(fdatasync(fd), EINVAL), "fdatasync");
    check(fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && major(status.st_rdev) == 89 &&
              minor(status.st_rdev) == 4,
          "fstat: character device 89:4");
    snprintf(number, sizeof number, "%d", fd);
    if (failures == 0) {
        execl(self, self, "after-exec", number, (char *)NULL);
        check(errno == ENOEXEC, "exec"); /* qemu-arm's user mode does not follow execve */
    }
    close(fd);
}

static void after_exec(const char *kept) {
    const int fd = atoi(kept);
    check(read_two(fd) == 2, "read at the slave address kept over exec");
    check(transfer(fd) == 1, "I2C_RDWR after exec");
    check(refused(lseek(fd, 0, SEEK_SET), ESPIPE), "lseek after exec");
    close(fd);
}

/* readv and writev move one message per buffer, as the kernel's loop over read and write. */
static void vectors(void) {
    int fd = open(node, O_RDWR);
    unsigned char first[2] = {0x00, 0x00};
    unsigned char second[2] = {0xff, 0xff};
    unsigned char pointer = 0x01;
    struct iovec in[2] = {{first, sizeof first}, {second, sizeof second}};
    struct iovec out[1] = {{&pointer, 1}};
    static struct iovec many[IOV_MAX + 1];
    struct iovec *unreadable = mmap(NULL, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    check(fd >= 0 && ioctl(fd, I2C_SLAVE, 0x48) == 0, "open the node, I2C_SLAVE 0x48");
    check(writev(fd, out, 1) == 1, "writev of the register pointer");
    check(readv(fd, in, 2) == 4, "readv into two buffers");
    check(memcmp(first, second, 2) == 0, "both buffers read the same register");
    check(ioctl(fd, I2C_SLAVE, 0x49) == 0, "I2C_SLAVE 0x49");
    check(refused(readv(fd, in, 2), ENXIO), "readv from an address nobody answers");
    check(readv(fd, in, 0) == 0, "readv of no buffer");
    check(refused(readv(fd, many, IOV_MAX + 1), EINVAL), "readv of more than IOV_MAX buffers");
    check(unreadable != MAP_FAILED && refused(readv(fd, unreadable, 1), EFAULT),
          "readv of a list it cannot read");
    close(fd);
    fd = open(node, O_WRONLY);
    check(refused(readv(fd, in, 1), EBADF), "readv on an O_WRONLY descriptor");
    close(fd);
    munmap(unreadable, 4096);
}

/* Other ways to the node: fopen, a symbolic link, an O_PATH descriptor. */
static void other_ways(const char *folder) {
    char link[4096];
    char relative[4096];
    FILE *stream = fopen(node, "r+");
    int fd;
    check(stream != NULL, "fopen the node");
    if (stream != NULL) {
        check(ioctl(fileno(stream), I2C_SLAVE, 0x48) == 0 && read_two(fileno(stream)) == 2,
              "I2C_SLAVE and read on fileno of the stream");
        check(fclose(stream) == 0, "fclose");
    }
    snprintf(link, sizeof link, "%s/sensor", folder);
    snprintf(relative, sizeof relative, "%s/relative", folder);
    check(symlink(node, link) == 0 && symlink("sensor", relative) == 0, "make the links");
    fd = open(link, O_RDWR);
    check(fd >= 0 && transfer(fd) == 1, "I2C_RDWR through a symbolic link to the node");
    close(fd);
    fd = open(relative, O_RDWR);
    check(fd >= 0 && transfer(fd) == 1, "I2C_RDWR through a link to that link");
    close(fd);
    check(refused(open(link, O_RDWR | O_NOFOLLOW), ELOOP), "O_NOFOLLOW on the link");
    fd = open(node, O_PATH);
    check(fd >= 0, "open the node with O_PATH");
    check(request_refused(transfer(fd)), "I2C_RDWR on an O_PATH descriptor");
    check(refused(read_two(fd), EBADF), "read on an O_PATH descriptor");
    check(refused(write(fd, "", 1), EBADF), "write on an O_PATH descriptor");
    close(fd);
}

/* Standard error closed and descriptor 2 reused for the program's own file, which then
 * holds how one transfer went ("transferred", "EIO" or "other"): the bus's lines (a failed
 * transfer's diagnostic, a trace to standard error) must not land in it. */
static void reused_standard_error(const char *output) {
    int fd;
    int out;
    int result;
    const char *how;
    close(STDERR_FILENO);
    out = open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    fd = open(node, O_RDWR);
    if (out != STDERR_FILENO || fd < 0) {
        _exit(3); /* nowhere to tell: the test sees the status */
    }
    result = transfer(fd);
    how = result == 1 ? "transferred\n" : refused(result, EIO) ? "EIO\n" : "other\n";
    check(write(out, how, strlen(how)) == (ssize_t)strlen(how), "write the program's file");
    close(fd);
    close(out);
}

/* A failed transfer with standard error as it started: the diagnostic is there. */
static void failed_transfer(void) {
    const int fd = open(node, O_RDWR);
    check(fd >= 0 && refused(transfer(fd), EIO), "a transfer the state file fails");
    close(fd);
}

int main(int argc, char **argv) {
    const char *scenario = argc > 1 ? argv[1] : "";
    const char *file = argc > 2 ? argv[2] : "";
    alarm(60);
    if (strcmp(scenario, "refused-calls") == 0) {
        refused_calls(argv[0]);
    } else if (strcmp(scenario, "after-exec") == 0) {
        after_exec(file);
    } else if (strcmp(scenario, "vectors") == 0) {
        vectors();
    } else if (strcmp(scenario, "other-ways") == 0) {
        other_ways(file);
    } else if (strcmp(scenario, "reused-standard-error") == 0) {
        reused_standard_error(file);
    } else if (strcmp(scenario, "failed-transfer") == 0) {
        failed_transfer();
    } else {
        fprintf(stderr, "node-file-probe: no scenario %s\n", scenario);
        return 2;
    }
    return failures == 0 ? 0 : 1;
}
