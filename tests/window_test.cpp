// The window on Qt's offscreen platform: each box's writes, the doors' clicks, the menus and trouble.
#include "Unit1.h"
#include "platform/port/active_port.h"
#include "platform/remote/switchboard.h"

#include <QApplication>
#include <QCheckBox>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <vector>

namespace {

namespace port = platform::port;
using platform::remote::Origin;
using Status = platform::remote::Result::Status;

std::vector<quint16> written; // values, in order

// Records every write. With `fails` (write number from 1, value) a real port where those fail.
class RecordingPort final : public port::Output {
public:
    explicit RecordingPort(std::function<bool(int, quint16)> fails = {}) : fails_(std::move(fails)) {}
    port::Outcome write(quint16 value) override
    {
        written.push_back(value);
        const bool failed = fails_ && fails_(++count_, value);
        return {failed ? port::Step::Write : port::Step::Done, failed ? EIO : 0, value};
    }
    port::Where where() const override { return fails_ ? port::Where{port::Kind::Direct, {}, 0x378} : port::Where{}; }

private:
    std::function<bool(int, quint16)> fails_;
    int count_ = 0;
};

// Presses OK on the next modal box once it shows, keeping what it showed.
struct Answer { QString text; Qt::TextFormat format = Qt::AutoText; qsizetype buttons = 0; };
std::shared_ptr<Answer> answerNextModal()
{
    auto answer = std::make_shared<Answer>();
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, [answer, poll] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            *answer = {box->text(), box->textFormat(), box->buttons().size()};
            box->button(QMessageBox::Ok)->click();
            poll->deleteLater();
        }
    });
    poll->start(10);
    return answer;
}

using Values = std::vector<quint16>;

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TForm1> form;

    QCheckBox *box(const QString &name) { return form->findChild<QCheckBox *>(name); }
    void click(const QString &name) { QTest::mouseClick(box(name), Qt::LeftButton, {}, QPoint(6, 8)); }

