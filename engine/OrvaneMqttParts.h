#pragma once
// OrvaneMqtt's parts apart from the road itself: reading the MQTT settings
// from the parameter table (OrvaneMqttSettings.cpp) and the JSON it publishes
// and reads for dashboards (OrvaneMqttPayloads.cpp).
#include <QByteArray>
#include <QString>
#include <cstdint>

namespace Mqtt {
struct Settings;
}

namespace OrvaneMqtt {

// The letters of the four channels, in the order the bars stand.
inline constexpr char kChannels[4] = {'R', 'G', 'B', 'A'};

// ---- Settings ----
// A setting's text, trimmed; empty when it is not in the table (every MQTT
// setting is optional).
QString SettingText(const char* name);
// Says in a message box that parameter name is bad and why; returns -1.
int16_t Bad(const char* name, const QString& why);
// Everything after MQTT_HOST: the discovery prefix, CA file, port, user and
// password. 1 read; -1 a bad value, said through Bad.
int16_t ReadSettings(Mqtt::Settings& s, QByteArray& discovery);

// ---- Payloads ----
// R, G, B, A in the order the bars stand: {"R":0,"G":120,"B":500,"A":0}
QByteArray StateJson(const int16_t (&v)[4]);
// A light's retained state: {"state":"ON","brightness":N,"color_mode":"brightness"} or {"state":"OFF"}.
QByteArray LightState(int16_t value);
// Home Assistant's discovery config of channel 0..3 of the program NAME whose
// topics start with topicPrefix: its unique id and its JSON.
struct LightConfig {
    QByteArray id;
    QByteArray json;
};
LightConfig DiscoveryConfig(int channel, const QString& name, const QByteArray& topicPrefix);

// ---- Light commands (OrvaneMqttLight.cpp) ----
// Runs a light command on channel 0..3: {"state":"ON"|"OFF"} with "brightness"
// N (ON without it brings back the last level above 0, full when there was
// none) and "transition" seconds (steps of at least 50 ms, at most an hour in
// all; a later command for the channel ends it). Anything else is ignored.
void LightCommand(int channel, const QByteArray& payload);
// Every confirmed level of channel index 0..3, from ChannelConfirmed.
void LightConfirmed(int index, int16_t level);
// Ends every transition; forget also drops the remembered levels.
void EndLights(bool forget);

} // namespace OrvaneMqtt
