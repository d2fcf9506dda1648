#pragma once
// OrvaneMqtt's parts apart from the road itself: reading the MQTT settings
// from the parameter table (OrvaneMqttSettings.cpp) and the JSON it publishes
// and reads for dashboards (OrvaneMqttPayloads.cpp).
#include "base/Channels.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <array>
#include <cstdint>

class QObject;
class QTimer;

namespace Mqtt {
struct Settings;
}

namespace OrvaneMqtt {

using Levels = std::array<int16_t, Channels::kCount>;

// ---- Settings ----
// A setting's text, trimmed; empty when it is not in the table (every MQTT
// setting is optional).
QString SettingText(const char* name);
// Says in a message box that parameter name is bad and why; returns -1.
int16_t Bad(const char* name, const QString& why);
// Everything after MQTT_HOST: the discovery prefix, CA file, port, protocol,
// user and password. 1 read; -1 a bad value, said through Bad.
int16_t ReadSettings(Mqtt::Settings& s, QByteArray& discovery);

// ---- Payloads ----
// The channels in the order the bars stand: {"R":0,"G":120,"B":500,"A":0}
QByteArray StateJson(const Levels& v);
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
// The lights of one road: they begin with the levels the controller confirmed
// before it, and their transitions end with it.
class Lights {
public:
    // road: what the transitions' timers live and die with.
    Lights(QObject* road, const Levels& confirmed);
    Lights(const Lights&) = delete;
    Lights& operator=(const Lights&) = delete;

    // Runs a light command on channel index: {"state":"ON"|"OFF"} with
    // "brightness" N (ON without it brings back the last level above 0, full
    // when there was none) and "transition" seconds (steps of at least 50 ms,
    // at most an hour in all; a later command for the channel ends it).
    // Anything else is ignored.
    void Command(int channel, const QByteArray& payload);
    // Every confirmed level of channel index, from ChannelConfirmed.
    void Confirmed(int index, int16_t level);
    // Channel index is about to be sent: its transition ends where it stands,
    // unless this is its own step.
    void Commanded(int index);

private:
    struct Move {
        QTimer* timer = nullptr;  // runs while the channel moves
        QElapsedTimer clock;
        qint64 durationMs = 0;
        qint64 intervalMs = 0;
        int16_t from = 0;
        int16_t to = 0;
        int16_t sent = 0;
        bool active = false;
    };
    void Step(int channel);

    QObject* road_;
    std::array<Move, Channels::kCount> moves_;
    Levels level_;       // the level each channel was last confirmed at
    Levels lastOn_{};    // its last level above 0; 0: none since the road started
    int stepping_ = -1;  // the channel whose step is on the wire
};

} // namespace OrvaneMqtt
