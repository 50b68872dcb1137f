// MQTT's configuration file: where it is, its `key = value` lines, and what of them is refused
// before anything connects.
#pragma once

#include "broker_link.h"

#include <QString>

#include <optional>

namespace platform::remote {

struct MqttConfig {
    QString path; // the file read, for the person
    BrokerSettings broker;
    QByteArray node;
    QByteArray prefix = "homeassistant";
};

// The file named by TENVALIA_MQTT_CONF, else the person's own; nullopt when there is none (MQTT
// off, nothing said) or when it is refused (said on standard error, in one line).
std::optional<MqttConfig> readMqttConfig();

// The file as the person may read it.
QString shownPath(const QString &path);

} // namespace platform::remote
