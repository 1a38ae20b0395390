/*
 * libkzr-415-drv: user-space driver for the kzr-415 two-channel I2C temperature sensor.
 *
 * The library talks to the device through the kernel's i2c-dev character device. Every
 * register operation is a register write (one I2C_RDWR call carrying one write message:
 * the register pointer followed by the image) or a register read (one I2C_RDWR call with
 * the pointer alone, then a second I2C_RDWR call with one read message). Each call carries
 * its own slave address; the library never selects a slave with I2C_SLAVE.
 *
 * The library keeps no state and allocates nothing. Buffers passed in belong to the caller
 * and are only read or filled during the call. Its functions come in two families:
 *
 * - The nine functions of release 1.0 (i2c_open ... alert_mode_set) report failures where
 *   they happen, on the console, and then return -1 (or -1.0f); i2c_open ends the process
 *   when the node cannot be opened.
 * - The functions of release 1.1 (kzr_415_open ... kzr_415_decode) never print and never end
 *   the process; but for kzr_415_decode, which returns a reading, they return 0 (kzr_415_open:
 *   the descriptor) or a negative errno value (-ENXIO, -EIO, ...), the whole report of a
 *   failure.
 *
 * errno, both families: after a failure errno is the cause, the same error that a function
 * of 1.1 returns negated: the error of the I2C_RDWR ioctl that failed (for example ENXIO when
 * no device acknowledges the address, EIO, ETIMEDOUT, EREMOTEIO), of open or of close, or
 * EINVAL when the library refused the request before any bus traffic (or, for
 * temperature_reg_read's unknown channel, after its reads). Printing diagnostics does not
 * change it. After a success errno is left as the caller set it, so a caller that
 * sets errno to 0 before temperature_reg_read tells a reading of -1.0 (errno still 0) from a
 * failure (errno set).
 *
 * Thread safety: independent descriptors may be used from several threads at once. A
 * descriptor shared between threads needs the caller to serialise whole calls, since a
 * register read is two transfers and an alert-mode change is a read-modify-write.
 *
 * The library's functions never call each other through these exported names: a program
 * that defines a function of one of these names for its own use does not change what the
 * library does inside.
 */
#ifndef KZR_415_DRV_H
#define KZR_415_DRV_H

#include <stdint.h>

#if defined(__GNUC__)
#define KZR_415_API __attribute__((visibility("default")))
#else
#define KZR_415_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The device's 7-bit slave address as the program uses it. */
#define KZR_415_SLAVE_ADDR 0x48

/* Register pointers. Images are sent most significant byte first, channel 1 first. */
#define TEMPERATURE_REG 0x00   /* read only: two 24-bit readings */
#define CONFIGURATION_REG 0x01 /* one configuration byte per channel */
#define T_LOW_REG 0x02         /* two 24-bit low thresholds */
#define T_HIGH_REG 0x03        /* two 24-bit high thresholds */

/* Image length of each register in bytes: the count that kzr_415_write and kzr_415_read take
 * for it, and the size of the buffer that its accessor reads or fills. Channel 1 owns the
 * first half of every image. */
#define TEMPERATURE_REG_LENGTH 6
#define CONFIGURATION_REG_LENGTH 2
#define T_LOW_REG_LENGTH 6
#define T_HIGH_REG_LENGTH 6

/* Direction of the register accessors. */
#define REG_WRITE 0
#define REG_READ 1

/*
 * Opens the bus device node `path` (for example "/dev/i2c-4") for reading and writing.
 * Returns the bus descriptor, which the caller owns until i2c_close.
 * Does not return on failure: prints "Could not open i2c at <path>" and a perror line for
 * the path on standard error, then ends the process with exit status 1.
 */
KZR_415_API int i2c_open(const char *path);

/*
 * Closes the bus descriptor. Returns 0, whatever close reports (also for a descriptor that
 * is not open); errno is close's error when close failed, and left as it was otherwise.
 */
KZR_415_API int i2c_close(int fd);

/*
 * Register write: one I2C_RDWR call with one write message [reg, data[0..len-1]] to
 * slave_addr. `data` is only read; it may be NULL when len is 0.
 * Returns 0 on success. On a failed transfer prints "ioctl(): <error>" and
 * "ioctl returned <n>" on standard error and returns -1 with errno set by the ioctl. A count
 * above the longest register image (TEMPERATURE_REG_LENGTH) or a NULL data pointer with a
 * non-zero count is refused with -1, errno EINVAL and one line on standard error, before any
 * bus traffic.
 */
