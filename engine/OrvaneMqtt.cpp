#include "engine/OrvaneMqtt.h"

#include "base/Log.h"
#include "dbus/BusNames.h"
#include "engine/LEDMain.h"
#include "engine/Limits.h"
#include "engine/OrvaneMqttParts.h"
#include "engine/Roads.h"
#include "mqtt/MqttClient.h"
#include "mqtt/ReplyTopic.h"
#include "mqtt/Topics.h"
#include "params/TRAPAR.h"

#include <QList>
#include <QPointer>
#include <QRegularExpression>
#include <QSysInfo>
#include <QElapsedTimer>
#include <QTimer>
#include <memory>
#include <utility>

namespace OrvaneMqtt {
namespace {

using Log::Say;

// The broker road as the core knows it: the session while the program is on
// the broker (none while it is off), and what tests tune.
class Broker : public Roads::Road {
public:
    std::unique_ptr<Session> session;
    // Home Assistant's birth messages ask for the lights' configs anew; a
    // burst of them gets one round at once and at most one per this time
    // after it, the last one after the burst.
    qint64 discoveryRoundMs = 3000;
    int keepAliveSeconds = 30;

    void Start(QString*) override { OrvaneMqtt::Start(); }
    void SettingsReloaded() override { Restart(); }
    void ChannelCommanded(int index) override
    {
        if (session)
            session->ChannelCommanded(index);
    }
    void ChannelConfirmed(int index, int16_t intensity) override
    {
        if (session)
            session->ChannelConfirmed(index, intensity);
    }
    void Stopping(int msecs) override { OrvaneMqtt::Stop(msecs); }
    bool Configured() const override { return session != nullptr; }
    QString Status() const override
    {
        if (!session)
            return QStringLiteral("no MQTT");
        const QString version = ConnectedVersion();
        return version.isEmpty() ? QStringLiteral("MQTT not connected") : QStringLiteral("MQTT connected (%1)").arg(version);
    }
};

Broker& TheBroker()
{
    static Broker broker;
    return broker;
}

std::unique_ptr<Session>& Current() { return TheBroker().session; }

} // namespace

Session::Session(QString where, QByteArray discovery)
    : client_(new Mqtt::Client(this)), where_(std::move(where)), discovery_(std::move(discovery)),
      confirmed_(LEDMain::ChannelLevels()), lights_(this, confirmed_)
{
    lightShown_.fill(-1);
    clock_.start();
    client_->SetWill(Topic(Topics::kStatus), Topics::kOffline, true);
    // QoS 0: a request is never delivered twice, so no script runs twice.
    // exec/# holds exec itself and every tag below it.
    client_->AddSubscription(Topics::Tagged(TopicPrefix(), Topics::kExec, "#"), 0);
    client_->AddSubscription(Topics::Channel(TopicPrefix(), '+', Topics::kSet), 0);
    if (!discovery_.isEmpty()) {
        client_->AddSubscription(Topics::Channel(TopicPrefix(), '+', Topics::kLightSet), 0);
        client_->AddSubscription(Topics::DiscoveryStatus(discovery_), 0);
    }
    connect(client_, &Mqtt::Client::Received, this, &Session::Receive);
    connect(client_, &Mqtt::Client::Dropped, this, &Session::BrokerDropped);
    connect(client_, &Mqtt::Client::Connected, this, &Session::OnConnected);
    connect(client_, &Mqtt::Client::Failed, this, &Session::OnFailed);
    connect(client_, &Mqtt::Client::Discarded, this, [this](const QByteArray& topic, qint64 bytes) {
        // Any client chose the topic: no control character of it reaches the log.
        QString named = QString::fromUtf8(topic);
        for (QChar& c : named)
            if (!c.isPrint())
                c = QLatin1Char('?');
        Say(QStringLiteral("MQTT broker %1: a message of %2 bytes on %3 was discarded: the program takes at most %4, "
                           "and the broker ignores the limit it was given")
                .arg(where_)
                .arg(bytes)
                .arg(named.isEmpty() ? QStringLiteral("a topic not read") : named,
                     Limits::Bytes(Limits::kMaxScriptBytes + kTopicRoomBytes)),
            &lcMqtt);
    });
}

void Session::Leave(int msecs)
{
    client_->Stop(Topic(Topics::kStatus), Topics::kOffline, true, msecs);
    qCDebug(lcMqtt) << "left" << where_;
}

void Session::PublishState()
{
    client_->PublishLatest(Topic(Topics::kState), StateJson(confirmed_), true);
    if (discovery_.isEmpty())
        return;
    for (int i = 0; i < Channels::kCount; ++i) {
        const auto c = size_t(i);
        if (lightShown_[c] == confirmed_[c])
            continue;
        if (client_->PublishLatest(ChannelTopic(i, Topics::kLight), LightState(confirmed_[c]), true))
            lightShown_[c] = confirmed_[c];
    }
}

// One dimmable light per channel, all four in one device.
void Session::PublishDiscovery()
{
    if (discovery_.isEmpty())
        return;
    for (int i = 0; i < Channels::kCount; ++i) {
        const LightConfig c = DiscoveryConfig(i, ProgramName(), TopicPrefix());
        client_->Publish(Topics::DiscoveryConfig(discovery_, c.id), c.json, true);
    }
    lastRound_.start();
}

void Session::DiscoveryAsked()
{
    if (roundOwed_)
        return;
    const qint64 round = TheBroker().discoveryRoundMs;
    const qint64 since = lastRound_.isValid() ? lastRound_.elapsed() : round;
    if (since >= round) {
        PublishDiscovery();
        return;
    }
    roundOwed_ = true;
    QTimer::singleShot(round - since, this, [this] {
        roundOwed_ = false;
        PublishDiscovery();
    });
}

void Session::OnConnected()
{
    qCDebug(lcMqtt) << "connected to" << where_ << "over MQTT" << Mqtt::ProtocolName(client_->ProtocolInUse());
    if (saidDown_)
        Say(QStringLiteral("MQTT broker %1: connected again after %2 s").arg(where_).arg((down_.elapsed() + 500) / 1000),
            &lcMqtt);
    saidDown_ = false;
    down_.invalidate();
    if (client_->ProtocolInUse() == Mqtt::Protocol::V311 && !said311_) {
        said311_ = true;
        Say(QStringLiteral("MQTT broker %1 speaks MQTT 3.1.1, not 5: requests carry no response topic or correlation "
                           "data, so exec is answered on result and exec/<tag> on result/<tag>; and the broker is "
                           "not told the largest message the program takes, so it delivers larger requests, which "
                           "are read past and dropped")
                .arg(where_),
            &lcMqtt);
    }
    // QoS 0: libmosquitto would send an unconfirmed QoS 1 message again after a
    // reconnect, behind the newer one; each connection publishes anew instead.
    client_->Publish(Topic(Topics::kStatus), Topics::kOnline, true);
    PublishDiscovery();
    // Each light's state is published anew: a new broker may hold none.
    lightShown_.fill(-1);
    PublishState();
}

void Session::OnFailed(const QString& why)
{
    qCDebug(lcMqtt) << "broker" << where_ << ":" << why << "; next attempt in" << client_->RetryDelayMs() << "ms";
    if (!down_.isValid())
        down_.start();
    if (why == saidFailure_)
        return;
    saidFailure_ = why;
    saidDown_ = true;
    Say(QStringLiteral("MQTT broker %1: %2; trying again").arg(where_, why), &lcMqtt);
}

void Session::BrokerDropped(int reason, qint64 connectedMs)
{
    const qint64 now = clock_.elapsed();
    while (!drops_.isEmpty() && now - drops_.first() > kDropWindowMs)
        drops_.removeFirst();
    if (connectedMs <= kEarlyDropMs)
        drops_.append(now);
    else
        saidFailure_.clear();  // a connection that held: its loss is news again
    if (reason != 0x8E && drops_.size() < kDropsForAFight)
        return;
    drops_.clear();
    // Another connection with our client id: a program with the same NAME on
    // this machine. Fighting over the id would throw each out in turn.
    Say(QStringLiteral("MQTT broker %1: another program uses NAME %2 (client id orvane-%3-%2); this one stops "
                       "trying until it is restarted or its settings are reloaded")
            .arg(where_, ProgramName(), QSysInfo::machineHostName()),
        &lcMqtt);
    client_->Stop();
}

void Session::ChannelConfirmed(int index, int16_t intensity)
{
    lights_.Confirmed(index, intensity);
    if (index < 0 || index >= Channels::kCount || confirmed_[size_t(index)] == intensity)
        return;
    confirmed_[size_t(index)] = intensity;
    // Now, inside a script too: the client sends each topic at most every
    // 50 ms, and the last value always.
    PublishState();
}


void Receive(const Mqtt::Message& m)
{
    if (Session* road = Current().get())
        road->Receive(m);
}

void BrokerDropped(int reason, qint64 connectedMs)
{
    if (Session* road = Current().get())
        road->BrokerDropped(reason, connectedMs);
}

QString ProgramName()
{
    // An invalid NAME is reported where it is read for the bus.
    const QString name = TRAPAR::ConfiguredName();
    return name.isEmpty() ? QString::fromLatin1(Topics::kNoName) : name;
}

QByteArray TopicPrefix() { return Topics::Prefix(ProgramName()); }

int16_t Start()
{
    std::unique_ptr<Session>& road = Current();
    if (road)
        return 1;
    Mqtt::Settings s;
    s.host = SettingText("MQTT_HOST");
    if (s.host.isEmpty())
        return 0;
    // Our NAME is served by another program on this machine: the broker would
    // see two clients with one id and throw each out in turn.
    if (Roads::NameHeldByOther()) {
        Say(QStringLiteral("another program on this machine serves NAME %1 on the bus; this one does not join the "
                           "MQTT broker %2")
                .arg(ProgramName(), s.host),
            &lcMqtt);
        return 0;
    }
    QByteArray discovery;
    if (const int16_t r = ReadSettings(s, discovery); r < 0)
        return r;
    s.keepAliveSeconds = TheBroker().keepAliveSeconds;
    s.clientId = QStringLiteral("orvane-%1-%2").arg(QSysInfo::machineHostName(), ProgramName());
    // The broker drops a request larger than a script may be, with room for
    // its topic and properties, instead of sending it for us to refuse.
    s.maxPacketBytes = uint32_t(Limits::kMaxScriptBytes + kTopicRoomBytes);
    const QString where = QStringLiteral("%1:%2").arg(s.host).arg(s.port);
    road = std::make_unique<Session>(where, discovery);
    qCDebug(lcMqtt) << "joining" << where << "as" << s.clientId;
    QString why;
    if (!road->Join(s, &why)) {
        road.reset();
        return Bad(s.caFile.isEmpty() ? "MQTT_HOST" : "MQTT_CAFILE", why);
    }
    return 1;
}

void Stop(int msecs)
{
    if (!Current())
        return;
    Current()->Leave(msecs);
    Current().reset();
}


void Restart()
{
    Stop();
    Start();
}

bool IsConnected() { return Current() && Current()->IsConnected(); }

bool IsServing() { return Current() && Current()->IsServing(); }

QString ConnectedVersion()
{
    return IsConnected() ? Mqtt::ProtocolName(Current()->ProtocolInUse()) : QString();
}

qint64 SetDiscoveryRoundMs(qint64 ms) { return std::exchange(TheBroker().discoveryRoundMs, ms); }

int SetKeepAliveSeconds(int seconds) { return std::exchange(TheBroker().keepAliveSeconds, seconds); }

Roads::Road& BrokerRoad() { return TheBroker(); }

} // namespace OrvaneMqtt
