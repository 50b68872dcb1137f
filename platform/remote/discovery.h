// What the MQTT door tells the broker, as JSON: the window's state, each click, and Home
// Assistant's device discovery, which reads them.
#pragma once

#include "switchboard.h"

#include <QByteArray>

namespace platform::remote::messages {

QByteArray state(const State &state);
QByteArray click(const QString &name, bool ticked, int value, Origin origin);
// One message for the whole device under tenvalia/<node>/; its topic under Home Assistant's
// prefix.
QByteArray discovery(const QByteArray &node, const QList<Switchboard::Box> &boxes, const QStringList &lines);
QByteArray discoveryTopic(const QByteArray &prefix, const QByteArray &node);

} // namespace platform::remote::messages
