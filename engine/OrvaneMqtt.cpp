#include "engine/OrvaneMqtt.h"

#include "base/Log.h"
#include "base/Platform.h"
#include "base/Posix.h"
#include "dbus/BusNames.h"
#include "engine/LEDMain.h"
#include "engine/Limits.h"
#include "mqtt/MqttClient.h"
#include "params/TRAPAR.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSysInfo>
#include <QTimer>

namespace OrvaneMqtt {
namespace {

Mqtt::Client* g_client = nullptr;
QString g_where;          // host:port, as messages name the broker
QString g_saidFailure;    // the failure last said on standard error
struct Request {
    Mqtt::Message message;
    int64_t scriptBytes = 0;  // a script over the limit is not kept, only its length
};
QList<Request> g_queue;
int64_t g_queuedBytes = 0;
bool g_busy = false;
bool g_runScheduled = false;
int16_t g_confirmed[4] = {0, 0, 0, 0};
bool g_statePending = false;

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

void PublishState()
{
    g_statePending = false;
    if (g_client)
        g_client->Publish(Topic("state"), StateJson(g_confirmed), true);
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
    if (bytes > Limits::kMaxScriptBytes) {
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
    if (!m.responseTopic.isEmpty() && g_client)
        g_client->Publish(m.responseTopic, reply.toUtf8(), false, 0, m.correlation);
    g_busy = false;
    LEDMain::EndIfStopped();
    if (!g_queue.isEmpty())
        ScheduleRun();
}

} // namespace

void Receive(const Mqtt::Message& m)
{
    // A retained request would run again for every program that subscribes.
    if (m.retained) {
        qCDebug(lcMqtt) << "ignored a retained message on" << m.topic;
        return;
    }
    if (m.topic != Topic("exec"))
        return;
    Request r{m, m.payload.size()};
    if (r.scriptBytes > Limits::kMaxScriptBytes)
        r.message.payload.clear();
    if (g_queue.size() >= Limits::kMaxQueuedRequests
        || g_queuedBytes + r.message.payload.size() > Limits::kMaxQueuedBytes) {
        if (!m.responseTopic.isEmpty() && g_client)
            g_client->Publish(m.responseTopic,
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
    g_saidFailure.clear();
    // QoS 0: libmosquitto would send an unconfirmed QoS 1 message again after a
    // reconnect, behind the newer one; each connection publishes anew instead.
    g_client->Publish(Topic("status"), "online", true);
    PublishState();
}

void OnFailed(const QString& why)
{
    qCDebug(lcMqtt) << "broker" << g_where << ":" << why << "; next attempt in" << g_client->RetryDelayMs() << "ms";
    if (why == g_saidFailure)
        return;
    g_saidFailure = why;
    Say(QStringLiteral("MQTT broker %1: %2; trying again").arg(g_where, why));
}

} // namespace

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
        QByteArray password = f.readLine();
        while (password.endsWith('\n') || password.endsWith('\r'))
            password.chop(1);
        s.password = password;
        if (s.user.isEmpty())
            return Bad("MQTT_PASSWORD_FILE", QStringLiteral("is set, but MQTT_USER is not"));
    }
    s.clientId = QStringLiteral("orvane-%1-%2").arg(QSysInfo::machineHostName(), ProgramName());
    g_where = QStringLiteral("%1:%2").arg(s.host).arg(s.port);
    g_saidFailure.clear();
    g_queue.clear();
    g_queuedBytes = 0;

    g_client = new Mqtt::Client;
    g_client->SetWill(Topic("status"), "offline", true);
    // QoS 0: a request is never delivered twice, so no script runs twice.
    g_client->AddSubscription(Topic("exec"), 0);
    QObject::connect(g_client, &Mqtt::Client::Received, g_client, &Receive);
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

void Stop()
{
    if (!g_client)
        return;
    if (g_statePending)
        PublishState();
    g_client->Stop(Topic("status"), "offline", true);
    qCDebug(lcMqtt) << "left" << g_where;
    g_queue.clear();
    g_queuedBytes = 0;
    g_busy = false;
    // Their queued calls go with the client.
    g_runScheduled = false;
    g_statePending = false;
    delete std::exchange(g_client, nullptr);
}

bool IsConnected() { return g_client && g_client->IsConnected(); }

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
