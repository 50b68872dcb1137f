#include "switchboard.h"

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
    }
    return {};
}

bool State::operator==(const State &other) const
{
    return value == other.value && ticked == other.ticked && output == other.output && simulated == other.simulated;
}

Switchboard &Switchboard::instance()
{
    static Switchboard board;
    return board;
}

void Switchboard::attach(QList<Box> boxes, std::function<void(int)> click, std::function<State()> state, QObject *owner)
{
    boxes_ = std::move(boxes);
    click_ = std::move(click);
    state_ = std::move(state);
    open_ = bool(click_);
    disconnect(ownerGone_);
    if (owner)
        ownerGone_ = connect(owner, &QObject::destroyed, this, [this] { attach({}, {}, {}); });
}

void Switchboard::written(int box, bool ticked)
{
    const State now = state();
    if (box >= 0 && box < boxes_.size())
        emit clicked(boxes_[box].name, ticked, now.value, origin_);
    emit changed(now);
}

void Switchboard::outputChanged() { emit changed(state()); }

void Switchboard::windowClosed() { open_ = false; }

QStringList Switchboard::names() const
{
    QStringList names;
    if (!open_)
        return names;
    for (const Box &box : boxes_)
        names << box.name;
    return names;
}

int Switchboard::find(const QString &text, bool captionsToo) const
{
    const Qt::CaseSensitivity names = captionsToo ? Qt::CaseInsensitive : Qt::CaseSensitive;
    for (int i = 0; open_ && i < boxes_.size(); ++i) {
        if (boxes_[i].name.compare(text, names) == 0 ||
            (captionsToo && boxes_[i].caption.compare(text, Qt::CaseInsensitive) == 0))
            return i;
    }
    return -1;
}

Switchboard::Result Switchboard::click(int box, Origin origin)
{
    if (box < 0 || box >= boxes_.size() || !open_)
        return {false, state().value};
    // A click from a door may open a message box, whose event loop takes the next command: each
    // keeps its own origin.
    const Origin before = std::exchange(origin_, origin);
    click_(box);
    origin_ = before;
    const State now = state();
    return {now.ticked.contains(boxes_[box].name), now.value};
}

State Switchboard::state() const { return state_ ? state_() : State{}; }

} // namespace platform::remote
