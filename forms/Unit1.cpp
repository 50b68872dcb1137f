#include "Unit1.h"

#include "platform/parallel_port.h"
#include "platform/toolkit.h"

#include <QCloseEvent>
#include <QTimer>

namespace {

// One data line per area, D0 to D7 in the boxes' order on screen, interior first.
constexpr quint16 Banio = 0x01, Cocina = 0x02, Comedor = 0x04, Recamara = 0x08, Sala = 0x10;
constexpr quint16 Cochera = 0x20, Traspatio = 0x40, Patio = 0x80;
constexpr quint16 InteriorCasa = Banio | Cocina | Comedor | Recamara | Sala;
constexpr quint16 Exterior = Cochera | Traspatio | Patio;
constexpr quint16 IntExt = InteriorCasa | Exterior;

} // namespace

TForm1::TForm1(QWidget *parent) : QMainWindow(parent), Reloj(new QTimer(this))
{
    setupUi(this);
    move(415, 142); // the form keeps only the size of a main window, not where it opens
    Reloj->setInterval(1);
    connect(Reloj, &QTimer::timeout, this, &TForm1::RelojTimer);
    connect(&platform::Port::instance(), &platform::Port::trouble, this, &TForm1::PuertoFalla);
    FormCreate();
}

void TForm1::EscribirPuerto(quint16 direccion, quint16 valor) { platform::Port::instance().write(direccion, valor); }

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
    FormClose();
    QMainWindow::closeEvent(event);
}

void TForm1::RelojTimer() {}

// A port that could not be had, or that stopped answering, is told to the person once.
void TForm1::PuertoFalla(const QString &aviso) { platform::ShowMessage(this, aviso); }
