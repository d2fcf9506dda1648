#include "mqtt/MqttLink.h"

#include "mqtt/BrokerRelay.h"
#include "mqtt/MqttLinkParts.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>

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


// The CA file's certificates from memory: the file was read without waiting
// by the settings' reader, and OpenSSL never opens it. False when none is in pem.
bool AddCertificates(SSL_CTX* ctx, const QByteArray& pem)
{
    BIO* bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    STACK_OF(X509_INFO)* infos = bio ? PEM_X509_INFO_read_bio(bio, nullptr, nullptr, nullptr) : nullptr;
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    int added = 0;
    for (int i = 0; infos && i < sk_X509_INFO_num(infos); ++i)
        if (X509* cert = sk_X509_INFO_value(infos, i)->x509; cert && X509_STORE_add_cert(store, cert) == 1)
            ++added;
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    BIO_free(bio);
    return added > 0;
}


int RelayedConnect(mosquitto* handle, const char* host, int port, int keepAlive, const mqtt5__property* props);

std::atomic<Client::ConnectCall> g_connectCall{&RelayedConnect};

} // namespace

void Link::SetConnectCall(ConnectCall call) { g_connectCall = call ? call : &RelayedConnect; }


namespace {

int RelayedConnect(mosquitto* handle, const char* host, int port, int keepAlive, const mqtt5__property* props)
{
    auto* shared = static_cast<Link::Shared*>(mosquitto_userdata(handle));
    Relay::Settings settings;
    Relay::Ending ending;
    {
        std::lock_guard lock(shared->mutex);
        settings = shared->relay;
        shared->ending = ending;
    }
    // The relay may outlive the link: it reaches it through the shared part while that has an owner.
    Relay::Discarded discarded = [weak = std::weak_ptr<Link::Shared>(shared->shared_from_this())](
                                     const QByteArray& topic, qint64 bytes) {
        const auto shared = weak.lock();
        if (!shared)
            return;
        std::lock_guard lock(shared->mutex);
        if (Link* link = shared->owner)
            QMetaObject::invokeMethod(link, [link, topic, bytes] { emit link->Discarded(topic, bytes); },
                                      Qt::QueuedConnection);
    };
    QString tlsError;
    const int rc = Relay::Connect(handle, host, port, keepAlive, props, shared->tls, settings, std::move(discarded),
                                  std::move(ending), &tlsError);
    if (!tlsError.isEmpty()) {
        const int saved = errno;
        std::lock_guard lock(shared->mutex);
        shared->lastError = tlsError;
        errno = saved;
    }
    return rc;
}

// OpenSSL's check of each certificate in the broker's chain: the first
// failure is kept, for the message that says why the broker was not joined.
int NoteVerify(int ok, X509_STORE_CTX* store)
{
    if (ok)
        return ok;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* shared = ssl ? static_cast<Link::Shared*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl))) : nullptr;
    if (shared) {
        std::lock_guard lock(shared->mutex);
        if (shared->verifyCode == X509_V_OK) {
            shared->verifyCode = X509_STORE_CTX_get_error(store);
            shared->verifyError = QString::fromUtf8(X509_verify_cert_error_string(shared->verifyCode));
        }
    }
    return ok;
}

} // namespace

Link::Link() : shared_(std::make_shared<Shared>())
{
    InitLibrary();
    shared_->owner = this;
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &Link::Attempt);
    connectWait_.setSingleShot(true);
    stepLimit_.setSingleShot(true);
    connect(&stepLimit_, &QTimer::timeout, this, &Link::StepTooLong);
    connect(&connectWait_, &QTimer::timeout, this, [this] {
        Lost(QStringLiteral("the broker did not accept the connection within %1 s").arg(Client::kConnectWaitMs / 1000));
    });
    // Keep-alive pings and the broker's silence are checked here; a second is
    // far below any keep-alive interval.
    housekeeping_.setInterval(1000);
    connect(&housekeeping_, &QTimer::timeout, this, [this] {
        if (fd_ >= 0)
            AfterIo(mosquitto_loop_misc(mosq_));
    });
}

Link::~Link()
{
    Unwatch();
    ReleaseHandle();
}

void Link::ReleaseHandle()
{
    bool ours = true;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->owner = nullptr;
        ours = shared_->stepDone;
    }
    // A step still under way destroys the handle when it returns.
    if (mosq_ && ours)
        mosquitto_destroy(mosq_);  // closes the socket, after its notifiers are gone
    mosq_ = nullptr;
    stepping_ = false;
}

