#include "toolkit.h"

#include "stderr_lines.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMenuBar>
#include <QMessageBox>
#include <QShortcut>
#include <QSocketNotifier>
#include <QStringList>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <semaphore.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace platform {

namespace {
std::vector<QMessageBox *> openBoxes;
bool drawnNowhere = false;
} // namespace

bool headless() { return drawnNowhere; }
void setHeadless(bool headless) { drawnNowhere = headless; }

void ShowMessage(QWidget *parent, const QString &text)
{
    if (drawnNowhere)
        return;
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText); // texts may quote the environment: never markup
    openBoxes.push_back(&box);
    box.exec();
    openBoxes.erase(std::find(openBoxes.begin(), openBoxes.end(), &box));
}

void dismissMessages()
{
    for (QMessageBox *box : openBoxes)
        box->done(QMessageBox::Ok);
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

// The signal handler may only write to this socket, which the event loop reads, and post the
// semaphore that the watch waits on.
int signalSocket[2] = {-1, -1};
sem_t terminationRequested;
std::atomic<int> endingCode{-1};

std::function<long()> randomSource;
std::function<void()> lastWords;

extern "C" void onTerminationSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    if (signalSocket[0] >= 0)
        [[maybe_unused]] const ssize_t ignored = ::write(signalSocket[0], &byte, 1);
    ::sem_post(&terminationRequested);
    errno = savedErrno;
}

} // namespace

void keepStandardStreamsOpen()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lowest free descriptor is the closed one.
        const int null = ::open("/dev/null", O_RDWR | O_NOCTTY);
        if (null != fd) {
            say(QStringLiteral("faltan la entrada, la salida o los errores estándar, y /dev/null no se puede abrir"));
            finishSaying(500);
            std::_Exit(1);
        }
    }
}

void catchTerminationSignals()
{
    ::sem_init(&terminationRequested, 0, 0);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalSocket) < 0) {
        say(QStringLiteral("sin un socket para las señales (%1), SIGTERM no cierra la ventana: solo apaga las salidas y "
                           "termina").arg(QString::fromLocal8Bit(std::strerror(errno))));
        signalSocket[0] = signalSocket[1] = -1;
    }
    // A reader that goes away must come back as EPIPE, never as the end of the program.
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // Every signal whose default would end the process quietly; a crash's are the guardian's.
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGPWR,
                             SIGIO, SIGSTKFLT, SIGXCPU, SIGXFSZ})
        ::sigaction(signal, &action, nullptr);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
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

void watchTermination(std::function<int()> switchOff)
{
    std::thread([switchOff = std::move(switchOff)] {
        while (::sem_wait(&terminationRequested) != 0) {
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        // Past here the program is stuck: the window could not close.
        int code = endingCode.load();
        if (code < 0)
            code = switchOff();
        finishSaying(2000);
        std::_Exit(endingCode.load() >= 0 ? endingCode.load() : code);
    }).detach();
}

int endingWith(int code)
{
    endingCode = code;
    return code;
}

namespace {

QtMessageHandler qtsOwnHandler = nullptr;

// Qt's offscreen platform warns of every fixed-size window that it cannot pass size hints on: a
// window nobody sees needs none, and the journal needs no such line at every start.
void withoutSizeHintNoise(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text == QLatin1String("This plugin does not support propagateSizeHints()"))
        return;
    if (qtsOwnHandler) // Qt hands back its default handler when there was none of ours
        qtsOwnHandler(type, context, text);
}

struct HeldBack {
    QtMsgType type;
    const char *file, *function, *category; // Qt's own static strings
    int line;
    QString text;
};
std::vector<HeldBack> heldBack;

// While the display is being opened, Qt's complaints are held back: if it cannot be opened, one
// line of ours says so instead of Qt's several and its abort. When it is not the display that
// failed, Qt's own reason is said.
void holdBackUntilOpen(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtFatalMsg) {
        heldBack.push_back({type, context.file, context.function, context.category, context.line, text});
        return;
    }
    const bool displayFailed = std::any_of(heldBack.begin(), heldBack.end(), [](const HeldBack &message) {
        return message.text.contains(QLatin1String("connect to display")) ||
               message.text.contains(QLatin1String("Failed to create wl_display"));
    });
    const bool wayland = qEnvironmentVariable("QT_QPA_PLATFORM").startsWith(QLatin1String("wayland"));
    const char *variable = wayland ? "WAYLAND_DISPLAY" : "DISPLAY";
    const QString display = escapeControls(qEnvironmentVariable(variable));
    if (!displayFailed) {
        QStringList reasons;
        for (const HeldBack &message : heldBack)
            reasons << message.text.simplified();
        reasons << text.simplified();
        say(QStringLiteral("Qt no pudo iniciar la plataforma gráfica: %1").arg(escapeControls(reasons.join(QLatin1Char(' ')))));
    } else if (display.isEmpty()) {
        say(QStringLiteral("no hay pantalla donde abrir la ventana (%1 no está definida)").arg(QLatin1String(variable)));
    } else {
        say(QStringLiteral("no se pudo abrir la pantalla %1 (%2)").arg(display, QLatin1String(variable)));
    }
    finishSaying(500);
    std::_Exit(1);
}

} // namespace

std::unique_ptr<QApplication> openDisplay(int &argc, char **argv)
{
    // Through shared memory, Qt waits after each flush for the X server to say it has read the
    // image before it paints there again: a wake-up more per step of the pixels. For a window
    // this small, a few pixels at a time, plain image requests cost the program and the server
    // about a fifth less. Whoever set the variable keeps their choice.
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM"))
        qputenv("QT_XCB_NO_MITSHM", "1");
    qtsOwnHandler = qInstallMessageHandler(holdBackUntilOpen);
    auto application = std::make_unique<QApplication>(argc, argv);
    const QString platform = QGuiApplication::platformName();
    setHeadless(platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"));
    qInstallMessageHandler(headless() ? withoutSizeHintNoise : qtsOwnHandler);
    for (const HeldBack &message : std::exchange(heldBack, {})) {
        const QMessageLogContext context(message.file, message.line, message.function, message.category);
        if (qtsOwnHandler)
            qtsOwnHandler(message.type, context, message.text);
        else
            qt_message_output(message.type, context, message.text);
    }
    return application;
}

AtExit::AtExit(std::function<void()> handler)
{
    static const bool registered = std::atexit([] {
        if (auto handler = std::exchange(lastWords, nullptr))
            handler();
    }) == 0;
    if (!registered)
        say(QStringLiteral("sin atexit, una pantalla perdida dejaría el puerto como está"));
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
