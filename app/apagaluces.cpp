// The guardian (see platform/port/guardian.h): started by Tenvalia with its end of a socket as
// descriptor 3, it keeps what it is handed and, when the socket's other end closes without a
// release, the program is gone: it switches every output off and leaves. Nothing but the C
// library, so that it starts in a moment and holds little memory for the program's whole life.
#include "platform/port/guardian.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace guardian = platform::port::guardian;
using platform::port::SwitchOff;

int main()
{
    // It lives exactly as long as the program does: only SIGKILL ends it sooner.
    for (int signal = 1; signal < NSIG; ++signal)
        if (signal != SIGKILL && signal != SIGSTOP && signal != SIGCHLD && signal != SIGCONT)
            std::signal(signal, SIG_IGN);
    // Nothing of the program's but the socket and standard error: no pipe's reader waits on it.
    ::close_range(4, ~0U, 0);
    constexpr int socket = 3;

    SwitchOff mine[guardian::kSlots] = {};
    for (;;) {
        guardian::Handover message = {};
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
        if (got == ssize_t(sizeof message) && message.kind == guardian::Handover::Release)
            return 0;
        if (got != ssize_t(sizeof message) || message.slot >= guardian::kSlots)
            break; // the program is gone
        int descriptor = -1;
        if (const cmsghdr *part = CMSG_FIRSTHDR(&header); part && part->cmsg_type == SCM_RIGHTS)
            std::memcpy(&descriptor, CMSG_DATA(part), sizeof descriptor);
        if (mine[message.slot].fd >= 0)
            ::close(mine[message.slot].fd);
        mine[message.slot] = message.recipe;
        mine[message.slot].fd = descriptor;
    }
    platform::port::carryOutAll(mine, guardian::kSlots);
    return 0;
}
