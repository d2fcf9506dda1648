#include "engine/OrvaneMqtt.h"

#include "base/Log.h"
#include "dbus/BusNames.h"
#include "engine/LEDMain.h"
#include "engine/Limits.h"
#include "engine/OrvaneCmd.h"
#include "engine/OrvaneMqttParts.h"
#include "mqtt/MqttClient.h"
#include "mqtt/ReplyTopic.h"
#include "params/TRAPAR.h"

#include <QList>
#include <QRegularExpression>
#include <QSysInfo>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <iterator>

namespace OrvaneMqtt {
namespace {

Mqtt::Client* g_client = nullptr;
QString g_where;          // host:port, as messages name the broker
QString g_saidFailure;    // the failure last said on standard error
QByteArray g_discovery;   // Home Assistant's discovery prefix; empty: no discovery
// Broker drops soon after CONNACK within the last minute: another program
// with our client id throws us out.
QList<qint64> g_drops;
QElapsedTimer g_clock;
constexpr qint64 kDropWindowMs = 60000;
constexpr qint64 kEarlyDropMs = 5000;
constexpr int kDropsForAFight = 3;
// Home Assistant's birth messages ask for the lights' configs anew; a burst of
// them gets one round at once and at most one per this time after it, the
// last one after the burst.
constexpr qint64 kDiscoveryRoundMs = 3000;
QElapsedTimer g_lastRound;  // since the configs last went out
bool g_roundOwed = false;


enum class Kind { Script, Set, Light };
struct Request {
    Mqtt::Message message;
    int64_t scriptBytes = 0;  // a script over the limit is not kept, only its length
    Kind kind = Kind::Script;
    int channel = 0;          // Set and Light
    QByteArray replyTopic;    // where the answer goes; empty: nowhere
};
QList<Request> g_queue;
int64_t g_queuedBytes = 0;
bool g_busy = false;
bool g_runScheduled = false;
int16_t g_confirmed[4] = {0, 0, 0, 0};
bool g_statePending = false;
int16_t g_lightShown[4] = {-1, -1, -1, -1};  // the value each light's state topic holds; -1 unknown

QByteArray Topic(const char* leaf) { return TopicPrefix() + leaf; }

using Log::Say;

QByteArray ChannelTopic(int channel, const char* leaf)
{
    return TopicPrefix() + kChannels[channel] + '/' + leaf;
}

void PublishState()
{
    g_statePending = false;
    if (!g_client)
        return;
    g_client->Publish(Topic("state"), StateJson(g_confirmed), true);
    if (g_discovery.isEmpty())
        return;
    for (int i = 0; i < 4; ++i) {
        if (g_lightShown[i] == g_confirmed[i])
            continue;
        if (g_client->Publish(ChannelTopic(i, "light"), LightState(g_confirmed[i]), true))
            g_lightShown[i] = g_confirmed[i];
    }
}

// One dimmable light per channel, all four in one device.
void PublishDiscovery()
{
    if (g_discovery.isEmpty() || !g_client)
        return;
    for (int i = 0; i < 4; ++i) {
        const LightConfig c = DiscoveryConfig(i, ProgramName(), TopicPrefix());
        g_client->Publish(g_discovery + "/light/" + c.id + "/config", c.json, true);
    }
    g_lastRound.start();
}

void DiscoveryAsked()
{
    if (g_roundOwed || !g_client)
        return;
    const qint64 since = g_lastRound.isValid() ? g_lastRound.elapsed() : kDiscoveryRoundMs;
    if (since >= kDiscoveryRoundMs) {
        PublishDiscovery();
        return;
    }
    g_roundOwed = true;
    QTimer::singleShot(kDiscoveryRoundMs - since, g_client, [] {
        g_roundOwed = false;
        PublishDiscovery();
    });
}

void RunOne();

void ScheduleRun()
{
    if (g_runScheduled || !g_client)
        return;
    g_runScheduled = true;
    QTimer::singleShot(0, g_client, [] {
        g_runScheduled = false;
        RunOne();
    });
}

// One script per turn of the event loop, in arrival order, so bus calls and
// the window take their turns between them as they do between bus calls.
void RunOne()
{
    if (g_busy || g_queue.isEmpty() || !g_client)
        return;
    const Request r = g_queue.takeFirst();
    const Mqtt::Message& m = r.message;
    g_queuedBytes -= m.payload.size();
    g_busy = true;
    // A script queued behind a stop signal is not run.
    LEDMain::EndIfStopped();
    QString reply;
    const int64_t bytes = r.scriptBytes;
    if (r.kind == Kind::Light) {
        LightCommand(r.channel, m.payload);
    } else if (r.kind == Kind::Set) {
        // One command, never split: "100;Hide" is one bad value.
        const QString value = QString::fromUtf8(m.payload);
        LEDMain::ScriptFailure failure;
        reply = LEDMain::ExecCommand(QStringLiteral("LED %1 %2").arg(QLatin1Char(kChannels[r.channel])).arg(value),
                                     &failure);
        reply = failure.number != 0 ? QStringLiteral("Error %1: %2").arg(failure.number).arg(failure.description)
                                    : reply + QStringLiteral(" ; ");
    } else if (bytes > Limits::kMaxScriptBytes) {
        reply = QStringLiteral("Error The script is %1 bytes long; at most %2 are accepted")
                    .arg(bytes)
                    .arg(Limits::Bytes(Limits::kMaxScriptBytes));
    } else {
        LEDMain::ScriptFailure failure;
        reply = LEDMain::ExecScript(QString::fromUtf8(m.payload), &failure);
        const int64_t replyBytes = Limits::Utf8Length(reply);
        if (failure.number != 0)
            reply = QStringLiteral("Error %1: %2").arg(failure.number).arg(failure.description);
        else if (replyBytes > Limits::kMaxReplyBytes)
            reply = QStringLiteral("Error The script ran, but its responses are %1 bytes long; at most %2 are sent back")
                        .arg(replyBytes)
                        .arg(Limits::Bytes(Limits::kMaxReplyBytes));
    }
    if (!r.replyTopic.isEmpty() && g_client)
        g_client->Publish(r.replyTopic, reply.toUtf8(), false, 0, m.correlation);
    g_busy = false;
    LEDMain::EndIfStopped();
    if (!g_queue.isEmpty())
        ScheduleRun();
}

} // namespace

void Receive(const Mqtt::Message& m)
{
    qCDebug(lcMqtt) << "received" << m.payload.size() << "bytes on" << m.topic;
    if (!g_discovery.isEmpty() && m.topic == g_discovery + "/status") {
        // Home Assistant came (back): it learns the lights anew.
        if (m.payload == "online")
            DiscoveryAsked();
        return;
    }
    // A retained request would run again for every program that subscribes.
    if (m.retained) {
        qCDebug(lcMqtt) << "ignored a retained message on" << m.topic;
        return;
    }
    const QByteArray prefix = TopicPrefix();
    if (!m.topic.startsWith(prefix))
        return;
    const QByteArray leaf = m.topic.mid(prefix.size());
    Request r;
    r.message = m;
    r.scriptBytes = m.payload.size();
    static const QRegularExpression set(QStringLiteral("^([RGBA])/(set|light/set)$"));
    if (leaf == "exec" || leaf.startsWith("exec/")) {
        // Whatever follows exec/, levels and all, is the tag; its answer goes under result/.
        r.replyTopic = m.responseTopic.isEmpty() ? prefix + "result" + leaf.mid(4) : m.responseTopic;
    } else if (const auto c = set.match(QString::fromUtf8(leaf)); c.hasMatch()) {
        r.channel = int(QByteArray(kChannels, 4).indexOf(c.captured(1).toLatin1().at(0)));
        r.kind = c.captured(2) == QLatin1String("set") ? Kind::Set : Kind::Light;
        if (r.kind == Kind::Light && g_discovery.isEmpty())
            return;
        // Home Assistant follows the state topic; it wants no answer.
        if (r.kind == Kind::Set)
            r.replyTopic = m.responseTopic.isEmpty() ? prefix + "result" : m.responseTopic;
    } else {
        return;
    }
    if (const QString why = Mqtt::ReplyTopicRefusal(r.replyTopic, g_discovery);
        !r.replyTopic.isEmpty() && !why.isEmpty()) {
        qCDebug(lcMqtt) << "not run: the answer would go to" << r.replyTopic;
        if (g_client)
            g_client->Publish(prefix + "result",
                              QStringLiteral("Error The response topic is %1; the request was not run").arg(why).toUtf8(),
                              false, 0, m.correlation);
        return;
    }
    if (r.scriptBytes > Limits::kMaxScriptBytes)
        r.message.payload.clear();
    if (g_queue.size() >= Limits::kMaxQueuedRequests
        || g_queuedBytes + r.message.payload.size() > Limits::kMaxQueuedBytes) {
        if (!r.replyTopic.isEmpty() && g_client)
            g_client->Publish(r.replyTopic,
                              QStringLiteral("Error %1 requests wait already; this one was not run")
                                  .arg(g_queue.size())
                                  .toUtf8(),
                              false, 0, m.correlation);
        return;
    }
    g_queuedBytes += r.message.payload.size();
    g_queue.append(std::move(r));
    ScheduleRun();
}

namespace {

void OnConnected()
{
    qCDebug(lcMqtt) << "connected to" << g_where;
    // QoS 0: libmosquitto would send an unconfirmed QoS 1 message again after a
    // reconnect, behind the newer one; each connection publishes anew instead.
    g_client->Publish(Topic("status"), "online", true);
    PublishDiscovery();
    // Each light's state is published anew: a new broker may hold none.
    std::fill(std::begin(g_lightShown), std::end(g_lightShown), int16_t(-1));
    PublishState();
}

void OnFailed(const QString& why)
{
    qCDebug(lcMqtt) << "broker" << g_where << ":" << why << "; next attempt in" << g_client->RetryDelayMs() << "ms";
    if (why == g_saidFailure)
        return;
    g_saidFailure = why;
    Say(QStringLiteral("MQTT broker %1: %2; trying again").arg(g_where, why), &lcMqtt);
}

} // namespace

void BrokerDropped(int reason, qint64 connectedMs)
{
    if (!g_client)
        return;
    if (!g_clock.isValid())
        g_clock.start();
    const qint64 now = g_clock.elapsed();
    while (!g_drops.isEmpty() && now - g_drops.first() > kDropWindowMs)
        g_drops.removeFirst();
    if (connectedMs <= kEarlyDropMs)
        g_drops.append(now);
    else
        g_saidFailure.clear();  // a connection that held: its loss is news again
    if (reason != 0x8E && g_drops.size() < kDropsForAFight)
        return;
    g_drops.clear();
    // Another connection with our client id: a program with the same NAME on
    // this machine. Fighting over the id would throw each out in turn.
    Say(QStringLiteral("MQTT broker %1: another program uses NAME %2 (client id orvane-%3-%2); this one stops "
                       "trying until it is restarted or its settings are reloaded")
            .arg(g_where, ProgramName(), QSysInfo::machineHostName()),
        &lcMqtt);
    g_client->Stop();
}

QString ProgramName()
{
    // An invalid NAME is reported where it is read for the bus.
    const QString name = TRAPAR::ConfiguredName();
    return name.isEmpty() ? QStringLiteral("orvane") : name;
}

QByteArray TopicPrefix() { return "orvane/" + ProgramName().toUtf8() + '/'; }

int16_t Start()
{
    if (g_client)
        return 1;
    Mqtt::Settings s;
    s.host = SettingText("MQTT_HOST");
    if (s.host.isEmpty())
        return 0;
    // Our NAME is served by another program on this machine: the broker would
    // see two clients with one id and throw each out in turn.
    if (OrvaneCmd::BusNameHeldByOther()) {
        Say(QStringLiteral("another program on this machine serves NAME %1 on the bus; this one does not join the "
                           "MQTT broker %2")
                .arg(ProgramName(), s.host),
            &lcMqtt);
        return 0;
    }
    if (const int16_t r = ReadSettings(s, g_discovery); r < 0)
        return r;
    s.clientId = QStringLiteral("orvane-%1-%2").arg(QSysInfo::machineHostName(), ProgramName());
    // The broker drops a request larger than a script may be, with room for
    // its topic and properties, instead of sending it for us to refuse.
    s.maxPacketBytes = uint32_t(Limits::kMaxScriptBytes + 64 * 1024);
    g_where = QStringLiteral("%1:%2").arg(s.host).arg(s.port);
    g_saidFailure.clear();
    g_queue.clear();
    g_queuedBytes = 0;
    g_drops.clear();
    g_roundOwed = false;
    g_lastRound.invalidate();
    EndLights(true);

    g_client = new Mqtt::Client;
    g_client->SetWill(Topic("status"), "offline", true);
    // QoS 0: a request is never delivered twice, so no script runs twice.
    // exec/# holds exec itself and every tag below it.
    g_client->AddSubscription(Topic("exec/#"), 0);
    g_client->AddSubscription(Topic("+/set"), 0);
    if (!g_discovery.isEmpty()) {
        g_client->AddSubscription(Topic("+/light/set"), 0);
        g_client->AddSubscription(g_discovery + "/status", 0);
    }
    QObject::connect(g_client, &Mqtt::Client::Received, g_client, &Receive);
    QObject::connect(g_client, &Mqtt::Client::Dropped, g_client, &BrokerDropped);
    QObject::connect(g_client, &Mqtt::Client::Connected, g_client, &OnConnected);
    QObject::connect(g_client, &Mqtt::Client::Failed, g_client, &OnFailed);
    qCDebug(lcMqtt) << "joining" << g_where << "as" << s.clientId;
    QString why;
    if (!g_client->Start(s, &why)) {
        delete std::exchange(g_client, nullptr);
        return Bad(s.caFile.isEmpty() ? "MQTT_HOST" : "MQTT_CAFILE", why);
    }
    return 1;
}

void Stop(int msecs)
{
    if (!g_client)
        return;
    if (g_statePending)
        PublishState();
    g_client->Stop(Topic("status"), "offline", true, msecs);
    qCDebug(lcMqtt) << "left" << g_where;
    g_queue.clear();
    g_queuedBytes = 0;
    g_busy = false;
    // Their queued calls go with the client.
    g_runScheduled = false;
    g_statePending = false;
    EndLights(false);
    delete std::exchange(g_client, nullptr);
}

void Restart()
{
    Stop();
    Start();
}

bool IsConnected() { return g_client && g_client->IsConnected(); }

bool IsServing() { return g_client && g_client->IsSubscribed(); }

void ChannelConfirmed(int index, int16_t intensity)
{
    LightConfirmed(index, intensity);
    if (index < 0 || index > 3 || g_confirmed[index] == intensity)
        return;
    g_confirmed[index] = intensity;
    if (!g_client || g_statePending)
        return;
    // Once per turn of the event loop, however many channels a move sets.
    g_statePending = true;
    QTimer::singleShot(0, g_client, [] {
        if (g_statePending)
            PublishState();
    });
}

} // namespace OrvaneMqtt
