#include "mqtt/ReplyTopic.h"

#include "mqtt/Topics.h"

#include <mosquitto.h>

namespace Mqtt {
namespace {

bool Matches(const QByteArray& filter, const QByteArray& topic)
{
    bool result = false;
    return mosquitto_topic_matches_sub2(filter.constData(), size_t(filter.size()), topic.constData(),
                                        size_t(topic.size()), &result) == MOSQ_ERR_SUCCESS
        && result;
}

} // namespace

QString ReplyTopicRefusal(const QByteArray& topic, const QByteArray& discoveryPrefix)
{
    if (topic.isEmpty() || topic.contains('\0')
        || mosquitto_pub_topic_check2(topic.constData(), size_t(topic.size())) != MOSQ_ERR_SUCCESS)
        return QStringLiteral("no topic an answer can be published on");
    // Every program's command topics, not only ours: the account that
    // answers may publish there, the client that asked perhaps not.
    const QByteArray any = Topics::Prefix(QStringLiteral("+"));
    for (const QByteArray& filter : {Topics::Tagged(any, Topics::kExec, "#"), Topics::Channel(any, '+', Topics::kSet),
                                     Topics::Channel(any, '+', Topics::kLightSet)})
        if (Matches(filter, topic))
            return QStringLiteral("one that Orvane takes commands on");
    // What programs and orvane-exec publish is read as theirs: an answer there would pass for it.
    for (const QByteArray& filter :
         {any + Topics::kStatus, any + Topics::kState, Topics::Channel(any, '+', Topics::kLight),
          Topics::Tagged(any, Topics::kResult, "#"), QByteArray(Topics::kExecOwn) + "/#"})
        if (Matches(filter, topic))
            return QStringLiteral("one that Orvane publishes on");
    if (!discoveryPrefix.isEmpty() && Matches(discoveryPrefix + "/#", topic))
        return QStringLiteral("under Home Assistant's discovery prefix");
    return QString();
}

} // namespace Mqtt
