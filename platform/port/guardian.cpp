#include "guardian.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/hidraw.h>
#include <linux/ppdev.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#endif

namespace platform::port::guardian {
namespace {

constexpr int kSlots = 2;

struct Handover {
    enum Kind : quint8 { Hold = 1, Release = 2 } kind;
    quint8 slot;
    SwitchOff recipe;
};

int guardianSocket = -1;

// What a crash switches off: written only by the thread that holds the port, read by the
// handler. Two copies, so that the handler never reads one half-written.
SwitchOff held[2][kSlots];
std::atomic<int> current{0};
const void *owners[kSlots] = {};
struct sigaction beforeUs[NSIG];

bool sameRecipe(const SwitchOff &a, const SwitchOff &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool writeAll(int fd, const unsigned char *bytes, size_t length)
{
    while (length > 0) {
        const ssize_t done = ::write(fd, bytes, length);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        bytes += done;
        length -= size_t(done);
    }
    return true;
}

void send(const Handover &message)
{
    if (guardianSocket < 0)
        return;
    msghdr header = {};
    iovec part = {const_cast<Handover *>(&message), sizeof message};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (message.kind == Handover::Hold && message.recipe.fd >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr *descriptor = CMSG_FIRSTHDR(&header);
        descriptor->cmsg_level = SOL_SOCKET;
        descriptor->cmsg_type = SCM_RIGHTS;
        descriptor->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(descriptor), &message.recipe.fd, sizeof(int));
    }
    while (::sendmsg(guardianSocket, &header, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno == EINTR) {
    }
}

// The guardian's whole life: keep what it is handed, and when the program's end of the socket
// closes without a release, switch it all off.
[[noreturn]] void guard(int socket)
{
    ::prctl(PR_SET_NAME, "tenvalia-guard");
    // A Ctrl-C or a hang-up for the whole process group is the program's to answer: the guardian
    // lives exactly as long as it does. Only a stuck switch-off ends it early.
    for (int signal = 1; signal < NSIG; ++signal)
        if (signal != SIGKILL && signal != SIGSTOP && signal != SIGCHLD && signal != SIGCONT)
            std::signal(signal, SIG_IGN);
    std::signal(SIGALRM, SIG_DFL);
    // Nothing of the program's but the socket and standard error stays open here, so that no
    // pipe's reader waits on the guardian.
    if (socket != 3) {
        ::dup2(socket, 3);
        socket = 3;
    }
    ::close_range(4, ~0U, 0);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    if (null > 3)
        ::close(null);

    SwitchOff mine[kSlots] = {};
    for (;;) {
        Handover message = {};
        iovec part = {&message, sizeof message};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr header = {};
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        const ssize_t got = ::recvmsg(socket, &header, MSG_CMSG_CLOEXEC);
        if (got < 0 && errno == EINTR)
            continue;
        if (got == ssize_t(sizeof message) && message.kind == Handover::Release)
            ::_exit(0);
        if (got != ssize_t(sizeof message) || message.slot >= kSlots)
            break; // the program is gone
        int descriptor = -1;
        if (const cmsghdr *part = CMSG_FIRSTHDR(&header); part && part->cmsg_type == SCM_RIGHTS)
            std::memcpy(&descriptor, CMSG_DATA(part), sizeof descriptor);
        if (mine[message.slot].fd >= 0)
            ::close(mine[message.slot].fd);
        mine[message.slot] = message.recipe;
        mine[message.slot].fd = descriptor;
    }
    ::alarm(3); // a port that never answers must not keep the guardian
    for (const SwitchOff &recipe : mine)
        carryOut(recipe);
    ::_exit(0);
}

extern "C" void onCrash(int signal)
{
    const int savedErrno = errno;
    std::signal(SIGALRM, SIG_DFL);
    ::alarm(2);
    bool off = true;
    for (const SwitchOff &recipe : held[current.load()])
        off = carryOut(recipe) && off;
    if (off)
        send({Handover::Release, 0, {}});
    ::sigaction(signal, &beforeUs[signal], nullptr);
    ::raise(signal); // delivered once the handler returns, as it would have been
    errno = savedErrno;
}

} // namespace

bool carryOut(const SwitchOff &recipe)
{
    using How = SwitchOff::How;
    switch (recipe.how) {
    case How::Nothing:
        return true;
    case How::Write:
        return writeAll(recipe.fd, recipe.bytes, recipe.length);
    case How::Ppdev: {
        // A port already claimed through this very descriptor answers EINVAL, and is ours.
        const bool claimed = ::ioctl(recipe.fd, PPCLAIM) == 0;
        if (!claimed && errno != EINVAL)
            return false;
        unsigned char data = recipe.bytes[0];
        const bool written = ::ioctl(recipe.fd, PPWDATA, &data) == 0;
        if (claimed)
            ::ioctl(recipe.fd, PPRELEASE);
        return written;
    }
    case How::Direct:
#if defined(__x86_64__) || defined(__i386__)
        outw(recipe.bytes[0], recipe.address);
        return true;
#else
        return false;
#endif
    case How::HidFeature: {
        bool all = recipe.chunk > 0;
        for (int at = 0; all && at + recipe.chunk <= recipe.length; at += recipe.chunk) {
            unsigned char report[sizeof recipe.bytes];
            std::memcpy(report, recipe.bytes + at, recipe.chunk);
            all = ::ioctl(recipe.fd, HIDIOCSFEATURE(recipe.chunk), report) >= 0;
        }
        return all;
    }
    case How::Gpio: {
        gpio_v2_line_values values = {0, recipe.mask};
        return ::ioctl(recipe.fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) == 0;
    }
    case How::UsbBulk: {
        unsigned char data[sizeof recipe.bytes];
        std::memcpy(data, recipe.bytes, recipe.length);
        usbdevfs_bulktransfer transfer = {recipe.endpoint, recipe.length, 1000, data};
        return ::ioctl(recipe.fd, USBDEVFS_BULK, &transfer) == int(recipe.length);
    }
    }
    return false;
}

int start()
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) < 0)
        return errno;
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(ends[0]);
        ::close(ends[1]);
        return error;
    }
    if (pid == 0) {
        ::close(ends[0]);
        guard(ends[1]);
    }
    ::close(ends[1]);
    guardianSocket = ends[0];
    return 0;
}

void hold(int slot, const void *owner, const SwitchOff &recipe)
{
    const int now = current.load();
    if (owners[slot] == owner && sameRecipe(held[now][slot], recipe))
        return;
    owners[slot] = owner;
    const int next = 1 - now;
    std::memcpy(held[next], held[now], sizeof held[now]);
    held[next][slot] = recipe;
    current.store(next);
    send({Handover::Hold, quint8(slot), recipe});
}

void release()
{
    const int next = 1 - current.load();
    for (SwitchOff &recipe : held[next])
        recipe = {};
    current.store(next);
    send({Handover::Release, 0, {}});
}

void catchCrashes()
{
    struct sigaction action = {};
    action.sa_handler = onCrash;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS, SIGTRAP})
        ::sigaction(signal, &action, &beforeUs[signal]);
}

} // namespace platform::port::guardian
