// The MQTT settings of LED_CONFIG.TXT, read from the loaded parameter table.
#include "engine/OrvaneMqttParts.h"

#include "base/Platform.h"
#include "base/Posix.h"
#include "mqtt/MqttClient.h"
#include "mqtt/PasswordFile.h"
#include "params/TRAPAR.h"

#include <QDir>
#include <QFileInfo>

namespace OrvaneMqtt {
namespace {

// Far above a system's whole bundle of authorities (about 200 KiB).
constexpr qint64 kMaxCaFileBytes = 4 * 1024 * 1024;

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

// A file named by a setting: relative to the settings file's folder.
QString SettingPath(const QString& value)
{
    return QFileInfo(QFileInfo(TRAPAR::GetParPath()).absoluteDir(), value).filePath();
}

// Every file a setting names is read here, never waiting and worded the same
// for each: its bytes, or -1 with the setting named in a message box.
int16_t SettingFile(const char* name, qint64 maxBytes, QString& path, QByteArray& bytes)
{
    path = SettingPath(SettingText(name));
    Posix::SmallFile f = Posix::ReadSmallFile(path, maxBytes);
    if (!f.ok)
        return Bad(name, QStringLiteral("names %1, %2").arg(path, f.why));
    bytes = std::move(f.bytes);
    return 1;
}

} // namespace

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

int16_t ReadSettings(Mqtt::Settings& s, QByteArray& discovery)
{
    discovery = SettingText("MQTT_DISCOVERY").toUtf8();
    if (!discovery.isEmpty()
        && (discovery.contains('+') || discovery.contains('#') || discovery.startsWith('/')
            || discovery.endsWith('/') || discovery.contains("//")))
        return Bad("MQTT_DISCOVERY", QStringLiteral("is no topic prefix (no +, # or empty level): \"%1\"")
                                         .arg(QString::fromUtf8(discovery.left(40))));
    if (!SettingText("MQTT_CAFILE").isEmpty() && SettingFile("MQTT_CAFILE", kMaxCaFileBytes, s.caFile, s.caPem) < 0)
        return -1;
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
