/* An FT245R relay board in bit-bang mode: the FunctionFS function of a configfs gadget. It logs
 * each request at once: "REQ type request value index length", "MODE mode MASK mask PINS p"
 * (SET_BITMODE), "WRITE b PINS p" (a byte latched), "READ p" (READ_PINS); p: the pins driven
 * high. Its latch starts at 0xff, as a chip's may: a mode set before the latch is cleared drives
 * every pin high; unbound from its controller (UNBIND), it starts so again, as a chip that lost its
 * power. The PC is an x86: USB's little-endian fields are written as they are.
 * Usage: ftdi_board FFS_DIR LOG [-s STUCK_PIN] [-u K]   (-u: unplugs itself at byte K+1) */
#include <fcntl.h>
#include <linux/usb/functionfs.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static struct {
    struct usb_functionfs_descs_head_v2 head;
    __le32 fs_count;
    struct usb_interface_descriptor interface;
    struct usb_endpoint_descriptor_no_audio in, out;
} __attribute__((packed)) descriptors = {
    /* The chip's vendor requests are to the device: without ALL_CTRL_RECIP they never come here. */
    {FUNCTIONFS_DESCRIPTORS_MAGIC_V2, sizeof descriptors, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_ALL_CTRL_RECIP}, 3,
    {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 2, 0xff, 0xff, 0xff, 0},
    {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 0x81, USB_ENDPOINT_XFER_BULK, 64, 0},
    {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 0x02, USB_ENDPOINT_XFER_BULK, 64, 0},
};
static const struct usb_functionfs_strings_head strings = {FUNCTIONFS_STRINGS_MAGIC, sizeof strings, 0, 0};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int logfd, in, out, stuck = 8, unplug_after = -1, written;
static unsigned char latch = 0xff, mask;

static unsigned char pins(void) { return latch & mask & ~(1u << stuck); }

/* Bulk IN: the two modem-status bytes, whenever the host polls. */
static void *modem_status(void *unused)
{
    while (write(in, "\x01\x60", 2) == 2 || usleep(10000) == 0) {
    }
    return unused;
}

/* Bulk OUT: each byte to the latch. */
static void *bytes(void *unused)
{
    for (unsigned char data[64];;) {
        ssize_t n = read(out, data, sizeof data);
        if (n < 0)
            usleep(10000);
        pthread_mutex_lock(&lock);
        for (ssize_t i = 0; i < n; i++) {
            if (written++ == unplug_after) {
                dprintf(logfd, "UNPLUG\n");
                exit(0); /* FunctionFS takes the gadget off its controller */
            }
            latch = data[i];
            dprintf(logfd, "WRITE %02x PINS %02x\n", latch, pins());
        }
        pthread_mutex_unlock(&lock);
    }
    return unused;
}

int main(int argc, char **argv)
{
    for (int opt; (opt = getopt(argc, argv, "s:u:")) != -1 && opt != '?';)
        *(opt == 's' ? &stuck : &unplug_after) = atoi(optarg);
    if (optind != argc - 2 || chdir(argv[optind]) != 0)
        return 2;
    logfd = open(argv[optind + 1], O_WRONLY | O_CREAT | O_APPEND, 0644);
    int ep0 = open("ep0", O_RDWR);
    if (logfd < 0 || write(ep0, &descriptors, sizeof descriptors) < 0 || write(ep0, &strings, sizeof strings) < 0 ||
        (in = open("ep1", O_WRONLY)) < 0 || (out = open("ep2", O_RDONLY)) < 0) {
        perror("ftdi_board");
        return 1;
    }
    pthread_t thread;
    pthread_create(&thread, NULL, modem_status, NULL);
    pthread_create(&thread, NULL, bytes, NULL);
    dprintf(logfd, "READY\n");
    for (struct usb_functionfs_event events[4];;) {
        ssize_t n = read(ep0, events, sizeof events);
        for (ssize_t e = 0; e < n / (ssize_t)sizeof *events; e++) {
            const struct usb_ctrlrequest *setup = &events[e].u.setup;
            unsigned char reply[64] = {0}, length = setup->wLength < 64 ? setup->wLength : 64;
            if (events[e].type == FUNCTIONFS_UNBIND) {
                pthread_mutex_lock(&lock);
                latch = 0xff, mask = 0;
                dprintf(logfd, "UNBIND\n");
                pthread_mutex_unlock(&lock);
            }
            if (events[e].type != FUNCTIONFS_SETUP)
                continue;
            if (setup->bRequest == 0x0c)
                usleep(2000); /* as on the chip, a byte sent before is latched by then */
            pthread_mutex_lock(&lock);
            dprintf(logfd, "REQ %02x %02x %04x %04x %u\n", setup->bRequestType, setup->bRequest, setup->wValue,
                    setup->wIndex, setup->wLength);
            if (setup->bRequest == 0x0b) { /* SET_BITMODE: the mode in the high byte, the outputs in the low */
                mask = setup->wValue & 0xff;
                dprintf(logfd, "MODE %02x MASK %02x PINS %02x\n", setup->wValue >> 8, mask, pins());
            } else if (setup->bRequest == 0x0c) { /* READ_PINS */
                dprintf(logfd, "READ %02x\n", reply[0] = pins());
            } else if (setup->bRequest == 0x05) { /* modem status */
                reply[0] = 0x01, reply[1] = 0x60;
            }
            pthread_mutex_unlock(&lock);
            /* The data stage, or the status stage of a request without data. */
            (void)!(setup->bRequestType & USB_DIR_IN ? write(ep0, reply, length) : read(ep0, reply, length));
        }
        if (n < 0)
            usleep(10000);
    }
}
