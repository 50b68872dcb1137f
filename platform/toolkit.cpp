#include "toolkit.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMenuBar>
#include <QMessageBox>
#include <QShortcut>
#include <QSocketNotifier>
#include <QWidget>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <utility>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

void ShowMessage(QWidget *parent, const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText); // texts may quote the environment: never markup
    box.exec();
}

void menuBarOnF10(QMenuBar *menuBar)
{
    auto *f10 = new QShortcut(QKeySequence(Qt::Key_F10), menuBar->window());
    QObject::connect(f10, &QShortcut::activated, menuBar, [menuBar] {
        // Qt's menu bar answers a lone Alt (its override, then its release) by lighting its
        // first entry; F10 plays the same keys to it.
        QKeyEvent altOverride(QEvent::ShortcutOverride, Qt::Key_Alt, Qt::NoModifier);
        QKeyEvent altRelease(QEvent::KeyRelease, Qt::Key_Alt, Qt::NoModifier);
        QWidget *target = QApplication::focusWidget() ? QApplication::focusWidget() : menuBar->window();
        QApplication::sendEvent(target, &altOverride);
        QApplication::sendEvent(target, &altRelease);
    });
}

namespace {

// The signal handler may only write to this socket; the event loop reads the other end.
int signalSocket[2] = {-1, -1};

std::function<long()> randomSource;
std::function<void()> lastWords;

extern "C" void onTerminationSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(signalSocket[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

void catchTerminationSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalSocket) < 0) {
        std::perror("tenvalia: no socket for signals, so SIGTERM ends the program without closing the window");
        return;
    }
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

void closeOnTerminationSignals(QWidget *window)
{
    if (signalSocket[1] < 0)
        return;
    auto *notifier = new QSocketNotifier(signalSocket[1], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char drained[16];
        while (::read(signalSocket[1], drained, sizeof drained) > 0) {
        }
        window->close();
    });
}

AtExit::AtExit(std::function<void()> handler)
{
    static const bool registered = std::atexit([] {
        if (auto handler = std::exchange(lastWords, nullptr))
            handler();
    }) == 0;
    if (!registered)
        std::fputs("tenvalia: sin atexit, una pantalla perdida dejaría el puerto como está\n", stderr);
    lastWords = std::move(handler);
}

AtExit::~AtExit() { lastWords = nullptr; }

long lrand()
{
    if (randomSource)
        return randomSource();
    static std::minstd_rand generator; // default seed, as an unseeded C library would
    return long(generator());
}

void setRandomSource(std::function<long()> source) { randomSource = std::move(source); }

} // namespace platform
