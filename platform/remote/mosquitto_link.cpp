// The broker link through libmosquitto, built as a module of its own (see broker_link.h).
// One thread of ours runs libmosquitto's loop: it connects, looks names up and reconnects with
// growing pauses, none of which may hold up the window. It sleeps in the loop's select() between
// keep-alives; a publish from the window wakes it through libmosquitto's own socket pair.
#include "broker_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <QMetaObject>
#include <QObject>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace platform::remote {
namespace {

// What the loop's thread and the window's share. The thread keeps it alive: a link closed while
// the thread is stuck in a connect (a host that never answers) leaves the thread to end alone.
struct Shared {
    BrokerSettings settings;
    mosquitto *mosq = nullptr;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;        // guarded by mutex
    bool finished = false;        // guarded by mutex
    QObject *receiver = nullptr;  // guarded by mutex; null once the link is gone
    BrokerListener *listener = nullptr;
    std::atomic<bool> up{false};  // CONNACK accepted, connection not lost since
    QString refusal;              // the broker's reason for the last refused CONNECT (loop thread)

    ~Shared()
    {
        if (mosq)
            mosquitto_destroy(mosq);
    }

    template <typename Call> void post(Call call)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (receiver)
            QMetaObject::invokeMethod(receiver, [listener = listener, call] { call(listener); }, Qt::QueuedConnection);
    }

    void run();
};

void onConnect(mosquitto *, void *data, int rc, int, const mosquitto_property *)
{
    auto *shared = static_cast<Shared *>(data);
    if (rc != 0) {
        shared->refusal = QString::fromUtf8(mosquitto_reason_string(rc));
        return;
    }
    shared->up = true;
    shared->post([](BrokerListener *listener) { listener->connected(); });
}

void onMessage(mosquitto *, void *data, const mosquitto_message *message, const mosquitto_property *)
{
    const QByteArray topic(message->topic);
    const QByteArray payload(static_cast<const char *>(message->payload), message->payloadlen);
    const bool retained = message->retain;
    static_cast<Shared *>(data)->post(
        [=](BrokerListener *listener) { listener->message(topic, payload, retained); });
}

void Shared::run()
{
    using namespace std::chrono_literals;
    const int port = settings.host.startsWith('/') ? 0 : settings.port; // 0: the host is a socket's path
    auto pause = 1s;
    for (bool first = true;; first = false) {
        // Only the first try sets the connection up: libmosquitto's reconnect keeps the socket
        // pair that a publish from the window writes to.
        refusal.clear();
        errno = 0;
        int rc = first ? mosquitto_connect(mosq, settings.host.constData(), port, settings.keepAlive)
                       : mosquitto_reconnect(mosq);
        const int connectErrno = errno;
        while (rc == MOSQ_ERR_SUCCESS)
            rc = mosquitto_loop(mosq, settings.keepAlive * 1000, 1);
        const int loopErrno = errno;
        const bool wasUp = up.exchange(false);
        std::unique_lock<std::mutex> lock(mutex);
        if (stopping)
            break;
        QString why = refusal;
        if (why.isEmpty() && rc == MOSQ_ERR_ERRNO)
            why = QString::fromLocal8Bit(std::strerror(wasUp ? loopErrno : connectErrno));
        if (why.isEmpty())
            why = QString::fromUtf8(mosquitto_strerror(rc));
        lock.unlock();
        post([why](BrokerListener *listener) { listener->lost(why); });
        lock.lock();
        if (wasUp)
            pause = 1s;
        wake.wait_for(lock, pause, [this] { return stopping; });
        if (stopping)
            break;
        pause = std::min<std::chrono::seconds>(pause * 2, 32s);
    }
    const std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    wake.notify_all();
}

class MosquittoLink final : public BrokerLink {
public:
    MosquittoLink(std::shared_ptr<Shared> shared, QObject *receiver) : shared_(std::move(shared)), receiver_(receiver)
    {
        thread_ = std::thread([shared = shared_] { shared->run(); });
    }

    ~MosquittoLink() override
    {
        close(0);
        {
            const std::lock_guard<std::mutex> lock(shared_->mutex);
            shared_->receiver = nullptr;
        }
        delete receiver_; // with it, whatever the thread had queued for the listener
        bool finished;
        {
            const std::lock_guard<std::mutex> lock(shared_->mutex);
            finished = shared_->finished;
        }
        if (finished)
            thread_.join();
        else
            thread_.detach();
    }

    bool publish(const QByteArray &topic, const QByteArray &payload, bool retained) override
    {
        return shared_->up && mosquitto_publish(shared_->mosq, nullptr, topic.constData(), int(payload.size()),
                                                payload.constData(), 0, retained) == MOSQ_ERR_SUCCESS;
    }

    bool subscribe(const QByteArray &topic) override
    {
        // QoS 0: at most once. Retain as published: a retained message is seen as one.
        return shared_->up && mosquitto_subscribe_v5(shared_->mosq, nullptr, topic.constData(), 0,
                                                     MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr) == MOSQ_ERR_SUCCESS;
    }

    void close(int milliseconds) override
    {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        const bool first = !shared_->stopping;
        shared_->stopping = true;
        shared_->wake.notify_all();
        lock.unlock();
        if (first)
            mosquitto_disconnect(shared_->mosq); // after what is queued; wakes the loop
        lock.lock();
        shared_->wake.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return shared_->finished; });
    }

private:
    std::shared_ptr<Shared> shared_;
    QObject *receiver_;
    std::thread thread_;
};

} // namespace
} // namespace platform::remote

extern "C" Q_DECL_EXPORT platform::remote::BrokerLink *tenvalia_open_broker_link(
    const platform::remote::BrokerSettings &settings, platform::remote::BrokerListener *listener)
{
    using namespace platform::remote;
    mosquitto_lib_init();
    auto shared = std::make_shared<Shared>();
    shared->settings = settings;
    shared->listener = listener;
    // Clean session: clicks sent while the program was away are never delivered later.
    shared->mosq = mosquitto_new(nullptr, true, shared.get());
    if (!shared->mosq) {
        listener->lost(QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    mosquitto *mosq = shared->mosq;
    const auto orNull = [](const QByteArray &bytes) { return bytes.isEmpty() ? nullptr : bytes.constData(); };
    int rc = mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    if (!rc)
        rc = mosquitto_threaded_set(mosq, true);
    if (!rc)
        rc = mosquitto_will_set(mosq, settings.willTopic.constData(), int(settings.willPayload.size()),
                                settings.willPayload.constData(), 0, true);
    if (!rc && !settings.user.isEmpty())
        rc = mosquitto_username_pw_set(mosq, settings.user.constData(), orNull(settings.password));
    if (!rc && !settings.cafile.isEmpty())
        rc = mosquitto_tls_set(mosq, settings.cafile.constData(), nullptr, nullptr, nullptr, nullptr);
    if (rc) {
        listener->lost(QString::fromUtf8(mosquitto_strerror(rc)));
        return nullptr;
    }
    mosquitto_connect_v5_callback_set(mosq, onConnect);
    mosquitto_message_v5_callback_set(mosq, onMessage);
    auto *receiver = new QObject;
    shared->receiver = receiver;
    return new MosquittoLink(std::move(shared), receiver);
}
