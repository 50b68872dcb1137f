// The window on Qt's offscreen platform: what each box writes to the port, how the menus answer,
// and the layout a person sees.
#include "Unit1.h"
#include "platform/parallel_port.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <algorithm>

#include <vector>

namespace {

struct Write {
    quint16 address;
    quint16 value;
    bool operator==(const Write &o) const { return address == o.address && value == o.value; }
};

std::vector<Write> writes;

class RecordingPort final : public platform::PortWriter {
public:
    QString write(quint16 address, quint16 value) override
    {
        writes.push_back({address, value});
        return {};
    }
    QString name() const override { return QStringLiteral("recording"); }
};

std::vector<quint16> valuesWritten()
{
    std::vector<quint16> values;
    for (const Write &w : writes) {
        if (w.address != 0x378)
            qFatal("write to 0x%x", w.address);
        values.push_back(w.value);
    }
    return values;
}

// Answers the next modal box with OK, keeping what it said and which buttons it offered.
// Looks for it while the answer is held, for a second at most, so that a missing box fails the
// test instead of hanging it.
struct ModalAnswer {
    QString text;
    int buttons = 0;
    bool seen = false;
};
void lookForModal(std::weak_ptr<ModalAnswer> wanted, int triesLeft)
{
    QTimer::singleShot(10, [wanted, triesLeft] {
        const auto answer = wanted.lock();
        if (!answer)
            return;
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box) {
            if (triesLeft > 0)
                lookForModal(wanted, triesLeft - 1);
            return;
        }
        answer->seen = true;
        answer->text = box->text();
        answer->buttons = int(box->buttons().size());
        box->button(QMessageBox::Ok)->click();
    });
}
std::shared_ptr<ModalAnswer> answerNextModal()
{
    auto answer = std::make_shared<ModalAnswer>();
    lookForModal(answer, 100);
    return answer;
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TForm1> form;

    QCheckBox *box(const char *name) { return form->findChild<QCheckBox *>(QLatin1String(name)); }
    QAction *item(const char *name) { return form->findChild<QAction *>(QLatin1String(name)); }
    void click(const char *name) { QTest::mouseClick(box(name), Qt::LeftButton, {}, QPoint(6, 8)); }

private slots:
    void init()
    {
        platform::Port::instance().use(std::make_unique<RecordingPort>());
        writes.clear();
        form = std::make_unique<TForm1>();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    }
    void cleanup() { form.reset(); }

    void eachBoxWritesItsMaskThenZero_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("mask");
        QTest::newRow("Baño") << "CheckBanio" << 0x01;
        QTest::newRow("Cocina") << "CheckCocina" << 0x02;
        QTest::newRow("Comedor") << "CheckComedor" << 0x04;
        QTest::newRow("Recamara") << "CheckRecamara" << 0x08;
        QTest::newRow("Sala") << "CheckSala" << 0x10;
        QTest::newRow("Cochera") << "CheckCochera" << 0x20;
        QTest::newRow("Traspatio") << "CheckTraspatio" << 0x40;
        QTest::newRow("Patio") << "CheckPatio" << 0x80;
        QTest::newRow("Interior Casa") << "CheckInteriorCasa" << 0x1F;
        QTest::newRow("Exterior Casa") << "CheckExterior" << 0xE0;
        QTest::newRow("Interior Exterior") << "CheckIntExt" << 0xFF;
    }
    void eachBoxWritesItsMaskThenZero()
    {
        QFETCH(QString, name);
        QFETCH(int, mask);
        click(qPrintable(name));
        click(qPrintable(name));
        QCOMPARE(valuesWritten(), (std::vector<quint16>{0, quint16(mask), 0}));
    }

    void eachClickReplacesTheWholeValue()
    {
        click("CheckCocina");
        click("CheckSala");
        QCOMPARE(valuesWritten(), (std::vector<quint16>{0, 0x02, 0x10}));
        QVERIFY(box("CheckCocina")->isChecked());

        click("CheckCocina"); // unticking any box lowers every line, though Sala stays ticked
        QCOMPARE(valuesWritten().back(), quint16(0));
        QVERIFY(box("CheckSala")->isChecked());
    }

    void groupBoxesLeaveTheAreaBoxesAlone()
    {
        click("CheckExterior");
        click("CheckInteriorCasa");
        QCOMPARE(valuesWritten(), (std::vector<quint16>{0, 0xE0, 0x1F}));
        for (const char *area : {"CheckBanio", "CheckCocina", "CheckComedor", "CheckRecamara", "CheckSala",
                                 "CheckCochera", "CheckTraspatio", "CheckPatio", "CheckIntExt"})
            QVERIFY2(!box(area)->isChecked(), area);
        click("CheckSala");
        QVERIFY(box("CheckInteriorCasa")->isChecked());
    }

    void keyboardTogglesWriteLikeClicks()
    {
        box("CheckIntExt")->setFocus();
        QTest::keyClick(box("CheckIntExt"), Qt::Key_Space);
        QTest::keyClick(box("CheckIntExt"), Qt::Key_Space);
        QCOMPARE(valuesWritten(), (std::vector<quint16>{0, 0xFF, 0}));
    }

    void tabFollowsTheBoxesTopToBottom()
    {
        const char *order[] = {"CheckSala",  "CheckCocina",    "CheckBanio", "CheckComedor",
                               "CheckRecamara", "CheckInteriorCasa", "CheckCochera", "CheckTraspatio",
                               "CheckPatio", "CheckExterior", "CheckIntExt"};
        QWidget *at = box(order[0]);
        for (const char *next : order) {
            QCOMPARE(at->objectName(), QLatin1String(next));
            at = at->nextInFocusChain();
            while (at && !(at->focusPolicy() & Qt::TabFocus))
                at = at->nextInFocusChain();
        }
    }

    void closingClearsThePort()
    {
        click("CheckPatio");
        form->close();
        QCOMPARE(valuesWritten(), (std::vector<quint16>{0, 0x80, 0}));
    }

    void menuItemsShowTheirMessage_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("message");
        QTest::newRow("Ovira") << "Ovira1" << "Estudiante de Ing.Electronica";
        QTest::newRow("Quelnia") << "Quelnia1" << "Estudiante de Ing.Electronica";
        QTest::newRow("Programaciòn") << "Programacion1" << "Desarrollo C++Builder";
        QTest::newRow("Electrònica") << "Electronica1" << "Analogica y Digital";
        QTest::newRow("Manual") << "Manual1" << "Comprar Licencia";
        QTest::newRow("Diagramas") << "Diagramas1" << "Lo Mismo";
        QTest::newRow("Pto.Paralelo") << "PtoParalelo1" << "Consultar Manual";
    }
    void menuItemsShowTheirMessage()
    {
        QFETCH(QString, name);
        QFETCH(QString, message);
        click("CheckSala");
        const auto answer = answerNextModal();
        item(qPrintable(name))->trigger();
        QVERIFY(answer->seen);
        QCOMPARE(answer->text, message);
        QCOMPARE(answer->buttons, 1);
        // Menus touch neither the port nor the boxes, and the window works on afterwards.
        QCOMPARE(valuesWritten(), (std::vector<quint16>{0, 0x10}));
        QVERIFY(box("CheckSala")->isChecked());
        click("CheckSala");
        QCOMPARE(valuesWritten().back(), quint16(0));
    }

    void grupo4071DoesNothing()
    {
        const auto answer = answerNextModal();
        item("N40711")->trigger();
        QTest::qWait(100);
        QVERIFY(!answer->seen);
        QCOMPARE(valuesWritten(), std::vector<quint16>{0});
    }

    void portTroubleIsToldInTheWindowOnce()
    {
        const auto answer = answerNextModal();
        platform::Port::instance().use({std::make_unique<RecordingPort>(), QStringLiteral("No hay un puerto paralelo"), {}, {}});
        QTRY_VERIFY(answer->seen);
        QCOMPARE(answer->text, QStringLiteral("No hay un puerto paralelo"));
        click("CheckCocina");
        QCOMPARE(valuesWritten().back(), quint16(0x02));
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

    void menuBarReadsAsDesigned()
    {
        QStringList entries;
        for (QAction *entry : form->MainMenu1->actions()) {
            QStringList items;
            for (QAction *sub : entry->menu()->actions())
                items << sub->text();
            entries << entry->text() + QLatin1Char(':') + items.join(QLatin1Char(','));
        }
        QCOMPARE(entries, QStringList({QStringLiteral("Equipo:Ovira,Quelnia"), QStringLiteral("Grupo:4071"),
                                       QStringLiteral("Materias:Programaciòn,Electrònica"),
                                       QStringLiteral("Ayuda:Manual,Diagramas,Pto.Paralelo")}));
    }

    void layoutReadsAsDesigned()
    {
        QCOMPARE(form->windowTitle(), QStringLiteral("Tenvalia"));
        QCOMPARE(form->centralWidget()->palette().color(QPalette::Window), QColor(0x85, 0x9C, 0xFA));

        // Top to bottom on screen, each in its frame; the hand over the eight areas only.
        QList<QCheckBox *> boxes = form->findChildren<QCheckBox *>();
        std::sort(boxes.begin(), boxes.end(),
                  [&](QCheckBox *a, QCheckBox *b) { return a->mapTo(form.get(), QPoint()).y() < b->mapTo(form.get(), QPoint()).y(); });
        QStringList seen;
        for (QCheckBox *b : boxes) {
            const QString frame = b->parentWidget()->objectName();
            const bool area = b->cursor().shape() == Qt::PointingHandCursor;
            seen << QStringLiteral("%1 %2 %3%4").arg(frame, b->text()).arg(b->font().pointSize()).arg(area ? " hand" : "");
            QVERIFY2(!b->isChecked(), qPrintable(b->text()));
        }
        QCOMPARE(seen, QStringList({
                           "GroupBox1 Interior Casa 10", "GroupBox1 Baño 8 hand", "GroupBox1 Cocina 8 hand",
                           "GroupBox1 Comedor 8 hand", "GroupBox1 Recamara 8 hand", "GroupBox1 Sala 8 hand",
                           "GroupBox2 Exterior Casa 10", "GroupBox2 Cochera 8 hand", "GroupBox2 Traspatio 8 hand",
                           "GroupBox2 Patio 8 hand", "centralwidget Interior Exterior 8",
                       }));
        QCOMPARE(form->GroupBox1->title(), QStringLiteral("Interior Casa"));
        QCOMPARE(form->GroupBox2->title(), QStringLiteral("Exterior Casa"));
        QCOMPARE(form->GroupBox1->font().pointSize(), 10);
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
