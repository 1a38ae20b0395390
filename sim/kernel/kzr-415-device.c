// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The simulated kzr-415's registers, transfers and fault plan, the table of its
 * settings and their parsers, shared by the kernel module and the emulated bus.
 */
#ifdef __KERNEL__
#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/string.h>
#else
#include <errno.h>
#include <stdio.h>
#include <string.h>
#endif

#include "kzr-415-device.h"

_Static_assert(KZR415_CONFIGURATION_LEN <= KZR415_IMAGE_MAX &&
		       KZR415_THRESHOLD_LEN <= KZR415_IMAGE_MAX,
	       "the temperature image is the longest");

static const uint8_t kzr415_lengths[KZR415_REGISTERS] = {
	[KZR415_TEMPERATURE] = KZR415_TEMPERATURE_LEN,
	[KZR415_CONFIGURATION] = KZR415_CONFIGURATION_LEN,
	[KZR415_T_LOW] = KZR415_THRESHOLD_LEN,
	[KZR415_T_HIGH] = KZR415_THRESHOLD_LEN,
};

static const struct {
	const char *name;
	int error;
} kzr415_errors[] = {
#define KZR415_ERRNO(name) { #name, name },
#define KZR415_ALIAS(name, constant) { #name, constant },
#include "kzr-415-errno-names.h"
#undef KZR415_ERRNO
#undef KZR415_ALIAS
};

#define KZR415_ERRORS (sizeof(kzr415_errors) / sizeof(kzr415_errors[0]))

#define KZR415_ENTRY(name, kind, arg, homes, short, option, argument, value, \
		     help)                                                    \
	[KZR415_SETTING_##name] = { #name, kind, arg, homes, short, option,  \
				    argument, value, help },
const struct kzr415_setting kzr415_settings[KZR415_SETTING_COUNT] = {
	KZR415_SETTINGS(KZR415_ENTRY)
#ifndef __KERNEL__
	KZR415_USER_SETTINGS(KZR415_ENTRY)
#endif
};
#undef KZR415_ENTRY

/* The length of a register's image: 0 for a pointer that selects nothing. */
size_t kzr415_image_len(unsigned int reg)
{
	return reg < KZR415_REGISTERS ? kzr415_lengths[reg] : 0;
}

/* A new device: every setting's value from the table (degrees are user space's). */
void kzr415_device_init(struct kzr415_device *dev)
{
	const struct kzr415_setting *setting;

	memset(dev, 0, sizeof(*dev));
	for (setting = kzr415_settings;
	     setting < kzr415_settings + KZR415_SETTING_COUNT; setting++) {
		if (setting->kind != KZR415_KIND_DEGREES)
			kzr415_setting_parse(dev, setting, setting->value,
					     strlen(setting->value));
	}
}

/*
 * One write message addressed to the device: the register pointer, then data,
 * which past the image's end is dropped (the temperature register stores none).
 * An address-only write (@len 0) selects nothing.
 */
void kzr415_device_write(struct kzr415_device *dev, const uint8_t *buf,
			 size_t len)
{
	size_t room;

	if (len == 0)
		return;
	dev->pointer = buf[0];
	if (dev->pointer == KZR415_TEMPERATURE)
		return;
	room = kzr415_image_len(dev->pointer);
	if (room > len - 1)
		room = len - 1;
	if (room)
		memcpy(dev->image[dev->pointer], buf + 1, room);
}

/*
 * The temperature image as a read returns it: each channel in degrees in the
 * encoding its configuration byte selects now, the others' bytes as they are.
 */
static const uint8_t *kzr415_temperature(const struct kzr415_device *dev,
					 uint8_t *out)
{
	const uint8_t *encoded;
	size_t channel;

	if (!dev->in_degrees)
		return dev->image[KZR415_TEMPERATURE];
	memcpy(out, dev->image[KZR415_TEMPERATURE], sizeof(dev->twos_complement));
	for (channel = 0; channel < KZR415_CHANNELS; channel++) {
		if (!(dev->in_degrees & (1U << channel)))
			continue;
		encoded = dev->image[KZR415_CONFIGURATION][channel] &
					  KZR415_SIGN_MAGNITUDE ?
				  dev->sign_magnitude :
				  dev->twos_complement;
		memcpy(out + channel * KZR415_CHANNEL_LEN,
		       encoded + channel * KZR415_CHANNEL_LEN,
		       KZR415_CHANNEL_LEN);
	}
	return out;
}

