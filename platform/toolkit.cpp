#include "toolkit.h"

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QWidget>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

void ShowMessage(QWidget *parent, const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text, QMessageBox::Ok, parent);
    box.exec();
}

namespace {

// The signal handler may only write to this socket; the event loop reads the other end.
int signalSocket[2] = {-1, -1};

extern "C" void onTerminationSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(signalSocket[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

void closeOnTerminationSignals(QWidget *window)
{
    if (signalSocket[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalSocket) < 0) {
        qWarning("tenvalia: no socket for signals; SIGTERM will end the program without closing the window");
        return;
    }
    auto *notifier = new QSocketNotifier(signalSocket[1], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char drained[16];
        while (::read(signalSocket[1], drained, sizeof drained) > 0) {
        }
        window->close();
    });

    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

namespace {
std::function<long()> randomSource;
} // namespace

long lrand()
{
    if (randomSource)
        return randomSource();
    static std::minstd_rand generator; // default seed, as an unseeded C library would
    return long(generator());
}

void setRandomSource(std::function<long()> source) { randomSource = std::move(source); }

int timerInterval(int requestedMs)
{
    constexpr int shortest = 30;
    return std::max(requestedMs, shortest);
}

} // namespace platform
