#include "mqtt/MqttClient.h"

#include "mqtt/MqttLink.h"

#include <QMetaObject>
#include <QThread>

namespace Mqtt {

std::optional<Protocol> ParseProtocol(const QString& text)
{
    if (text.compare(QLatin1String("auto"), Qt::CaseInsensitive) == 0)
        return Protocol::Auto;
    if (text == QLatin1String("5"))
        return Protocol::V5;
    if (text == QLatin1String("3.1.1"))
        return Protocol::V311;
    return std::nullopt;
}

QString ProtocolName(Protocol protocol)
{
    switch (protocol) {
    case Protocol::V5:
        return QStringLiteral("5");
    case Protocol::V311:
        return QStringLiteral("3.1.1");
    case Protocol::Auto:
        break;
    }
    return QStringLiteral("auto");
}

Client::Client(QObject* parent) : QObject(parent), thread_(new QThread(this)), link_(new Link)
{
    thread_->setObjectName(QStringLiteral("mqtt"));
    link_->moveToThread(thread_);
    // Queued: the link emits on the network thread.
    connect(link_, &Link::Connected, this, &Client::Connected);
    connect(link_, &Link::Failed, this, &Client::Failed);
    connect(link_, &Link::Received, this, &Client::Received);
    connect(link_, &Link::Subscribed, this, &Client::Subscribed);
    connect(link_, &Link::Dropped, this, &Client::Dropped);
    connect(link_, &Link::Discarded, this, &Client::Discarded);
    thread_->start();
}

Client::~Client()
{
    // The link closes its socket without a word: the broker sends the will.
    OnNetworkThread([link = link_] { delete link; });
    thread_->quit();
    thread_->wait();
}

template <typename F>
void Client::OnNetworkThread(F f)
{
    QMetaObject::invokeMethod(link_, std::move(f), Qt::BlockingQueuedConnection);
}

void Client::SetWill(const QByteArray& topic, const QByteArray& payload, bool retain)
{
    willTopic_ = topic;
    willPayload_ = payload;
    willRetain_ = retain;
}

void Client::AddSubscription(const QByteArray& topic, int qos) { subscriptions_.append({topic, qos}); }

bool Client::Start(const Settings& settings, QString* why)
{
    Link::Will will{willTopic_, willPayload_, willRetain_};
    QList<Link::Subscription> subscriptions;
    for (const auto& [topic, qos] : std::as_const(subscriptions_))
        subscriptions.append({topic, qos});
    bool started = false;
    QString failed;
    OnNetworkThread([&] { started = link_->Start(settings, will, subscriptions, &failed); });
    if (why)
        *why = failed;
    return started;
}

bool Client::Publish(const QByteArray& topic, const QByteArray& payload, bool retain, int qos,
                     const QByteArray& correlation, const QByteArray& responseTopic)
{
    if (!IsConnected())
        return false;
    QMetaObject::invokeMethod(
        link_, [=, link = link_] { link->Publish(topic, payload, retain, qos, correlation, responseTopic); },
        Qt::QueuedConnection);
    return true;
}

bool Client::PublishLatest(const QByteArray& topic, const QByteArray& payload, bool retain)
{
    if (!IsConnected())
        return false;
    QMetaObject::invokeMethod(
        link_, [=, link = link_] { link->PublishLatest(topic, payload, retain); }, Qt::QueuedConnection);
    return true;
}

void Client::Stop(const QByteArray& topic, const QByteArray& payload, bool retain, int msecs)
{
    OnNetworkThread([&] { link_->Stop(topic, payload, retain, msecs); });
}

bool Client::IsConnected() const { return link_->IsConnected(); }
bool Client::IsSubscribed() const { return link_->IsSubscribed(); }
bool Client::IsLookingUp() const { return link_->IsLookingUp(); }
int Client::RetryDelayMs() const { return link_->RetryDelayMs(); }
Protocol Client::ProtocolInUse() const { return link_->ProtocolInUse(); }

void Client::SetConnectCall(ConnectCall call) { Link::SetConnectCall(call); }

} // namespace Mqtt
