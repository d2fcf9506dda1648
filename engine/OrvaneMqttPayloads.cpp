// What the MQTT road publishes and reads besides scripts: the state of the
// four channels and Home Assistant's lights.
#include "engine/OrvaneMqttParts.h"

#include "engine/StartOptions.h"
#include "mqtt/Topics.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace OrvaneMqtt {

QByteArray StateJson(const Levels& v)
{
    QByteArray json = "{";
    for (int i = 0; i < Channels::kCount; ++i) {
        if (i > 0)
            json += ',';
        json += '"' + QByteArray(1, Channels::kAll[size_t(i)].command) + "\":" + QByteArray::number(v[size_t(i)]);
    }
    return json + '}';
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
    const Channels::Channel& ch = Channels::kAll[size_t(channel)];
    QString version = StartOptions::Version();
    version.remove(QStringLiteral("orvane "));
    const QJsonObject device{{"identifiers", QJsonArray{QStringLiteral("orvane_") + name}},
                             {"name", QStringLiteral("Orvane ") + name},
                             {"model", QStringLiteral("Orvane four-channel LED controller")},
                             {"sw_version", version}};
    const QString id = QStringLiteral("orvane_%1_%2").arg(name).arg(QLatin1Char(ch.command));
    const QJsonObject config{{"name", QLatin1String(ch.name)},
                             {"unique_id", id},
                             {"schema", "json"},
                             {"brightness", true},
                             {"supported_color_modes", QJsonArray{"brightness"}},
                             {"brightness_scale", Channels::kMaxIntensity},
                             {"command_topic", QString::fromUtf8(Topics::Channel(topicPrefix, ch.command, Topics::kLightSet))},
                             {"state_topic", QString::fromUtf8(Topics::Channel(topicPrefix, ch.command, Topics::kLight))},
                             {"availability_topic", QString::fromUtf8(topicPrefix + Topics::kStatus)},
                             {"device", device}};
    return {id.toUtf8(), QJsonDocument(config).toJson(QJsonDocument::Compact)};
}

} // namespace OrvaneMqtt
