#include "mqtt/MqttLinkParts.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <algorithm>
#include <cstdlib>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/socket.h>

// What comes and goes on a connection: the socket watched, its loss,
// libmosquitto's callbacks, publishing, and the clean stop. On the network thread.
namespace Mqtt {

void Link::Watch()
{
    const int fd = mosquitto_socket(mosq_);
    if (fd == fd_ && read_)
        return;
    Unwatch();
    if (fd < 0)
        return;
    // Made anew for each socket: a descriptor number is reused by the next one.
    fd_ = fd;
    read_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(read_, &QSocketNotifier::activated, this, [this] {
        AfterIo(mosquitto_loop_read(mosq_, 1));
    });
    write_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(write_, &QSocketNotifier::activated, this, [this] { AfterIo(mosquitto_loop_write(mosq_, 1)); });
    write_->setEnabled(mosquitto_want_write(mosq_));
}

void Link::Unwatch()
{
    for (QSocketNotifier** n : {&read_, &write_}) {
        if (*n) {
            (*n)->setEnabled(false);
            (*n)->deleteLater();  // it may be the one whose signal runs now
            *n = nullptr;
        }
    }
    fd_ = -1;
}

void Link::AfterIo(int rc)
{
    if (fd_ < 0)
        return;
    if (mosquitto_socket(mosq_) != fd_) {
        // libmosquitto has closed the socket: the connection is gone.
        Unwatch();
        const int savedErrno = errno;
        const QString logged = TlsWhy();
        Lost(!refused_.isEmpty() ? refused_
             : !connected_ && settings_.caFile.isEmpty() ? EndedUnanswered()
             : !logged.isEmpty() && !connected_ ? logged
             : rc != MOSQ_ERR_SUCCESS ? ErrorText(rc, savedErrno)
                                      : QStringLiteral("the broker closed the connection"));
        return;
    }
    if (write_)
        write_->setEnabled(mosquitto_want_write(mosq_));
}

void Link::Lost(const QString& why)
{
    const bool was = connected_;
    connected_ = false;
    pendingSubacks_ = 0;
    connectWait_.stop();
    Unwatch();
    if (stopped_)
        return;
    if (was)
        emit Dropped(disconnectReason_, NowMs() - connectedAtMs_);
    // A slot of Dropped may have stopped us: then no attempt follows.
    if (stopped_)
        return;
    if (fallBack_) {
        // Not a failure: the broker told us which version to speak.
        fallBack_ = false;
        protocol_ = Protocol::V311;
        mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        retry_.start(0);
        return;
    }
    emit Failed(why);
    retry_.start(delayMs_);
    delayMs_ = std::min(delayMs_ * 2, Client::kMaxRetryMs);
}

void Link::OnConnect(mosquitto*, void* self, int rc, int, const mqtt5__property*)
{
    Link* c = static_cast<Shared*>(self)->owner;
    if (!c)
        return;
    if (rc != 0) {
        // A 3.1.1 broker answers 5 with its own CONNACK ("unacceptable protocol
        // version"), which libmosquitto hands us as this reason code.
        const bool no5 = rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION && c->protocol_ == Protocol::V5;
        if (no5 && c->settings_.protocol == Protocol::Auto) {
            c->fallBack_ = true;
            return;  // libmosquitto closes the socket when the callback returns
        }
        // On 3.1.1, rc is the CONNACK return code, which MQTT 5's reason strings misname.
        QString text = QString::fromUtf8(c->protocol_ == Protocol::V311 ? mosquitto_connack_string(rc)
                                                                        : mosquitto_reason_string(rc));
        text.remove(QLatin1String("Connection Refused: "));
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
        c->refused_ = QStringLiteral("the broker refused the connection: %1%2")
                          .arg(text, no5 ? QStringLiteral(" (it does not speak MQTT 5)") : QString());
        return;  // libmosquitto closes the socket when the callback returns
    }
    c->connectWait_.stop();
    c->connected_ = true;
    c->connectedAtMs_ = NowMs();
    c->delayMs_ = Client::kFirstRetryMs;
    c->pendingSubacks_ = 0;
    for (const Subscription& s : std::as_const(c->subscriptions_))
        if (mosquitto_subscribe_v5(c->mosq_, nullptr, s.topic.constData(), s.qos, 0, nullptr) == MOSQ_ERR_SUCCESS)
            ++c->pendingSubacks_;
    emit c->Connected();
    if (c->pendingSubacks_ == 0)
        emit c->Subscribed();
}

void Link::OnSubscribe(mosquitto*, void* self, int, int, const int*, const mqtt5__property*)
{
    Link* c = static_cast<Shared*>(self)->owner;
    if (!c || c->pendingSubacks_ == 0)
        return;
    if (--c->pendingSubacks_ == 0)
        emit c->Subscribed();
}

void Link::OnDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*)
{
    // With a DISCONNECT of the broker's, rc is its reason code; else one of libmosquitto's errors.
    Link* c = static_cast<Shared*>(self)->owner;
    if (c && rc >= 0x80)
        c->disconnectReason_ = rc;
}

