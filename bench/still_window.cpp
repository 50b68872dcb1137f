// The same window with its timer stopped: what the benchmark compares memory and CPU against.
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
    form.show();
    return QApplication::exec();
}