KZR_415_API int kzr_415_write(int fd, uint16_t slave_addr, uint8_t reg, const uint8_t *data,
                              uint8_t len);

/*
 * Register read: a register write of the pointer alone (its own transfer), then a second
 * I2C_RDWR call with one read message of len bytes into `data`, which the caller owns.
 * Returns 0 on success, -1 on failure with errno set as for kzr_415_write; each failed
 * transfer is reported as for kzr_415_write, and a failed pointer write is followed by no
 * read. After a failed read `data` holds whatever the kernel left in it. A NULL data pointer
 * with a non-zero count is refused with -1, errno EINVAL and one line on standard error,
 * before any bus traffic.
 */
KZR_415_API int kzr_415_read(int fd, uint16_t slave_addr, uint8_t reg, uint8_t *data, uint8_t len);

/*
 * Reads the configuration register and the temperature register, prints both channels' raw
 * bytes on standard output as "raw value 1:b0 b1 b2" and "raw value 2:b3 b4 b5", and returns
 * channel 1's or 2's reading decoded in the encoding that the channel's configuration byte
 * selects (bit 5 set: sign-magnitude with quarter steps; clear: 24-bit two's complement with
 * 13 fraction bits).
 * Returns -1.0f on failure, errno set by the failed transfer: a failed configuration read
 * prints "read configure register err!", a failed temperature read "read temperature register
 * err!" (standard output, after the transport's own lines on standard error). A channel other
 * than 1 or 2 returns -1.0f after both reads and the raw lines, errno EINVAL.
 * -1.0 is also a reading (bytes FF E0 00 in the two's-complement encoding): a caller that sets
 * errno to 0 before the call has a reading when errno is still 0 afterwards, a failure
 * otherwise. kzr_415_read_temperatures returns its error instead, prints nothing and reads both
 * channels in four transfers where two calls of this function take eight.
 */
KZR_415_API float temperature_reg_read(int fd, uint16_t slave_addr, int channel);

/*
 * Register accessors for the configuration, low threshold and high threshold registers.
 * rw REG_WRITE writes the caller's image with one register write; rw REG_READ reads the
 * register into the caller's buffer with one register read. Return 0 on success and -1 on a
 * failed transfer (reported by the transport; errno as for kzr_415_write); any other rw
 * returns 0 and touches neither the bus nor the buffer.
 * `data` must hold the register's image length: CONFIGURATION_REG_LENGTH, T_LOW_REG_LENGTH
 * or T_HIGH_REG_LENGTH bytes.
 */
KZR_415_API int configurature_reg_control(int fd, uint16_t slave_addr, uint8_t *data, int rw);
KZR_415_API int t_low_reg_control(int fd, uint16_t slave_addr, uint8_t *data, int rw);
KZR_415_API int t_high_reg_control(int fd, uint16_t slave_addr, uint8_t *data, int rw);

/*
 * Sets one channel's alert mode (0 to 3, bits 2:1 of its configuration byte) by reading the
 * configuration register, changing that channel's two bits and writing both bytes back:
 * three transfers. Returns 0 on success and -1 when the read or the write fails (no write
 * follows a failed read; errno as for kzr_415_write). A channel other than 1 or 2 returns 0
 * after the read, with no write. A mode above 3 is refused with -1, errno EINVAL and one line
 * on standard error, before any bus traffic.
 */
KZR_415_API int alert_mode_set(int fd, uint16_t slave_addr, int channel, unsigned int mode);

/*
 * Release 1.1: the calls that return their errors and print nothing.
 *
 * Each returns 0 (kzr_415_open: the descriptor) or a negative errno value, and on failure
 * sets errno to the same error; on success errno is left as it was. None prints, ends the
 * process, allocates or keeps state. A refused request (-EINVAL) makes no bus traffic and
 * leaves the caller's buffers untouched. Transfers are those of the nine: a register write is
 * one transfer, a register read two (none after a failed one).
 */

