#include "mqtt/MqttClient.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

namespace Mqtt {
namespace {

void InitLibrary()
{
    static const bool done = [] {
        mosquitto_lib_init();
        return true;
    }();
    (void)done;
}

QString ErrorText(int rc, int savedErrno)
{
    QString text = rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(std::strerror(savedErrno))
                                        : QString::fromUtf8(mosquitto_strerror(rc));
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

// The host's addresses, numeric, so that libmosquitto's own lookup of one
// returns at once; empty with why when the name is not known.
QList<QByteArray> Resolve(const QString& host, int port, QString* why)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.toUtf8().constData(), QByteArray::number(port).constData(), &hints, &found);
    if (rc != 0) {
        *why = QStringLiteral("cannot look up %1: %2").arg(host, QString::fromLocal8Bit(::gai_strerror(rc)));
        return {};
    }
    QList<QByteArray> addresses;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        char text[NI_MAXHOST] = {};
        if (::getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0
            && !addresses.contains(QByteArray(text)))
            addresses.append(QByteArray(text));
    }
    ::freeaddrinfo(found);
    if (addresses.isEmpty())
        *why = QStringLiteral("cannot look up %1: no address").arg(host);
    return addresses;
}

} // namespace

Client::Client(QObject* parent) : QObject(parent)
{
    InitLibrary();
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &Client::Attempt);
    connectWait_.setSingleShot(true);
    connect(&connectWait_, &QTimer::timeout, this, [this] {
        Lost(QStringLiteral("the broker did not accept the connection within %1 s").arg(kConnectWaitMs / 1000));
    });
    // Keep-alive pings and the broker's silence are checked here; a second is
    // far below any keep-alive interval.
    housekeeping_.setInterval(1000);
    connect(&housekeeping_, &QTimer::timeout, this, [this] {
        if (fd_ >= 0)
            AfterIo(mosquitto_loop_misc(mosq_));
    });
}

Client::~Client()
{
    Unwatch();
    if (mosq_)
        mosquitto_destroy(mosq_);  // closes the socket, after its notifiers are gone
}

void Client::SetWill(const QByteArray& topic, const QByteArray& payload, bool retain)
{
    will_ = {topic, payload, retain};
}

void Client::AddSubscription(const QByteArray& topic, int qos) { subscriptions_.append({topic, qos}); }

