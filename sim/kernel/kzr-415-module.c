// SPDX-License-Identifier: GPL-2.0
/*
 * A simulated kzr-415 two-channel temperature sensor behind an I2C adapter of
 * its own. i2c-dev shows the adapter as /dev/i2c-N, so unmodified user-space
 * programs reach the simulated device through the kernel's real I2C stack.
 *
 * The device itself (registers, transfers, fault plan, the parsers of the
 * controls) is kzr-415-device.c, which the emulated bus of user space compiles
 * too; this file holds the kernel's share: the adapter, the module parameters
 * and the lock.
 *
 * Controls, all module parameters, writable at load time and in
 * /sys/module/kzr_415_sim/parameters/ (a bad value is refused with -EINVAL and
 * changes nothing):
 *   bus          adapter number to ask for (at load time only; -1: the next
 *                free one, else 0 to the last i2c-dev minor, and free)
 *   address      the device's 7-bit address (0x48)
 *   temperature, configuration, t_low, t_high
 *                a register's image as hex bytes ("03 20 00 02 a0 00", spaces
 *                or commas between bytes); reading gives the image as it is
 *   fail         "K:ERRNO" fails transfer K of the run, "K+:ERRNO" every
 *                transfer from K on, ERRNO any name the C library gives an
 *                errno (EPROTO) or a number it names; "none" ends it. Writing
 *                it leaves the count as it is
 *   transfers    the transfers of the run so far, counted from 1 since loading;
 *                writing 0 starts a new run
 *
 * Numbers are read as kzr-415-sim reads them: decimal, or hexadecimal after
 * "0x"; a leading zero does not make one octal ("072" is 72).
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/errno.h>
#include <linux/i2c.h>
#include <linux/kdev_t.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/mutex.h>
#include <linux/string.h>
#include <linux/version.h>

#include "kzr-415-device.h"

/* i2c-dev gives adapters numbered up to its last minor a node, no others */
#define KZR415_BUS_MAX		MINORMASK
/*
 * The I2C core retries a transfer that fails with -EAGAIN (arbitration lost)
 * up to adap->retries times within adap->timeout, and any user of the node may
 * raise both with I2C_RETRIES and I2C_TIMEOUT. On a real bus every try costs
 * bus time; a forced fault here costs none, so a count near INT_MAX would keep
 * one transfer spinning in the kernel, unkillable, until the timeout. The
 * adapter allows this many retries at most.
 */
#define KZR415_RETRIES_MAX	16

struct kzr415_sim {
	struct mutex lock;	/* the device, its fault plan and its run */
	struct kzr415_device dev;
};

static u8 kzr415_temperature[KZR415_TEMPERATURE_LEN] =
	KZR415_TEMPERATURE_DEFAULT;
static u8 kzr415_configuration[KZR415_CONFIGURATION_LEN];
static u8 kzr415_t_low[KZR415_THRESHOLD_LEN];
static u8 kzr415_t_high[KZR415_THRESHOLD_LEN];

/* Room temperature; the configuration and thresholds cleared. */
static struct kzr415_sim kzr415 = {
	.lock = __MUTEX_INITIALIZER(kzr415.lock),
	.dev = {
		.image = {
			[KZR415_TEMPERATURE] = kzr415_temperature,
			[KZR415_CONFIGURATION] = kzr415_configuration,
			[KZR415_T_LOW] = kzr415_t_low,
			[KZR415_T_HIGH] = kzr415_t_high,
		},
		.address = KZR415_ADDRESS_DEFAULT,
		.present = true,
	},
};

/* --------------------------------------------------------- the device */

static int kzr415_xfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num)
{
	struct kzr415_sim *sim = i2c_get_adapdata(adap);
	int ret;

	mutex_lock(&sim->lock);
	ret = kzr415_transfer(&sim->dev, msgs, num);
	/*
	 * The core reads the retry count again after each try, so a count
	 * lowered here bounds the retries of this transfer too.
	 */
	if (ret == -EAGAIN && READ_ONCE(adap->retries) > KZR415_RETRIES_MAX)
		WRITE_ONCE(adap->retries, KZR415_RETRIES_MAX);
	mutex_unlock(&sim->lock);
	return ret;
}

static u32 kzr415_functionality(struct i2c_adapter *adap)
{
	return I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL_ALL;
}

