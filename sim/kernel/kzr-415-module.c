// SPDX-License-Identifier: GPL-2.0
/*
 * A simulated kzr-415 two-channel temperature sensor behind an I2C adapter of
 * its own. i2c-dev shows the adapter as /dev/i2c-N, so unmodified user-space
 * programs reach the simulated device through the kernel's real I2C stack.
 *
 * The device itself, with the table of its settings, is kzr-415-device.c, which
 * the emulated bus of user space compiles too; this file holds the kernel's
 * share: the adapter, the lock and the module parameters. Every setting of the
 * table is a parameter (a bad value is refused with -EINVAL and changes
 * nothing), beside the module's own: bus, the adapter number to ask for at load
 * time (-1: the next free one), and transfers, the run's count, which writing 0
 * starts anew.
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
 * The I2C core retries -EAGAIN up to adap->retries times within adap->timeout,
 * both raised by any user of the node (I2C_RETRIES, I2C_TIMEOUT); a forced
 * fault costs no bus time, so a count near INT_MAX would spin one transfer in
 * the kernel, unkillable, until the timeout. The adapter allows this many.
 */
#define KZR415_RETRIES_MAX	16

struct kzr415_sim {
	struct mutex lock;	/* the device, its fault plan and its run */
	struct kzr415_device dev;
	bool ready;		/* @dev holds the table's values */
};

static struct kzr415_sim kzr415 = {
	.lock = __MUTEX_INITIALIZER(kzr415.lock),
};

/*
 * Takes the lock on the device, which gets the table's values on first use:
 * parameters given to insmod are set before the module's init runs.
 */
static struct kzr415_device *kzr415_lock(void)
{
	mutex_lock(&kzr415.lock);
	if (!kzr415.ready) {
		kzr415_device_init(&kzr415.dev);
		kzr415.ready = true;
	}
	return &kzr415.dev;
}

/* --------------------------------------------------------- the device */

static int kzr415_xfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num)
{
	int ret = kzr415_transfer(kzr415_lock(), msgs, num);

	/*
	 * The core reads the retry count again after each try, so a count
	 * lowered here bounds the retries of this transfer too.
	 */
	if (ret == -EAGAIN && READ_ONCE(adap->retries) > KZR415_RETRIES_MAX)
		WRITE_ONCE(adap->retries, KZR415_RETRIES_MAX);
	mutex_unlock(&kzr415.lock);
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
			      unsigned long *value)
{
	if (kzr415_parse_number(val, kzr415_value_len(val), value) || *value > max)
		return -EINVAL;
	return 0;
}

static int kzr415_setting_set(const char *val, const struct kernel_param *kp)
{
	int ret = kzr415_setting_parse(kzr415_lock(), kp->arg, val,
				       kzr415_value_len(val));

	mutex_unlock(&kzr415.lock);
	return ret;
}

static int kzr415_setting_get(char *buffer, const struct kernel_param *kp)
{
	int len = kzr415_setting_format(buffer, PAGE_SIZE - 1, kzr415_lock(),
					kp->arg);

	mutex_unlock(&kzr415.lock);
	return len < 0 ? len : len + sprintf(buffer + len, "\n");
}

static const struct kernel_param_ops kzr415_setting_ops = {
	.set = kzr415_setting_set,
	.get = kzr415_setting_get,
};

/* Every setting of the table is a parameter, its help line its description. */
#define KZR415_PARAMETER(name, kind, arg, homes, short, option, argument,     \
			 value, help)                                          \
	module_param_cb(name, &kzr415_setting_ops,                             \
			(void *)&kzr415_settings[KZR415_SETTING_##name], 0644); \
	MODULE_PARM_DESC(name, help " (" value ")");
KZR415_SETTINGS(KZR415_PARAMETER)
#undef KZR415_PARAMETER

static int kzr415_transfers_set(const char *val, const struct kernel_param *kp)
{
	unsigned long count;

	if (kzr415_parse_param(val, 0, &count))
		return -EINVAL;
	kzr415_lock()->transfers = 0;
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
	unsigned long nr;

	if (!strcmp(val, "-1") || !strcmp(val, "-1\n")) {
		*(int *)kp->arg = -1;
		return 0;
	}
	if (kzr415_parse_param(val, KZR415_BUS_MAX, &nr))
		return -EINVAL;
	*(int *)kp->arg = (int)nr;
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
 * The core warns (fatal where panic_on_warn is set) when the number asked for
 * is taken, so a taken number is refused here first; one taken at this very
 * moment still draws the warning, which the core gives no way to avoid.
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
	ret = i2c_add_numbered_adapter(&kzr415_adapter);
	if (ret)
		return ret;
	dev_info(&kzr415_adapter.dev, "simulated kzr-415 at 0x%02x\n",
		 kzr415_lock()->address);
	mutex_unlock(&kzr415.lock);
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
