// SPDX-License-Identifier: GPL-2.0
/*
 * Eight GPIO output lines standing in for a relay board in the emulated-hardware tests. Every
 * level the driver is asked to give a line, the first one included, goes to the kernel log as
 * "gpio_relays: line N -> L", so a test can tell whether a relay ever clicked. The line named by
 * the parameter stuck_line stays low whatever it is told, like a relay that does not switch; the
 * parameter can be changed at any time under /sys/module/gpio_relays/parameters.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt
#include <linux/gpio/driver.h>
#include <linux/module.h>

static int stuck_line = -1;
module_param(stuck_line, int, 0644);
MODULE_PARM_DESC(stuck_line, "line that stays low (-1: none)");

static unsigned long levels;
static unsigned long inputs = 0xff; /* lines come up as inputs, as on a real board */

static void drive(unsigned int line, int value)
{
	bool stuck = line == READ_ONCE(stuck_line);

	pr_info("line %u -> %d%s\n", line, !!value, stuck ? " (stuck)" : "");
	if (!stuck)
		assign_bit(line, &levels, value);
}

static int relays_get(struct gpio_chip *gc, unsigned int line)
{
	return line != READ_ONCE(stuck_line) && test_bit(line, &levels);
}

static void relays_set(struct gpio_chip *gc, unsigned int line, int value)
{
	drive(line, value);
}

static int relays_direction_output(struct gpio_chip *gc, unsigned int line, int value)
{
	drive(line, value);
	clear_bit(line, &inputs);
	return 0;
}

static int relays_direction_input(struct gpio_chip *gc, unsigned int line)
{
	set_bit(line, &inputs);
	return 0;
}

static int relays_get_direction(struct gpio_chip *gc, unsigned int line)
{
	return test_bit(line, &inputs) ? GPIO_LINE_DIRECTION_IN : GPIO_LINE_DIRECTION_OUT;
}

static struct gpio_chip chip = {
	.label = "tenvalia-test",
	.owner = THIS_MODULE,
	.base = -1,
	.ngpio = 8,
	.get = relays_get,
	.set = relays_set,
	.direction_output = relays_direction_output,
	.direction_input = relays_direction_input,
	.get_direction = relays_get_direction,
};

static int __init relays_init(void)
{
	return gpiochip_add_data(&chip, NULL);
}

static void __exit relays_exit(void)
{
	gpiochip_remove(&chip);
}

module_init(relays_init);
module_exit(relays_exit);
MODULE_DESCRIPTION("GPIO lines that log every level, for relay-board tests");
MODULE_LICENSE("GPL");