bool Link::Start(const Settings& settings, const Will& will, const QList<Subscription>& subscriptions,
                 QString* why)
{
    if (!stopped_) {
        if (why)
            *why = QStringLiteral("the MQTT client runs already");
        return false;
    }
    // Nothing of a run before: neither its handle nor what it shared with a step.
    ReleaseHandle();
    shared_ = std::make_shared<Shared>();
    shared_->owner = this;
    settings_ = settings;
    will_ = will;
    subscriptions_ = subscriptions;
    protocol_ = settings.protocol == Protocol::V311 ? Protocol::V311 : Protocol::V5;
    fallBack_ = false;
    if (const QString failed = MakeHandle(); !failed.isEmpty()) {
        if (why)
            *why = failed;
        return false;
    }
    stopped_ = false;
    delayMs_ = Client::kFirstRetryMs;
    housekeeping_.start();
    Attempt();
    return true;
}

QString Link::MakeHandle()
{
    const Settings& settings = settings_;
    // Callbacks find the client through the shared part, which outlives it.
    mosq_ = mosquitto_new(settings.clientId.toUtf8().constData(), true, shared_.get());
    if (!mosq_)
        return QStringLiteral("cannot create an MQTT client: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    // MQTT 5 carries the response topic and correlation data of a request;
    // 3.1.1 only when the settings or the broker leave no choice.
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION,
                         protocol_ == Protocol::V311 ? MQTT_PROTOCOL_V311 : MQTT_PROTOCOL_V5);
    // A reply is one small packet: it leaves at once instead of waiting for more.
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(mosq_, &Link::OnConnect);
    mosquitto_message_v5_callback_set(mosq_, &Link::OnMessage);
    mosquitto_subscribe_v5_callback_set(mosq_, &Link::OnSubscribe);
    mosquitto_disconnect_v5_callback_set(mosq_, &Link::OnDisconnect);
    mosquitto_log_callback_set(mosq_, &Link::OnLog);
    if (!will_.topic.isEmpty()) {
        const int rc = mosquitto_will_set_v5(mosq_, will_.topic.constData(), int(will_.payload.size()),
                                             will_.payload.constData(), 1, will_.retain, nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return QStringLiteral("the will is refused: %1").arg(ErrorText(rc, errno));
    }
    if (!settings.user.isEmpty()) {
        const int rc = mosquitto_username_pw_set(mosq_, settings.user.toUtf8().constData(),
                                                 settings.password.isEmpty() ? nullptr : settings.password.constData());
        if (rc != MOSQ_ERR_SUCCESS)
            return QStringLiteral("the user name is refused: %1").arg(ErrorText(rc, errno));
    }
    if (!settings.caFile.isEmpty()) {
        // Our own context: libmosquitto would check the certificate against
        // the string it connects to; ours checks it against the configured
        // name and says why it failed.
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        if (!ctx)
            return QStringLiteral("cannot set up TLS");
        shared_->tls = ctx;
        shared_->host = settings.host;
        SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
        if (!AddCertificates(ctx, settings.caPem))
            return QStringLiteral("the CA file %1 holds no certificate that can be used").arg(settings.caFile);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, &NoteVerify);
        SSL_CTX_set_app_data(ctx, shared_.get());
        X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
        const QByteArray host = settings.host.toUtf8();
        // An address is checked as an address, a name as a name.
        if (X509_VERIFY_PARAM_set1_ip_asc(param, host.constData()) != 1)
            X509_VERIFY_PARAM_set1_host(param, host.constData(), host.size());
    }
    shared_->relay = {settings.maxPacketBytes, settings.ackAtOnce, std::max(settings.connectStepMs, 1)};
    return QString();
}

