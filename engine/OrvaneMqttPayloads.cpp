// What the MQTT road publishes and reads besides scripts: the state of the
// four channels and Home Assistant's lights.
#include "engine/OrvaneMqttParts.h"

#include "engine/StartOptions.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace OrvaneMqtt {

// R, G, B, A in the order the bars stand: {"R":0,"G":120,"B":500,"A":0}
QByteArray StateJson(const int16_t (&v)[4])
{
    return QStringLiteral("{\"R\":%1,\"G\":%2,\"B\":%3,\"A\":%4}").arg(v[0]).arg(v[1]).arg(v[2]).arg(v[3]).toUtf8();
}

QByteArray LightState(int16_t value)
{
    return value > 0 ? QStringLiteral("{\"state\":\"ON\",\"brightness\":%1,\"color_mode\":\"brightness\"}")
                           .arg(value)
                           .toUtf8()
                     : QByteArray("{\"state\":\"OFF\"}");
}

LightConfig DiscoveryConfig(int channel, const QString& name, const QByteArray& topicPrefix)
{
    static const char* const kNames[4] = {"Red", "Green", "Blue", "Amber"};
    QString version = StartOptions::Version();
    version.remove(QStringLiteral("orvane "));
    const QJsonObject device{{"identifiers", QJsonArray{QStringLiteral("orvane_") + name}},
                             {"name", QStringLiteral("Orvane ") + name},
                             {"model", QStringLiteral("Orvane four-channel LED controller")},
                             {"sw_version", version}};
    const QString id = QStringLiteral("orvane_%1_%2").arg(name).arg(QLatin1Char(kChannels[channel]));
    const QString topic = QString::fromUtf8(topicPrefix) + QLatin1Char(kChannels[channel]) + QLatin1Char('/');
    const QJsonObject config{{"name", QLatin1String(kNames[channel])},
                             {"unique_id", id},
                             {"schema", "json"},
                             {"brightness", true},
                             {"supported_color_modes", QJsonArray{"brightness"}},
                             {"brightness_scale", 500},
                             {"command_topic", topic + QStringLiteral("light/set")},
                             {"state_topic", topic + QStringLiteral("light")},
                             {"availability_topic", QString::fromUtf8(topicPrefix) + QStringLiteral("status")},
                             {"device", device}};
    return {id.toUtf8(), QJsonDocument(config).toJson(QJsonDocument::Compact)};
}

} // namespace OrvaneMqtt
