#include "switchboard.h"

#include "platform/stderr_lines.h"

namespace platform::remote {

QString originName(Origin origin)
{
    switch (origin) {
    case Origin::Window:
        return QStringLiteral("window");
    case Origin::Dbus:
        return QStringLiteral("dbus");
    case Origin::Mqtt:
        return QStringLiteral("mqtt");
    case Origin::Schedule:
        return QStringLiteral("horario");
    }
    return {};
}

bool State::operator==(const State &other) const
{
    return value == other.value && ticked == other.ticked && selected == other.selected && output == other.output &&
           simulated == other.simulated && available == other.available;
}

QString Switchboard::allOffName() { return QStringLiteral("apagadas"); }

Switchboard &Switchboard::instance()
{
    static Switchboard board;
    return board;
}

Switchboard::Switchboard()
    : dropped_([](long count) {
          say(QStringLiteral("%1 de fuera (D-Bus y MQTT): se atienden como mucho %2 por segundo")
                  .arg(count == 1 ? QStringLiteral("se descartó 1 clic") : QStringLiteral("se descartaron %1 clics").arg(count))
                  .arg(kRemoteClicksPerSecond));
      })
{
}

void Switchboard::attach(Window window, QObject *owner)
{
    dropped_.sayNow();
    pace_ = Pace(kRemoteClicksPerSecond, std::chrono::seconds(1)); // a new window, a new pace
    window_ = std::move(window);
    open_ = bool(window_.click);
    disconnect(ownerGone_);
    if (owner)
        ownerGone_ = connect(owner, &QObject::destroyed, this, [this] { attach({}); });
}

void Switchboard::written(int box, bool ticked)
{
    const State now = state();
    if (box >= 0 && box < window_.boxes.size())
        emit clicked(window_.boxes[box].name, ticked, now.value, origin_);
    emit changed(now);
}

void Switchboard::outputChanged() { emit changed(state()); }

void Switchboard::windowClosed()
{
    open_ = false;
    dropped_.sayNow();
}

QStringList Switchboard::names() const
{
    QStringList names;
    for (const Box &box : boxes())
        names << box.name;
    return open_ ? names : QStringList();
}

QList<Switchboard::Box> Switchboard::boxes() const { return window_.boxes; }

QStringList Switchboard::lines() const { return window_.lines; }

int Switchboard::find(const QString &text, bool captionsToo) const
{
    const Qt::CaseSensitivity names = captionsToo ? Qt::CaseInsensitive : Qt::CaseSensitive;
    for (int i = 0; open_ && i < window_.boxes.size(); ++i) {
        const Box &box = window_.boxes[i];
        if (box.name.compare(text, names) == 0 || (captionsToo && box.caption.compare(text, Qt::CaseInsensitive) == 0))
            return i;
    }
    return kNoBox;
}

int Switchboard::lookUp(const QString &text) const
{
    if (open_ && text.compare(allOffName(), Qt::CaseInsensitive) == 0)
        return kAllOff;
    return find(text, true);
}

QString Switchboard::nameOf(int box) const
{
    if (box == kAllOff)
        return allOffName();
    return box >= 0 && box < window_.boxes.size() ? window_.boxes[box].name : QString();
}

Result Switchboard::click(int box, Origin origin)
{
    if (!open_)
        return {Result::Status::Closed, QStringLiteral("la ventana de Tenvalia se está cerrando"), state().value};
    if (box < 0 || box >= window_.boxes.size())
        return {Result::Status::Failed, QStringLiteral("no hay ninguna casilla %1").arg(box), state().value};
    if (!paced(1, origin))
        return {Result::Status::Dropped,
                QStringLiteral("más de %1 clics por segundo desde fuera: este se descartó").arg(kRemoteClicksPerSecond),
                state().value};
    // A click from a door may open a message box, whose event loop takes the next command: each
    // keeps its own origin.
    const Origin before = std::exchange(origin_, origin);
    Result result = window_.click(box);
    origin_ = before;
    return result;
}

Result Switchboard::select(int box, Origin origin)
{
    if (!open_)
        return {Result::Status::Closed, QStringLiteral("la ventana de Tenvalia se está cerrando"), state().value};
    if (box != kAllOff && (box < 0 || box >= window_.boxes.size()))
        return {Result::Status::Failed, QStringLiteral("no hay ninguna casilla %1").arg(box), state().value};
    if (!paced(window_.clicksToSelect(box), origin))
        return {Result::Status::Dropped,
                QStringLiteral("más de %1 clics por segundo desde fuera: esta selección se descartó entera")
                    .arg(kRemoteClicksPerSecond),
                state().value};
    const Origin before = std::exchange(origin_, origin);
    Result result = window_.select(box);
    origin_ = before;
    return result;
}

State Switchboard::state() const { return window_.state ? window_.state() : State{}; }

bool Switchboard::paced(int clicks, Origin origin)
{
    if (origin == Origin::Window || origin == Origin::Schedule || clicks == 0 || pace_.admit(clicks))
        return true;
    dropped_.add(clicks);
    return false;
}

} // namespace platform::remote
