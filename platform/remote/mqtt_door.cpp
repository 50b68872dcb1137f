#include "mqtt_door.h"

#include "broker_link.h"
#include "platform/port/words.h"
#include "platform/remote/switchboard.h"
#include "platform/stderr_lines.h"
#include "platform/text.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibrary>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSysInfo>

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <optional>

namespace platform::remote {
namespace {

struct Config {
    BrokerSettings broker;
    QByteArray node;
    QByteArray prefix = "homeassistant";
};

void say(const QString &text) { platform::say(QStringLiteral("MQTT: ") + text); }

QString shownPath(const QString &path) { return port::words::shown(QFile::encodeName(path)); }

// A payload as it arrived: printable ASCII as it is, every other byte as \xNN; a long one cut.
QString shownBytes(const QByteArray &bytes)
{
    QString text;
    for (const char c : bytes.left(200)) {
        const auto byte = static_cast<unsigned char>(c);
        text += byte >= 0x20 && byte < 0x7f ? QString(QLatin1Char(c)) : QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return bytes.size() > 200 ? text + QStringLiteral("…") : text;
}

// The host's name as a node: lower case, only [a-z0-9_-].
QByteArray defaultNode()
{
    QByteArray node;
    for (const char c : QSysInfo::machineHostName().toLower().toLatin1())
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-')
            node += c;
    return node.isEmpty() ? QByteArrayLiteral("tenvalia") : node.left(64);
}

// The configuration named by TENVALIA_MQTT_CONF, else the person's own; nullopt when there is
// none (MQTT off, nothing said) or when it is refused (said).
std::optional<Config> readConfig()
{
    const bool named = !qEnvironmentVariableIsEmpty("TENVALIA_MQTT_CONF");
    const QString path = named ? qEnvironmentVariable("TENVALIA_MQTT_CONF")
                               : QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                                     QStringLiteral("/tenvalia/mqtt.conf");
    // Without waiting: a FIFO there must not hold the window up.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (named || errno != ENOENT)
            say(QStringLiteral("no se pudo leer %1 (%2); MQTT queda apagado")
                    .arg(shownPath(path), QString::fromLocal8Bit(std::strerror(errno))));
        return std::nullopt;
    }
    QFile file;
    file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    struct stat status {};
    constexpr off_t kLongest = 64 * 1024;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > kLongest) {
        say(QStringLiteral("%1 no es un archivo de configuración (un archivo normal de hasta 64 KiB); MQTT queda apagado")
                .arg(shownPath(path)));
        return std::nullopt;
    }
    const bool othersRead = status.st_mode & (S_IRGRP | S_IROTH);

    Config config;
    config.node = defaultNode();
    int port = 0;
    bool hasPassword = false;
    static const QRegularExpression nodeForm(QStringLiteral("^[a-zA-Z0-9_-]{1,64}$"));
    const auto refuse = [&](int number, const QString &why) {
        say(QStringLiteral("%1:%2: %3; MQTT queda apagado").arg(shownPath(path)).arg(number).arg(why));
        return std::nullopt;
    };
    int number = 0;
    for (const QByteArray &raw : file.read(kLongest).split('\n')) {
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
                .arg(shownPath(path)));
        return std::nullopt;
    }
    if (config.broker.host.isEmpty())
        config.broker.host = "localhost";
    config.broker.port = port ? port : config.broker.cafile.isEmpty() ? 1883 : 8883;
    return config;
}

