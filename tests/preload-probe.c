/* A program of its own on the preloaded emulated bus (node /dev/i2c-4, device at 0x48), doing
 * what programs do to descriptors and pointers: `preload-probe SCENARIO [FILE]`. Each scenario
 * checks what the kernel's i2c-dev would answer, prints a line for every difference to
 * standard error and exits 1 if there was one. An alarm ends a hung run. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static const char *node = "/dev/i2c-4";
static int failures;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "preload-probe: %s (errno %s)\n", what, strerror(errno));
        ++failures;
    }
}

/* -1 and errno `error`, as the kernel answers a refused call. */
static int refused(long result, int error) {
    return result == -1 && errno == error;
}

/* What I2C_RDWR on a descriptor that is not a bus node gives: ENOTTY from the kernel, ENOSYS
 * under qemu-arm's user mode, which passes on no request it does not know. */
static int not_a_bus(long result) {
    return result == -1 && (errno == ENOTTY || errno == ENOSYS);
}

/* One I2C_RDWR transfer reading the configuration register's 2 bytes: its result. */
static int transfer(int fd) {
    unsigned char bytes[2] = {0, 0};
    struct i2c_msg message = {0x48, I2C_M_RD, 2, bytes};
    struct i2c_rdwr_ioctl_data request = {&message, 1};
    return ioctl(fd, I2C_RDWR, &request);
}

static int open_node(int flags) {
    const int fd = open(node, flags);
    check(fd >= 0, "open the node");
    return fd;
}

static void write_text(int fd, const char *text) {
    check(write(fd, text, strlen(text)) == (ssize_t)strlen(text), "write the program's file");
}

/* Closes every descriptor it did not open, as daemons do, then opens the node and its own
 * output file; then the same after close_range. The file must hold what it wrote. */
static void close_everything(const char *output) {
    int fd;
    int out;
    for (fd = 3; fd < 64; ++fd) {
        close(fd);
    }
    fd = open_node(O_RDWR);
    check(transfer(fd) == 1, "transfer after closing 3 to 63");
    out = open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(out >= 0, "open the output file");
    write_text(out, "first line\n");
    check(transfer(fd) == 1, "transfer with the output file open");
    check(close_range(3, ~0U, 0) == 0, "close_range");
    out = open(output, O_WRONLY | O_APPEND | O_CLOEXEC);
    fd = open_node(O_RDWR);
    check(transfer(fd) == 1, "transfer after close_range");
    write_text(out, "second line\n");
    check(transfer(fd) == 1, "transfer after writing");
    close(fd);
    close(out);
}

/* dup2 of the program's file over the node: the number is the file's from then on. */
static void dup2_over_node(const char *output) {
    const int fd = open_node(O_RDWR);
    const int out = open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(out >= 0, "open the output file");
    check(dup2(out, fd) == fd, "dup2 over the node");
    check(not_a_bus(transfer(fd)), "I2C_RDWR on the file dup2 put over the node");
    write_text(fd, "imp");
    close(out);
    close(fd);
}

/* fclose(fdopen(node)) closes the node; the file that gets its number is the program's. */
static void fclose_node(const char *output) {
    const int fd = open_node(O_RDWR);
    FILE *stream = fdopen(fd, "r+");
    int out;
    check(stream != NULL, "fdopen the node");
    check(stream != NULL && fclose(stream) == 0, "fclose the node's stream");
    out = open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(out == fd, "the output file takes the node's number");
    write_text(out, "data");
    check(not_a_bus(transfer(out)), "I2C_RDWR on the file that took the node's number");
    close(out);
}

static int read_two(int fd) {
    unsigned char bytes[2];
    return (int)read(fd, bytes, sizeof bytes);
}

/* Copies share the open file's settings, across fork and exec too; exec ends a copy opened
 * with close-on-exec. */
