/* What daemons and samplers do on the bus node, one way per mode; exits 0 when every
 * transfer succeeded, else prints the failure and exits 1.
 *   handler-transfers N  transfers in the main loop until a 50 us timer's handler, which
 *                        transfers too, ran N times (timer-driven sampling)
 *   handler-forks N      the same, the handler forking a child that exits at once
 *   drop-privileges N    opens the node as root, becomes user 65534, then N transfers
 *   descriptor-limit N   the descriptor limit set to 4 (its soft limit), then the node
 *                        opened, N transfers
 *   after FILE           opens the node, waits until FILE exists, transfers once and
 *                        writes the transfer's errno (0 on success) to FILE.out */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int node = -1;
static volatile sig_atomic_t handler_failed;
static volatile sig_atomic_t handled;
static volatile sig_atomic_t armed;

/* One combined transfer: the pointer written, the configuration register read. */
static int transfer(void) {
    unsigned char pointer = 0x01;
    unsigned char bytes[2] = {0, 0};
    struct i2c_msg messages[2] = {{0x48, 0, 1, &pointer}, {0x48, I2C_M_RD, 2, bytes}};
    struct i2c_rdwr_ioctl_data request = {messages, 2};
    return ioctl(node, I2C_RDWR, &request) == 2 ? 0 : errno;
}

/* A 50 us timer, armed by the main loop before a transfer whenever the handler has run
 * since: each main-loop transfer meets at most one handler, so the loop always moves on,
 * however long the handler takes (a fork under a sanitizer takes milliseconds). */
static const struct itimerval once = {{0, 0}, {0, 50}};

static void transfer_in_handler(int signal) {
    (void)signal;
    const int saved = errno;
    if (transfer() != 0)
        handler_failed = 1;
    ++handled;
    armed = 0;
    errno = saved;
}

static void fork_in_handler(int signal) {
    (void)signal;
    const int saved = errno;
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    if (child < 0 || waitpid(child, NULL, 0) != child)
        handler_failed = 1;
    ++handled;
    armed = 0;
    errno = saved;
}

static int open_node(void) {
    node = open("/dev/i2c-4", O_RDWR);
    if (node < 0)
        perror("open");
    return node;
}

static int transfers(long count) {
    for (long i = 0; i < count; ++i) {
        const int error = transfer();
        if (error != 0) {
            fprintf(stderr, "I2C_RDWR: %s\n", strerror(error));
            return 1;
        }
    }
    return 0;
}

static int with_timer(void (*handler)(int), long count) {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    const struct itimerval stop = {{0, 0}, {0, 0}};
    if (open_node() < 0 || sigaction(SIGALRM, &action, NULL) != 0)
        return 1;
    int status = 0;
    while (status == 0 && handled < count) {
        if (!armed) {
            armed = 1;
            if (setitimer(ITIMER_REAL, &once, NULL) != 0)
                return 1;
        }
        status = transfers(1);
    }
    setitimer(ITIMER_REAL, &stop, NULL);
    if (handler_failed) {
        fprintf(stderr, "the handler's call failed\n");
        return 1;
    }
    return status;
}

static int after(const char *file) {
    if (open_node() < 0)
        return 1;
    struct stat info;
    for (int i = 0; i < 6000 && stat(file, &info) != 0; ++i) {
        const struct timespec pause = {0, 10000000};
        nanosleep(&pause, NULL);
    }
    char out[4096];
    snprintf(out, sizeof(out), "%s.out", file);
    FILE *result = fopen(out, "w");
    if (result == NULL)
        return 1;
    fprintf(result, "%d\n", transfer());
    return fclose(result) == 0 ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc != 3)
        return 2;
    const char *mode = argv[1];
    const long count = strtol(argv[2], NULL, 10);
    if (strcmp(mode, "handler-transfers") == 0)
        return with_timer(transfer_in_handler, count);
    if (strcmp(mode, "handler-forks") == 0)
        return with_timer(fork_in_handler, count);
    if (strcmp(mode, "drop-privileges") == 0) {
        if (open_node() < 0 || setgid(65534) != 0 || setuid(65534) != 0)
            return 1;
        return transfers(count);
    }
    if (strcmp(mode, "descriptor-limit") == 0) {
        /* The soft limit; raised to the hard one before the exit, for a leak checker. */
        struct rlimit limit;
        if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
            return 1;
        limit.rlim_cur = 4;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0 || open_node() < 0)
            return 1;
        const int status = transfers(count);
        limit.rlim_cur = limit.rlim_max;
        return setrlimit(RLIMIT_NOFILE, &limit) == 0 ? status : 1;
    }
    if (strcmp(mode, "after") == 0)
        return after(argv[2]);
    return 2;
}
