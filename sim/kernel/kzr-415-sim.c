// SPDX-License-Identifier: GPL-2.0
/*
 * A simulated kzr-415 two-channel temperature sensor behind an I2C adapter of
 * its own. i2c-dev shows the adapter as /dev/i2c-N, so unmodified user-space
 * programs reach the simulated device through the kernel's real I2C stack.
 *
 * The device: a write message's first byte selects a register (the register
 * pointer) and the bytes after it are stored into that register's image; a
 * read message returns the image of the register last selected, 0xff past its
 * end and for a pointer that selects no register. The temperature register is
 * read only: a write to it sets the pointer and stores nothing. Every other
 * address is not acknowledged (-ENXIO).
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
 *   fail         "K:ERRNO" fails transfer K, "K+:ERRNO" every transfer from K
 *                on, ERRNO a name (EIO) or a number; "none" ends it. Transfers
 *                are counted from 1 after each write of this parameter
 *   transfers    the transfers counted so far; writing 0 starts the count anew
 *
 * Numbers are read as kzr-415-sim reads them: decimal, or hexadecimal after
 * "0x"; a leading zero does not make one octal ("072" is 72).
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/ctype.h>
#include <linux/errno.h>
#include <linux/i2c.h>
#include <linux/kdev_t.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/mutex.h>
#include <linux/string.h>
#include <linux/version.h>

#define KZR415_TEMPERATURE	0x00
#define KZR415_CONFIGURATION	0x01
#define KZR415_T_LOW		0x02
#define KZR415_T_HIGH		0x03
#define KZR415_REGISTERS	4
#define KZR415_IMAGE_MAX	6
#define KZR415_ADDRESS_MAX	0x7f
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

struct kzr415_register {
	u8 len;
	bool writable;
	u8 image[KZR415_IMAGE_MAX];
};

struct kzr415_fault {
	unsigned int transfer;	/* 0: none */
	bool onwards;
	int error;
};

struct kzr415_sim {
	struct mutex lock;	/* the device, the fault and the count */
	u16 address;
	u8 pointer;
	struct kzr415_register regs[KZR415_REGISTERS];
	struct kzr415_fault fault;
	unsigned int transfers;
};

/*
 * Room temperature: 25.0 and 21.0 degrees in the two's-complement encoding; the
 * configuration and thresholds cleared.
 */
static struct kzr415_sim kzr415 = {
	.lock = __MUTEX_INITIALIZER(kzr415.lock),
	.address = 0x48,
	.regs = {
		[KZR415_TEMPERATURE] = {
			.len = 6,
			.image = { 0x03, 0x20, 0x00, 0x02, 0xa0, 0x00 },
		},
		[KZR415_CONFIGURATION] = { .len = 2, .writable = true },
		[KZR415_T_LOW] = { .len = 6, .writable = true },
		[KZR415_T_HIGH] = { .len = 6, .writable = true },
	},
};

static const struct {
	const char *name;
	int error;
} kzr415_errors[] = {
	{ "EIO", EIO },
	{ "ENXIO", ENXIO },
	{ "ETIMEDOUT", ETIMEDOUT },
	{ "EREMOTEIO", EREMOTEIO },
	{ "EAGAIN", EAGAIN },
	{ "EBUSY", EBUSY },
	{ "EINVAL", EINVAL },
	{ "ENODEV", ENODEV },
	{ "EOPNOTSUPP", EOPNOTSUPP },
};

/* --------------------------------------------------------- the device */

static void kzr415_write(struct kzr415_sim *sim, const u8 *buf, u16 len)
{
	struct kzr415_register *reg;

	if (len == 0)
		return;		/* an address-only write selects nothing */
	sim->pointer = buf[0];
	if (sim->pointer >= KZR415_REGISTERS)
		return;
	reg = &sim->regs[sim->pointer];
	if (reg->writable)
		memcpy(reg->image, buf + 1, min_t(u16, len - 1, reg->len));
}

static void kzr415_read(const struct kzr415_sim *sim, u8 *buf, u16 len)
{
	const struct kzr415_register *reg = NULL;
	u16 i;

	if (sim->pointer < KZR415_REGISTERS)
		reg = &sim->regs[sim->pointer];
	for (i = 0; i < len; i++)
		buf[i] = reg && i < reg->len ? reg->image[i] : 0xff;
}

static bool kzr415_fault_now(const struct kzr415_sim *sim)
{
	const struct kzr415_fault *fault = &sim->fault;

	if (!fault->transfer)
		return false;
	return sim->transfers == fault->transfer ||
	       (fault->onwards && sim->transfers > fault->transfer);
}

