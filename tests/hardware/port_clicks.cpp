// Runs inside an emulated PC with a parallel port at 0x378: the window's clicks go through the
// port layer chosen by TENVALIA_PORT, and after each one the data register must read back the
// value's low byte. EXPECT_PORT names the path that must have been chosen: "direct" or "ppdev".
#include "Unit1.h"
#include "platform/port/active_port.h"
#include "platform/port/words.h"

#include <QCheckBox>
#include <QtTest>

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <unistd.h>

class PortClicks : public QObject {
    Q_OBJECT

    bool viaPpdev = false;

    // The data register as the port itself holds it, read past the program's own code.
    int dataRegister()
    {
        if (!viaPpdev)
            return inb(TForm1::PuertoParalelo);
        const int fd = ::open("/dev/parport0", O_RDWR);
        unsigned char data = 0;
        const bool ok = fd >= 0 && ::ioctl(fd, PPCLAIM) == 0 && ::ioctl(fd, PPRDATA, &data) == 0;
        if (fd >= 0) {
            ::ioctl(fd, PPRELEASE);
            ::close(fd);
        }
        return ok ? data : -1;
    }

private slots:
    void initTestCase()
    {
        viaPpdev = qEnvironmentVariable("EXPECT_PORT") == QLatin1String("ppdev");
        // As the program does: ask for direct I/O, give up every privilege, then open the port;
        // the writes (and this test's own inb, under the same I/O permission) must still reach it.
        namespace port = platform::port;
        const auto request = port::parseRequest(qgetenv("TENVALIA_PORT"));
        const auto direct = port::requestDirectAccess(TForm1::PuertoParalelo);
        QCOMPARE(port::dropCapabilities(), 0);

        auto choice = port::choose(request, TForm1::PuertoParalelo, direct);
        QVERIFY2(!choice.refused, qPrintable(port::words::refusal(choice)));
        const port::Where where = choice.output->where();
        QCOMPARE(where.kind, viaPpdev ? port::Kind::Ppdev : port::Kind::Direct);
        if (viaPpdev)
            QCOMPARE(where.path, QByteArray("/dev/parport0"));
        port::ActivePort::instance().use(std::move(choice));
    }

    void clicksReachTheDataLines()
    {
        platform::port::ActivePort::instance().write(TForm1::PuertoParalelo, 0x5A); // something FormCreate must clear
        QCOMPARE(dataRegister(), 0x5A);
        TForm1 form;
        form.Reloj->stop();
        form.show();
        QCOMPARE(dataRegister(), 0x00);
        const auto click = [&](QCheckBox *box) { QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, 8)); };
        click(form.CheckCocina);
        QCOMPARE(dataRegister(), 0x02);
        click(form.CheckSala);
        QCOMPARE(dataRegister(), 0x10);
        click(form.CheckSala);
        QCOMPARE(dataRegister(), 0x00);
        click(form.CheckIntExt);
        QCOMPARE(dataRegister(), 0xFF);
        form.close();
        QCOMPARE(dataRegister(), 0x00);
        QCOMPARE(platform::port::ActivePort::instance().where().kind,
                 viaPpdev ? platform::port::Kind::Ppdev : platform::port::Kind::Direct);
    }
};

QTEST_MAIN(PortClicks)
#include "port_clicks.moc"
