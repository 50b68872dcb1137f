#include "mqtt_door.h"

#include "broker_link.h"
#include "discovery.h"
#include "hush.h"
#include "mqtt_config.h"
#include "platform/port/words.h"
#include "platform/remote/switchboard.h"
#include "platform/stderr_lines.h"
#include "platform/text.h"

#include <QCoreApplication>
#include <QFile>
#include <QLibrary>

#include <cerrno>

namespace platform::remote {
namespace {

void say(const QString &text) { platform::say(QStringLiteral("MQTT: ") + text); }

// A payload as it arrived: printable ASCII as it is, every other byte as \xNN.
QString shownBytes(const QByteArray &bytes)
{
    QString text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text += byte >= 0x20 && byte < 0x7f ? QString(QLatin1Char(c)) : QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return text;
}

class Door final : public MqttDoor, public BrokerListener {
public:
    explicit Door(MqttConfig config)
        : config_(std::move(config)), base_("tenvalia/" + config_.node + '/'), hush_([](const QString &line) { say(line); }),
          overflowed_([](long count) {
              say(QStringLiteral("%1: llegaban más deprisa de lo que la ventana los atiende")
                      .arg(count == 1 ? QStringLiteral("se descartó 1 mensaje")
                                      : QStringLiteral("se descartaron %1 mensajes").arg(count)));
          })
    {
    }

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
        // Room for the longest topic taken, a payload of a box's name and the broker's
        // properties; nothing the door takes comes longer.
        config_.broker.maximumPacket = 512 + int(std::max(topic("select").size(), statusTopic().size()));
        QString why;
        link_.reset(open(config_.broker, this, &why));
        if (!link_) {
            say(QStringLiteral("no se pudo preparar la conexión («%1»); MQTT queda apagado").arg(escapeControls(why)));
            return false;
        }
        auto &board = Switchboard::instance();
        QObject::connect(&board, &Switchboard::changed, &context_, [this](const State &state) { publishState(state); });
        QObject::connect(&board, &Switchboard::clicked, &context_,
                         [this](const QString &name, bool ticked, int value, Origin origin) {
                             link_->publish(topic("event"), messages::click(name, ticked, value, origin), false);
                         });
        return true;
    }

    ~Door() override
    {
        if (!link_)
            return;
        publishState(Switchboard::instance().state()); // unless the final write's is out already
        // Within the second a termination signal gives the whole close.
        link_->close(topic("availability"), "offline", 500);
    }

    void connected() override
    {
        if (saidLost_)
            say(QStringLiteral("de nuevo conectado a %1").arg(port::words::shown(config_.broker.host)));
        saidLost_ = false;
        published_.clear();
        link_->subscribe(topic("click"));
        link_->subscribe(topic("select"));
        link_->subscribe(statusTopic());
        publishDiscovery();
        link_->publish(topic("availability"), "online", true);
        publishState(Switchboard::instance().state());
    }

    void lost(const BrokerLoss &loss) override
    {
        if (loss.final) {
            say(QStringLiteral("%1; MQTT queda apagado").arg(why(loss)));
            return;
        }
        // Once per loss, not once per try.
        if (!saidLost_)
            say(QStringLiteral("sin conexión con %1: %2; se sigue intentando").arg(broker(), why(loss)));
        saidLost_ = true;
    }

    void message(const QByteArray &topic, const QByteArray &payload, bool retained) override
    {
        auto &board = Switchboard::instance();
        if (topic == statusTopic()) {
            if (payload == "online") // Home Assistant has started again: it forgot us
                publishDiscovery();
            return;
        }
        const bool click = topic == this->topic("click");
        if ((!click && topic != this->topic("select")) || board.names().isEmpty())
            return;
        const QString where = escapeControls(QString::fromUtf8(topic));
        // A retained command is an old one: acting on it would switch a light nobody asked for now.
        if (retained) {
            if (!payload.isEmpty()) // an empty one clears what the broker kept
                hush_.say(QStringLiteral("orden retenida en %1 ignorada: «%2»").arg(where, shownBytes(payload)));
            return;
        }
        const int box = click ? board.find(QString::fromLatin1(payload), false) : board.lookUp(QString::fromUtf8(payload));
        if (box == Switchboard::kNoBox) {
            hush_.say(QStringLiteral("orden desconocida en %1 ignorada: «%2» no es %3")
                          .arg(where, shownBytes(payload),
                               click ? QStringLiteral("el nombre de ninguna casilla")
                                     : QStringLiteral("ninguna casilla ni «apagadas»")));
            return;
        }
        const Result result = click ? board.click(box, Origin::Mqtt) : board.select(box, Origin::Mqtt);
        if (result.status == Result::Status::Failed)
            hush_.say(QStringLiteral("%1 %2: %3")
                          .arg(click ? QStringLiteral("clic en") : QStringLiteral("no se pudo poner"), board.nameOf(box),
                               result.reason));
    }