static void copies(const char *self) {
    const int fd = open_node(O_RDWR);
    const int copy = dup(fd);
    const int above = fcntl(fd, F_DUPFD, 20);
    const int closing = fcntl(fd, F_DUPFD_CLOEXEC, 30);
    pid_t child;
    int status = 0;
    char kept[16];
    char ended[16];
    check(copy >= 0 && above >= 20 && closing >= 30, "copy the node's descriptor");
    check(ioctl(fd, I2C_SLAVE, 0x48) == 0, "I2C_SLAVE 0x48");
    check(read_two(copy) == 2, "read through dup's copy at the shared address");
    check(read_two(above) == 2, "read through F_DUPFD's copy");
    check(transfer(closing) == 1, "I2C_RDWR through F_DUPFD_CLOEXEC's copy");
    check(close(fd) == 0, "close the original");
    check(read_two(copy) == 2, "the copy outlives the original");

    child = fork();
    if (child == 0) {
        _exit(ioctl(copy, I2C_SLAVE, 0x49) == 0 ? 0 : 1);
    }
    check(waitpid(child, &status, 0) == child && status == 0, "I2C_SLAVE in a child");
    check(refused(read_two(above), ENXIO), "the child's slave address is the parent's");
    child = fork();
    if (child == 0) {
        _exit(ioctl(copy, I2C_TENBIT, 1) == 0 ? 0 : 1);
    }
    check(waitpid(child, &status, 0) == child && status == 0, "I2C_TENBIT in a child");
    check(ioctl(above, I2C_SLAVE, 0x148) == 0, "a ten-bit address after the child's I2C_TENBIT");
    check(ioctl(above, I2C_TENBIT, 0) == 0 && ioctl(above, I2C_SLAVE, 0x48) == 0,
          "back to 7-bit 0x48");
    snprintf(kept, sizeof kept, "%d", copy);
    snprintf(ended, sizeof ended, "%d", closing);
    if (failures == 0) {
        execl(self, self, "after-exec", kept, ended, (char *)NULL);
        /* qemu-arm's user mode does not follow execve: an ARM program is no format the
         * machine runs by itself, and the half after exec is the host build's. */
        check(errno == ENOEXEC, "exec");
    }
    close(copy);
    close(above);
    close(closing);
}

static void after_exec(const char *kept, const char *ended) {
    const int copy = atoi(kept);
    check(read_two(copy) == 2, "the node kept over exec, with its address");
    check(transfer(copy) == 1, "I2C_RDWR on the node kept over exec");
    check(refused(fcntl(atoi(ended), F_GETFD), EBADF), "exec closed the close-on-exec copy");
    close(copy);
}

/* A thread keeps transferring while another forks; every child then transfers once itself. */
static int stop; /* read and written with __atomic builtins */
static int shared_fd;

static void *keep_transferring(void *unused) {
    (void)unused;
    while (!__atomic_load_n(&stop, __ATOMIC_RELAXED)) {
        if (transfer(shared_fd) != 1) {
            fprintf(stderr, "preload-probe: transfer in the thread failed\n");
            exit(1);
        }
    }
    return NULL;
}

static double seconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static void fork_from_thread(void) {
    enum { children = 20 };
    pthread_t thread;
    int stuck = 0;
    int failed = 0;
    int i;
    shared_fd = open_node(O_RDWR | O_CLOEXEC);
    check(pthread_create(&thread, NULL, keep_transferring, NULL) == 0, "start the thread");
    for (i = 0; i < children; ++i) {
        const pid_t child = fork();
        int status = 0;
        double deadline;
        pid_t ended = 0;
        if (child == 0) {
            const int fd = open(node, O_RDWR);
            _exit(transfer(shared_fd) == 1 && transfer(fd) == 1 ? 0 : 1);
        }
        /* Bounded: a child that has not ended after 10 s is dead-locked, not slow. */
        deadline = seconds() + 10.0;
        while ((ended = waitpid(child, &status, WNOHANG)) == 0 && seconds() < deadline) {
            usleep(1000);
        }
        if (ended == 0) {
            ++stuck;
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ++failed;
        }
    }
    __atomic_store_n(&stop, 1, __ATOMIC_RELAXED);
    pthread_join(thread, NULL);
    if (stuck != 0 || failed != 0) {
        fprintf(stderr, "preload-probe: %d of %d children dead-locked, %d failed\n", stuck,
                children, failed);
        ++failures;
    }
    close(shared_fd);
}

