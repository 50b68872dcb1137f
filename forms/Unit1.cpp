#include "Unit1.h"

#include "platform/port/active_port.h"
#include "platform/port/words.h"
#include "platform/remote/switchboard.h"
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

// The boxes, top to bottom as the window shows them: each with the name it goes by outside the
// window (commands, topics) and the lines it switches.
struct Casilla {
    QCheckBox *Ui::TForm1::*miembro;
    const char *nombre;
    quint16 mascara;
};
constexpr Casilla Casillas[] = {
    {&Ui::TForm1::CheckInteriorCasa, "interior_casa", InteriorCasa},
    {&Ui::TForm1::CheckBanio, "bano", Banio},
    {&Ui::TForm1::CheckCocina, "cocina", Cocina},
    {&Ui::TForm1::CheckComedor, "comedor", Comedor},
    {&Ui::TForm1::CheckRecamara, "recamara", Recamara},
    {&Ui::TForm1::CheckSala, "sala", Sala},
    {&Ui::TForm1::CheckExterior, "exterior_casa", Exterior},
    {&Ui::TForm1::CheckCochera, "cochera", Cochera},
    {&Ui::TForm1::CheckTraspatio, "traspatio", Traspatio},
    {&Ui::TForm1::CheckPatio, "patio", Patio},
    {&Ui::TForm1::CheckIntExt, "interior_exterior", IntExt},
};

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
    connect(&platform::port::ActivePort::instance(), &platform::port::ActivePort::outputChanged, this, &TForm1::Escrito);
    platform::remote::Switchboard::Window ventana;
    ventana.lines = QStringList(8);
    for (const Casilla &casilla : Casillas) {
        ventana.boxes.append({QString::fromLatin1(casilla.nombre), (this->*casilla.miembro)->text()});
        for (int linea = 0; linea < 8; ++linea) {
            if (casilla.mascara == 1 << linea)
                ventana.lines[linea] = (this->*casilla.miembro)->text();
        }
    }
    ventana.click = [this](int casilla) { return ClicRemoto(casilla); };
    ventana.clicksToSelect = [this](int casilla) { return PlanSeleccion(casilla).clics; };
    ventana.select = [this](int casilla) { return Seleccionar(casilla); };
    ventana.state = [this] { return EstadoRemoto(); };
    platform::remote::Switchboard::instance().attach(std::move(ventana), this);
    FormCreate();
}

void TForm1::EscribirPuerto(quint16 direccion, quint16 valor)
{
    platform::port::ActivePort::instance().write(direccion, valor);
}

// Each click replaces the whole port value: the clicked box's lines high, every other line low,
// whatever the other boxes show.
void TForm1::Conmutar(const QCheckBox *casilla)
{
    for (int i = 0; i < int(std::size(Casillas)); ++i) {
        if (this->*Casillas[i].miembro == casilla) {
            EscribirPuerto(PuertoParalelo, casilla->isChecked() ? Casillas[i].mascara : 0);
            platform::remote::Switchboard::instance().written(i, casilla->isChecked());
        }
    }
}

void TForm1::CheckBanioClick() { Conmutar(CheckBanio); }
void TForm1::CheckCocinaClick() { Conmutar(CheckCocina); }
void TForm1::CheckComedorClick() { Conmutar(CheckComedor); }
void TForm1::CheckRecamaraClick() { Conmutar(CheckRecamara); }
void TForm1::CheckSalaClick() { Conmutar(CheckSala); }
void TForm1::CheckCocheraClick() { Conmutar(CheckCochera); }
void TForm1::CheckTraspatioClick() { Conmutar(CheckTraspatio); }
void TForm1::CheckPatioClick() { Conmutar(CheckPatio); }
void TForm1::CheckInteriorCasaClick() { Conmutar(CheckInteriorCasa); }
void TForm1::CheckExteriorClick() { Conmutar(CheckExterior); }
void TForm1::CheckIntExtClick() { Conmutar(CheckIntExt); }

// A click from outside the window is the person's click on that box: it toggles on screen and
// its own handler writes. Done when the write reached the output asked for.
platform::remote::Result TForm1::ClicRemoto(int casilla)
{
    QCheckBox *caja = this->*Casillas[casilla].miembro;
    caja->click();
    const auto &puerto = platform::port::ActivePort::instance();
    QString falta = puerto.lastFailure();
    if (falta.isEmpty())
        falta = puerto.standingIn();
    return {falta.isEmpty() ? platform::remote::Result::Status::Done : platform::remote::Result::Status::Failed, falta,
            puerto.held(), 1, caja->isChecked()};
}

