/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * The simulated kzr-415, written once for its two homes: the kernel module of
 * this folder and the emulated bus of user space both compile it. Plain C, no
 * allocation, nothing beyond what the kernel and the C library both offer. Its
 * registers and transfers are kzr-415-device.c's; a channel held in degrees
 * (user space only: the kernel has no floating point) has both its encodings
 * worked out when set, and a read returns the one its configuration selects.
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

/*
 * The channel layout: channel N (from 1) owns the Nth KZR415_CHANNEL_LEN bytes
 * of the temperature and threshold images and the Nth configuration byte, whose
 * KZR415_SIGN_MAGNITUDE bit selects the encoding of its temperature.
 */
#define KZR415_CHANNELS		2
#define KZR415_CHANNEL_LEN	3
#define KZR415_SIGN_MAGNITUDE	0x20

#define KZR415_TEMPERATURE_LEN	 (KZR415_CHANNELS * KZR415_CHANNEL_LEN)
#define KZR415_CONFIGURATION_LEN KZR415_CHANNELS
#define KZR415_THRESHOLD_LEN	 (KZR415_CHANNELS * KZR415_CHANNEL_LEN)
#define KZR415_IMAGE_MAX	 KZR415_TEMPERATURE_LEN /* the longest */

#define KZR415_ADDRESS_MAX	0x7f

/* A fault plan */
struct kzr415_fault {
	unsigned int transfer;	/* the one that fails, from 1 over the run; 0: none */
	int error;		/* the positive errno it fails with */
	bool onwards;		/* every later transfer fails as well */
};

/* The device and its run */
struct kzr415_device {
	/* each register's image, by its pointer; lengths kzr415_image_len() */
	uint8_t image[KZR415_REGISTERS][KZR415_IMAGE_MAX];
	/* bit N: channel N + 1 in degrees, with its bytes in both encodings */
	uint8_t in_degrees;
	uint8_t twos_complement[KZR415_TEMPERATURE_LEN];
	uint8_t sign_magnitude[KZR415_TEMPERATURE_LEN];
#ifndef __KERNEL__
	double celsius[KZR415_CHANNELS];
#endif
	struct kzr415_fault fault;
	struct kzr415_fault fail_every;	/* every @transfer-th one fails */
	unsigned int transfers;	/* of the run so far, each one counted */
	uint16_t address;	/* the 7-bit address the device acknowledges */
	uint8_t pointer;	/* the register pointer */
	bool absent;		/* nobody answers: no transfer is acknowledged */
};

/* How a setting's value is written (kzr415_setting_parse() reads them). */
enum kzr415_kind {
	KZR415_KIND_ADDRESS,	/* a 7-bit address: decimal, or hex after 0x */
	KZR415_KIND_IMAGE,	/* a register's image: hex bytes */
	KZR415_KIND_FAULT,	/* K:ERRNO, K+:ERRNO, or none */
	KZR415_KIND_FLAG,	/* 1 or 0 */
	KZR415_KIND_POINTER,	/* the register pointer: one hex byte */
	KZR415_KIND_COUNT,	/* the transfers counted: a number */
	KZR415_KIND_DEGREES,	/* a channel's degrees Celsius, or - (user space) */
};

/* Where a setting is given (struct kzr415_setting.homes) */
#define KZR415_GIVEN	0x1	/* environment, kzr-415-sim's options, module */
#define KZR415_RUN	0x2	/* a run's own: not kept by a state file across runs */

/*
 * The device's settings, the whole table: X(name, kind, arg: register or
 * channel, homes, kzr-415-sim's short and long option and its argument, value
 * of a new device, help). The name is the module's parameter, the state file's
 * key, the board plan's setting and, as KZR415_SIM_<NAME>, the environment's.
 */