static int kzr415_xfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num)
{
	struct kzr415_sim *sim = i2c_get_adapdata(adap);
	int ret = num;
	int i;

	mutex_lock(&sim->lock);
	sim->transfers++;
	if (kzr415_fault_now(sim)) {
		ret = -sim->fault.error;
		/*
		 * The core reads the retry count again after each try, so a
		 * count lowered here bounds the retries of this transfer too.
		 */
		if (ret == -EAGAIN &&
		    READ_ONCE(adap->retries) > KZR415_RETRIES_MAX)
			WRITE_ONCE(adap->retries, KZR415_RETRIES_MAX);
		goto out;
	}
	for (i = 0; i < num; i++) {
		struct i2c_msg *msg = &msgs[i];

		if ((msg->flags & I2C_M_TEN) || msg->addr != sim->address) {
			ret = -ENXIO;	/* nobody acknowledges the address */
			break;
		}
		if (msg->flags & I2C_M_RECV_LEN) {
			ret = -EOPNOTSUPP;
			break;
		}
		if (msg->flags & I2C_M_RD)
			kzr415_read(sim, msg->buf, msg->len);
		else
			kzr415_write(sim, msg->buf, msg->len);
	}
out:
	mutex_unlock(&sim->lock);
	return ret;
}

static u32 kzr415_functionality(struct i2c_adapter *adap)
{
	return I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
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
 * Parses a number as kzr-415-sim parses one on its command line: decimal
 * digits, or hex digits after "0x", nothing else (no sign, no blank, no octal).
 * One trailing newline, as echo writes it, is allowed.
 */
static int kzr415_parse_number(const char *text, unsigned int *value)
{
	unsigned int base = 10;
	size_t len = strlen(text);
	size_t i;

	if (len && text[len - 1] == '\n')
		len--;
	if (len > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
		text += 2;
		len -= 2;
		base = 16;
	}
	if (!len)
		return -EINVAL;
	for (i = 0; i < len; i++) {
		if (base == 16 ? !isxdigit(text[i]) : !isdigit(text[i]))
			return -EINVAL;
	}
	return kstrtouint(text, base, value) ? -EINVAL : 0;
}

/* Parses exactly @len hex bytes, each optionally 0x-prefixed. */
static int kzr415_parse_bytes(const char *val, u8 *out, size_t len)
{
	size_t n = 0;

	while (*val) {
		unsigned int byte = 0, digits = 0;

		if (isspace(*val) || *val == ',') {
			val++;
			continue;
		}
		if (val[0] == '0' && (val[1] == 'x' || val[1] == 'X'))
			val += 2;
		for (; *val && !isspace(*val) && *val != ','; val++) {
			int digit = hex_to_bin(*val);

			if (digit < 0 || ++digits > 2)
				return -EINVAL;
			byte = byte << 4 | digit;
		}
		if (!digits || n == len)
			return -EINVAL;
		out[n++] = byte;
	}
	return n == len ? 0 : -EINVAL;
}

static int kzr415_image_set(const char *val, const struct kernel_param *kp)
{
	struct kzr415_register *reg = kp->arg;
	u8 image[KZR415_IMAGE_MAX];
	int ret;

	ret = kzr415_parse_bytes(val, image, reg->len);
	if (ret)
		return ret;
	mutex_lock(&kzr415.lock);
	memcpy(reg->image, image, reg->len);
	mutex_unlock(&kzr415.lock);
	return 0;
}

static int kzr415_image_get(char *buffer, const struct kernel_param *kp)
{
	const struct kzr415_register *reg = kp->arg;
	int ret;

	mutex_lock(&kzr415.lock);
	ret = sprintf(buffer, "%*ph\n", reg->len, reg->image);
	mutex_unlock(&kzr415.lock);
	return ret;
}

static const struct kernel_param_ops kzr415_image_ops = {
	.set = kzr415_image_set,
	.get = kzr415_image_get,
};

module_param_cb(temperature, &kzr415_image_ops,
		&kzr415.regs[KZR415_TEMPERATURE], 0644);
MODULE_PARM_DESC(temperature,
		 "temperature register, 6 hex bytes (03 20 00 02 a0 00)");
module_param_cb(configuration, &kzr415_image_ops,
		&kzr415.regs[KZR415_CONFIGURATION], 0644);
MODULE_PARM_DESC(configuration, "configuration register, 2 hex bytes (00 00)");
module_param_cb(t_low, &kzr415_image_ops, &kzr415.regs[KZR415_T_LOW], 0644);
MODULE_PARM_DESC(t_low, "low threshold register, 6 hex bytes (zeros)");
module_param_cb(t_high, &kzr415_image_ops, &kzr415.regs[KZR415_T_HIGH], 0644);
MODULE_PARM_DESC(t_high, "high threshold register, 6 hex bytes (zeros)");

static int kzr415_address_set(const char *val, const struct kernel_param *kp)
{
	unsigned int address;

	if (kzr415_parse_number(val, &address) || address > KZR415_ADDRESS_MAX)
		return -EINVAL;
	mutex_lock(&kzr415.lock);
	kzr415.address = address;
	mutex_unlock(&kzr415.lock);
	return 0;
}

static int kzr415_address_get(char *buffer, const struct kernel_param *kp)
{
	return sprintf(buffer, "0x%02x\n", READ_ONCE(kzr415.address));
}

static const struct kernel_param_ops kzr415_address_ops = {
	.set = kzr415_address_set,
	.get = kzr415_address_get,
};

module_param_cb(address, &kzr415_address_ops, NULL, 0644);
MODULE_PARM_DESC(address, "the device's 7-bit address (0x48)");

/* An errno name of the table, or a number that user space can be given. */
static int kzr415_parse_error(const char *text)
{
	unsigned int error;
	size_t i;

	for (i = 0; i < ARRAY_SIZE(kzr415_errors); i++) {
		if (!strcmp(text, kzr415_errors[i].name))
			return kzr415_errors[i].error;
	}
	if (kzr415_parse_number(text, &error) || error == 0 ||
	    error > EHWPOISON)
		return 0;
	return error;
}

static int kzr415_fail_set(const char *val, const struct kernel_param *kp)
{
	struct kzr415_fault fault = {};
	char text[32];
	char *transfer, *error;
	size_t len;

	if (strscpy(text, val, sizeof(text)) < 0)
		return -EINVAL;
	transfer = strim(text);
	if (strcmp(transfer, "none") && strcmp(transfer, "0")) {
		error = strchr(transfer, ':');
		if (!error)
			return -EINVAL;
		*error++ = '\0';
		len = strlen(transfer);
		if (len && transfer[len - 1] == '+') {
			fault.onwards = true;
			transfer[len - 1] = '\0';
		}
		fault.error = kzr415_parse_error(error);
		if (kzr415_parse_number(transfer, &fault.transfer) ||
		    !fault.transfer || !fault.error)
			return -EINVAL;
	}
	mutex_lock(&kzr415.lock);
	kzr415.fault = fault;
	kzr415.transfers = 0;
	mutex_unlock(&kzr415.lock);
	return 0;
}

static int kzr415_fail_get(char *buffer, const struct kernel_param *kp)
{
	struct kzr415_fault fault;
	size_t i;

	mutex_lock(&kzr415.lock);
	fault = kzr415.fault;
	mutex_unlock(&kzr415.lock);
	if (!fault.transfer)
		return sprintf(buffer, "none\n");
	for (i = 0; i < ARRAY_SIZE(kzr415_errors); i++) {
		if (kzr415_errors[i].error == fault.error)
			return sprintf(buffer, "%u%s:%s\n", fault.transfer,
				       fault.onwards ? "+" : "",
				       kzr415_errors[i].name);
	}
	return sprintf(buffer, "%u%s:%d\n", fault.transfer,
		       fault.onwards ? "+" : "", fault.error);
}

static const struct kernel_param_ops kzr415_fail_ops = {
	.set = kzr415_fail_set,
	.get = kzr415_fail_get,
};

module_param_cb(fail, &kzr415_fail_ops, NULL, 0644);
MODULE_PARM_DESC(fail,
		 "K:ERRNO fails transfer K, K+:ERRNO each from K on (none)");

static int kzr415_transfers_set(const char *val, const struct kernel_param *kp)
{
	unsigned int count;

	if (kzr415_parse_number(val, &count) || count)
		return -EINVAL;
	mutex_lock(&kzr415.lock);
	kzr415.transfers = 0;
	mutex_unlock(&kzr415.lock);
	return 0;
}

static int kzr415_transfers_get(char *buffer, const struct kernel_param *kp)
{
	return sprintf(buffer, "%u\n", READ_ONCE(kzr415.transfers));
}

static const struct kernel_param_ops kzr415_transfers_ops = {
	.set = kzr415_transfers_set,
	.get = kzr415_transfers_get,
};

module_param_cb(transfers, &kzr415_transfers_ops, NULL, 0644);
MODULE_PARM_DESC(transfers, "transfers counted so far; write 0 to start anew");

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
	if (kzr415_parse_number(val, &nr) || nr > KZR415_BUS_MAX)
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
		 kzr415.address);
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
