// The line between the MQTT door and libmosquitto. The link lives in a module of its own, loaded
// only when MQTT is configured: libmosquitto brings OpenSSL with it, and loading them would slow
// every start of the window. Both sides speak through these abstract classes alone, so the module
// needs no symbol of the program's.
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
};

// Called on the thread that opened the link (the window's), in the order things happened.
class BrokerListener {
public:
    virtual ~BrokerListener() = default;
    virtual void connected() = 0;
    // A try failed, or a connection that was up went down; tries go on with growing pauses.
    virtual void lost(const QString &why) = 0;
    virtual void message(const QByteArray &topic, const QByteArray &payload, bool retained) = 0;
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
    // Sends what is queued, then an orderly disconnect; waits at most `milliseconds` for it.
    virtual void close(int milliseconds) = 0;
};

// The module's one entry point, found by this name.
using OpenBrokerLink = BrokerLink *(*)(const BrokerSettings &settings, BrokerListener *listener);
constexpr const char *kOpenBrokerLink = "tenvalia_open_broker_link";

} // namespace platform::remote