/*
 * One read message addressed to the device: exactly @len bytes into @buf, 0xff
 * past the image and for an unknown register, as an idle bus reads.
 */
void kzr415_device_read(struct kzr415_device *dev, uint8_t *buf, size_t len)
{
	size_t have = kzr415_image_len(dev->pointer);

	if (have > len)
		have = len;
	if (have) {
		uint8_t temperature[KZR415_TEMPERATURE_LEN];
		const uint8_t *image =
			dev->pointer == KZR415_TEMPERATURE ?
				kzr415_temperature(dev, temperature) :
				dev->image[dev->pointer];

		memcpy(buf, image, have);
	}
	if (len > have)
		memset(buf + have, 0xff, len - have);
}

/*
 * The errno that the device's fault plans fail transfer number @transfer of the
 * run (from 1) with; 0 when none fails it.
 */
int kzr415_fault_due(const struct kzr415_device *dev, unsigned int transfer)
{
	const struct kzr415_fault *fault = &dev->fault;
	const struct kzr415_fault *every = &dev->fail_every;

	if (fault->transfer && (transfer == fault->transfer ||
				(fault->onwards && transfer > fault->transfer)))
		return fault->error;
	if (every->transfer && transfer % every->transfer == 0)
		return every->error;
	return 0;
}

/*
 * A read whose first byte gives the count of bytes that follow (1 to
 * I2C_SMBUS_BLOCK_MAX): the message's len, on entry the bytes up to and
 * including the count, grows by that count. Its buffer has room for len +
 * I2C_SMBUS_BLOCK_MAX bytes, as i2c-dev makes sure.
 */
static int kzr415_receive_block(struct kzr415_device *dev, struct i2c_msg *msg)
{
	uint8_t count;

	if (msg->len == 0 || msg->len > 0xffff - I2C_SMBUS_BLOCK_MAX)
		return -EINVAL;
	kzr415_device_read(dev, &count, 1);
	if (count == 0 || count > I2C_SMBUS_BLOCK_MAX)
		return -EPROTO;
	msg->len = (uint16_t)(msg->len + count);
	kzr415_device_read(dev, msg->buf, msg->len);
	return 0;
}

/*
 * One transfer, messages joined by repeated starts: counted in the run, failed
 * when the fault plan says so, else the messages served in order until one is
 * not acknowledged. Returns @num, or a negative errno.
 */
int kzr415_transfer(struct kzr415_device *dev, struct i2c_msg *msgs, size_t num)
{
	size_t i;
	int ret;

	ret = kzr415_fault_due(dev, ++dev->transfers);
	if (ret)
		return -ret;
	for (i = 0; i < num; i++) {
		struct i2c_msg *msg = &msgs[i];

		/* No 10-bit addressing: such an address frame finds nobody. */
		if (dev->absent || (msg->flags & I2C_M_TEN) ||
		    msg->addr != dev->address)
			return -ENXIO;
		if (!(msg->flags & I2C_M_RD)) {
			kzr415_device_write(dev, msg->buf, msg->len);
		} else if (msg->flags & I2C_M_RECV_LEN) {
			ret = kzr415_receive_block(dev, msg);
			if (ret)
				return ret;
		} else {
			kzr415_device_read(dev, msg->buf, msg->len);
		}
	}
	return (int)num;
}

/* ------------------------------------------------------------- controls */

/* Digits in @base, all of @len, into @value; no sign, no blank, no overflow. */
static int kzr415_parse_digits(const char *text, size_t len, unsigned int base,
			       unsigned long *value)
{
	unsigned long result = 0;
	size_t i;

	if (!len)
		return -EINVAL;
	for (i = 0; i < len; i++) {
		char c = text[i];
		unsigned int digit =
			c >= '0' && c <= '9' ? (unsigned int)(c - '0') :
			c >= 'a' && c <= 'f' ? (unsigned int)(c - 'a' + 10) :
			c >= 'A' && c <= 'F' ? (unsigned int)(c - 'A' + 10) :
					       base;
		if (digit >= base || result > (~0UL - digit) / base)
			return -EINVAL;
		result = result * base + digit;
	}
	*value = result;
	return 0;
}