private slots:
    void init()
    {
        port::ActivePort::instance().use(std::make_unique<RecordingPort>(), 0x378);
        written.clear();
        form = std::make_unique<TForm1>();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    }
    void cleanup() { form.reset(); }

    void eachBoxWritesItsMaskThenZero()
    {
        const std::vector<std::pair<QString, quint16>> masks{
            {"CheckBanio", 0x01}, {"CheckCocina", 0x02}, {"CheckComedor", 0x04}, {"CheckRecamara", 0x08},
            {"CheckSala", 0x10}, {"CheckCochera", 0x20}, {"CheckTraspatio", 0x40}, {"CheckPatio", 0x80},
            {"CheckInteriorCasa", 0x1F}, {"CheckExterior", 0xE0}, {"CheckIntExt", 0xFF}};
        Values expected{0};
        for (const auto &[name, mask] : masks) {
            click(name);
            click(name);
            expected.insert(expected.end(), {mask, 0});
        }
        QCOMPARE(written, expected);
    }

    // Each click replaces the whole value; the program never ticks or unticks a box.
    void eachClickReplacesTheWholeValue()
    {
        for (const char *name : {"CheckCocina", "CheckSala", "CheckExterior", "CheckCocina"})
            click(QLatin1String(name));
        QCOMPARE(written, (Values{0, 0x02, 0x10, 0xE0, 0}));
        for (QCheckBox *other : form->findChildren<QCheckBox *>())
            QCOMPARE(other->isChecked(), other->objectName() == "CheckSala" || other->objectName() == "CheckExterior");
    }

    // Doors from outside know the boxes top to bottom, by name or caption; their click is the box's
    // own, as the person's next click shows, and says who clicked. Once the window closed, none.
    void remoteClicksAreTheBoxesOwn()
    {
        auto &board = platform::remote::Switchboard::instance();
        QList<QCheckBox *> shown = form->findChildren<QCheckBox *>();
        std::sort(shown.begin(), shown.end(), [this](QCheckBox *a, QCheckBox *b) {
            return a->mapTo(form.get(), QPoint()).y() < b->mapTo(form.get(), QPoint()).y();
        });
        QCOMPARE(board.names().size(), shown.size());
        for (int i = 0; i < shown.size(); ++i)
            QCOMPARE(board.find(shown[i]->text().toUpper(), true), i);
        QCOMPARE(board.find(QStringLiteral("COCINA"), false), -1);
        QSignalSpy clicks(&board, &platform::remote::Switchboard::clicked);
        const auto result = board.click(board.find(QStringLiteral("cocina"), false), Origin::Mqtt);
        QVERIFY(result.ticked);
        QCOMPARE(result.value, 0x02);
        click("CheckCocina");
        QCOMPARE(written, (Values{0, 0x02, 0}));
        QCOMPARE(clicks.size(), 2);
        QCOMPARE(clicks[0], (QVariantList{"cocina", true, 0x02, QVariant::fromValue(Origin::Mqtt)}));
        QCOMPARE(clicks[1], (QVariantList{"cocina", false, 0, QVariant::fromValue(Origin::Window)}));
        form->FormClose();
        QCOMPARE(board.find(QStringLiteral("cocina"), false), -1);
        QVERIFY(board.names().isEmpty());
    }

    // A selection's clicks are all made; one whose write fails makes it fail with that reason, and
    // while the output stands in for the one asked for, one that needs no click fails too.
    void aSelectionWhoseWriteFailsSaysWhy()
    {
        auto &board = platform::remote::Switchboard::instance();
        auto &active = port::ActivePort::instance();
        active.use(std::make_unique<RecordingPort>([](int write, quint16) { return write == 3; }), 0x378); // Cocina's untick below
        written.clear();
        const int cocina = board.lookUp(QStringLiteral("COCINA"));
        QCOMPARE(board.select(cocina, Origin::Schedule).clicks, 1);
        click("CheckSala");
        const auto answer = answerNextModal();
        const auto result = board.select(cocina, Origin::Schedule);
        QCOMPARE(result.status, Status::Failed);
        QVERIFY2(result.reason.startsWith(QStringLiteral("la escritura no llegó a E/S directa en 0x0378: ")), qPrintable(result.reason));
        QCOMPARE(result.clicks, 2);
        QCOMPARE(result.value, 0x02); // as the simulated port now holds it
        QVERIFY(result.ticked);
        QCOMPARE(written, (Values{0x02, 0x10, 0, 0})); // the second 0: the port switched off as it is given up
        QVERIFY(!active.available());
        QTRY_VERIFY(answer->text.startsWith(QStringLiteral("Falló una escritura")));
        const auto again = board.select(cocina, Origin::Schedule);
        QCOMPARE(again.status, Status::Failed);
        QCOMPARE(again.clicks, 0);
        QVERIFY2(again.reason.startsWith(QStringLiteral("la salida pedida no está disponible (E/S directa en 0x0378 falló: ")),
                 qPrintable(again.reason));
        QVERIFY(!board.state().available);
        active.use(std::make_unique<RecordingPort>(), 0x378);
        QVERIFY(active.available());
    }

    // Clicks from outside are paced, a selection dropped whole; the schedule's are not held to it.
    void remoteClicksArePacedScheduledOnesAreNot()
    {
        using namespace std::chrono_literals;
        platform::remote::Pace pace(10, 1s);
        const auto start = platform::remote::Pace::Clock::time_point{};
        QVERIFY(pace.admit(8, start));
        QVERIFY(!pace.admit(3, start + 999ms)); // a selection of 3 does not fit in 2, nor half of it
        QVERIFY(pace.admit(2, start + 999ms));
        QVERIFY(!pace.admit(1, start + 999ms));
        QVERIFY(pace.admit(8, start + 1s)); // the first eight are a second old
        QVERIFY(!pace.admit(1, start + 1s));

        auto &board = platform::remote::Switchboard::instance();
        QSignalSpy clicks(&board, &platform::remote::Switchboard::clicked);
        const int cocina = board.lookUp(QStringLiteral("Cocina")), sala = board.lookUp(QStringLiteral("sala"));
        for (int i = 0; i < 12; ++i)
            QVERIFY(board.select(i % 2 ? sala : cocina, Origin::Schedule).done());
        QCOMPARE(clicks.size(), 1 + 1 + 10 * 2); // both ticked from the third on: untick, tick
        QCOMPARE(clicks.last().value(3).value<Origin>(), Origin::Schedule);
        QCOMPARE(platform::remote::originName(Origin::Schedule), QStringLiteral("horario"));
        QCOMPARE(board.state().selected, QStringLiteral("sala"));
        int done = 0;
        while (board.click(cocina, done % 2 ? Origin::Mqtt : Origin::Dbus).done())
            ++done;
        QCOMPARE(done, platform::remote::Switchboard::kRemoteClicksPerSecond);
        QCOMPARE(board.select(board.lookUp(QStringLiteral("APAGADAS")), Origin::Dbus).status, Status::Dropped);
        QVERIFY(board.select(platform::remote::Switchboard::kAllOff, Origin::Schedule).done());
        QCOMPARE(board.state().selected, platform::remote::Switchboard::allOffName());
    }

    void menuItemsShowTheirMessage()
    {
        click("CheckSala");
        for (const auto &[name, message] : std::vector<std::pair<const char *, QString>>{
                 {"Ovira1", "Estudiante de Ing.Electronica"}, {"Quelnia1", "Estudiante de Ing.Electronica"},
                 {"Programacion1", "Desarrollo C++Builder"}, {"Electronica1", "Analogica y Digital"},
                 {"Manual1", "Comprar Licencia"}, {"Diagramas1", "Lo Mismo"}, {"PtoParalelo1", "Consultar Manual"}}) {
            const auto answer = answerNextModal();
            form->findChild<QAction *>(name)->trigger();
            QCOMPARE(answer->text, message);
            QCOMPARE(answer->buttons, 1);
        }
        // Menus touch neither the port nor the boxes, and the window works on afterwards.
        click("CheckSala");
        QCOMPARE(written, (Values{0, 0x10, 0}));
    }

    void portTroubleIsToldInPlainText()
    {
        const auto answer = answerNextModal();
        const QString markup = QStringLiteral("<img width=20000 height=20000>");
        // An unknown request is refused in words that quote it.
        port::Choice choice{port::parseRequest(markup.toUtf8()), 0x378, std::make_unique<RecordingPort>()};
        choice.refused = true;
        port::ActivePort::instance().use(std::move(choice));
        QTRY_VERIFY(answer->text.startsWith(QStringLiteral("TENVALIA_PORT=") + markup));
        QCOMPARE(answer->format, Qt::PlainText);
        click("CheckCocina");
        QCOMPARE(written.back(), quint16(0x02));
    }

    void f10ThenDownOpensTheFirstMenu()
    {
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QTest::keyClick(form.get(), Qt::Key_F10);
        QMenu *first = form->MainMenu1->actions().first()->menu();
        QCOMPARE(form->MainMenu1->activeAction(), first->menuAction());
        QVERIFY(!first->isVisible());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
        QTRY_VERIFY(first->isVisible());
        QCOMPARE(first->title(), QStringLiteral("Equipo"));
    }

    // Last (it ends what the port may do): closing, nothing waits for a person; an open box goes
    // with the window, and a close whose write fails opens none.
    void closingNeverWaitsForAPerson()
    {
        const auto silentAfterFirstLight = [lit = false](int, quint16 value) mutable { return (lit = lit || value) && !value; };
        port::ActivePort::instance().use(std::make_unique<RecordingPort>(silentAfterFirstLight), 0x378); // the close's write fails
        click("CheckCocina");
        QTimer stuck;
        bool waited = false;
        stuck.callOnTimeout([&] {
            waited = true;
            QApplication::activeModalWidget()->close();
        });
        stuck.start(3000);
        QTimer::singleShot(0, form.get(), [this] { form->close(); });
        form->findChild<QAction *>("Manual1")->trigger(); // its box waits here until it goes
        QVERIFY(!form->isVisible());
        QTest::qWait(50); // where the close's trouble would open a box
        QVERIFY(!waited);
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
