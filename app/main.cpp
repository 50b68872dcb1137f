#include "forms/Unit1.h"
#include "platform/port/active_port.h"
#include "platform/port/guardian.h"
#include "platform/port/words.h"
#include "platform/remote/dbus_service.h"
#include "platform/remote/mqtt_door.h"
#include "platform/schedule/schedule_door.h"
#include "platform/stderr_lines.h"
#include "platform/toolkit.h"

#include <QApplication>
#include <QFont>
#include <QIcon>

#include <clocale>
#include <cstdlib>
#include <exception>

namespace {

// Exit codes: 0 all well, 1 the program could not start or its window could not close, 2 a real
// port's lights may still be on (the person was told which, and why).
constexpr int kLightsMayBeOn = 2;

// Every end the program sees comes here: the outputs off, the guardian let go once they are known
// off, what is still to say given a moment.
int switchOffForExit(int codeIfOff)
{
    const bool off = platform::port::ActivePort::instance().switchOffForExit();
    if (off)
        platform::port::guardian::release();
    platform::finishSaying(500);
    return off ? codeIfOff : kLightsMayBeOn;
}

} // namespace

int main(int argc, char *argv[])
{
    platform::keepStandardStreamsOpen();
    // Before the first message: the system's reasons then speak the person's language.
    std::setlocale(LC_ALL, "");
    platform::catchTerminationSignals();

    // Direct I/O is the one thing that needs a privilege. Every privilege goes before any file
    // named from outside is opened and before any thread exists; one that cannot be given up
    // is not carried into a desktop toolkit.
    namespace port = platform::port;
    const auto request = port::parseRequest(qgetenv("TENVALIA_PORT"));
    const auto direct = request.mayUseDirectIo() ? port::requestDirectAccess(TForm1::PuertoParalelo) : port::DirectAccess{};
    if (const int refused = port::dropCapabilities()) {
        platform::say(port::words::capabilitiesKept(refused));
        platform::finishSaying(500);
        return 1;
    }
    auto choice = port::choose(request, TForm1::PuertoParalelo, direct);
    // Asked to end while the output was being chosen (a device takes up to its time limits to
    // answer): nothing was switched on, and no window need open.
    if (platform::terminationRequested())
        return 0;
    port::guardian::catchCrashes();
    platform::sayQtMessagesToo();
    // A desktop that stops answering must not keep the lights on past a termination request.
    platform::watchTermination([] { return switchOffForExit(1); });

    const auto application = platform::openDisplay(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tenvalia"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tenvalia"));
    QApplication::setDesktopFileName(QStringLiteral("org.tenvalia.Tenvalia"));
    // The form is laid out in fixed pixels for the classic Windows look: its check boxes and
    // menu bar only fit with that style's metrics.
    QApplication::setStyle(QStringLiteral("Windows"));
    // Before the window shows: one without an icon would load the style's default one instead,
    // at the same cost.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/tenvalia.png")));
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    try {
        port::ActivePort::instance().use(std::move(choice));

        TForm1 Form1;
        platform::closeOnTerminationSignals(&Form1);
        // A lost display ends the process from inside the event loop: it still clears the port,
        // and the exit says what is true.
        const platform::AtExit displayLost([&Form1] {
            Form1.FormClose();
            std::_Exit(platform::endingWith(switchOffForExit(1)));
        });
        Form1.show();
        // The window is mapped: what follows costs its start-up nothing. Until the guardian runs,
        // no click has been taken, so no line can be on.
        if (const int error = port::guardian::start())
            platform::say(port::words::noGuardian(error));
        platform::startSaying();
        // Boards that go and come back, heard from the kernel once the window is up.
        port::ActivePort::instance().watchForReturns();
        // MQTT and the schedule only where remote control is this copy's, so that a second copy
        // never acts; MQTT gone, with its last word to the broker, once the window's final
        // write is done.
        std::unique_ptr<platform::remote::MqttDoor> mqtt;
        platform::remote::offerOnSessionBus([&mqtt] {
            mqtt = platform::remote::MqttDoor::open();
            platform::schedule::ScheduleDoor::instance().start();
        });
        QApplication::exec();
    } catch (const std::exception &error) {
        TForm1::EscribirPuerto(TForm1::PuertoParalelo, 0); // the window is gone: so are the lights
        const QString why = platform::escapeControls(QString::fromLocal8Bit(error.what()));
        platform::say(why); // the journal hears it too, and without a desktop only it does
        platform::ShowMessage(nullptr, why);
    }
    return platform::endingWith(switchOffForExit(0));
}
