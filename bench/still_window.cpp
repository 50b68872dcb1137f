// The same window with its timer stopped: what the benchmark compares memory and CPU against.
// With --tick-by-tick, the animation as it was paced before: a wake-up every 30 ms that moves
// one pixel and repaints its two spots.
#include "Unit1.h"
#include "platform/port/active_port.h"
#include "platform/port/simulated_output.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setStyle(QStringLiteral("Windows"));
    platform::port::ActivePort::instance().use(platform::port::stdoutOutput(TForm1::PuertoParalelo), TForm1::PuertoParalelo);
    TForm1 form;
    form.Reloj->stop();
    QTimer everyTick;
    if (argc > 1 && QByteArray(argv[1]) == "--tick-by-tick") {
        QObject::connect(&everyTick, &QTimer::timeout, &form, &TForm1::RelojTimer);
        everyTick.start(30);
    }
    form.show();
    return QApplication::exec();
}
