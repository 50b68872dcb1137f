#include "guardian.h"

#include <QCoreApplication>
#include <QFile>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform::port::guardian {
namespace {

int guardianSocket = -1;

// What a crash switches off: written only by the thread that holds the port, read by the
// handler. Two copies, so that the handler never reads one half-written.
SwitchOff held[2][kSlots];
std::atomic<int> current{0};
const void *owners[kSlots] = {};
struct sigaction beforeUs[NSIG];

bool sameRecipe(const SwitchOff &a, const SwitchOff &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

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

// The guardian's own program: where the package puts it, else beside this one (the build tree).
QByteArray guardianProgram()
{
    const QString home = QCoreApplication::applicationDirPath();
    const QString installed = home + QStringLiteral("/" TENVALIA_MODULE_DIR "/") + QLatin1String(kName);
    return QFile::encodeName(QFile::exists(installed) ? installed : home + QLatin1Char('/') + QLatin1String(kName));
}

extern "C" void onCrash(int signal)
{
    const int savedErrno = errno;
    if (carryOutAll(held[current.load()], kSlots))
        send({Handover::Release, 0, {}});
    ::sigaction(signal, &beforeUs[signal], nullptr);
    ::raise(signal); // delivered once the handler returns, as it would have been
    errno = savedErrno;
}

} // namespace

int start()
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) < 0)
        return errno;
    // Descriptor 3 is the guardian's end; were it already 3, dup2 would leave it close-on-exec.
    if (ends[1] == 3) {
        const int moved = ::fcntl(ends[1], F_DUPFD_CLOEXEC, 4);
        ::close(ends[1]);
        ends[1] = moved;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 3);
    // A session of its own: a kill of the program's process group, or the hang-up of its
    // terminal, leaves the guardian to do its work. Signals as a new program has them.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const QByteArray program = guardianProgram();
    char *const arguments[] = {const_cast<char *>(kName), nullptr};
    char *const noEnvironment[] = {nullptr};
    pid_t pid;
    const int error = ::posix_spawn(&pid, program.constData(), &actions, &attributes, arguments, noEnvironment);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(ends[1]);
    if (error != 0) {
        ::close(ends[0]);
        return error;
    }
    guardianSocket = ends[0];
    const int now = current.load();
    for (int slot = 0; slot < kSlots; ++slot)
        if (held[now][slot].how != SwitchOff::How::Nothing)
            send({Handover::Hold, std::uint8_t(slot), held[now][slot]});
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
    send({Handover::Hold, std::uint8_t(slot), recipe});
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
