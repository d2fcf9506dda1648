// The MQTT settings of LED_CONFIG.TXT, read from the loaded parameter table.
#include "engine/OrvaneMqttParts.h"

#include "base/Platform.h"
#include "mqtt/MqttClient.h"
#include "mqtt/LoginFiles.h"
#include "params/TRAPAR.h"


namespace OrvaneMqtt {

QString SettingText(const char* name)
{
    // Every MQTT setting is optional: a missing one is no message.
    return TRAPAR::FindText(QLatin1String(name));
}

int16_t Bad(const char* name, const QString& why)
{
    Platform::MsgBox(QStringLiteral("Parameter %1 in %2 %3; the controller is not on the MQTT broker")
                         .arg(QLatin1String(name), TRAPAR::GetParPath(), why),
                     Platform::vbCritical);
    return -1;
}

int16_t ReadSettings(Mqtt::Settings& s, QByteArray& discovery)
{
    discovery = SettingText("MQTT_DISCOVERY").toUtf8();
    if (!discovery.isEmpty()
        && (discovery.contains('+') || discovery.contains('#') || discovery.startsWith('/')
            || discovery.endsWith('/') || discovery.contains("//")))
        return Bad("MQTT_DISCOVERY", QStringLiteral("is no topic prefix (no +, # or empty level): \"%1\"")
                                         .arg(QString::fromUtf8(discovery.left(40))));
    s.caFileSource = QStringLiteral("MQTT_CAFILE");
    // Each file a setting names goes through the login's own reader and is refused in the same words.
    if (const QString file = SettingText("MQTT_CAFILE"); !file.isEmpty()) {
        s.caFile = TRAPAR::SettingFile(file);
        if (const QString why = Mqtt::ReadCaFile(s.caFile, s.caPem); !why.isEmpty())
            return Bad("MQTT_CAFILE", QStringLiteral("names %1, %2").arg(s.caFile, why));
    }
    s.port = Mqtt::DefaultPort(!s.caFile.isEmpty());
    if (const std::optional<QVariant> v = TRAPAR::Find(QStringLiteral("MQTT_PORT"))) {
        const QString text = TRAPAR::ValueToText(*v).trimmed();
        bool ok = false;
        const int port = text.toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            return Bad("MQTT_PORT", QStringLiteral("is not a port number from 1 to 65535: \"%1\"").arg(text.left(40)));
        s.port = port;
    }
    if (const QString text = SettingText("MQTT_PROTOCOL"); !text.isEmpty()) {
        const std::optional<Mqtt::Protocol> protocol = Mqtt::ParseProtocol(text);
        if (!protocol)
            return Bad("MQTT_PROTOCOL", QStringLiteral("is not auto, 5 or 3.1.1: \"%1\"").arg(text.left(40)));
        s.protocol = *protocol;
    }
    s.user = SettingText("MQTT_USER");
    if (const QString file = SettingText("MQTT_PASSWORD_FILE"); !file.isEmpty()) {
        const QString path = TRAPAR::SettingFile(file);
        QByteArray password;
        if (const QString why = Mqtt::ReadPasswordFile(path, password); !why.isEmpty())
            return Bad("MQTT_PASSWORD_FILE", QStringLiteral("names %1, %2").arg(path, why));
        s.password = password;
        if (s.user.isEmpty())
            return Bad("MQTT_PASSWORD_FILE", QStringLiteral("is set, but MQTT_USER is not"));
    }
    return 1;
}

} // namespace OrvaneMqtt