/*
 * Opens the bus device node `path` (for example "/dev/i2c-4") for reading and writing with
 * close-on-exec (O_RDWR | O_CLOEXEC), so that the programs the caller starts do not inherit
 * it. Returns the descriptor (0 or more), which the caller owns until kzr_415_close, or the
 * negated errno of open: -ENOENT for a missing node, -EACCES without permission, ...;
 * -EINVAL for a NULL path. No bus traffic. Any thread.
 */
KZR_415_API int kzr_415_open(const char *path);

/*
 * Closes a descriptor from kzr_415_open. Returns 0, or the negated errno of close: -EBADF for
 * a descriptor that is not open. The descriptor is closed even when -EINTR or -EIO is
 * returned: do not close it again. No bus traffic. Any thread.
 */
KZR_415_API int kzr_415_close(int fd);

/*
 * Reads the whole image of register `reg` (TEMPERATURE_REG, CONFIGURATION_REG, T_LOW_REG or
 * T_HIGH_REG) into `data`: the pointer alone, then a read message of the image length (two
 * transfers). `len` must be the register's image length (TEMPERATURE_REG_LENGTH,
 * CONFIGURATION_REG_LENGTH, T_LOW_REG_LENGTH or T_HIGH_REG_LENGTH), and `data` must hold that
 * many bytes; they are written only on success.
 * Returns 0, or -errno of the failed transfer (`data` untouched). -EINVAL, with no transfer:
 * an unknown register, another length, a NULL `data`.
 * A descriptor shared between threads needs the whole call serialised.
 */
KZR_415_API int kzr_415_get_register(int fd, uint16_t slave_addr, uint8_t reg, uint8_t *data,
                                     uint8_t len);

/*
 * Writes the whole image of register `reg` (CONFIGURATION_REG, T_LOW_REG or T_HIGH_REG): one
 * write message [reg, data[0], ..., data[len - 1]] (one transfer). `len` must be the
 * register's image length; `data` is only read.
 * Returns 0, or -errno of the transfer. -EINVAL, with no transfer: TEMPERATURE_REG (read
 * only), an unknown register, another length, a NULL `data`. Any thread.
 */
KZR_415_API int kzr_415_set_register(int fd, uint16_t slave_addr, uint8_t reg, const uint8_t *data,
                                     uint8_t len);

/*
 * Sets the alert mode (0 to 3, bits 2:1 of the channel's configuration byte) of channel 1 or
 * 2: reads the configuration register (two transfers) and writes both bytes back with that
 * channel's two bits changed and every other bit as read (one transfer).
 * Returns 0, or -errno of the failed transfer; no write follows a failed read. -EINVAL, with
 * no transfer: a channel other than 1 or 2, a mode above 3.
 * A read-modify-write: a descriptor shared between threads needs the whole call serialised.
 */
KZR_415_API int kzr_415_set_alert_mode(int fd, uint16_t slave_addr, int channel, unsigned int mode);

/*
 * Reads both channels' temperatures in degrees Celsius: the configuration register, then the
 * temperature register (four transfers), each channel's three bytes decoded in the encoding
 * that its own configuration byte selects, exactly as temperature_reg_read and kzr_415_decode
 * decode them. On success celsius[0] is channel 1's reading, celsius[1] channel 2's.
 * Returns 0, or -errno of the failed transfer (`celsius` untouched). -EINVAL, with no
 * transfer, for a NULL `celsius`.
 * A descriptor shared between threads needs the whole call serialised.
 */
KZR_415_API int kzr_415_read_temperatures(int fd, uint16_t slave_addr, float celsius[2]);

/*
 * Decodes one channel's reading from bytes that came another way (another I2C library, a
 * capture): raw[0], raw[1], raw[2], the channel's three bytes of the temperature register
 * (most significant first), in the encoding that the channel's configuration byte selects
 * (bit 5 set: sign-magnitude with quarter steps; clear: 24-bit two's complement with 13
 * fraction bits of 0.000122; the other bits change nothing). Returns degrees Celsius, always
 * between -1024 and 1024 (raw 80 00 00 in two's complement reads as -0.0), or NaN for a NULL
 * `raw`. No bus traffic; errno untouched. Any thread.
 */
KZR_415_API float kzr_415_decode(const uint8_t raw[3], uint8_t configuration);

#ifdef __cplusplus
}
#endif

#endif /* KZR_415_DRV_H */