/* Linux 6.11 renamed the transfer hook to xfer; master_xfer is its old name. */
static const struct i2c_algorithm kzr415_algorithm = {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 11, 0)
	.xfer = kzr415_xfer,
#else
	.master_xfer = kzr415_xfer,
#endif
	.functionality = kzr415_functionality,
};

/* No class: no driver probes the bus for devices of its own. */
static struct i2c_adapter kzr415_adapter = {
	.owner = THIS_MODULE,
	.algo = &kzr415_algorithm,
	.name = "kzr-415-sim",
};

/* ----------------------------------------------------------- controls */

/*
 * A value as written to a parameter: without the one trailing newline that
 * echo adds.
 */
static size_t kzr415_value_len(const char *val)
{
	size_t len = strlen(val);

	return len && val[len - 1] == '\n' ? len - 1 : len;
}

/* A number as kzr-415-sim reads one, up to @max. */
static int kzr415_parse_param(const char *val, unsigned long max,
			      unsigned int *value)
{
	unsigned long number;

	if (kzr415_parse_number(val, kzr415_value_len(val), &number) ||
	    number > max)
		return -EINVAL;
	*value = number;
	return 0;
}

static int kzr415_image_set(const char *val, const struct kernel_param *kp)
{
	unsigned int reg = (uintptr_t)kp->arg;
	size_t len = kzr415_image_len(reg);
	u8 image[KZR415_IMAGE_MAX];
	int ret;

	ret = kzr415_parse_hex(val, strlen(val), image, len);
	if (ret)
		return ret;
	mutex_lock(&kzr415.lock);
	memcpy(kzr415.dev.image[reg], image, len);
	mutex_unlock(&kzr415.lock);
	return 0;
}

static int kzr415_image_get(char *buffer, const struct kernel_param *kp)
{
	unsigned int reg = (uintptr_t)kp->arg;
	int ret;

	mutex_lock(&kzr415.lock);
	ret = sprintf(buffer, "%*ph\n", (int)kzr415_image_len(reg),
		      kzr415.dev.image[reg]);
	mutex_unlock(&kzr415.lock);
	return ret;
}

static const struct kernel_param_ops kzr415_image_ops = {
	.set = kzr415_image_set,
	.get = kzr415_image_get,
};

module_param_cb(temperature, &kzr415_image_ops,
		(void *)KZR415_TEMPERATURE, 0644);
MODULE_PARM_DESC(temperature,
		 "temperature register, 6 hex bytes (03 20 00 02 a0 00)");
module_param_cb(configuration, &kzr415_image_ops,
		(void *)KZR415_CONFIGURATION, 0644);
MODULE_PARM_DESC(configuration, "configuration register, 2 hex bytes (00 00)");
module_param_cb(t_low, &kzr415_image_ops, (void *)KZR415_T_LOW, 0644);
MODULE_PARM_DESC(t_low, "low threshold register, 6 hex bytes (zeros)");
module_param_cb(t_high, &kzr415_image_ops, (void *)KZR415_T_HIGH, 0644);
MODULE_PARM_DESC(t_high, "high threshold register, 6 hex bytes (zeros)");

static int kzr415_address_set(const char *val, const struct kernel_param *kp)
{
	unsigned int address;

	if (kzr415_parse_param(val, KZR415_ADDRESS_MAX, &address))
		return -EINVAL;
	mutex_lock(&kzr415.lock);
	kzr415.dev.address = address;
	mutex_unlock(&kzr415.lock);
	return 0;
}

static int kzr415_address_get(char *buffer, const struct kernel_param *kp)
{
	return sprintf(buffer, "0x%02x\n", READ_ONCE(kzr415.dev.address));
}

static const struct kernel_param_ops kzr415_address_ops = {
	.set = kzr415_address_set,
	.get = kzr415_address_get,
};

module_param_cb(address, &kzr415_address_ops, NULL, 0644);
MODULE_PARM_DESC(address, "the device's 7-bit address (0x48)");

/*
 * Leaves the run's count as it is: a plan written in the middle of a run
 * counts its transfers from the run's start, as the emulated bus counts them.
 */
