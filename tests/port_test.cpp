// The port layer: reading TENVALIA_PORT, the simulated port's trace, and what happens when a
// real port cannot be had (on these machines: no /dev/parport*, no ioperm).
#include "platform/parallel_port.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/io.h>

using platform::choosePort;
using platform::PortPaths;

namespace {

QString readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
}

void writeFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

class FailingPort final : public platform::PortWriter {
public:
    QString write(quint16, quint16) override { return QStringLiteral("the relay board went away"); }
    QString name() const override { return QStringLiteral("broken port"); }
};

} // namespace

class PortTest : public QObject {
    Q_OBJECT

private slots:
    void simulatedTraceAppendsOneLinePerWrite()
    {
        QTemporaryDir dir;
        const QString trace = dir.filePath(QStringLiteral("trace"));
        writeFile(trace, "0x0378 0x0010\n");
        auto choice = choosePort(QStringLiteral("sim:") + trace, 0x378);
        QVERIFY(choice.trouble.isEmpty());
        QCOMPARE(choice.writer->write(0x378, 0x0002), QString());
        QCOMPARE(choice.writer->write(0x378, 0x00FF), QString());
        QCOMPARE(choice.writer->write(0x379, 0), QString());
        // Written through at once: the file holds every line while the writer is still open.
        QCOMPARE(readAll(trace), QStringLiteral("0x0378 0x0010\n0x0378 0x0002\n0x0378 0x00ff\n0x0379 0x0000\n"));
    }

    void plainSimulationNeedsNoExplanation()
    {
        auto choice = choosePort(QStringLiteral("sim"), 0x378);
        QVERIFY(choice.trouble.isEmpty());
        QVERIFY(choice.writer->name().contains(QStringLiteral("simulado")));
    }

    void unusableTraceFileFallsBackAndSaysWhy()
    {
        auto choice = choosePort(QStringLiteral("sim:/nonexistent-dir/trace"), 0x378);
        QVERIFY(choice.writer);
        QVERIFY(choice.trouble.contains(QStringLiteral("/nonexistent-dir/trace")));
        QVERIFY(choice.trouble.contains(QStringLiteral("No such file or directory")));
        QVERIFY(choice.trouble.contains(QStringLiteral("salida estándar")));
    }

    void unknownRequestsNameTheAcceptedForms_data()
    {
        QTest::addColumn<QString>("request");
        QTest::newRow("word") << QStringLiteral("parallel");
        QTest::newRow("case") << QStringLiteral("SIM");
        QTest::newRow("sim without file") << QStringLiteral("sim:");
        QTest::newRow("direct with junk") << QStringLiteral("direct:0x378");
    }
    void unknownRequestsNameTheAcceptedForms()
    {
        QFETCH(QString, request);
        auto choice = choosePort(request, 0x378);
        QVERIFY(choice.writer);
        QVERIFY(choice.trouble.contains(QStringLiteral("TENVALIA_PORT=") + request));
        for (const char *form : {"auto", "ppdev:/dev/parportN", "direct", "sim", "sim:ARCHIVO"})
            QVERIFY2(choice.trouble.contains(QLatin1String(form)), form);
        QVERIFY(choice.trouble.contains(QStringLiteral("simulado")));
    }

    void missingPpdevDeviceIsSaidPlainly()
    {
        auto choice = choosePort(QStringLiteral("ppdev:/dev/parport7"), 0x378);
        QVERIFY(choice.writer->name().contains(QStringLiteral("simulado")));
        QVERIFY(choice.trouble.contains(QStringLiteral("TENVALIA_PORT=ppdev:/dev/parport7")));
        QVERIFY(choice.trouble.contains(QStringLiteral("abrir /dev/parport7: No such file or directory")));
    }

    void deviceThatIsNoParallelPortIsRefusedAtTheClaim()
    {
        QTemporaryDir dir;
        const QString fake = dir.filePath(QStringLiteral("parport0"));
        writeFile(fake, "");
        auto choice = choosePort(QStringLiteral("ppdev:") + fake, 0x378);
        QVERIFY(choice.trouble.contains(QStringLiteral("PPCLAIM en ") + fake));
        QVERIFY(choice.trouble.contains(QStringLiteral("Inappropriate ioctl for device")));
    }

    void directIoRefusedHere()
    {
        if (ioperm(0x378, 2, 1) == 0)
            QSKIP("this machine grants ioperm");
        auto choice = choosePort(QStringLiteral("direct"), 0x378);
        QVERIFY(choice.writer->name().contains(QStringLiteral("simulado")));
        QVERIFY(choice.trouble.contains(QStringLiteral("TENVALIA_PORT=direct")));
        QVERIFY(choice.trouble.contains(QStringLiteral("ioperm(0x0378, 2): ")));
    }

    void autoModeListsEveryAttempt()
    {
        QTemporaryDir dir;
        PortPaths paths{dir.filePath(QStringLiteral("dev")), dir.filePath(QStringLiteral("sys"))};
        QDir().mkpath(paths.devices);
        QDir().mkpath(paths.sysctl + QStringLiteral("/parport0"));
        QDir().mkpath(paths.sysctl + QStringLiteral("/parport1"));
        writeFile(paths.devices + QStringLiteral("/parport0"), "");
        writeFile(paths.devices + QStringLiteral("/parport1"), "");
        writeFile(paths.devices + QStringLiteral("/parport2"), "");
        writeFile(paths.sysctl + QStringLiteral("/parport0/base-addr"), "632\t1656\n");
        writeFile(paths.sysctl + QStringLiteral("/parport1/base-addr"), "888\t1912\n");

        auto choice = choosePort(QStringLiteral("auto"), 0x378, paths);
        QVERIFY2(choice.trouble.contains(QStringLiteral("parport0 está en 0x0278, no en 0x0378")), qPrintable(choice.trouble));
        QVERIFY(choice.trouble.contains(QStringLiteral("ppdev: PPCLAIM en ") + paths.devices + QStringLiteral("/parport1")));
        QVERIFY(choice.trouble.contains(QStringLiteral("no se sabe en qué dirección está")));
        QVERIFY(choice.trouble.contains(QStringLiteral("E/S directa: ioperm(0x0378, 2)")));
        QVERIFY(choice.writer->name().contains(QStringLiteral("simulado")));
    }

    void autoModeOnAMachineWithoutPorts()
    {
        QTemporaryDir dir;
        auto choice = choosePort(QString(), 0x378, {dir.path(), dir.path()});
        QVERIFY(choice.trouble.startsWith(QStringLiteral("No hay un puerto paralelo en 0x0378")));
        QVERIFY(choice.trouble.contains(QStringLiteral("ppdev: no existe ningún ") + dir.path() + QStringLiteral("/parport*")));
    }

    void failedWriteIsReportedOnceAndTheWriteStillLands()
    {
        auto &port = platform::Port::instance();
        QSignalSpy trouble(&port, &platform::Port::trouble);
        port.use(std::make_unique<FailingPort>());
        port.write(0x378, 0x02);
        port.write(0x378, 0x00);
        QVERIFY(port.name().contains(QStringLiteral("simulado")));
        QVERIFY(trouble.wait(1000));
        QCOMPARE(trouble.count(), 1);
        const QString text = trouble.at(0).at(0).toString();
        QVERIFY(text.contains(QStringLiteral("broken port")));
        QVERIFY(text.contains(QStringLiteral("the relay board went away")));
    }
};

QTEST_GUILESS_MAIN(PortTest)
#include "port_test.moc"
