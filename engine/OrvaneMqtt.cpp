#include "engine/OrvaneMqtt.h"

#include "base/Log.h"
#include "base/Platform.h"
#include "base/Posix.h"
#include "dbus/BusNames.h"
#include "engine/LEDMain.h"
#include "engine/Limits.h"
#include "engine/OrvaneCmd.h"
#include "engine/StartOptions.h"
#include "mqtt/MqttClient.h"
#include "params/TRAPAR.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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
constexpr qint64 kMaxPasswordFileBytes = 64 * 1024;

// The letters of the four channels, in the order the bars stand.
constexpr char kChannels[4] = {'R', 'G', 'B', 'A'};
const char* const kChannelNames[4] = {"Red", "Green", "Blue", "Amber"};

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

// A parameter's value without the message that a missing one gets elsewhere:
// every MQTT setting is optional.
bool Setting(const char* name, QVariant& value)
{
    for (int16_t i = 0; i < TRAPAR::ParCount(); ++i) {
        QString n;
        QVariant v;
        if (TRAPAR::GetParByIndex(i, n, v) == 1 && n == QLatin1String(name)) {
            value = v;
            return true;
        }
    }
    return false;
}

QString SettingText(const char* name)
{
    QVariant v;
    return Setting(name, v) ? TRAPAR::ValueToText(v).trimmed() : QString();
}

int16_t Bad(const char* name, const QString& why)
{
    Platform::MsgBox(QStringLiteral("Parameter %1 in %2 %3; the controller is not on the MQTT broker")
                         .arg(QLatin1String(name), TRAPAR::GetParPath(), why),
                     Platform::vbCritical);
    return -1;
}

// A file named by a setting: relative to the settings file's folder.
QString SettingPath(const QString& value)
{
    return QFileInfo(QFileInfo(TRAPAR::GetParPath()).absoluteDir(), value).filePath();
}

// R, G, B, A in the order the bars stand: {"R":0,"G":120,"B":500,"A":0}
QByteArray StateJson(const int16_t (&v)[4])
{
    return QStringLiteral("{\"R\":%1,\"G\":%2,\"B\":%3,\"A\":%4}").arg(v[0]).arg(v[1]).arg(v[2]).arg(v[3]).toUtf8();
}

QByteArray ChannelTopic(int channel, const char* leaf)
{
    return TopicPrefix() + kChannels[channel] + '/' + leaf;
}

QByteArray LightState(int16_t value)
{
    return value > 0 ? QStringLiteral("{\"state\":\"ON\",\"brightness\":%1,\"color_mode\":\"brightness\"}")
                           .arg(value)
                           .toUtf8()
                     : QByteArray("{\"state\":\"OFF\"}");
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
    const QString name = ProgramName();
    QString version = StartOptions::Version();
    version.remove(QStringLiteral("orvane "));
    const QJsonObject device{{"identifiers", QJsonArray{QStringLiteral("orvane_") + name}},
                             {"name", QStringLiteral("Orvane ") + name},
                             {"model", QStringLiteral("Orvane four-channel LED controller")},
                             {"sw_version", version}};
    for (int i = 0; i < 4; ++i) {
        const QString id = QStringLiteral("orvane_%1_%2").arg(name).arg(QLatin1Char(kChannels[i]));
        const QJsonObject config{{"name", QLatin1String(kChannelNames[i])},
                                 {"unique_id", id},
                                 {"schema", "json"},
                                 {"brightness", true},
                                 {"supported_color_modes", QJsonArray{"brightness"}},
                                 {"brightness_scale", 500},
                                 {"command_topic", QString::fromUtf8(ChannelTopic(i, "light/set"))},
                                 {"state_topic", QString::fromUtf8(ChannelTopic(i, "light"))},
                                 {"availability_topic", QString::fromUtf8(Topic("status"))},
                                 {"device", device}};
        g_client->Publish(g_discovery + "/light/" + id.toUtf8() + "/config",
                          QJsonDocument(config).toJson(QJsonDocument::Compact), true);
    }
}

