#include "Unit1.h"

#include "platform/port/active_port.h"
#include "platform/surface.h"
#include "platform/toolkit.h"

#include <QCloseEvent>

namespace {

// One data line per area, D0 to D7 in the boxes' order on screen, interior first.
constexpr quint16 Banio = 0x01, Cocina = 0x02, Comedor = 0x04, Recamara = 0x08, Sala = 0x10;
constexpr quint16 Cochera = 0x20, Traspatio = 0x40, Patio = 0x80;
constexpr quint16 InteriorCasa = Banio | Cocina | Comedor | Recamara | Sala;
constexpr quint16 Exterior = Cochera | Traspatio | Patio;
constexpr quint16 IntExt = InteriorCasa | Exterior;

constexpr platform::TColor clBtnFace = 0x8000000F; // the desktop's button face, for the trails
constexpr platform::TColor clBlue = 0x00FF0000;
// Each tick moves one of the pixels in use, so a pixel steps once a round of PuntosEnUso ticks.
// Waking for every tick would show the same steps one by one at a wake-up and a repaint each;
// the timer wakes once a round instead (150 ms at its 30 ms tick) and the round shows in one
// repaint.
constexpr int PuntosEnUso = 5;

} // namespace

TForm1::TForm1(QWidget *parent) : QMainWindow(parent)
{
    setupUi(this);
    move(415, 142); // the form keeps only the size of a main window, not where it opens
    platform::menuBarOnF10(MainMenu1);
    Reloj = new platform::Timer(1, centralwidget, this, PuntosEnUso);
    connect(Reloj, &platform::Timer::timeout, this, &TForm1::RelojTimer);
    Reloj->start();
    connect(&platform::port::ActivePort::instance(), &platform::port::ActivePort::trouble, this, &TForm1::PuertoFalla);
    FormCreate();
}

void TForm1::EscribirPuerto(quint16 direccion, quint16 valor)
{
    platform::port::ActivePort::instance().write(direccion, valor);
}

// Each click replaces the whole port value: the clicked box's lines high, every other line low,
// whatever the other boxes show.
void TForm1::Conmutar(const QCheckBox *casilla, quint16 mascara)
{
    EscribirPuerto(PuertoParalelo, casilla->isChecked() ? mascara : 0);
}

void TForm1::CheckBanioClick() { Conmutar(CheckBanio, Banio); }
void TForm1::CheckCocinaClick() { Conmutar(CheckCocina, Cocina); }
void TForm1::CheckComedorClick() { Conmutar(CheckComedor, Comedor); }
void TForm1::CheckRecamaraClick() { Conmutar(CheckRecamara, Recamara); }
void TForm1::CheckSalaClick() { Conmutar(CheckSala, Sala); }
void TForm1::CheckCocheraClick() { Conmutar(CheckCochera, Cochera); }
void TForm1::CheckTraspatioClick() { Conmutar(CheckTraspatio, Traspatio); }
void TForm1::CheckPatioClick() { Conmutar(CheckPatio, Patio); }
void TForm1::CheckInteriorCasaClick() { Conmutar(CheckInteriorCasa, InteriorCasa); }
void TForm1::CheckExteriorClick() { Conmutar(CheckExterior, Exterior); }
void TForm1::CheckIntExtClick() { Conmutar(CheckIntExt, IntExt); }

void TForm1::Ovira1Click() { platform::ShowMessage(this, QStringLiteral("Estudiante de Ing.Electronica")); }
void TForm1::Quelnia1Click() { platform::ShowMessage(this, QStringLiteral("Estudiante de Ing.Electronica")); }
void TForm1::Programacion1Click() { platform::ShowMessage(this, QStringLiteral("Desarrollo C++Builder")); }
void TForm1::Electronica1Click() { platform::ShowMessage(this, QStringLiteral("Analogica y Digital")); }
void TForm1::Manual1Click() { platform::ShowMessage(this, QStringLiteral("Comprar Licencia")); }
void TForm1::Diagramas1Click() { platform::ShowMessage(this, QStringLiteral("Lo Mismo")); }
void TForm1::PtoParalelo1Click() { platform::ShowMessage(this, QStringLiteral("Consultar Manual")); }

// All outputs off when the window opens and when it closes.
void TForm1::FormCreate() { EscribirPuerto(PuertoParalelo, 0); }
void TForm1::FormClose() { EscribirPuerto(PuertoParalelo, 0); }

void TForm1::closeEvent(QCloseEvent *event)
{
    // From here on nothing waits for a person: open boxes go, and trouble is said on standard
    // error only.
    platform::port::ActivePort::instance().closing();
    platform::dismissMessages();
    FormClose();
    QMainWindow::closeEvent(event);
}

// Five pixels crawl towards the top-left corner of the client area, one step per turn, each
// leaving a trail; one that arrives jumps to a random spot.
void TForm1::RelojTimer()
{
    platform::Surface *lienzo = centralwidget;
    QPoint &punto = Puntos[Indice];
    lienzo->SetPixel(punto.x(), punto.y(), clBtnFace);
    punto.rx() += (punto.x() < Destino.x()) - (punto.x() > Destino.x());
    punto.ry() += (punto.y() < Destino.y()) - (punto.y() > Destino.y());
    if (punto == Destino) {
        punto.setX(Aleatorio(lienzo->width()));
        punto.setY(Aleatorio(lienzo->height()));
    }
    lienzo->SetPixel(punto.x(), punto.y(), clBlue);
    Indice = (Indice + 1) % PuntosEnUso;
}

int TForm1::Aleatorio(int limite) { return limite > 0 ? int(platform::lrand() % limite) : 0; }

// A port that could not be had, or that stopped answering, is told to the person once.
void TForm1::PuertoFalla(const QString &aviso) { platform::ShowMessage(this, aviso); }
