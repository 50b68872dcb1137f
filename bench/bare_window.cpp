// The benchmark's anchor: a bare Qt window with the same widgets as Tenvalia's (a menu bar with
// four menus, two group boxes, eleven check boxes) and nothing else: Qt's own style, no port,
// no timer, no icon. With --every-10-ms, the other anchor: an animation done naively, a timer
// every 10 ms that repaints one pixel.
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QMainWindow>
#include <QMenuBar>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Tenvalia"));
    const QList<QStringList> menus = {{"Equipo", "Ovira", "Quelnia"}, {"Grupo", "4071"},
                                      {"Materias", "Programaciòn", "Electrònica"},
                                      {"Ayuda", "Manual", "Diagramas", "Pto.Paralelo"}};
    for (const QStringList &entries : menus) {
        QMenu *menu = window.menuBar()->addMenu(entries.first());
        for (const QString &item : entries.mid(1))
            menu->addAction(item);
    }
    auto *area = new QWidget;
    window.setCentralWidget(area);
    auto *inside = new QGroupBox(QStringLiteral("Interior Casa"), area);
    inside->setGeometry(32, 16, 129, 161);
    auto *outside = new QGroupBox(QStringLiteral("Exterior Casa"), area);
    outside->setGeometry(30, 192, 131, 129);
    int y = 24;
    for (const char *box : {"Interior Casa", "Baño", "Cocina", "Comedor", "Recamara", "Sala"})
        (new QCheckBox(QString::fromUtf8(box), inside))->setGeometry(24, std::exchange(y, y + 24), 97, 17);
    y = 24;
    for (const char *box : {"Exterior Casa", "Cochera", "Traspatio", "Patio"})
        (new QCheckBox(QString::fromUtf8(box), outside))->setGeometry(24, std::exchange(y, y + 24), 97, 17);
    (new QCheckBox(QStringLiteral("Interior Exterior"), area))->setGeometry(48, 328, 97, 17);
    QTimer every10ms;
    QObject::connect(&every10ms, &QTimer::timeout, area, [area] { area->update(4, 4, 1, 1); });
    if (argc > 1 && QByteArray(argv[1]) == "--every-10-ms")
        every10ms.start(10);
    window.resize(189, 383);
    window.show();
    return QApplication::exec();
}
