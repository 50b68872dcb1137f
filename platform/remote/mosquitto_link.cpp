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
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace platform::remote {
namespace {

// Messages waiting for the window: more than this, coming faster than it takes them, are dropped
// and counted rather than kept without end.
constexpr size_t kMostWaiting = 64;

struct Inbound {
    QByteArray topic, payload;
    bool retained = false;
    qint64 size = 0;
    bool tooLong = false; // payload left empty: it was not copied
};

// What the loop's thread and the window's share. The thread keeps it alive: a link closed while
// the thread is stuck in a connect (a host that never answers) leaves the thread to end alone.
struct Shared {
    BrokerSettings settings;
    mosquitto *mosq = nullptr;
    mosquitto_property *connectProperties = nullptr;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;        // guarded by mutex
    bool finished = false;        // guarded by mutex
    QObject *receiver = nullptr;  // guarded by mutex; null once the link is gone
    BrokerListener *listener = nullptr;
    std::deque<Inbound> inbox;    // guarded by mutex
    long overflow = 0;            // guarded by mutex
    bool drainPosted = false;     // guarded by mutex
    // Held by the window while it hands libmosquitto something to send: the loop's thread takes
    // it once a connection is down, so that no send is under way when the next try renews
    // libmosquitto's socket pair.
    std::mutex sending;
    std::atomic<bool> up{false};  // CONNACK accepted, connection not lost since
    bool answered = false;        // loop thread: a CONNACK came on this try
    int refusal = 0;              // loop thread: its reason code when it refused
    int lastMid = -1;             // guarded by mutex: the close's last message, until acknowledged

    ~Shared()
    {
        mosquitto_property_free_all(&connectProperties);
        if (mosq)
            mosquitto_destroy(mosq);
    }

    template <typename Call> void post(Call call)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (receiver)
            QMetaObject::invokeMethod(receiver, [listener = listener, call] { call(listener); }, Qt::QueuedConnection);
    }

    // From the loop's thread: one wake of the window takes every message waiting.
    void deliver(Inbound message)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!receiver)
            return;
        if (inbox.size() >= kMostWaiting) {
            ++overflow;
            return;
        }
        inbox.push_back(std::move(message));
        if (!std::exchange(drainPosted, true))
            QMetaObject::invokeMethod(receiver, [this] { drain(); }, Qt::QueuedConnection);
    }

    void drain()
    {
        std::deque<Inbound> taken;
        long dropped;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            taken.swap(inbox);
            dropped = std::exchange(overflow, 0);
            drainPosted = false;
        }
        for (const Inbound &message : taken) {
            if (message.tooLong)
                listener->tooLong(message.topic, message.size, message.retained);
            else
                listener->message(message.topic, message.payload, message.retained);
        }
        if (dropped > 0)
            listener->overflowed(dropped);
    }

    void run();
    BrokerLoss lossOf(int rc, int error, bool wasUp) const;
};

bool loginRefused(int reason)
{
    return reason == MQTT_RC_BAD_USERNAME_OR_PASSWORD || reason == MQTT_RC_NOT_AUTHORIZED;
}

void onConnect(mosquitto *mosq, void *data, int rc, int, const mosquitto_property *)
{
    auto *shared = static_cast<Shared *>(data);
    shared->answered = true;
    if (rc != 0) {
        shared->refusal = rc;
        return;
    }
    bool stopping;
    {
        const std::lock_guard<std::mutex> lock(shared->mutex);
        stopping = shared->stopping;
    }
    // Closed while this try was under way: nobody is left to use it.
    if (stopping) {
        mosquitto_disconnect(mosq);
        return;
    }
    shared->up = true;
    shared->post([](BrokerListener *listener) { listener->connected(); });
}

// A QoS 1 message acknowledged; QoS 0 ones are told as they are written, under other ids.
void onPublish(mosquitto *, void *data, int mid, int, const mosquitto_property *)
{
    auto *shared = static_cast<Shared *>(data);
    const std::lock_guard<std::mutex> lock(shared->mutex);
    if (mid == shared->lastMid) {
        shared->lastMid = -1;
        shared->wake.notify_all();
    }
}

void onMessage(mosquitto *, void *data, const mosquitto_message *message, const mosquitto_property *)
{
    auto *shared = static_cast<Shared *>(data);
    // A long payload is refused here, before a byte of it is copied.
    const bool tooLong = message->payloadlen > shared->settings.longestPayload;
    shared->deliver({QByteArray(message->topic),
                     tooLong ? QByteArray() : QByteArray(static_cast<const char *>(message->payload), message->payloadlen),
                     message->retain, message->payloadlen, tooLong});
}

BrokerLoss Shared::lossOf(int rc, int error, bool wasUp) const
{
    using Cause = BrokerLoss::Cause;
    BrokerLoss loss;
    loss.answered = answered;
    loss.wasUp = wasUp;
    if (refusal != 0) {
        loss.cause = Cause::Refused;
        loss.refusal = refusal;
        loss.final = loginRefused(refusal);
        loss.words = QString::fromUtf8(mosquitto_reason_string(refusal));
        return loss;
    }
    switch (rc) {
    case MOSQ_ERR_ERRNO:
        loss.cause = error ? Cause::System : Cause::Other;
        loss.error = error;
        break;
    case MOSQ_ERR_EAI:
        loss.cause = Cause::NameLookup;
        break;
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
        loss.cause = Cause::Tls;
        break;
    case MOSQ_ERR_CONN_LOST:
        loss.cause = Cause::Dropped;
        break;
    case MOSQ_ERR_KEEPALIVE:
        loss.cause = Cause::Silent;
        break;
    default:
        break;
    }
    loss.words = loss.cause == Cause::System ? QString::fromLocal8Bit(std::strerror(error))
                                             : QString::fromUtf8(mosquitto_strerror(rc));
    return loss;
}

