// The port layer: reading TENVALIA_PORT, the simulated port's trace and the outputs it may be
// pointed at, and what happens when a real port cannot be had or does not answer (on these
// machines: no /dev/parport*, no ioperm; the emulated PC covers the real ones).
#include "platform/parallel_port.h"
#include "platform/toolkit.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using platform::choosePort;

namespace {

// By the path's bytes: Qt's own file names cannot hold bytes that are not UTF-8.
void writeFile(const QByteArray &path, const QByteArray &text)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, text.constData(), size_t(text.size())), ssize_t(text.size()));
    ::close(fd);
}

// Fails from its `failFrom`th write on (counting from 1).
struct FailingPort final : platform::PortWriter {
    explicit FailingPort(int from) : failFrom(from) {}
    QString write(quint16, quint16) override { return ++writes >= failFrom ? QStringLiteral("se leyó 0xff") : QString(); }
    QString name() const override { return QStringLiteral("placa de prueba"); }
    int failFrom, writes = 0;
};

QStringList reportsOf(const std::function<void()> &writes)
{
    QSignalSpy trouble(&platform::Port::instance(), &platform::Port::trouble);
    writes();
    QTest::qWait(20);
    QStringList texts;
    for (const auto &signal : trouble)
        texts << signal.at(0).toString();
    return texts;
}

} // namespace

class PortTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { platform::catchTerminationSignals(); } // as the program: SIGPIPE ignored

    void traceGoesToTheFileNamedByItsExactBytes()
    {
        QTemporaryDir dir;
        const QByteArray trace = QFile::encodeName(dir.path()) + "/registro-\xff\xfe"; // not UTF-8
        writeFile(trace, "0x0378 0x0010\n");
        auto choice = choosePort("sim:" + trace, 0x378, {});
        QVERIFY2(choice.trouble.isEmpty(), qPrintable(choice.trouble));
        QCOMPARE(choice.writer->write(0x378, 0x0002), QString());
        QCOMPARE(choice.writer->write(0x379, 0x00FF), QString());
        // Written through at once, to that very file and no other.
        QVERIFY(!QFile::exists(QFile::decodeName(trace))); // not a look-alike with the bytes replaced
        char text[64] = {};
        const int fd = ::open(trace.constData(), O_RDONLY);
        QVERIFY(fd >= 0);
        QCOMPARE(::read(fd, text, sizeof text - 1), 42);
        ::close(fd);
        ::unlink(trace.constData());
        QCOMPARE(QByteArray(text), QByteArray("0x0378 0x0010\n0x0378 0x0002\n0x0379 0x00ff\n"));
    }

    void refusedRequestsSayWhyAndGoOnSimulated_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QStringList>("said");
        QTest::addColumn<QString>("notSaid");
        const QStringList forms{"no es una forma conocida", "ppdev:/dev/parportN", "sim:ARCHIVO", "simulado"};
        QTest::newRow("unknown") << QByteArray("parallel") << forms << QString();
        QTest::newRow("sim without file") << QByteArray("sim:") << forms << QString();
        QTest::newRow("no trace folder")
            << QByteArray("sim:/nonexistent-dir/trace")
            << QStringList{"abrir /nonexistent-dir/trace: No such file or directory", "salida estándar"} << QString();
        QTest::newRow("no such device")
            << QByteArray("ppdev:/dev/parport7")
            << QStringList{"TENVALIA_PORT=ppdev:/dev/parport7", "abrir /dev/parport7: No such file or directory"}
            << QString();
        // Another device's refusals must not read as a parallel port's (no printer-driver hint).
        QTest::newRow("not a port") << QByteArray("ppdev:/dev/null")
                                    << QStringList{"/dev/null no es un puerto paralelo", "simulado"} << "lp";
    }
    void refusedRequestsSayWhyAndGoOnSimulated()
    {
        QFETCH(QByteArray, request);
        QFETCH(QStringList, said);
        QFETCH(QString, notSaid);
        auto choice = choosePort(request, 0x378, {});
        QVERIFY(choice.writer->name().startsWith(QStringLiteral("simulado")));
        for (const QString &words : said)
            QVERIFY2(choice.trouble.contains(words), qPrintable(choice.trouble));
        if (!notSaid.isEmpty())
            QVERIFY2(!choice.trouble.contains(notSaid), qPrintable(choice.trouble));
    }

    // A pipe or FIFO that nobody reads, that fills up, or whose reader leaves: each is said once
    // and never waited for, and the writes go on (at last recorded nowhere).
    void outputsThatStopReadingNeverStopTheProgram()
    {
        QTemporaryDir dir;
        const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("fifo")));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        auto unread = choosePort("sim:" + fifo, 0x378, {});
        QVERIFY2(unread.trouble.contains(QStringLiteral("es una FIFO y nadie la está leyendo")), qPrintable(unread.trouble));

        const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
        auto read = choosePort("sim:" + fifo, 0x378, {});
        QVERIFY(read.trouble.isEmpty());
        QString failure;
        for (int i = 0; i < 100000 && failure.isEmpty(); ++i)
            failure = read.writer->write(0x378, 0x02);
        QVERIFY2(failure.endsWith(QStringLiteral("está llena: nadie lee lo que se escribe ahí")), qPrintable(failure));
        ::close(reader);
        QVERIFY(read.writer->write(0x378, 0x02).endsWith(QStringLiteral("se cerró: quien la leía ya no está")));

        // Standard output, a pipe whose reader leaves: one report, then nothing recorded.
        int pipeEnds[2];
        QCOMPARE(::pipe(pipeEnds), 0);
        const int savedStdout = ::dup(STDOUT_FILENO);
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        ::close(pipeEnds[1]);
        ::close(pipeEnds[0]);
        const QStringList reports = reportsOf([] {
            auto &port = platform::Port::instance();
            port.use(platform::simulatedPort());
            port.write(0x378, 0x10);
            port.write(0x378, 0x00);
        });
        ::dup2(savedStdout, STDOUT_FILENO);
        ::close(savedStdout);
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports[0].contains(QStringLiteral("la salida estándar se cerró")), qPrintable(reports[0]));
        QCOMPARE(platform::Port::instance().name(), QStringLiteral("simulado (sin registro)"));
    }

    void readBackSaysWhatCameBackAndWhatItMeans()
    {
        QCOMPARE(platform::readBackTrouble(0x5A, 0x5A), QString());
        const QString nothing = platform::readBackTrouble(0x00, 0xFF);
        QVERIFY(nothing.startsWith(QStringLiteral("se escribió 0x00 y se leyó 0xff: nada responde")));
        QVERIFY(nothing.contains(QStringLiteral("ppdev")));
        QVERIFY(platform::readBackTrouble(0x02, 0x00).contains(QStringLiteral("no guarda lo que se le escribe")));
    }

    // Auto mode tries the device at 0x378 first, then the others from the lowest number, then
    // direct I/O, and tells every attempt.
    void autoModeTriesEveryPortInOrder()
    {
        QTemporaryDir dir;
        const QByteArray root = QFile::encodeName(dir.path());
        platform::PortPaths paths{root + "/dev", root + "/sys"};
        QDir().mkpath(QFile::decodeName(paths.devices));
        for (const auto &[device, base] : {std::pair("parport10", "632"), {"parport2", "888\t1912"}, {"parport1", "956"}}) {
            writeFile(paths.devices + '/' + device, "");
            QDir().mkpath(QFile::decodeName(paths.sysctl + '/' + device));
            writeFile(paths.sysctl + '/' + device + "/base-addr", QByteArray(base) + '\n');
        }
        writeFile(paths.devices + "/parportal", ""); // not a numbered port
        auto choice = choosePort("auto", 0x378, {false, QStringLiteral("ioperm: refused")}, paths);
        QVERIFY(choice.writer->name().startsWith(QStringLiteral("simulado")));
        const QStringList lines = choice.trouble.split(QLatin1Char('\n'));
        QCOMPARE(lines.first(), QStringLiteral("No hay un puerto paralelo en 0x0378 que Tenvalia pueda usar."));
        QStringList tried = lines.filter(QStringLiteral("• "));
        QCOMPARE(tried.size(), 4);
        QVERIFY(tried[0].endsWith(QStringLiteral("/parport2 no es un puerto paralelo (no es un dispositivo ppdev)")));
        QVERIFY(tried[1].contains(QStringLiteral("/parport1 no")));
        QVERIFY(tried[2].contains(QStringLiteral("/parport10 no")));
        QCOMPARE(tried[3], QStringLiteral("• E/S directa: ioperm: refused"));

        auto none = choosePort("", 0x378, {false, QStringLiteral("ioperm: refused")}, {root, root});
        QVERIFY(none.trouble.contains(QStringLiteral("ppdev: no existe ningún ") + dir.path() + QStringLiteral("/parport*")));
    }

    // A port's first write proves it: failing there, it was never there. Later failures are a
    // failed write. Either is said once, and the writes go on simulated.
    void firstWriteProvesThePort()
    {
        auto &port = platform::Port::instance();
        const auto refusal = [](const QString &failure) { return QStringLiteral("no hay puerto: ") + failure; };
        QStringList reports = reportsOf([&] {
            port.use({std::make_unique<FailingPort>(1), {}, {}, refusal});
            port.write(0x378, 0x00);
            port.write(0x378, 0x02);
        });
        QCOMPARE(reports, QStringList{"no hay puerto: placa de prueba: se leyó 0xff"});
        QCOMPARE(port.name(), QStringLiteral("simulado (salida estándar)"));

        reports = reportsOf([&] {
            port.use({std::make_unique<FailingPort>(2), {}, {}, refusal});
            port.write(0x378, 0x00);
            port.write(0x378, 0x02);
            port.write(0x378, 0x00);
        });
        QCOMPARE(reports.size(), 1);
        QVERIFY(reports[0].startsWith(QStringLiteral("Falló una escritura en el puerto (placa de prueba).")));
        QVERIFY(reports[0].contains(QStringLiteral("sigue con el puerto simulado (salida estándar)")));
    }
};

QTEST_GUILESS_MAIN(PortTest)
#include "port_test.moc"