QByteArray json(const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

class Door final : public MqttDoor, public BrokerListener {
public:
    explicit Door(Config config) : config_(std::move(config)), base_("tenvalia/" + config_.node + '/') {}

    bool start()
    {
        // Where the package installs it, else beside the program, as in the build tree.
        const QString home = QCoreApplication::applicationDirPath();
        const QString installed = home + QStringLiteral("/" TENVALIA_MODULE_DIR "/tenvalia-mosquitto.so");
        library_.setFileName(QFile::exists(installed) ? installed : home + QStringLiteral("/tenvalia-mosquitto.so"));
        const auto open = reinterpret_cast<OpenBrokerLink>(library_.resolve(kOpenBrokerLink));
        if (!open) {
            say(QStringLiteral("%1; MQTT queda apagado").arg(escapeControls(library_.errorString())));
            return false;
        }
        config_.broker.willTopic = base_ + "availability";
        config_.broker.willPayload = "offline";
        link_.reset(open(config_.broker, this));
        if (!link_)
            return false;
        auto &board = Switchboard::instance();
        QObject::connect(&board, &Switchboard::changed, &context_, [this](const State &state) { publishState(state); });
        QObject::connect(&board, &Switchboard::clicked, &context_,
                         [this](const QString &name, bool ticked, int value, Origin origin) {
                             link_->publish(base_ + "event", json({{QStringLiteral("event_type"), name},
                                                                   {QStringLiteral("ticked"), ticked},
                                                                   {QStringLiteral("value"), value},
                                                                   {QStringLiteral("origin"), originName(origin)}}),
                                            false);
                         });
        return true;
    }

    ~Door() override
    {
        if (!link_)
            return;
        publishState(Switchboard::instance().state());
        link_->publish(base_ + "availability", "offline", true);
        link_->close(1000);
    }

    void connected() override
    {
        if (saidLost_)
            say(QStringLiteral("de nuevo conectado a %1").arg(port::words::shown(config_.broker.host)));
        saidLost_ = false;
        link_->subscribe(base_ + "click");
        link_->subscribe(config_.prefix + "/status");
        publishDiscovery();
        link_->publish(base_ + "availability", "online", true);
        publishState(Switchboard::instance().state());
    }

    void lost(const QString &why) override
    {
        // Once per loss, not once per try.
        if (!saidLost_)
            say(QStringLiteral("sin conexión con %1 (%2); se sigue intentando")
                    .arg(port::words::shown(config_.broker.host), escapeControls(why)));
        saidLost_ = true;
    }

    void message(const QByteArray &topic, const QByteArray &payload, bool retained) override
    {
        if (topic == config_.prefix + "/status") {
            if (payload == "online") // Home Assistant has started again: it forgot us
                publishDiscovery();
            return;
        }
        if (topic != base_ + "click")
            return;
        // A retained click is an old one: acting on it would switch a light nobody asked for now.
        auto &board = Switchboard::instance();
        const int box = retained ? -1 : board.find(QString::fromLatin1(payload), false);
        if (retained)
            say(QStringLiteral("orden retenida en %1 ignorada: «%2»").arg(QString::fromLatin1(topic), shownBytes(payload)));
        else if (box < 0)
            say(QStringLiteral("orden desconocida en %1 ignorada: «%2»; valen: %3")
                    .arg(QString::fromLatin1(topic), shownBytes(payload), board.names().join(QStringLiteral(", "))));
        else
            board.click(box, Origin::Mqtt);
    }

private:
    void publishState(const State &state)
    {
        link_->publish(base_ + "state",
                       json({{QStringLiteral("value"), state.value},
                             {QStringLiteral("lines"), QStringLiteral("%1").arg(state.value, 8, 2, QLatin1Char('0'))},
                             {QStringLiteral("ticked"), QJsonArray::fromStringList(state.ticked)},
                             {QStringLiteral("output"), state.output},
                             {QStringLiteral("simulated"), state.simulated}}),
                       true);
    }

    // One message for the whole device. Lines are binary sensors read from the state, never
    // switches: a ticked box does not say which lights are on. Boxes are buttons that click.
    void publishDiscovery()
    {
        const QString node = QString::fromLatin1(config_.node), base = QString::fromLatin1(base_);
        const QString id = QStringLiteral("tenvalia_") + node;
        QJsonObject components;
        for (int line = 0; line < 8; ++line) {
            const QString unique = id + QStringLiteral("_d%1").arg(line);
            components[unique] = QJsonObject{
                {QStringLiteral("platform"), QStringLiteral("binary_sensor")},
                {QStringLiteral("name"), QStringLiteral("D%1").arg(line)},
                {QStringLiteral("unique_id"), unique},
                {QStringLiteral("device_class"), QStringLiteral("power")},
                {QStringLiteral("state_topic"), base + QStringLiteral("state")},
                {QStringLiteral("value_template"), QStringLiteral("{{ value_json.lines[%1] }}").arg(7 - line)},
                {QStringLiteral("payload_on"), QStringLiteral("1")},
                {QStringLiteral("payload_off"), QStringLiteral("0")}};
        }
        const QStringList names = Switchboard::instance().names();
        for (const QString &name : names) {
            components[id + '_' + name] = QJsonObject{{QStringLiteral("platform"), QStringLiteral("button")},
                                                      {QStringLiteral("name"), name},
                                                      {QStringLiteral("unique_id"), id + '_' + name},
                                                      {QStringLiteral("command_topic"), base + QStringLiteral("click")},
                                                      {QStringLiteral("payload_press"), name}};
        }
        components[id + QStringLiteral("_click")] = QJsonObject{
            {QStringLiteral("platform"), QStringLiteral("event")},
            {QStringLiteral("name"), QStringLiteral("Clic")},
            {QStringLiteral("unique_id"), id + QStringLiteral("_click")},
            {QStringLiteral("state_topic"), base + QStringLiteral("event")},
            {QStringLiteral("event_types"), QJsonArray::fromStringList(names)}};
        const QJsonObject discovery{
            {QStringLiteral("device"), QJsonObject{{QStringLiteral("identifiers"), QJsonArray{id}},
                                                   {QStringLiteral("name"), QStringLiteral("Tenvalia ") + node},
                                                   {QStringLiteral("model"), QStringLiteral("Tenvalia")},
                                                   {QStringLiteral("sw_version"), QStringLiteral(TENVALIA_VERSION)}}},
            {QStringLiteral("origin"), QJsonObject{{QStringLiteral("name"), QStringLiteral("tenvalia")},
                                                   {QStringLiteral("sw_version"), QStringLiteral(TENVALIA_VERSION)}}},
            {QStringLiteral("availability_topic"), base + QStringLiteral("availability")},
            {QStringLiteral("components"), components}};
        link_->publish(config_.prefix + "/device/" + id.toLatin1() + "/config", json(discovery), true);
    }

    Config config_;
    const QByteArray base_; // tenvalia/<node>/
    QLibrary library_;
    std::unique_ptr<BrokerLink> link_;
    QObject context_; // the switchboard's signals reach the door while this lives
    bool saidLost_ = false;
};

} // namespace

std::unique_ptr<MqttDoor> MqttDoor::open()
{
    auto config = readConfig();
    if (!config)
        return nullptr;
    auto door = std::make_unique<Door>(std::move(*config));
    if (!door->start())
        return nullptr;
    return door;
}

} // namespace platform::remote
