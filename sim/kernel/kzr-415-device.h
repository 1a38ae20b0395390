/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * The simulated kzr-415, written once for its two homes: the kernel module of
 * this folder and the emulated bus of user space both compile it. Plain C, no
 * allocation, nothing beyond what the kernel and the C library both offer.
 *
 * The device: a write message's first byte selects a register (the register
 * pointer) and the bytes after it are stored into that register's image; a
 * read message returns the image of the register last selected, 0xff past its
 * end and for a pointer that selects no register. The temperature register is
 * read only: a write to it sets the pointer and stores nothing. An
 * address-only write (no byte at all) selects nothing. Every other address,
 * and every 10-bit address, is not acknowledged (-ENXIO).
 *
 * Each home owns the storage of the images and points the device at it.
 */
#ifndef KZR415_DEVICE_H
#define KZR415_DEVICE_H

#ifdef __KERNEL__
#include <linux/i2c.h>
#include <linux/types.h>
#else
#include <linux/i2c.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Register pointers */
#define KZR415_TEMPERATURE	0x00
#define KZR415_CONFIGURATION	0x01
#define KZR415_T_LOW		0x02
#define KZR415_T_HIGH		0x03
#define KZR415_REGISTERS	4

/* Image lengths, and the longest */
#define KZR415_TEMPERATURE_LEN		6
#define KZR415_CONFIGURATION_LEN	2
#define KZR415_THRESHOLD_LEN		6
#define KZR415_IMAGE_MAX		6

/* Room temperature: 25.0 and 21.0 degrees in the two's-complement encoding. */
#define KZR415_TEMPERATURE_DEFAULT	{ 0x03, 0x20, 0x00, 0x02, 0xa0, 0x00 }

#define KZR415_ADDRESS_DEFAULT	0x48
#define KZR415_ADDRESS_MAX	0x7f
/* A block read's count byte (I2C_M_RECV_LEN) gives 1 to this many bytes. */
#define KZR415_BLOCK_MAX	32

/**
 * struct kzr415_fault - a fault plan
 * @transfer: the transfer that fails, counted from 1 over the run; 0: none
 * @error: the positive errno it fails with
 * @onwards: every later transfer fails as well
 */
struct kzr415_fault {
	unsigned int transfer;
	int error;
	bool onwards;
};

struct kzr415_device;

/**
 * typedef kzr415_refresh_fn - called before the temperature image is read
 * @dev: the device, whose configuration is as it stands at that moment
 *
 * User space keeps temperatures in degrees and encodes them here, in the
 * format the configuration selects then; the kernel has none.
 */
typedef void (*kzr415_refresh_fn)(struct kzr415_device *dev);

/**
 * struct kzr415_device - the device and its run
 * @image: each register's image, owned by the home; lengths kzr415_image_len()
 * @refresh: see kzr415_refresh_fn; NULL for none
 * @context: the home's own, for @refresh
 * @fault: the fault plan
 * @transfers: the transfers of the run so far, each one counted
 * @address: the 7-bit address the device acknowledges
 * @pointer: the register pointer
 * @present: false: no device answers, every transfer is not acknowledged
 */
struct kzr415_device {
	uint8_t *image[KZR415_REGISTERS];
	kzr415_refresh_fn refresh;
	void *context;
	struct kzr415_fault fault;
	unsigned int transfers;
	uint16_t address;
	uint8_t pointer;
	bool present;
};

size_t kzr415_image_len(unsigned int reg);
bool kzr415_image_writable(unsigned int reg);

void kzr415_device_write(struct kzr415_device *dev, const uint8_t *buf,
			 size_t len);
void kzr415_device_read(struct kzr415_device *dev, uint8_t *buf, size_t len);
bool kzr415_fault_due(const struct kzr415_fault *fault, unsigned int transfer);
int kzr415_transfer(struct kzr415_device *dev, struct i2c_msg *msgs,
		    size_t num);

int kzr415_parse_number(const char *text, size_t len, unsigned long *value);
int kzr415_parse_hex(const char *text, size_t len, uint8_t *out, size_t n);
int kzr415_parse_errno(const char *text, size_t len);
const char *kzr415_errno_name(int error);
int kzr415_parse_fault(const char *text, size_t len,
		       struct kzr415_fault *fault);
int kzr415_format_fault(char *buf, size_t size,
			const struct kzr415_fault *fault);

#ifdef __cplusplus
}
#endif

#endif /* KZR415_DEVICE_H */