static int kzr415_fail_set(const char *val, const struct kernel_param *kp)
{
	struct kzr415_fault fault = {};
	size_t len = kzr415_value_len(val);

	if (!(len == 4 && !memcmp(val, "none", 4)) &&
	    !(len == 1 && val[0] == '0') &&
	    kzr415_parse_fault(val, len, &fault))
		return -EINVAL;
	mutex_lock(&kzr415.lock);
	kzr415.dev.fault = fault;
	mutex_unlock(&kzr415.lock);
	return 0;
}

static int kzr415_fail_get(char *buffer, const struct kernel_param *kp)
{
	struct kzr415_fault fault;
	char plan[48];

	mutex_lock(&kzr415.lock);
	fault = kzr415.dev.fault;
	mutex_unlock(&kzr415.lock);
	kzr415_format_fault(plan, sizeof(plan), &fault);
	return sprintf(buffer, "%s\n", plan);
}

static const struct kernel_param_ops kzr415_fail_ops = {
	.set = kzr415_fail_set,
	.get = kzr415_fail_get,
};

module_param_cb(fail, &kzr415_fail_ops, NULL, 0644);
MODULE_PARM_DESC(fail,
		 "K:ERRNO fails transfer K of the run, K+:ERRNO each from K on");

static int kzr415_transfers_set(const char *val, const struct kernel_param *kp)
{
	unsigned int count;

	if (kzr415_parse_param(val, 0, &count))
		return -EINVAL;
	mutex_lock(&kzr415.lock);
	kzr415.dev.transfers = 0;
	mutex_unlock(&kzr415.lock);
	return 0;
}

static int kzr415_transfers_get(char *buffer, const struct kernel_param *kp)
{
	return sprintf(buffer, "%u\n", READ_ONCE(kzr415.dev.transfers));
}

static const struct kernel_param_ops kzr415_transfers_ops = {
	.set = kzr415_transfers_set,
	.get = kzr415_transfers_get,
};

module_param_cb(transfers, &kzr415_transfers_ops, NULL, 0644);
MODULE_PARM_DESC(transfers,
		 "transfers of the run so far; write 0 to start a new run");

static int bus = -1;

/*
 * -1, or a number that i2c-dev can give a node; whether it is free is known at
 * load time only.
 */
static int kzr415_bus_set(const char *val, const struct kernel_param *kp)
{
	unsigned int nr;

	if (!strcmp(val, "-1") || !strcmp(val, "-1\n")) {
		*(int *)kp->arg = -1;
		return 0;
	}
	if (kzr415_parse_param(val, KZR415_BUS_MAX, &nr))
		return -EINVAL;
	*(int *)kp->arg = nr;
	return 0;
}

static const struct kernel_param_ops kzr415_bus_ops = {
	.set = kzr415_bus_set,
	.get = param_get_int,
};

module_param_cb(bus, &kzr415_bus_ops, &bus, 0444);
MODULE_PARM_DESC(bus, "adapter number to ask for (-1: the next free one)");

/* ------------------------------------------------------------- module */

/*
 * The core warns (a kernel WARNING, fatal where panic_on_warn is set) when the
 * number asked for is taken, so a taken number is refused here first. An
 * adapter being added or removed on that number at the same moment is not seen
 * here and still draws the core's warning: the core offers no way to ask for a
 * number without one.
 */
static int kzr415_bus_check(int nr)
{
	struct i2c_adapter *other;

	if (nr < 0)
		return 0;
	other = i2c_get_adapter(nr);
	if (!other)
		return 0;
	pr_err("bus %d is taken by \"%s\"\n", nr, other->name);
	i2c_put_adapter(other);
	return -EBUSY;
}

static int __init kzr415_sim_init(void)
{
	int ret;

	ret = kzr415_bus_check(bus);
	if (ret)
		return ret;
	kzr415_adapter.nr = bus;
	i2c_set_adapdata(&kzr415_adapter, &kzr415);
	ret = i2c_add_numbered_adapter(&kzr415_adapter);
	if (ret)
		return ret;
	dev_info(&kzr415_adapter.dev, "simulated kzr-415 at 0x%02x\n",
		 kzr415.dev.address);
	return 0;
}

static void __exit kzr415_sim_exit(void)
{
	i2c_del_adapter(&kzr415_adapter);
}

module_init(kzr415_sim_init);
module_exit(kzr415_sim_exit);

MODULE_DESCRIPTION("Simulated kzr-415 temperature sensor on an I2C adapter");
MODULE_LICENSE("GPL");
