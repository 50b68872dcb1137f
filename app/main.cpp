#include "forms/Unit1.h"
#include "platform/parallel_port.h"
#include "platform/toolkit.h"

#include <QApplication>
#include <QFont>
#include <QIcon>
#include <QMessageBox>

#include <exception>

int main(int argc, char *argv[])
{
    platform::catchTerminationSignals();
    // The port is opened before any thread exists, so that the privileges it needed can be given
    // up by the whole process at once.
    auto port = platform::choosePort(qEnvironmentVariable("TENVALIA_PORT"), TForm1::PuertoParalelo);
    platform::dropCapabilities();

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tenvalia"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tenvalia"));
    QApplication::setDesktopFileName(QStringLiteral("org.tenvalia.Tenvalia"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/tenvalia.png")));
    // The form is laid out in fixed pixels for the classic Windows look: its check boxes and
    // menu bar only fit with that style's metrics.
    QApplication::setStyle(QStringLiteral("Windows"));
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    try {
        platform::Port::instance().use(std::move(port.writer), port.trouble);

        TForm1 Form1;
        platform::closeOnTerminationSignals(&Form1);
        Form1.show();
        QApplication::exec();
    } catch (const std::exception &error) {
        QMessageBox::critical(nullptr, QApplication::applicationDisplayName(), QString::fromLocal8Bit(error.what()));
    }
    return 0;
}