// The value of a light command: {"state":"ON","brightness":N} or {"state":"OFF"};
// ON without brightness is full. Empty when the payload is no such command.
QString LightValue(const QByteArray& payload)
{
    const QJsonObject o = QJsonDocument::fromJson(payload).object();
    const QString state = o.value(QLatin1String("state")).toString();
    if (state == QLatin1String("OFF"))
        return QStringLiteral("0");
    if (state != QLatin1String("ON"))
        return QString();
    const QJsonValue b = o.value(QLatin1String("brightness"));
    if (b.isUndefined())
        return QStringLiteral("500");
    return b.isDouble() ? QString::number(b.toDouble(), 'f', 0) : QString();
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
    if (r.kind != Kind::Script) {
        // One command, never split: "100;Hide" is one bad value.
        const QString value = r.kind == Kind::Set ? QString::fromUtf8(m.payload) : LightValue(m.payload);
        if (value.isEmpty() && r.kind == Kind::Light) {
            qCDebug(lcMqtt) << "ignored a light command that is no JSON of state and brightness:" << m.topic;
        } else {
            LEDMain::ScriptFailure failure;
            reply = LEDMain::ExecCommand(QStringLiteral("LED %1 %2").arg(QLatin1Char(kChannels[r.channel])).arg(value),
                                         &failure);
            reply = failure.number != 0 ? QStringLiteral("Error %1: %2").arg(failure.number).arg(failure.description)
                                        : reply + QStringLiteral(" ; ");
        }
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
            PublishDiscovery();
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
    static const QRegularExpression tag(QStringLiteral("^exec/([A-Za-z0-9_-]+)$"));
    static const QRegularExpression set(QStringLiteral("^([RGBA])/(set|light/set)$"));
    if (leaf == "exec") {
        r.replyTopic = m.responseTopic.isEmpty() ? prefix + "result" : m.responseTopic;
    } else if (const auto t = tag.match(QString::fromUtf8(leaf)); t.hasMatch()) {
        r.replyTopic = m.responseTopic.isEmpty() ? prefix + "result/" + t.captured(1).toUtf8() : m.responseTopic;
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
    const QString name = SettingText("NAME");
    return BusNames::IsControllerName(name) ? name : QStringLiteral("orvane");
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
    g_discovery = SettingText("MQTT_DISCOVERY").toUtf8();
    if (!g_discovery.isEmpty()
        && (g_discovery.contains('+') || g_discovery.contains('#') || g_discovery.startsWith('/')
            || g_discovery.endsWith('/') || g_discovery.contains("//")))
        return Bad("MQTT_DISCOVERY", QStringLiteral("is no topic prefix (no +, # or empty level): \"%1\"")
                                         .arg(QString::fromUtf8(g_discovery.left(40))));
    s.caFile = SettingText("MQTT_CAFILE");
    if (!s.caFile.isEmpty()) {
        s.caFile = SettingPath(s.caFile);
        QFile f(s.caFile);
        if (!f.open(QIODevice::ReadOnly))
            return Bad("MQTT_CAFILE", QStringLiteral("names %1, which cannot be read: %2").arg(s.caFile, f.errorString()));
    }
    s.port = s.caFile.isEmpty() ? 1883 : 8883;
    if (QVariant v; Setting("MQTT_PORT", v)) {
        const QString text = TRAPAR::ValueToText(v).trimmed();
        bool ok = false;
        const int port = text.toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            return Bad("MQTT_PORT", QStringLiteral("is not a port number from 1 to 65535: \"%1\"").arg(text.left(40)));
        s.port = port;
    }
    s.user = SettingText("MQTT_USER");
    if (const QString file = SettingText("MQTT_PASSWORD_FILE"); !file.isEmpty()) {
        const QString path = SettingPath(file);
        const int mode = Posix::RegularFileMode(path);
        if (mode < 0)
            return Bad("MQTT_PASSWORD_FILE", QStringLiteral("names %1, which is no readable file").arg(path));
        // A password that others may read is no secret: refused before it is used.
        if ((mode & 077) != 0)
            return Bad("MQTT_PASSWORD_FILE",
                       QStringLiteral("names %1, which others may read (mode %2); make it readable by its owner "
                                      "only (chmod 600)")
                           .arg(path)
                           .arg(mode & 0777, 4, 8, QLatin1Char('0')));
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return Bad("MQTT_PASSWORD_FILE", QStringLiteral("names %1, which cannot be read: %2").arg(path, f.errorString()));
        if (f.size() > kMaxPasswordFileBytes)
            return Bad("MQTT_PASSWORD_FILE", QStringLiteral("names %1, which is %2 bytes long; a password file holds "
                                                            "at most %3")
                                                 .arg(path)
                                                 .arg(f.size())
                                                 .arg(kMaxPasswordFileBytes));
        QByteArray password = f.readLine(kMaxPasswordFileBytes);
        while (password.endsWith('\n') || password.endsWith('\r'))
            password.chop(1);
        s.password = password;
        if (s.user.isEmpty())
            return Bad("MQTT_PASSWORD_FILE", QStringLiteral("is set, but MQTT_USER is not"));
    }
    s.clientId = QStringLiteral("orvane-%1-%2").arg(QSysInfo::machineHostName(), ProgramName());
    // The broker drops a request larger than a script may be, with room for
    // its topic and properties, instead of sending it for us to refuse.
    s.maxPacketBytes = uint32_t(Limits::kMaxScriptBytes + 64 * 1024);
    g_where = QStringLiteral("%1:%2").arg(s.host).arg(s.port);
    g_saidFailure.clear();
    g_queue.clear();
    g_queuedBytes = 0;
    g_drops.clear();

    g_client = new Mqtt::Client;
    g_client->SetWill(Topic("status"), "offline", true);
    // QoS 0: a request is never delivered twice, so no script runs twice.
    g_client->AddSubscription(Topic("exec"), 0);
    g_client->AddSubscription(Topic("exec/+"), 0);
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