#define KZR415_SETTINGS(X)                                                    \
	X(address, KZR415_KIND_ADDRESS, 0, KZR415_GIVEN | KZR415_RUN, 'a',    \
	  "address", "ADDRESS", "0x48", "the device's 7-bit address")         \
	X(temperature, KZR415_KIND_IMAGE, KZR415_TEMPERATURE, KZR415_GIVEN,   \
	  0, "raw-temperature", "HEX", "03 20 00 02 a0 00",                   \
	  "the temperature register's bytes, as channels not in degrees "     \
	  "return them")                                                      \
	X(configuration, KZR415_KIND_IMAGE, KZR415_CONFIGURATION,             \
	  KZR415_GIVEN, 'c', "configuration", "HEX", "00 00",                 \
	  "the configuration register's bytes")                               \
	X(t_low, KZR415_KIND_IMAGE, KZR415_T_LOW, KZR415_GIVEN, 0, "t-low",   \
	  "HEX", "00 00 00 00 00 00", "the low-threshold register's bytes")   \
	X(t_high, KZR415_KIND_IMAGE, KZR415_T_HIGH, KZR415_GIVEN, 0,          \
	  "t-high", "HEX", "00 00 00 00 00 00",                               \
	  "the high-threshold register's bytes")                              \
	X(fail, KZR415_KIND_FAULT, 0, KZR415_GIVEN | KZR415_RUN, 'f', "fail", \
	  "K[+]:ERRNO", "none",                                               \
	  "fail transfer K of the run (K+: and each after it) with ERRNO, "   \
	  "a name or number the C library gives an errno")                    \
	X(fail_every, KZR415_KIND_FAULT, 1, KZR415_GIVEN | KZR415_RUN, 0,     \
	  "fail-every", "N:ERRNO", "none",                                    \
	  "fail transfers N, 2N, 3N... of the run with ERRNO")                \
	X(no_device, KZR415_KIND_FLAG, 0, KZR415_GIVEN | KZR415_RUN, 0,       \
	  "no-device", "", "0",                                               \
	  "nobody answers: every transfer fails with ENXIO")

/* User space's: degrees (kzr-415-sim's from the start), the run's state. */
#define KZR415_USER_SETTINGS(X)                                               \
	X(celsius_1, KZR415_KIND_DEGREES, 0, KZR415_GIVEN, '1',               \
	  "temperature1", "DEGREES", "25",                                    \
	  "channel 1's temperature in degrees Celsius, encoded as its "       \
	  "configuration byte selects when read")                             \
	X(celsius_2, KZR415_KIND_DEGREES, 1, KZR415_GIVEN, '2',               \
	  "temperature2", "DEGREES", "21", "channel 2's temperature")         \
	X(pointer, KZR415_KIND_POINTER, 0, 0, 0, "", "", "00", "")            \
	X(transfers, KZR415_KIND_COUNT, 0, 0, 0, "", "", "0", "")

#define KZR415_INDEX(name, ...) KZR415_SETTING_##name,
enum kzr415_setting_index {
	KZR415_SETTINGS(KZR415_INDEX)
#ifndef __KERNEL__
	KZR415_USER_SETTINGS(KZR415_INDEX)
#endif
	KZR415_SETTING_COUNT
};
#undef KZR415_INDEX

struct kzr415_setting {
	const char *name;
	enum kzr415_kind kind;
	unsigned int arg;
	unsigned int homes;
	int short_option;
	const char *option;
	const char *argument;
	const char *value;
	const char *help;
};

extern const struct kzr415_setting kzr415_settings[KZR415_SETTING_COUNT];

size_t kzr415_image_len(unsigned int reg);
void kzr415_device_init(struct kzr415_device *dev);
void kzr415_device_write(struct kzr415_device *dev, const uint8_t *buf,
			 size_t len);
void kzr415_device_read(struct kzr415_device *dev, uint8_t *buf, size_t len);
int kzr415_fault_due(const struct kzr415_device *dev, unsigned int transfer);
int kzr415_transfer(struct kzr415_device *dev, struct i2c_msg *msgs,
		    size_t num);

int kzr415_setting_parse(struct kzr415_device *dev,
			 const struct kzr415_setting *setting, const char *text,
			 size_t len);
int kzr415_setting_format(char *buf, size_t size,
			  const struct kzr415_device *dev,
			  const struct kzr415_setting *setting);

int kzr415_parse_number(const char *text, size_t len, unsigned long *value);
int kzr415_parse_errno(const char *text, size_t len);
const char *kzr415_errno_name(int error);

#ifdef __cplusplus
}
#endif

#endif /* KZR415_DEVICE_H */
