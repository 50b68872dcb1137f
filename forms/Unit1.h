// The program's one window: the house's switches, the information menus and the port they drive.
#pragma once

#include "ui_Unit1.h"

#include "platform/remote/switchboard.h"

#include <QMainWindow>
#include <QPoint>

#include <array>

class QCheckBox;

class TForm1 : public QMainWindow, public Ui::TForm1 {
    Q_OBJECT
public:
    // The data register of the first parallel port: every write of the program goes there.
    static constexpr quint16 PuertoParalelo = 0x378;

    explicit TForm1(QWidget *parent = nullptr);

    platform::Timer *Reloj;

    // The drifting pixels: each tick moves the point in slot Indice one step towards Destino.
    std::array<QPoint, 1000> Puntos{};
    int Indice = 0;
    QPoint Destino{0, 0};

    static void EscribirPuerto(quint16 direccion, quint16 valor);

public slots:
    void CheckBanioClick();
    void CheckCocinaClick();
    void CheckComedorClick();
    void CheckRecamaraClick();
    void CheckSalaClick();
    void CheckCocheraClick();
    void CheckTraspatioClick();
    void CheckPatioClick();
    void Ovira1Click();
    void Quelnia1Click();
    void Manual1Click();
    void Diagramas1Click();
    void Programacion1Click();
    void Electronica1Click();
    void PtoParalelo1Click();
    void FormCreate();
    void FormClose();
    void CheckInteriorCasaClick();
    void CheckExteriorClick();
    void RelojTimer();
    void CheckIntExtClick();
    void PuertoFalla(const QString &aviso);
    platform::remote::Result ClicRemoto(int casilla);
    platform::remote::Result Seleccionar(int casilla);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // What selecting a box (or none, Switchboard::kAllOff) takes now: which box to click, how
    // many times, and the lines the port holds afterwards.
    struct Plan {
        int casilla;
        int clics;
        int objetivo;
    };
    Plan PlanSeleccion(int casilla) const;
    void Conmutar(const QCheckBox *casilla);
    void Escrito();
    // What the doors from outside tell of the window and its port.
    platform::remote::State EstadoRemoto() const;
    static int Aleatorio(int limite);
};