void Link::OnLog(mosquitto*, void* self, int level, const char* text)
{
    if (!(level & MOSQ_LOG_ERR) || !text)
        return;
    auto* shared = static_cast<Shared*>(self);
    std::lock_guard lock(shared->mutex);
    shared->lastError = QString::fromUtf8(text);
}

void Link::OnMessage(mosquitto*, void* self, const mosquitto_message* m, const mqtt5__property* props)
{
    Link* c = static_cast<Shared*>(self)->owner;
    if (!c)
        return;
    Message message;
    message.topic = QByteArray(m->topic);
    message.payload = QByteArray(static_cast<const char*>(m->payload), m->payloadlen);
    message.retained = m->retain;
    char* responseTopic = nullptr;
    if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &responseTopic, false)) {
        message.responseTopic = QByteArray(responseTopic);
        std::free(responseTopic);
    }
    void* correlation = nullptr;
    uint16_t length = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &correlation, &length, false)) {
        message.correlation = QByteArray(static_cast<const char*>(correlation), length);
        std::free(correlation);
    }
    emit c->Received(message);
}

bool Link::Publish(const QByteArray& topic, const QByteArray& payload, bool retain, int qos,
                     const QByteArray& correlation, const QByteArray& responseTopic)
{
    if (!connected_ || !mosq_)
        return false;
    mosquitto_property* props = nullptr;
    // libmosquitto refuses the whole message when it has properties on 3.1.1.
    const bool v5 = protocol_ == Protocol::V5;
    if (v5 && !correlation.isEmpty())
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.constData(),
                                      uint16_t(std::min<qsizetype>(correlation.size(), 65535)));
    if (v5 && !responseTopic.isEmpty())
        mosquitto_property_add_string(&props, MQTT_PROP_RESPONSE_TOPIC, responseTopic.constData());
    const int rc = mosquitto_publish_v5(mosq_, nullptr, topic.constData(), int(payload.size()),
                                        payload.constData(), qos, retain, props);
    mosquitto_property_free_all(&props);
    // Written at once unless the socket is full (or we are inside a callback):
    // the rest goes when it can take more.
    if (write_)
        write_->setEnabled(mosquitto_want_write(mosq_));
    return rc == MOSQ_ERR_SUCCESS;
}

void Link::PublishLatest(const QByteArray& topic, const QByteArray& payload, bool retain)
{
    Latest& l = latest_[topic];
    l.payload = payload;
    l.retain = retain;
    const qint64 since = l.sent.isValid() ? l.sent.elapsed() : Client::kLatestGapMs;
    if (since >= Client::kLatestGapMs) {
        SendLatest(topic);
        return;
    }
    if (l.pending)
        return;  // its timer sends whatever is last then
    l.pending = true;
    QTimer::singleShot(Client::kLatestGapMs - since, this, [this, topic] { SendLatest(topic); });
}

void Link::SendLatest(const QByteArray& topic)
{
    const auto it = latest_.find(topic);
    if (it == latest_.end())
        return;
    it->pending = false;
    it->sent.start();
    Publish(topic, it->payload, it->retain, 0, QByteArray(), QByteArray());
}

void Link::SendAllLatest()
{
    for (auto it = latest_.begin(); it != latest_.end(); ++it)
        if (it->pending)
            SendLatest(it.key());
}

void Link::FlushWrites(const QDeadlineTimer& deadline)
{
    while (mosq_ && mosquitto_socket(mosq_) >= 0 && mosquitto_want_write(mosq_) && !deadline.hasExpired()) {
        pollfd p{mosquitto_socket(mosq_), POLLOUT, 0};
        if (::poll(&p, 1, int(deadline.remainingTime())) <= 0)
            break;
        if (mosquitto_loop_write(mosq_, 1) != MOSQ_ERR_SUCCESS)
            break;
    }
}

void Link::Stop(const QByteArray& topic, const QByteArray& payload, bool retain, int msecs)
{
    if (stopped_)
        return;
    stopped_ = true;
    retry_.stop();
    connectWait_.stop();
    stepLimit_.stop();
    housekeeping_.stop();
    if (connected_) {
        // One budget for both waits: a stalled broker holds the exit no longer.
        const QDeadlineTimer deadline(std::max(msecs, 0));
        SendAllLatest();
        if (!topic.isEmpty())
            mosquitto_publish_v5(mosq_, nullptr, topic.constData(), int(payload.size()), payload.constData(), 0,
                                 retain, nullptr);
        FlushWrites(deadline);
        // The notifiers go before libmosquitto closes the socket on sending the disconnect.
        Unwatch();
        mosquitto_disconnect_v5(mosq_, 0, nullptr);
        FlushWrites(deadline);
        // The relay passes the last words on and ends when our end closes.
        if (const int fd = mosquitto_socket(mosq_); fd >= 0)
            ::shutdown(fd, SHUT_WR);
        Relay::Ending ending;
        {
            std::lock_guard lock(shared_->mutex);
            ending = shared_->ending;
        }
        ending.Wait(int(deadline.remainingTime()));
    }
    Unwatch();
    connected_ = false;
    pendingSubacks_ = 0;
    ReleaseHandle();
    // Its timers find nothing: a later start publishes nothing of this run.
    latest_.clear();
}

} // namespace Mqtt