bool Client::Start(const Settings& settings, QString* why)
{
    auto fail = [&](const QString& text) {
        if (why)
            *why = text;
        return false;
    };
    settings_ = settings;
    mosq_ = mosquitto_new(settings.clientId.toUtf8().constData(), true, this);
    if (!mosq_)
        return fail(QStringLiteral("cannot create an MQTT client: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    // MQTT 5 carries the response topic and correlation data of a request.
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // A reply is one small packet: it leaves at once instead of waiting for more.
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(mosq_, &Client::OnConnect);
    mosquitto_message_v5_callback_set(mosq_, &Client::OnMessage);
    if (!will_.topic.isEmpty()) {
        const int rc = mosquitto_will_set_v5(mosq_, will_.topic.constData(), int(will_.payload.size()),
                                             will_.payload.constData(), 1, will_.retain, nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return fail(QStringLiteral("the will is refused: %1").arg(ErrorText(rc, errno)));
    }
    if (!settings.user.isEmpty()) {
        const int rc = mosquitto_username_pw_set(mosq_, settings.user.toUtf8().constData(),
                                                 settings.password.isEmpty() ? nullptr : settings.password.constData());
        if (rc != MOSQ_ERR_SUCCESS)
            return fail(QStringLiteral("the user name is refused: %1").arg(ErrorText(rc, errno)));
    }
    if (!settings.caFile.isEmpty()) {
        const int rc = mosquitto_tls_set(mosq_, settings.caFile.toUtf8().constData(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return fail(QStringLiteral("the CA file %1 cannot be used: %2").arg(settings.caFile, ErrorText(rc, errno)));
    }
    stopped_ = false;
    delayMs_ = kFirstRetryMs;
    housekeeping_.start();
    Attempt();
    return true;
}

void Client::Attempt()
{
    if (stopped_)
        return;
    QString why;
    if (addresses_.isEmpty()) {
        addresses_ = Resolve(settings_.host, settings_.port, &why);
        next_ = 0;
    }
    if (addresses_.isEmpty()) {
        Lost(why);
        return;
    }
    // The certificate names the host, so TLS needs the name; libmosquitto
    // looks it up itself then, at start and after a failure, as we would.
    const QByteArray target = settings_.caFile.isEmpty() ? addresses_.value(next_) : settings_.host.toUtf8();
    Unwatch();  // libmosquitto closes the socket of the last attempt now
    refused_.clear();
    const int rc = mosquitto_connect_bind_async(mosq_, target.constData(), settings_.port,
                                                settings_.keepAliveSeconds, nullptr);
    const int savedErrno = errno;
    if (rc != MOSQ_ERR_SUCCESS) {
        Lost(ErrorText(rc, savedErrno));
        return;
    }
    connectWait_.start(kConnectWaitMs);
    Watch();
}

void Client::Watch()
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
    connect(read_, &QSocketNotifier::activated, this, [this] { AfterIo(mosquitto_loop_read(mosq_, 1)); });
    write_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(write_, &QSocketNotifier::activated, this, [this] { AfterIo(mosquitto_loop_write(mosq_, 1)); });
    write_->setEnabled(mosquitto_want_write(mosq_));
}

void Client::Unwatch()
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

void Client::AfterIo(int rc)
{
    if (fd_ < 0)
        return;
    if (mosquitto_socket(mosq_) != fd_) {
        // libmosquitto has closed the socket: the connection is gone.
        Unwatch();
        const int savedErrno = errno;
        Lost(!refused_.isEmpty() ? refused_
             : rc != MOSQ_ERR_SUCCESS ? ErrorText(rc, savedErrno)
                                      : QStringLiteral("the broker closed the connection"));
        return;
    }
    if (write_)
        write_->setEnabled(mosquitto_want_write(mosq_));
}

void Client::Lost(const QString& why)
{
    const bool was = connected_;
    connected_ = false;
    connectWait_.stop();
    Unwatch();
    // A failed attempt tries the host's next address; once all have failed,
    // the name is looked up again: the broker may have moved.
    if (!was && ++next_ >= addresses_.size())
        addresses_.clear();
    if (stopped_)
        return;
    emit Failed(why);
    retry_.start(delayMs_);
    delayMs_ = std::min(delayMs_ * 2, kMaxRetryMs);
}

void Client::OnConnect(mosquitto*, void* self, int rc, int, const mqtt5__property*)
{
    auto* c = static_cast<Client*>(self);
    if (rc != 0) {
        c->refused_ = QStringLiteral("the broker refused the connection: %1")
                          .arg(QString::fromUtf8(mosquitto_reason_string(rc)));
        return;  // libmosquitto closes the socket when the callback returns
    }
    c->connectWait_.stop();
    c->connected_ = true;
    c->delayMs_ = kFirstRetryMs;
    for (const Subscription& s : std::as_const(c->subscriptions_))
        mosquitto_subscribe_v5(c->mosq_, nullptr, s.topic.constData(), s.qos, 0, nullptr);
    emit c->Connected();
}

void Client::OnMessage(mosquitto*, void* self, const mosquitto_message* m, const mqtt5__property* props)
{
    auto* c = static_cast<Client*>(self);
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

bool Client::Publish(const QByteArray& topic, const QByteArray& payload, bool retain, int qos,
                     const QByteArray& correlation)
{
    if (!connected_ || !mosq_)
        return false;
    mosquitto_property* props = nullptr;
    if (!correlation.isEmpty())
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.constData(),
                                      uint16_t(std::min<qsizetype>(correlation.size(), 65535)));
    const int rc = mosquitto_publish_v5(mosq_, nullptr, topic.constData(), int(payload.size()),
                                        payload.constData(), qos, retain, props);
    mosquitto_property_free_all(&props);
    // Written at once unless the socket is full (or we are inside a callback):
    // the rest goes when it can take more.
    if (write_)
        write_->setEnabled(mosquitto_want_write(mosq_));
    return rc == MOSQ_ERR_SUCCESS;
}

void Client::FlushWrites(int msecs)
{
    QDeadlineTimer deadline(msecs);
    while (mosq_ && mosquitto_socket(mosq_) >= 0 && mosquitto_want_write(mosq_) && !deadline.hasExpired()) {
        pollfd p{mosquitto_socket(mosq_), POLLOUT, 0};
        if (::poll(&p, 1, int(deadline.remainingTime())) <= 0)
            break;
        if (mosquitto_loop_write(mosq_, 1) != MOSQ_ERR_SUCCESS)
            break;
    }
}

void Client::Stop(const QByteArray& topic, const QByteArray& payload, bool retain, int msecs)
{
    if (stopped_)
        return;
    stopped_ = true;
    retry_.stop();
    connectWait_.stop();
    housekeeping_.stop();
    if (connected_) {
        if (!topic.isEmpty())
            mosquitto_publish_v5(mosq_, nullptr, topic.constData(), int(payload.size()), payload.constData(), 0,
                                 retain, nullptr);
        FlushWrites(msecs);
        // The notifiers go before libmosquitto closes the socket on sending the disconnect.
        Unwatch();
        mosquitto_disconnect_v5(mosq_, 0, nullptr);
        FlushWrites(msecs);
    }
    Unwatch();
    connected_ = false;
}

} // namespace Mqtt
