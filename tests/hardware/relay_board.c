/* A www.dcttech.com USB relay board made through /dev/uhid, playing the board's firmware for the
 * emulated-hardware tests. Every request the kernel passes on is logged at once, one line each:
 * "SET ff 02" (the board's command and relay bytes), "GET", "OUTPUT ..." (a write(): the board
 * acts on feature reports only); " unanswered" ends the line of a request left without a reply.
 * Usage: relay_board LOG [-n RELAYS] [-i ID5] [-p PRODUCT] [-s STUCK_RELAY] [-q ANSWERED] [-u ANSWERED]
 *   -q K  answers K requests, then none (the caller's kernel gives up after 5 s)
 *   -u K  answers K requests and unplugs itself at the next; SIGUSR1 unplugs it at any time
 * It stays until SIGTERM or SIGINT, unplugged or not. */
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <unistd.h>

/* The board's report descriptor: one vendor-defined feature report of 8 bytes, no report ID. */
static const unsigned char descriptor[] = {
    0x06, 0x00, 0xff,       /* Usage Page (Vendor Defined 0xFF00) */
    0x09, 0x01,             /* Usage (1) */
    0xa1, 0x01,             /* Collection (Application) */
    0x15, 0x00,             /*   Logical Minimum (0) */
    0x26, 0xff, 0x00,       /*   Logical Maximum (255) */
    0x75, 0x08,             /*   Report Size (8) */
    0x95, 0x08,             /*   Report Count (8) */
    0x09, 0x00,             /*   Usage (0) */
    0xb2, 0x02, 0x01,       /*   Feature (Data, Variable, Absolute, Buffered Bytes) */
    0xc0,                   /* End Collection */
};

static int uhid = -1, logfd = -1;

static void send_event(struct uhid_event *ev)
{
    if (write(uhid, ev, sizeof *ev) != (ssize_t)sizeof *ev) {
        perror("relay_board: /dev/uhid");
        exit(1);
    }
}

static void unplug(void)
{
    struct uhid_event ev = {.type = UHID_DESTROY};
    send_event(&ev);
    close(uhid);
    uhid = -1;
    dprintf(logfd, "UNPLUG\n");
}

static int relays = 8, stuck, silent_after = -1, unplug_after = -1, answered;
static unsigned char state;
static const char *id = "TNV01"; /* the board's ID, 5 bytes */

/* Plays the board's firmware for one request from the kernel. */
static void serve(const struct uhid_event *ev)
{
    if (ev->type == UHID_OUTPUT) {
        char line[64] = "OUTPUT";
        for (int i = 0; i < ev->u.output.size && i < 16; i++)
            sprintf(line + 6 + 3 * i, " %02x", ev->u.output.data[i]);
        dprintf(logfd, "%s\n", line);
        return;
    }
    if (ev->type != UHID_GET_REPORT && ev->type != UHID_SET_REPORT)
        return;
    int silent = (silent_after >= 0 && answered >= silent_after) || answered == unplug_after;
    const char *note = silent ? " unanswered" : "";
    /* Over USB, report number 0 is not sent: the board's data starts at the next byte. Any
     * other number is sent as the first byte, which the board takes for a command. */
    const unsigned char *data = ev->u.set_report.data + (ev->u.set_report.rnum == 0);
    if (ev->type == UHID_SET_REPORT)
        dprintf(logfd, "SET %02x %02x%s\n", data[0], data[1], note);
    else
        dprintf(logfd, "GET%s\n", note);
    if (silent) {
        /* Unplugged with a request pending, the caller sees EIO at once; ENODEV from then on. */
        if (answered == unplug_after)
            unplug();
        return;
    }
    struct uhid_event reply = {0};
    if (ev->type == UHID_SET_REPORT) {
        unsigned char command = data[0], relay = data[1];
        unsigned char bit = relay >= 1 && relay <= relays ? (unsigned char)(1u << (relay - 1)) : 0;
        unsigned char keep = stuck ? (unsigned char)(1u << (stuck - 1)) : 0;
        unsigned char next = command == 0xff ? state | bit : command == 0xfd ? state & ~bit : state;
        state = (unsigned char)((next & ~keep) | (state & keep));
        reply.type = UHID_SET_REPORT_REPLY;
        reply.u.set_report_reply.id = ev->u.set_report.id;
    } else {
        /* usbhid puts the report number before the board's 8 bytes when it is 0, and the
         * board's bytes from the start otherwise; uhid passes the reply on as it is. */
        unsigned char *out = reply.u.get_report_reply.data, skip = ev->u.get_report.rnum == 0;
        memcpy(out + skip, id, 5);
        out[skip + 7] = state;
        reply.type = UHID_GET_REPORT_REPLY;
        reply.u.get_report_reply.id = ev->u.get_report.id;
        reply.u.get_report_reply.size = 8 + skip;
    }
    send_event(&reply);
    answered++;
}

int main(int argc, char **argv)
{
    int product = 0x05df, opt;
    while ((opt = getopt(argc, argv, "n:i:p:s:q:u:")) != -1) {
        switch (opt) {
        case 'n': relays = atoi(optarg); break;
        case 'i': id = optarg; break;
        case 'p': product = (int)strtol(optarg, NULL, 16); break;
        case 's': stuck = atoi(optarg); break;
        case 'q': silent_after = atoi(optarg); break;
        case 'u': unplug_after = atoi(optarg); break;
        default: return 2;
        }
    }
    if (optind != argc - 1 || (relays != 1 && relays != 2 && relays != 4 && relays != 8) || strlen(id) != 5) {
        fprintf(stderr, "usage: relay_board LOG [-n 1|2|4|8] [-i ID5] [-p PRODUCT] [-s RELAY] [-q K] [-u K]\n");
        return 2;
    }
    logfd = open(argv[optind], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    uhid = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (logfd < 0 || uhid < 0) {
        perror("relay_board");
        return 1;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR1);
    sigprocmask(SIG_BLOCK, &signals, NULL);
    int sigfd = signalfd(-1, &signals, SFD_CLOEXEC);

    struct uhid_event ev = {.type = UHID_CREATE2};
    snprintf((char *)ev.u.create2.name, sizeof ev.u.create2.name, "www.dcttech.com USBRelay%d", relays);
    snprintf((char *)ev.u.create2.phys, sizeof ev.u.create2.phys, "relay_board");
    ev.u.create2.bus = BUS_USB;
    ev.u.create2.vendor = 0x16c0;
    ev.u.create2.product = product;
    ev.u.create2.rd_size = sizeof descriptor;
    memcpy(ev.u.create2.rd_data, descriptor, sizeof descriptor);
    send_event(&ev);

    for (;;) {
        struct pollfd fds[2] = {{.fd = sigfd, .events = POLLIN}, {.fd = uhid, .events = POLLIN}};
        if (poll(fds, uhid < 0 ? 1 : 2, -1) < 0)
            continue;
        if (uhid >= 0 && fds[1].revents) { /* requests first: none is lost to a signal */
            if (read(uhid, &ev, sizeof ev) > 0)
                serve(&ev);
            continue;
        }
        struct signalfd_siginfo info;
        if (!fds[0].revents || read(sigfd, &info, sizeof info) != sizeof info)
            continue;
        if (info.ssi_signo != SIGUSR1)
            return 0; /* closing /dev/uhid takes the board away */
        if (uhid >= 0)
            unplug();
    }
}
