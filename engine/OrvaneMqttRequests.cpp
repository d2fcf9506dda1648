#include "engine/OrvaneMqtt.h"

#include "base/Log.h"
#include "engine/LEDMain.h"
#include "engine/Limits.h"
#include "engine/OrvaneMqttParts.h"
#include "engine/Roads.h"
#include "mqtt/ReplyTopic.h"
#include "mqtt/Topics.h"

#include <QPointer>
#include <QRegularExpression>

// The broker road's requests: what arrives is queued (RequestQueue), then run
// and answered.
namespace OrvaneMqtt {

// One request, its turn come (RequestQueue): run and answered.
void Session::Run(Request& r)
{
    const Mqtt::Message& m = r.message;
    const QPointer<Session> self(this);
    QString reply;
    const int64_t bytes = r.scriptBytes;
    if (r.kind == Kind::Light) {
        lights_.Command(r.channel, m.payload);
    } else if (r.kind == Kind::Set) {
        // One value, never a script: "100;Hide" is one bad value.
        reply = LEDMain::LedRequest(r.channel, QString::fromUtf8(m.payload)) + QStringLiteral(" ; ");
    } else {
        reply = Roads::RunScript(QString::fromUtf8(m.payload), bytes);
    }
    if (!self)
        return;
    if (!r.replyTopic.isEmpty())
        client_->Publish(r.replyTopic, reply.toUtf8(), false, 0, m.correlation);
}

void Session::Receive(const Mqtt::Message& m)
{
    qCDebug(lcMqtt) << "received" << m.payload.size() << "bytes on" << m.topic;
    if (!discovery_.isEmpty() && m.topic == Topics::DiscoveryStatus(discovery_)) {
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
    static const QRegularExpression set(
        QStringLiteral("^([^/])/(%1|%2)$").arg(QLatin1String(Topics::kSet), QLatin1String(Topics::kLightSet)));
    static const QByteArray exec = Topics::kExec;
    if (leaf == exec || leaf.startsWith(exec + '/')) {
        // Whatever follows exec/, levels and all, is the tag; its answer goes under result/.
        r.replyTopic = m.responseTopic.isEmpty() ? prefix + Topics::kResult + leaf.mid(exec.size()) : m.responseTopic;
    } else if (const auto c = set.match(QString::fromUtf8(leaf)); c.hasMatch()) {
        r.channel = Channels::ByCommand(c.capturedView(1));
        if (r.channel < 0)
            return;
        r.kind = c.captured(2) == QLatin1String(Topics::kSet) ? Kind::Set : Kind::Light;
        if (r.kind == Kind::Light && discovery_.isEmpty())
            return;
        // Home Assistant follows the state topic; it wants no answer.
        if (r.kind == Kind::Set)
            r.replyTopic = m.responseTopic.isEmpty() ? prefix + Topics::kResult : m.responseTopic;
    } else {
        return;
    }
    // Only a topic the client chose is asked about: result and result/<tag> are ours.
    if (const QString why = Mqtt::ReplyTopicRefusal(m.responseTopic, discovery_);
        !m.responseTopic.isEmpty() && !r.replyTopic.isEmpty() && !why.isEmpty()) {
        qCDebug(lcMqtt) << "not run: the answer would go to" << r.replyTopic;
        client_->Publish(prefix + Topics::kResult,
                         QStringLiteral("Error The response topic is %1; the request was not run").arg(why).toUtf8(),
                         false, 0, m.correlation);
        return;
    }
    if (r.scriptBytes > Limits::kMaxScriptBytes)
        r.message.payload.clear();
    const QByteArray replyTopic = r.replyTopic;
    const int64_t bytes = r.message.payload.size();
    if (!requests_.Add(std::move(r), bytes) && !replyTopic.isEmpty())
        client_->Publish(replyTopic,
                         QStringLiteral("Error %1 requests wait already; this one was not run").arg(requests_.Size()).toUtf8(),
                         false, 0, m.correlation);
}

} // namespace OrvaneMqtt