static bool kzr415_hex_prefix(const char *text, size_t len)
{
	return len > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

/*
 * A number as kzr-415-sim reads one: decimal, or hex after "0x"; no sign, no
 * blank, no octal. 0, or -EINVAL (also for a number @value cannot hold).
 */
int kzr415_parse_number(const char *text, size_t len, unsigned long *value)
{
	if (kzr415_hex_prefix(text, len))
		return kzr415_parse_digits(text + 2, len - 2, 16, value);
	return kzr415_parse_digits(text, len, 10, value);
}

static bool kzr415_separator(char c)
{
	return c == ' ' || c == ',' || c == '\t' || c == '\n';
}

/*
 * A register image as text: exactly @n hex bytes, each optionally "0x"-prefixed,
 * blanks or commas between. -EINVAL for anything else; @out may then hold some.
 */
static int kzr415_parse_hex(const char *text, size_t len, uint8_t *out,
			    size_t n)
{
	size_t count = 0;
	size_t i = 0;

	while (i < len) {
		unsigned long byte;
		size_t start;

		if (kzr415_separator(text[i])) {
			i++;
			continue;
		}
		start = i;
		while (i < len && !kzr415_separator(text[i]))
			i++;
		if (kzr415_hex_prefix(text + start, i - start))
			start += 2;
		if (kzr415_parse_digits(text + start, i - start, 16, &byte) ||
		    byte > 0xff || count == n)
			return -EINVAL;
		out[count++] = (uint8_t)byte;
	}
	return count == n ? 0 : -EINVAL;
}

/* A positive errno's name ("EIO"), or NULL for one the C library names not. */
const char *kzr415_errno_name(int error)
{
	size_t i;

	for (i = 0; i < KZR415_ERRORS; i++) {
		if (kzr415_errors[i].error == error)
			return kzr415_errors[i].name;
	}
	return NULL;
}

/*
 * An errno by any name the C library gives it ("EPROTO") or a number it names
 * ("71"): the positive errno, or 0.
 */
int kzr415_parse_errno(const char *text, size_t len)
{
	unsigned long number;
	size_t i;

	for (i = 0; i < KZR415_ERRORS; i++) {
		const char *name = kzr415_errors[i].name;

		if (strlen(name) == len && !memcmp(name, text, len))
			return kzr415_errors[i].error;
	}
	if (kzr415_parse_number(text, len, &number) || number > 0xffff ||
	    !kzr415_errno_name((int)number))
		return 0;
	return (int)number;
}

/*
 * A fault plan as text: "K:ERRNO" fails transfer K (from 1), "K+:ERRNO" transfer
 * K and every later one; ERRNO as kzr415_parse_errno() reads it. -EINVAL for
 * anything else, @fault then as it was.
 */
static int kzr415_parse_fault(const char *text, size_t len,
			      struct kzr415_fault *fault)
{
	const char *colon = len ? memchr(text, ':', len) : NULL;
	size_t head;
	unsigned long transfer;
	bool onwards = false;
	int error;

	if (!colon)
		return -EINVAL;
	head = (size_t)(colon - text);
	if (head && text[head - 1] == '+') {
		onwards = true;
		head--;
	}
	error = kzr415_parse_errno(colon + 1, len - (size_t)(colon - text) - 1);
	if (kzr415_parse_number(text, head, &transfer) || !transfer ||
	    (unsigned int)transfer != transfer || !error)
		return -EINVAL;
	fault->transfer = (unsigned int)transfer;
	fault->error = error;
	fault->onwards = onwards;
	return 0;
}

/* A fault plan as kzr415_parse_fault() reads it, the errno by name; "none". */
static int kzr415_format_fault(char *buf, size_t size,
			       const struct kzr415_fault *fault)
{
	const char *name = kzr415_errno_name(fault->error);

	if (!fault->transfer)
		return snprintf(buf, size, "none");
	if (!name)
		return snprintf(buf, size, "%u%s:%d", fault->transfer,
				fault->onwards ? "+" : "", fault->error);
	return snprintf(buf, size, "%u%s:%s", fault->transfer,
			fault->onwards ? "+" : "", name);
}

/* ------------------------------------------------------------- settings */

static bool kzr415_is(const char *text, size_t len, const char *word)
{
	return strlen(word) == len && !memcmp(text, word, len);
}

/* A number up to @max, kzr415_parse_number()'s way. */
static int kzr415_parse_up_to(const char *text, size_t len, unsigned long max,
			      unsigned long *value)
{
	return kzr415_parse_number(text, len, value) || *value > max ? -EINVAL : 0;
}

/*
 * A setting's value, written as its kind says, into @dev (changed only by a good
 * value): 0, -EINVAL for a bad value, -EOPNOTSUPP for degrees (user space's).
 */
int kzr415_setting_parse(struct kzr415_device *dev,
			 const struct kzr415_setting *setting, const char *text,
			 size_t len)
{
	uint8_t image[KZR415_IMAGE_MAX];
	struct kzr415_fault fault = { 0 };
	unsigned long number;

	switch (setting->kind) {
	case KZR415_KIND_ADDRESS:
		if (kzr415_parse_up_to(text, len, KZR415_ADDRESS_MAX, &number))
			return -EINVAL;
		dev->address = (uint16_t)number;
		return 0;
	case KZR415_KIND_IMAGE:
		if (kzr415_parse_hex(text, len, image,
				     kzr415_image_len(setting->arg)))
			return -EINVAL;
		memcpy(dev->image[setting->arg], image,
		       kzr415_image_len(setting->arg));
		return 0;
	case KZR415_KIND_FAULT:	/* arg 1: every Nth transfer, "N:ERRNO" */
		if (!kzr415_is(text, len, "none") && !kzr415_is(text, len, "0") &&
		    (kzr415_parse_fault(text, len, &fault) ||
		     (setting->arg && fault.onwards)))
			return -EINVAL;
		*(setting->arg ? &dev->fail_every : &dev->fault) = fault;
		return 0;
	case KZR415_KIND_FLAG:
		if (!kzr415_is(text, len, "0") && !kzr415_is(text, len, "1"))
			return -EINVAL;
		dev->absent = text[0] == '1';
		return 0;
	case KZR415_KIND_POINTER:
		if (kzr415_parse_hex(text, len, image, 1))
			return -EINVAL;
		dev->pointer = image[0];
		return 0;
	case KZR415_KIND_COUNT:
		if (kzr415_parse_up_to(text, len, ~0U, &number))
			return -EINVAL;
		dev->transfers = (unsigned int)number;
		return 0;
	default:
		return -EOPNOTSUPP;
	}
}

/*
 * A setting's value as kzr415_setting_parse() reads it, into @buf: images as
 * lower-case hex bytes, one blank between (@size at least three a byte), the
 * address as 0x and two hex digits, a fault plan by its errno's name. Returns
 * what snprintf() returns, -ENOSPC, or -EOPNOTSUPP for degrees (user space's).
 */
int kzr415_setting_format(char *buf, size_t size,
			  const struct kzr415_device *dev,
			  const struct kzr415_setting *setting)
{
	size_t i, len;

	switch (setting->kind) {
	case KZR415_KIND_ADDRESS:
		return snprintf(buf, size, "0x%02x", dev->address);
	case KZR415_KIND_IMAGE:
		len = kzr415_image_len(setting->arg);
		if (size < 3 * len)
			return -ENOSPC;
		for (i = 0; i < len; i++)
			snprintf(buf + 3 * i, 4, i + 1 < len ? "%02x " : "%02x",
				 dev->image[setting->arg][i]);
		return (int)(3 * len - 1);
	case KZR415_KIND_FAULT:
		return kzr415_format_fault(buf, size, setting->arg ? &dev->fail_every :
								     &dev->fault);
	case KZR415_KIND_FLAG:
		return snprintf(buf, size, "%d", dev->absent ? 1 : 0);
	case KZR415_KIND_POINTER:
		return snprintf(buf, size, "%02x", dev->pointer);
	case KZR415_KIND_COUNT:
		return snprintf(buf, size, "%u", dev->transfers);
	default:
		return -EOPNOTSUPP;
	}
}
