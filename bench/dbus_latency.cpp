// How long a click or a selection sent on the session bus takes to reach the port: starts the
// program with its simulated port on a FIFO, then for each of COUNT calls takes the time from
// sending it to the write's line arriving in the FIFO (the bus's hop included), and prints the
// median, the 95th percentile and the worst, in milliseconds. "click" clicks Cocina; "select"
// selects Cocina and "apagadas" in turns, one click each. Calls go at most ten a second, the pace
// the window keeps for clicks from outside.
// Usage: TENVALIA_PORT=sim:FIFO dbus_latency click|select FIFO COUNT PROGRAM [ARG...]
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Waits at most two seconds for the next line in the FIFO.
bool nextLine(int fd)
{
    char c = 0;
    while (c != '\n') {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 2000) != 1 || read(fd, &c, 1) != 1)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 5)
        return 2;
    QCoreApplication application(argc, argv);
    const bool selecting = std::strcmp(argv[1], "select") == 0;
    // Open before the program starts: a FIFO that nobody reads is refused.
    const int fifo = open(argv[2], O_RDONLY | O_NONBLOCK);
    const int count = std::atoi(argv[3]);
    if (fifo < 0 || count < 1)
        return 2;
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[4], argv + 4);
        _exit(127);
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString name = QStringLiteral("org.tenvalia.Tenvalia");
    bool ready = nextLine(fifo); // the write of 0 at start
    for (int i = 0; ready && i < 200 && !bus.interface()->isServiceRegistered(name); ++i)
        QThread::msleep(50);
    std::vector<double> ms;
    while (ready && int(ms.size()) < count) {
        QDBusMessage click = QDBusMessage::createMethodCall(name, QStringLiteral("/org/tenvalia/Tenvalia"),
                                                            QStringLiteral("org.tenvalia.Tenvalia1"),
                                                            selecting ? QStringLiteral("Select") : QStringLiteral("Click"));
        click << (selecting && ms.size() % 2 ? QStringLiteral("apagadas") : QStringLiteral("cocina"));
        QThread::msleep(110);
        const auto sent = std::chrono::steady_clock::now();
        QDBusPendingCall reply = bus.asyncCall(click);
        if (!(ready = nextLine(fifo)))
            break;
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count());
        reply.waitForFinished();
        ready = !reply.isError();
    }
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    if (int(ms.size()) < count) {
        std::fprintf(stderr, "dbus_latency: %zu of %d calls reached the port\n", ms.size(), count);
        std::_Exit(1); // see tenvaliactl: Qt's bus thread against the statics at exit
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%.2f %.2f %.2f\n", ms[ms.size() / 2], ms[ms.size() * 95 / 100], ms.back());
    std::fflush(stdout);
    std::_Exit(0);
}