    void tooLong(const QByteArray &topic, qint64 size, bool) override
    {
        hush_.say(QStringLiteral("orden de %1 bytes en %2 ignorada: una orden tiene como mucho %3")
                      .arg(size)
                      .arg(escapeControls(QString::fromUtf8(topic)))
                      .arg(config_.broker.longestPayload));
    }

    void overflowed(long count) override { overflowed_.add(count); }

private:
    QByteArray topic(const char *leaf) const { return base_ + leaf; }
    QByteArray statusTopic() const { return config_.prefix + "/status"; }
    QString broker() const
    {
        const QString host = port::words::shown(config_.broker.host);
        return config_.broker.host.startsWith('/') ? host : QStringLiteral("%1:%2").arg(host).arg(config_.broker.port);
    }
    QString file() const { return shownPath(config_.path); }

    // What a person can act on, then libmosquitto's own words.
    QString why(const BrokerLoss &loss) const
    {
        using Cause = BrokerLoss::Cause;
        QString reason;
        if (loss.final)
            reason = config_.broker.user.isEmpty()
                         ? QStringLiteral("%1 no acepta conexiones sin usuario: ponga user y password en %2").arg(broker(), file())
                         : QStringLiteral("%1 rechazó el usuario «%2» o su contraseña: revise user y password en %3")
                               .arg(broker(), port::words::shown(config_.broker.user), file());
        else if (loss.cause == Cause::Refused)
            reason = QStringLiteral("el broker rechazó la conexión");
        else if (loss.cause == Cause::System && loss.error == ECONNREFUSED)
            reason = QStringLiteral("nadie escucha allí");
        else if (loss.cause == Cause::System && loss.error == ENOENT)
            reason = QStringLiteral("no hay ningún socket en esa ruta");
        else if (loss.cause == Cause::System && (loss.error == EACCES || loss.error == EPERM))
            reason = QStringLiteral("sin permiso para conectar");
        else if (loss.cause == Cause::NameLookup)
            reason = QStringLiteral("no se encontró el nombre %1").arg(port::words::shown(config_.broker.host));
        else if (loss.cause == Cause::Tls)
            reason = QStringLiteral("falló la conexión cifrada: el cafile de %1 no firma el certificado del broker, "
                                    "o ese puerto no usa TLS")
                         .arg(file());
        else if (loss.cause == Cause::Dropped && !loss.answered && !loss.wasUp && config_.broker.cafile.isEmpty() &&
                 !config_.broker.host.startsWith('/'))
            reason = QStringLiteral("el broker cortó la conexión sin responder; si ese puerto usa TLS (el 8883 suele), "
                                    "ponga en %1 cafile = los certificados con que comprobarlo "
                                    "(p. ej. /etc/ssl/certs/ca-certificates.crt)")
                         .arg(file());
        else if (loss.cause == Cause::Silent)
            reason = QStringLiteral("el broker dejó de responder");
        else if (loss.wasUp)
            reason = QStringLiteral("se cortó la conexión");
        else
            reason = QStringLiteral("no se pudo conectar");
        return QStringLiteral("%1 («%2»)").arg(reason, escapeControls(loss.words));
    }

    // Retained, and once per change: the close's write and the door's last word are one message.
    void publishState(const State &state)
    {
        const QByteArray message = messages::state(state);
        if (message != published_ && link_->publish(topic("state"), message, true))
            published_ = message;
    }

    // Never while the window closes: a device then would be a device without its boxes.
    void publishDiscovery()
    {
        auto &board = Switchboard::instance();
        if (board.names().isEmpty() || board.boxes().isEmpty())
            return;
        link_->publish(messages::discoveryTopic(config_.prefix, config_.node),
                       messages::discovery(config_.node, board.boxes(), board.lines()), true);
    }

    MqttConfig config_;
    const QByteArray base_; // tenvalia/<node>/
    QLibrary library_;
    Hush hush_;
    Tally overflowed_;
    std::unique_ptr<BrokerLink> link_;
    QObject context_; // the switchboard's signals reach the door while this lives
    bool saidLost_ = false;
    QByteArray published_; // the last state the broker took since connecting
};

} // namespace

std::unique_ptr<MqttDoor> MqttDoor::open()
{
    auto config = readMqttConfig();
    if (!config)
        return nullptr;
    auto door = std::make_unique<Door>(std::move(*config));
    if (!door->start())
        return nullptr;
    return door;
}

} // namespace platform::remote