void Link::Attempt()
{
    if (stopped_ || stepping_)
        return;
    Unwatch();  // libmosquitto closes the socket of the last attempt in the step
    refused_.clear();
    disconnectReason_ = 0;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stepDone = false;
        shared_->lastError.clear();
        shared_->verifyError.clear();
        shared_->verifyCode = X509_V_OK;
    }
    stepping_ = true;
    // libmosquitto sends CONNECT properties only from its blocking connect, so
    // that runs here, on every attempt, with the host name itself: the lookup
    // and the TCP handshake block this thread only, and TLS checks the
    // broker's certificate against the name. The TLS handshake and CONNECT
    // then go on without blocking in the event loop.
    try {
        std::thread([shared = shared_, mosq = mosq_, host = settings_.host.toUtf8(), port = settings_.port,
                     keepAlive = settings_.keepAliveSeconds,
                     // libmosquitto refuses every CONNECT property on 3.1.1; the relay keeps the limit.
                     maxPacket = protocol_ == Protocol::V5 ? settings_.maxPacketBytes : 0u,
                     call = g_connectCall.load()] {
            mosquitto_property* props = nullptr;
            if (maxPacket > 0)
                mosquitto_property_add_int32(&props, MQTT_PROP_MAXIMUM_PACKET_SIZE, maxPacket);
            const int rc = call(mosq, host.constData(), port, keepAlive, props);
            const int savedErrno = errno;
            mosquitto_property_free_all(&props);
            {
                std::lock_guard lock(shared->mutex);
                shared->stepDone = true;
                if (Link* c = shared->owner) {
                    QMetaObject::invokeMethod(c, [c, rc, savedErrno] { c->Stepped(rc, savedErrno); },
                                              Qt::QueuedConnection);
                    return;
                }
            }
            mosquitto_destroy(mosq);
        }).detach();
    } catch (const std::system_error& e) {
        // No thread: the handle stays ours, and this attempt fails like any other.
        {
            std::lock_guard lock(shared_->mutex);
            shared_->stepDone = true;
        }
        const QString why = QStringLiteral("cannot start a thread to connect: %1").arg(QString::fromLocal8Bit(e.what()));
        QMetaObject::invokeMethod(this, [this, why] {
            stepping_ = false;
            if (!stopped_)
                Lost(why);
        }, Qt::QueuedConnection);
        return;
    }
    stepLimit_.start(std::max(settings_.connectStepMs, 1));
}

void Link::StepTooLong()
{
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->stepDone)
            return;  // its result is on its way
        shared_->owner = nullptr;  // the step frees its handle when it returns
    }
    mosq_ = nullptr;
    stepping_ = false;
    shared_ = std::make_shared<Shared>();
    shared_->owner = this;
    const QString failed = MakeHandle();
    if (!failed.isEmpty()) {
        // The settings did for the first handle; what fails now is said and ends the attempts.
        stopped_ = true;
        housekeeping_.stop();
        emit Failed(failed);
        return;
    }
    Lost(QStringLiteral("no connection within %1 ms (the host name lookup or the TCP connection hangs)")
             .arg(settings_.connectStepMs));
}

void Link::Stepped(int rc, int savedErrno)
{
    stepping_ = false;
    stepLimit_.stop();
    if (stopped_)
        return;
    if (rc != MOSQ_ERR_SUCCESS) {
        QString why = TlsWhy();
        if (why.isEmpty())
            why = rc == MOSQ_ERR_EAI ? QStringLiteral("cannot look up %1").arg(settings_.host) : ErrorText(rc, savedErrno);
        Lost(why);
        return;
    }
    connectWait_.start(Client::kConnectWaitMs);
    Watch();
    // CONNECT may wait behind the TLS handshake; the write notifier sends it.
    AfterIo(MOSQ_ERR_SUCCESS);
}

QString Link::TlsWhy() const
{
    std::lock_guard lock(shared_->mutex);
    switch (shared_->verifyCode) {
    case X509_V_OK:
        break;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return QStringLiteral("the broker's certificate does not name %1").arg(shared_->host);
    default:
        return QStringLiteral("the broker's certificate is not trusted by %1 (%2)")
            .arg(settings_.caFileSource, shared_->verifyError);
    }
    const QString& e = shared_->lastError;
    // A plain broker answers a TLS hello with MQTT bytes, or closes at once.
    if (e.contains(QLatin1String("wrong version number")) || e.contains(QLatin1String("packet length too long"))
        || e.contains(QLatin1String("record layer failure")))
        return QStringLiteral("the broker does not speak TLS on this port (%1)").arg(e);
    if (e.contains(QLatin1String("unexpected eof")))
        return QStringLiteral("the broker does not speak TLS on this port, or closed the connection during the "
                              "handshake (%1)")
            .arg(e);
    return e.isEmpty() || settings_.caFile.isEmpty() ? e : QStringLiteral("TLS failed: %1").arg(e);
}

QString Link::EndedUnanswered() const
{
    // A TLS port drops our plain CONNECT without a word, which libmosquitto
    // calls a lost connection: the likely cause is worth naming.
    return QStringLiteral("the broker closed the connection before it answered; if port %1 is a TLS port, give %2")
        .arg(settings_.port)
        .arg(settings_.caFileSource);
}

QString ErrorText(int rc, int savedErrno)
{
    QString text = rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(std::strerror(savedErrno))
                                        : QString::fromUtf8(mosquitto_strerror(rc));
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

// Milliseconds since some fixed moment, for how long a connection lasted.
qint64 NowMs()
{
    static const QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

} // namespace Mqtt
