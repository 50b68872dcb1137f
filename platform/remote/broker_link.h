// The line between the MQTT door and libmosquitto. The link lives in a module of its own, loaded
// only when MQTT is configured: libmosquitto brings OpenSSL with it, and loading them would slow
// every start of the window. Both sides speak through these abstract classes alone, so the module
// needs no symbol of the program's. The module answers with facts; the door makes the words.
#pragma once

#include <QByteArray>
#include <QString>

namespace platform::remote {

struct BrokerSettings {
    QByteArray host;     // a name, an address, or the absolute path of a Unix socket
    int port = 0;        // 0 for a Unix socket
    QByteArray user, password, cafile; // empty: none; a cafile turns TLS on
    QByteArray willTopic, willPayload; // retained, sent by the broker if the connection dies
    int keepAlive = 60;  // seconds: the link wakes no more often than this while idle
    // A message whose payload is longer is refused before it is copied; the broker is asked
    // (MQTT 5's Maximum Packet Size) to send nothing longer than maximumPacket at all.
    int longestPayload = 64;
    int maximumPacket = 0;
};

// Why a try failed or a connection went down, as libmosquitto tells it.
struct BrokerLoss {
    enum class Cause {
        System,      // the system refused (error)
        NameLookup,  // the host's name was not found
        Tls,         // the TLS handshake or certificate check failed
        Dropped,     // the other end closed the connection
        Silent,      // the broker stopped answering (keep-alive)
        Refused,     // the broker answered the CONNECT with a refusal (refusal)
        Other,
    };
    Cause cause = Cause::Other;
    int error = 0;         // Cause::System: the system's error number
    int refusal = 0;       // Cause::Refused: the CONNACK's reason code
    bool answered = false; // a CONNACK came: the broker speaks MQTT there
    bool wasUp = false;    // the connection had been up
    bool final = false;    // the broker refused the login: no more tries
    QString words;         // libmosquitto's own (or the system's), as it says them
};

// Called on the thread that opened the link (the window's), in the order things happened.
class BrokerListener {
public:
    virtual ~BrokerListener() = default;
    virtual void connected() = 0;
    // A try failed, or a connection that was up went down; tries go on with growing pauses
    // unless the loss is final.
    virtual void lost(const BrokerLoss &loss) = 0;
    virtual void message(const QByteArray &topic, const QByteArray &payload, bool retained) = 0;
    // A message whose payload was longer than longestPayload: not copied, only its size told.
    virtual void tooLong(const QByteArray &topic, qint64 size, bool retained) = 0;
    // Messages that came faster than the window took them, and were dropped.
    virtual void overflowed(long count) = 0;
};

class BrokerLink {
public:
    // Stops trying; a connection still up is closed (call close() first to let queued
    // messages out).
    virtual ~BrokerLink() = default;
    // Queued: never waits for the broker. False when there is no connection to send them on.
    virtual bool publish(const QByteArray &topic, const QByteArray &payload, bool retained) = 0;
    // At most once: a message that could arrive twice could undo a click.
    virtual bool subscribe(const QByteArray &topic) = 0;
    // Sends what is queued and a last retained message, which the broker acknowledges (QoS 1):
    // once it has, it has taken all that came before, and the orderly disconnect follows. A
    // broker busy writing to a connection that closes sooner could drop what it had not read.
    // Waits at most `milliseconds` in all.
    virtual void close(const QByteArray &lastTopic, const QByteArray &lastPayload, int milliseconds) = 0;
};

// The module's one entry point, found by this name. Null, with libmosquitto's words in `why`,
// when the link cannot even be set up.
using OpenBrokerLink = BrokerLink *(*)(const BrokerSettings &settings, BrokerListener *listener, QString *why);
constexpr const char *kOpenBrokerLink = "tenvalia_open_broker_link";

} // namespace platform::remote