/* Bad pointers in a request: EFAULT, as from the kernel, and the bus still serves. */
static void bad_pointers(void) {
    const long page = sysconf(_SC_PAGESIZE);
    unsigned char *none = mmap(NULL, (size_t)page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    unsigned char *read_only =
        mmap(NULL, (size_t)page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    unsigned char *gone =
        mmap(NULL, (size_t)page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    const int fd = open_node(O_RDWR);
    unsigned char pointer = 0x01;
    struct i2c_msg message = {0x48, 0, 1, &pointer};
    struct i2c_rdwr_ioctl_data request = {&message, 1};
    struct i2c_smbus_ioctl_data smbus = {I2C_SMBUS_READ, 0x01, I2C_SMBUS_BYTE_DATA, NULL};
    check(none != MAP_FAILED && read_only != MAP_FAILED && gone != MAP_FAILED, "mmap");
    check(munmap(gone, (size_t)page) == 0, "munmap");

    check(refused(ioctl(fd, I2C_RDWR, none), EFAULT), "I2C_RDWR with a protected argument");
    check(refused(ioctl(fd, I2C_RDWR, gone), EFAULT), "I2C_RDWR with an unmapped argument");
    request.msgs = (struct i2c_msg *)(void *)gone;
    check(refused(ioctl(fd, I2C_RDWR, &request), EFAULT), "I2C_RDWR, unmapped message array");
    request.msgs = &message;
    message.buf = gone;
    check(refused(ioctl(fd, I2C_RDWR, &request), EFAULT), "I2C_RDWR, unmapped write buffer");
    message.buf = none;
    message.flags = I2C_M_RD;
    check(refused(ioctl(fd, I2C_RDWR, &request), EFAULT), "I2C_RDWR, protected read buffer");
    message.buf = read_only;
    check(refused(ioctl(fd, I2C_RDWR, &request), EFAULT), "I2C_RDWR, read into a read-only page");
    message.len = 9000;
    check(refused(ioctl(fd, I2C_RDWR, &request), EINVAL), "I2C_RDWR, too long a message");
    check(refused(ioctl(fd, I2C_FUNCS, read_only), EFAULT), "I2C_FUNCS into a read-only page");
    check(refused(ioctl(fd, I2C_SMBUS, gone), EFAULT), "I2C_SMBUS with an unmapped argument");
    check(ioctl(fd, I2C_SLAVE, 0x48) == 0, "I2C_SLAVE");
    smbus.data = (union i2c_smbus_data *)(void *)read_only;
    check(refused(ioctl(fd, I2C_SMBUS, &smbus), EFAULT), "I2C_SMBUS read into a read-only page");
    smbus.data = NULL;
    check(refused(ioctl(fd, I2C_SMBUS, &smbus), EINVAL), "I2C_SMBUS read with no data");
    check(refused(write(fd, gone, 2), EFAULT), "write from an unmapped buffer");
    check(refused(read(fd, read_only, 2), EFAULT), "read into a read-only page");
    check(transfer(fd) == 1, "a good transfer after the bad ones");

    /* The same request again, its buffer unmapped in between, and mapped again. */
    gone = mmap(NULL, (size_t)page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    check(gone != MAP_FAILED, "mmap");
    check(write(fd, "\x01\x5a\xa5", 3) == 3, "write the configuration register");
    message.buf = gone;
    message.len = 2;
    check(ioctl(fd, I2C_RDWR, &request) == 1, "read into a mapped page");
    check(gone[0] == 0x5a && gone[1] == 0xa5, "the configuration register's bytes");
    check(munmap(gone, (size_t)page) == 0, "munmap");
    check(refused(ioctl(fd, I2C_RDWR, &request), EFAULT), "the same read, the page unmapped");
    check(mmap(gone, (size_t)page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) ==
              gone,
          "mmap again, read-only");
    check(refused(ioctl(fd, I2C_RDWR, &request), EFAULT), "the same read, the page read-only");
    check(mprotect(gone, (size_t)page, PROT_READ | PROT_WRITE) == 0, "mprotect");
    check(ioctl(fd, I2C_RDWR, &request) == 1 && gone[0] == 0x5a, "the same read, writable");
    munmap(gone, (size_t)page);
    close(fd);
    munmap(none, (size_t)page);
    munmap(read_only, (size_t)page);
}

/* The open's access mode holds for read and write; ioctl works whatever it is. A ten-bit
 * message finds nobody: the adapter offers no 10-bit addresses. */
static void access_modes(void) {
    const int reading = open_node(O_RDONLY);
    const int writing = open_node(O_WRONLY);
    unsigned char pointer = 0x01;
    struct i2c_msg message = {0x48, I2C_M_TEN, 1, &pointer};
    struct i2c_rdwr_ioctl_data request = {&message, 1};
    check(ioctl(reading, I2C_SLAVE, 0x48) == 0 && ioctl(writing, I2C_SLAVE, 0x48) == 0,
          "I2C_SLAVE on read-only and write-only descriptors");
    check(refused(write(reading, &pointer, 1), EBADF), "write on an O_RDONLY descriptor");
    check(read_two(reading) == 2, "read on an O_RDONLY descriptor");
    check(refused(read_two(writing), EBADF), "read on an O_WRONLY descriptor");
    check(write(writing, &pointer, 1) == 1, "write on an O_WRONLY descriptor");
    check(transfer(reading) == 1 && transfer(writing) == 1, "I2C_RDWR whatever the mode");
    check(refused(ioctl(reading, I2C_RDWR, &request), ENXIO), "a message flagged I2C_M_TEN");
    close(reading);
    close(writing);
}

/* Other spellings of the node's path, and paths relative to a folder. */
static void paths(void) {
    const char *spellings[] = {"/dev//i2c-4", "/dev/./i2c-4", "//dev/../dev/i2c-4"};
    const int dev = open("/dev", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    size_t i;
    int fd;
    for (i = 0; i < sizeof spellings / sizeof spellings[0]; ++i) {
        fd = open(spellings[i], O_RDWR);
        check(fd >= 0 && transfer(fd) == 1, spellings[i]);
        close(fd);
    }
    check(dev >= 0, "open /dev");
    fd = openat(dev, "i2c-4", O_RDWR);
    check(fd >= 0 && transfer(fd) == 1, "openat(/dev, i2c-4)");
    close(fd);
    check(chdir("/dev") == 0, "chdir /dev");
    fd = open("i2c-4", O_RDWR);
    check(fd >= 0 && transfer(fd) == 1, "i2c-4 from /dev");
    close(fd);
    fd = openat(AT_FDCWD, "../dev/./i2c-4", O_RDWR);
    check(fd >= 0 && transfer(fd) == 1, "openat(AT_FDCWD, ../dev/./i2c-4) from /dev");
    close(fd);
    check(refused(open("/dev/i2c-4", O_RDWR | O_CREAT | O_EXCL, 0600), EEXIST),
          "O_CREAT | O_EXCL on the node");
    close(dev);
}

int main(int argc, char **argv) {
    const char *scenario = argc > 1 ? argv[1] : "";
    const char *file = argc > 2 ? argv[2] : "";
    alarm(60);
    if (strcmp(scenario, "close-everything") == 0) {
        close_everything(file);
    } else if (strcmp(scenario, "dup2-over-node") == 0) {
        dup2_over_node(file);
    } else if (strcmp(scenario, "fclose-node") == 0) {
        fclose_node(file);
    } else if (strcmp(scenario, "copies") == 0) {
        copies(argv[0]);
    } else if (strcmp(scenario, "after-exec") == 0 && argc > 3) {
        after_exec(argv[2], argv[3]);
    } else if (strcmp(scenario, "fork-from-thread") == 0) {
        fork_from_thread();
    } else if (strcmp(scenario, "bad-pointers") == 0) {
        bad_pointers();
    } else if (strcmp(scenario, "access-modes") == 0) {
        access_modes();
    } else if (strcmp(scenario, "paths") == 0) {
        paths();
    } else {
        fprintf(stderr, "preload-probe: no scenario %s\n", scenario);
        return 2;
    }
    return failures == 0 ? 0 : 1;
}
