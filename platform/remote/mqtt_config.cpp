#include "mqtt_config.h"

#include "platform/port/words.h"
#include "platform/small_file.h"
#include "platform/stderr_lines.h"

#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSysInfo>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace platform::remote {
namespace {

// The host's name as a node: lower case, only [a-z0-9_-].
QByteArray defaultNode()
{
    QByteArray node;
    for (const char c : QSysInfo::machineHostName().toLower().toLatin1())
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-')
            node += c;
    return node.isEmpty() ? QByteArrayLiteral("tenvalia") : node.left(64);
}

// A cafile is read with the configuration: one that is missing, unreadable or holds no
// certificate would only fail every try to connect, each time alike.
QString cafileFault(const QByteArray &cafile)
{
    const QString path = QFile::decodeName(cafile);
    const QString shown = QStringLiteral("el cafile %1").arg(shownPath(path));
    if (!path.startsWith(QLatin1Char('/')))
        return shown + QStringLiteral(" no es una ruta absoluta");
    const SmallFile read = readSmallFile(path, 4 * 1024 * 1024);
    if (read.error)
        return QStringLiteral("no se puede leer %1 (%2)").arg(shown, QString::fromLocal8Bit(std::strerror(read.error)));
    if (!read.regular)
        return shown + QStringLiteral(" no es un archivo normal de hasta 4 MiB");
    if (!read.bytes.contains("-----BEGIN CERTIFICATE-----"))
        return shown + QStringLiteral(" no tiene ningún certificado (-----BEGIN CERTIFICATE-----)");
    return {};
}

} // namespace

QString shownPath(const QString &path) { return port::words::shown(QFile::encodeName(path)); }

std::optional<MqttConfig> readMqttConfig()
{
    const auto say = [](const QString &text) { platform::say(QStringLiteral("MQTT: ") + text); };
    const bool named = !qEnvironmentVariableIsEmpty("TENVALIA_MQTT_CONF");
    MqttConfig config;
    config.path = named ? qEnvironmentVariable("TENVALIA_MQTT_CONF")
                        : QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                              QStringLiteral("/tenvalia/mqtt.conf");
    constexpr qint64 kLongest = 64 * 1024;
    const SmallFile file = readSmallFile(config.path, kLongest);
    if (file.error) {
        if (named || file.error != ENOENT)
            say(QStringLiteral("no se pudo leer %1 (%2); MQTT queda apagado")
                    .arg(shownPath(config.path), QString::fromLocal8Bit(std::strerror(file.error))));
        return std::nullopt;
    }
    if (!file.regular) {
        say(QStringLiteral("%1 no es un archivo de configuración (un archivo normal de hasta 64 KiB); MQTT queda apagado")
                .arg(shownPath(config.path)));
        return std::nullopt;
    }
    const bool othersRead = file.mode & (S_IRGRP | S_IROTH);

    config.node = defaultNode();
    int port = 0;
    bool hasPassword = false;
    static const QRegularExpression nodeForm(QStringLiteral("^[a-zA-Z0-9_-]{1,64}$"));
    const auto refuse = [&](int number, const QString &why) {
        say(QStringLiteral("%1:%2: %3; MQTT queda apagado").arg(shownPath(config.path)).arg(number).arg(why));
        return std::nullopt;
    };
    int number = 0;
    for (const QByteArray &raw : file.bytes.split('\n')) {
        ++number;
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const int equals = line.indexOf('=');
        const QByteArray key = line.left(equals).trimmed(), value = line.mid(equals + 1).trimmed();
        if (equals < 0 || key.isEmpty())
            return refuse(number, QStringLiteral("se espera «clave = valor»"));
        const QString shownValue = port::words::shown(value);
        if (key == "host") {
            config.broker.host = value;
        } else if (key == "port") {
            bool ok = false;
            port = value.toInt(&ok);
            if (!ok || port < 1 || port > 65535)
                return refuse(number, QStringLiteral("«%1» no es un puerto (1 a 65535)").arg(shownValue));
        } else if (key == "user") {
            config.broker.user = value;
        } else if (key == "password") {
            config.broker.password = value;
            hasPassword = true;
        } else if (key == "cafile") {
            if (const QString fault = cafileFault(value); !fault.isEmpty())
                return refuse(number, fault);
            config.broker.cafile = value;
        } else if (key == "node") {
            if (!nodeForm.match(QString::fromLatin1(value)).hasMatch())
                return refuse(number, QStringLiteral("el nodo «%1» va en los temas: solo letras, cifras, _ y -, de 1 a 64")
                                          .arg(shownValue));
            config.node = value;
        } else if (key == "discovery_prefix") {
            if (value.isEmpty() || value.contains('+') || value.contains('#') || value.contains('\0'))
                return refuse(number, QStringLiteral("«%1» no sirve como comienzo de tema").arg(shownValue));
            config.prefix = value;
        } else {
            return refuse(number, QStringLiteral("clave desconocida «%1»").arg(port::words::shown(key)));
        }
    }
    if (hasPassword && othersRead) {
        say(QStringLiteral("%1 guarda una contraseña y otros usuarios pueden leerlo: no se conecta. "
                           "Que solo su dueño lo lea: chmod 600 %1")
                .arg(shownPath(config.path)));
        return std::nullopt;
    }
    if (config.broker.host.isEmpty())
        config.broker.host = "localhost";
    config.broker.port = port ? port : config.broker.cafile.isEmpty() ? 1883 : 8883;
    return config;
}

} // namespace platform::remote
