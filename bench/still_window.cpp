// The same window with its timer stopped: what the benchmark compares memory and CPU against.
#include "Unit1.h"
#include "platform/parallel_port.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setStyle(QStringLiteral("Windows"));
    platform::Port::instance().use(platform::simulatedPort());
    TForm1 form;
    form.Reloj->stop();
    form.show();
    return QApplication::exec();
}