// Selecting a box leaves its lines, and only those, on the port, by clicks on that box alone (each
// click still writes the whole value): none when it is ticked and the port holds its lines, one
// when it is unticked, two (untick, tick) when it is ticked but the port holds other lines.
// Selecting none clicks the ticked box whose lines the port holds, if the port holds any. So
// selecting twice writes once.
TForm1::Plan TForm1::PlanSeleccion(int casilla) const
{
    const int tiene = platform::port::ActivePort::instance().held();
    if (casilla == platform::remote::Switchboard::kAllOff) {
        for (int i = 0; tiene != 0 && i < int(std::size(Casillas)); ++i) {
            if (Casillas[i].mascara == tiene && (this->*Casillas[i].miembro)->isChecked())
                return {i, 1, 0};
        }
        return {casilla, 0, 0};
    }
    const Casilla &caja = Casillas[casilla];
    const int clics = !(this->*caja.miembro)->isChecked() ? 1 : tiene == caja.mascara ? 0 : 2;
    return {casilla, clics, caja.mascara};
}

// Every click is made, also after a write that failed (the simulated port then takes it, and the
// window shows what was asked); the answer is the first shortfall.
platform::remote::Result TForm1::Seleccionar(int casilla)
{
    using platform::remote::Result;
    const auto &puerto = platform::port::ActivePort::instance();
    const Plan plan = PlanSeleccion(casilla);
    QString falta;
    for (int i = 0; i < plan.clics; ++i) {
        const Result clic = ClicRemoto(plan.casilla);
        if (falta.isEmpty())
            falta = clic.reason;
    }
    if (plan.clics == 0)
        falta = puerto.standingIn();
    const int tiene = puerto.held();
    if (falta.isEmpty() && tiene != plan.objetivo)
        falta = QStringLiteral("el puerto quedó en 0x%1, no en 0x%2")
                    .arg(tiene, 2, 16, QLatin1Char('0'))
                    .arg(plan.objetivo, 2, 16, QLatin1Char('0'));
    return {falta.isEmpty() ? Result::Status::Done : Result::Status::Failed, falta, tiene, plan.clics,
            plan.casilla >= 0 && (this->*Casillas[plan.casilla].miembro)->isChecked()};
}

void TForm1::Ovira1Click() { platform::ShowMessage(this, QStringLiteral("Estudiante de Ing.Electronica")); }
void TForm1::Quelnia1Click() { platform::ShowMessage(this, QStringLiteral("Estudiante de Ing.Electronica")); }
void TForm1::Programacion1Click() { platform::ShowMessage(this, QStringLiteral("Desarrollo C++Builder")); }
void TForm1::Electronica1Click() { platform::ShowMessage(this, QStringLiteral("Analogica y Digital")); }
void TForm1::Manual1Click() { platform::ShowMessage(this, QStringLiteral("Comprar Licencia")); }
void TForm1::Diagramas1Click() { platform::ShowMessage(this, QStringLiteral("Lo Mismo")); }
void TForm1::PtoParalelo1Click() { platform::ShowMessage(this, QStringLiteral("Consultar Manual")); }

// All outputs off when the window opens and when it closes.
void TForm1::FormCreate() { EscribirPuerto(PuertoParalelo, 0); Escrito(); }
void TForm1::FormClose()
{
    EscribirPuerto(PuertoParalelo, 0);
    Escrito();
    // A command from outside that comes in while the program ends must not switch a light on.
    platform::remote::Switchboard::instance().windowClosed();
}

platform::remote::State TForm1::EstadoRemoto() const
{
    namespace port = platform::port;
    platform::remote::State estado;
    for (const Casilla &casilla : Casillas) {
        if ((this->*casilla.miembro)->isChecked())
            estado.ticked << QString::fromLatin1(casilla.nombre);
    }
    const port::Where donde = port::ActivePort::instance().where();
    estado.value = port::ActivePort::instance().held();
    if (estado.value == 0)
        estado.selected = platform::remote::Switchboard::allOffName();
    for (const Casilla &casilla : Casillas) {
        if (casilla.mascara == estado.value)
            estado.selected = QString::fromLatin1(casilla.nombre);
    }
    estado.output = port::words::nameOf(donde);
    estado.simulated = !port::isReal(donde.kind);
    estado.available = port::ActivePort::instance().available();
    return estado;
}

void TForm1::Escrito() { platform::remote::Switchboard::instance().outputChanged(); }

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
