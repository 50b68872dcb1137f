// The window on Qt's offscreen platform, opened as the program opens it, seen by nobody: nothing
// waits for a person, nothing is painted, and the journal gets no noise.
#include "Unit1.h"
#include "platform/port/active_port.h"
#include "platform/port/simulated_output.h"
#include "platform/surface.h"
#include "platform/toolkit.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QWindow>
#include <QtTest>

namespace {

QStringList heard; // what Qt said, past the program's own filter
void hear(QtMsgType, const QMessageLogContext &, const QString &text) { heard << text; }

} // namespace

class HeadlessTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TForm1> form;

private slots:
    void init()
    {
        platform::port::ActivePort::instance().use(platform::port::silentOutput(), TForm1::PuertoParalelo);
        form = std::make_unique<TForm1>();
        form->show();
        QTRY_VERIFY(form->windowHandle()->isExposed()); // the platform shows it, to nobody
    }
    void cleanup() { form.reset(); }

    void theOffscreenPlatformIsHeadless() { QVERIFY(platform::headless()); }

    // The offscreen platform's warning that a fixed size cannot be passed on is dropped; Qt's other
    // words are not (heard before the test framework put its own handler in).
    void qtsSizeHintWarningIsDropped()
    {
        QVERIFY(heard.contains(QStringLiteral("another warning")));
        QVERIFY2(!heard.join(QLatin1Char('\n')).contains(QLatin1String("propagateSizeHints")), qPrintable(heard.join('\n')));
    }

    // The pixels never run: the surface counts as unseen and the timer sleeps.
    void pixelsSleepWhileShown()
    {
        QTest::qWait(100); // the expose events of the show
        QVERIFY(!form->centralwidget->seen());
        QVERIFY(form->Reloj->isSleeping());
    }

    // Port trouble and the menus' messages open no box and wait for nobody; the window goes on.
    void noMessageBoxWaits()
    {
        QTimer stuck;
        bool waited = false;
        stuck.callOnTimeout([&] {
            waited = true;
            if (QWidget *box = QApplication::activeModalWidget())
                box->close();
        });
        stuck.start(3000);
        platform::port::Choice choice{platform::port::parseRequest("bogus"), TForm1::PuertoParalelo,
                                      platform::port::silentOutput()};
        choice.refused = true;
        platform::port::ActivePort::instance().use(std::move(choice));
        QSignalSpy told(&platform::port::ActivePort::instance(), &platform::port::ActivePort::trouble);
        QVERIFY(told.wait(5000)); // told, on the event loop, to a window that shows no box
        for (const char *item : {"Ovira1", "Manual1", "PtoParalelo1"})
            form->findChild<QAction *>(QLatin1String(item))->trigger();
        QVERIFY(!waited);
        const QWidgetList windows = QApplication::topLevelWidgets();
        QVERIFY(!QApplication::activeModalWidget());
        QVERIFY(std::none_of(windows.begin(), windows.end(), [](QWidget *w) { return qobject_cast<QMessageBox *>(w); }));
        form->findChild<QCheckBox *>(QStringLiteral("CheckCocina"))->click();
        QCOMPARE(platform::port::ActivePort::instance().held(), 0x02);
    }
};

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(hear); // standing in for the program's standard error
    const auto application = platform::openDisplay(argc, argv);
    {
        platform::port::ActivePort::instance().use(platform::port::silentOutput(), TForm1::PuertoParalelo);
        TForm1 first;
        first.show();
        QCoreApplication::processEvents();
        qWarning("another warning");
    }
    HeadlessTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "headless_test.moc"
