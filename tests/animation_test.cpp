// The drifting pixels, driven tick by tick with a random source of our own.
#include "Unit1.h"
#include "platform/port/active_port.h"
#include "platform/port/simulated_output.h"
#include "platform/surface.h"
#include "platform/toolkit.h"

#include <QScreen>
#include <QtTest>

#include <deque>

class AnimationTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TForm1> form;
    std::deque<long> draws; // what the random source hands out next

    void ticks(int n) { while (n-- > 0) form->RelojTimer(); }
    QImage screenOfClientArea()
    {
        QCoreApplication::processEvents();
        const QImage window = form->screen()->grabWindow(form->winId()).toImage();
        return window.copy(QRect(form->centralwidget->mapTo(form.get(), QPoint(0, 0)), form->centralwidget->size()));
    }

private slots:
    void init()
    {
        platform::port::ActivePort::instance().use(platform::port::stdoutOutput(TForm1::PuertoParalelo), TForm1::PuertoParalelo);
        draws.clear();
        platform::setRandomSource([this] {
            if (draws.empty())
                qFatal("random source ran dry");
            const long n = draws.front();
            draws.pop_front();
            return n;
        });
        form = std::make_unique<TForm1>();
        form->Reloj->stop();
        form->centralwidget->resize(180, 350);
    }
    void cleanup() { form.reset(); platform::setRandomSource({}); }

    // A point on the corner, where all start, jumps to a place drawn x first, modulo the area's size
    // (0, without a draw, for a size of 0), in the tick it walks there; walking is never bounded.
    void pointsJumpWithinTheArea()
    {
        draws = {10, 20, 190, 360, 179, 349, 0, 0, 1000, 1001}; // point 3 lands on the corner again
        ticks(5);
        QCOMPARE(QList<QPoint>(form->Puntos.begin(), form->Puntos.begin() + 6),
                 (QList<QPoint>{{10, 20}, {10, 10}, {179, 349}, {0, 0}, {1000 % 180, 1001 % 350}, {0, 0}}));
        QCOMPARE(form->Indice, 0);

        form->centralwidget->resize(0, 50);
        draws = {77};
        ticks(4);
        QCOMPARE(form->Puntos[2], QPoint(178, 348));
        QCOMPARE(form->Puntos[3], QPoint(0, 77 % 50));
        form->Puntos[4] = {1, 1};
        draws = {42};
        ticks(1);
        QCOMPARE(form->Puntos[4], QPoint(0, 42));
    }

    void pointStepsDiagonallyThenStraight()
    {
        form->Puntos = {QPoint(4, 2), {90, 90}, {90, 90}, {90, 90}, {90, 90}};
        QList<QPoint> path;
        for (int turn = 0; turn < 3; ++turn) {
            ticks(5);
            path << form->Puntos[0];
        }
        QCOMPARE(path, (QList<QPoint>{{3, 1}, {2, 0}, {1, 0}}));
        QCOMPARE(form->Puntos[1], QPoint(87, 87)); // the others took their turns in between
    }

    void screenShowsPixelsTrailsAndBackground()
    {
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        const QColor background(0x85, 0x9C, 0xFA);
        const QColor trail = form->centralwidget->palette().color(QPalette::Button);
        QVERIFY(trail != background);

        draws = {5, 200, 6, 200, 7, 200, 8, 200, 9, 200};
        ticks(5);
        QImage screen = screenOfClientArea();
        QCOMPARE(screen.pixelColor(0, 0), trail);
        QCOMPARE(screen.pixelColor(9, 200), QColor(Qt::blue));

        ticks(2); // points 0 and 1 step to (4, 199) and (5, 199), leaving trails behind
        screen = screenOfClientArea();
        QCOMPARE(screen.pixelColor(6, 200), trail);
        QCOMPARE(screen.pixelColor(4, 199), QColor(Qt::blue));

        // The desktop shows a strip at the left again: repainted there, trails and pixels kept elsewhere.
        const QPoint origin = form->centralwidget->mapTo(form.get(), QPoint(0, 0));
        QExposeEvent expose(QRegion(QRect(origin, QSize(6, 400))));
        QCoreApplication::sendEvent(form->windowHandle(), &expose);
        screen = screenOfClientArea();
        for (const QPoint wiped : {QPoint(0, 0), {4, 199}, {5, 200}, {5, 199}})
            QCOMPARE(screen.pixelColor(wiped), background);
        QCOMPARE(screen.pixelColor(6, 200), trail);
        QCOMPARE(screen.pixelColor(7, 200), QColor(Qt::blue));
    }

    // Hidden, the window never wakes for the animation; seen again, it makes up at most ten minutes.
    void hiddenWindowSleepsThenCatchesUp()
    {
        qint64 now = 1000;
        platform::Timer::setClock([&now] { return now; });
        platform::setRandomSource({});
        int ticks = 0, caughtUp = -1;
        connect(form->Reloj, &platform::Timer::timeout, form.get(), [&ticks] { ++ticks; });
        connect(form->centralwidget, &platform::Surface::seenChanged, form.get(), [&](bool seen) {
            if (seen)
                caughtUp = std::exchange(ticks, 0);
        });
        form->Reloj->start();
        QVERIFY(form->Reloj->isSleeping()); // not shown yet
        form->show();
        QTRY_VERIFY(form->centralwidget->seen());
        QCOMPARE(caughtUp, 0);

        for (const auto &[away, missed] : {std::pair(300, 10), {7 * 24 * 3600 * 1000, 20000}}) {
            form->hide();
            QTRY_VERIFY(!form->centralwidget->seen());
            QVERIFY(form->Reloj->isSleeping());
            ticks = 0;
            QTest::qWait(100);
            QCOMPARE(ticks, 0);
            now += away;
            form->show();
            QTRY_VERIFY(form->centralwidget->seen());
            QCOMPARE(caughtUp, missed);
        }
        now += 30;
        QTRY_COMPARE(ticks, 1); // and on it goes by itself
        platform::Timer::setClock({});
    }

    // Awake, the timer fires every tick due since it last woke, however late; one repaint shows them.
    void wakeUpFiresTheDueTicksInOneRepaint()
    {
        struct : QObject {
            int paints = 0;
            bool eventFilter(QObject *, QEvent *event) override { paints += event->type() == QEvent::Paint; return false; }
        } counter;
        qint64 now = 0;
        platform::Timer::setClock([&now] { return now; });
        form->Puntos = {QPoint(10, 200), {20, 200}, {30, 200}, {40, 200}, {50, 200}};
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        form->Reloj->start();
        QList<int> turns;
        connect(form->Reloj, &platform::Timer::timeout, form.get(), [&] { turns << form->Indice; });
        QTest::qWait(200); // a wake-up or more with nothing due
        form->centralwidget->installEventFilter(&counter);

        now += 7 * 30 + 20;
        QTRY_COMPARE(turns, (QList<int>{1, 2, 3, 4, 0, 1, 2}));
        QTRY_COMPARE(counter.paints, 1);
        const QImage screen = screenOfClientArea();
        QCOMPARE(screen.pixelColor(18, 198), QColor(Qt::blue));
        QCOMPARE(screen.pixelColor(29, 199), QColor(Qt::blue));
        now += 10; // the 20 ms left over make a tick with these
        QTRY_COMPARE(turns.size(), 8);
        platform::Timer::setClock({});
    }
};

QTEST_MAIN(AnimationTest)
#include "animation_test.moc"