void Shared::run()
{
    using namespace std::chrono_literals;
    const int port = settings.host.startsWith('/') ? 0 : settings.port; // 0: the host is a socket's path
    auto pause = 1s;
    for (;;) {
        // Every try is a whole connect: libmosquitto's reconnect would leave out the CONNECT's
        // properties, the maximum packet size among them.
        answered = false;
        refusal = 0;
        errno = 0;
        int rc = mosquitto_connect_bind_v5(mosq, settings.host.constData(), port, settings.keepAlive, nullptr,
                                           connectProperties);
        const int connectErrno = errno;
        while (rc == MOSQ_ERR_SUCCESS)
            rc = mosquitto_loop(mosq, settings.keepAlive * 1000, 1);
        const int loopErrno = errno;
        const bool wasUp = up.exchange(false);
        { const std::lock_guard<std::mutex> barrier(sending); }
        std::unique_lock<std::mutex> lock(mutex);
        if (stopping)
            break;
        const BrokerLoss loss = lossOf(rc, wasUp ? loopErrno : connectErrno, wasUp);
        lock.unlock();
        post([loss](BrokerListener *listener) { listener->lost(loss); });
        lock.lock();
        if (loss.final)
            break;
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
        stop(std::chrono::steady_clock::now());
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
        const std::lock_guard<std::mutex> lock(shared_->sending);
        return shared_->up && mosquitto_publish(shared_->mosq, nullptr, topic.constData(), int(payload.size()),
                                                payload.constData(), 0, retained) == MOSQ_ERR_SUCCESS;
    }

    bool subscribe(const QByteArray &topic) override
    {
        // QoS 0: at most once. Retain as published: a retained message is seen as one.
        const std::lock_guard<std::mutex> lock(shared_->sending);
        return shared_->up && mosquitto_subscribe_v5(shared_->mosq, nullptr, topic.constData(), 0,
                                                     MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr) == MOSQ_ERR_SUCCESS;
    }

    void close(const QByteArray &lastTopic, const QByteArray &lastPayload, int milliseconds) override
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        {
            const std::lock_guard<std::mutex> sending(shared_->sending);
            int mid = -1;
            // The id is set before the acknowledgement can come: the loop's callback takes the
            // same lock.
            const std::lock_guard<std::mutex> lock(shared_->mutex);
            if (shared_->up && !shared_->stopping &&
                mosquitto_publish(shared_->mosq, &mid, lastTopic.constData(), int(lastPayload.size()),
                                  lastPayload.constData(), 1, true) == MOSQ_ERR_SUCCESS)
                shared_->lastMid = mid;
        }
        std::unique_lock<std::mutex> lock(shared_->mutex);
        shared_->wake.wait_until(lock, deadline, [this] { return shared_->lastMid == -1; });
        lock.unlock();
        stop(deadline);
    }

private:
    // An orderly disconnect, after what is queued; the thread given until `deadline` to end.
    void stop(std::chrono::steady_clock::time_point deadline)
    {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        const bool first = !shared_->stopping;
        shared_->stopping = true;
        shared_->wake.notify_all();
        lock.unlock();
        if (first) {
            // A try still under way disconnects itself once it is answered.
            const std::lock_guard<std::mutex> sending(shared_->sending);
            if (shared_->up)
                mosquitto_disconnect(shared_->mosq);
        }
        lock.lock();
        shared_->wake.wait_until(lock, deadline, [this] { return shared_->finished; });
    }

    std::shared_ptr<Shared> shared_;
    QObject *receiver_;
    std::thread thread_;
};

} // namespace
} // namespace platform::remote

extern "C" Q_DECL_EXPORT platform::remote::BrokerLink *tenvalia_open_broker_link(
    const platform::remote::BrokerSettings &settings, platform::remote::BrokerListener *listener, QString *why)
{
    using namespace platform::remote;
    mosquitto_lib_init();
    auto shared = std::make_shared<Shared>();
    shared->settings = settings;
    shared->listener = listener;
    // Clean session: clicks sent while the program was away are never delivered later.
    shared->mosq = mosquitto_new(nullptr, true, shared.get());
    if (!shared->mosq) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    mosquitto *mosq = shared->mosq;
    const auto orNull = [](const QByteArray &bytes) { return bytes.isEmpty() ? nullptr : bytes.constData(); };
    int rc = mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    if (!rc)
        rc = mosquitto_threaded_set(mosq, true);
    if (!rc && settings.maximumPacket > 0)
        rc = mosquitto_property_add_int32(&shared->connectProperties, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                          uint32_t(settings.maximumPacket));
    if (!rc)
        rc = mosquitto_will_set(mosq, settings.willTopic.constData(), int(settings.willPayload.size()),
                                settings.willPayload.constData(), 0, true);
    if (!rc && !settings.user.isEmpty())
        rc = mosquitto_username_pw_set(mosq, settings.user.constData(), orNull(settings.password));
    if (!rc && !settings.cafile.isEmpty())
        rc = mosquitto_tls_set(mosq, settings.cafile.constData(), nullptr, nullptr, nullptr, nullptr);
    if (rc) {
        *why = QString::fromUtf8(mosquitto_strerror(rc));
        return nullptr;
    }
    mosquitto_connect_v5_callback_set(mosq, onConnect);
    mosquitto_message_v5_callback_set(mosq, onMessage);
    mosquitto_publish_v5_callback_set(mosq, onPublish);
    auto *receiver = new QObject;
    shared->receiver = receiver;
    return new MosquittoLink(std::move(shared), receiver);
}
