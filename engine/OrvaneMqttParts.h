#pragma once
// OrvaneMqtt's parts: reading the MQTT settings from the parameter table
// (OrvaneMqttSettings.cpp), the JSON it publishes and reads for dashboards
// (OrvaneMqttPayloads.cpp), the lights (OrvaneMqttLight.cpp) and the session
// on one broker (OrvaneMqtt.cpp, its requests in OrvaneMqttRequests.cpp).
#include "base/Channels.h"
#include "engine/OrvaneMqtt.h"
#include "engine/RequestQueue.h"
#include "mqtt/MqttClient.h"
#include "mqtt/Topics.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
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


// ---- The session on one broker (OrvaneMqtt.cpp; its requests in OrvaneMqttRequests.cpp) ----
// Broker drops soon after CONNACK within the last minute: another program
// with our client id throws us out.
inline constexpr qint64 kDropWindowMs = 60000;
inline constexpr qint64 kEarlyDropMs = 5000;
inline constexpr int kDropsForAFight = 3;
// Room in a request's packet beside its script: the topic and properties.
inline constexpr int64_t kTopicRoomBytes = 64 * 1024;
enum class Kind { Script, Set, Light };
struct Request {
    Mqtt::Message message;
    int64_t scriptBytes = 0;  // a script over the limit is not kept, only its length
    Kind kind = Kind::Script;
    int channel = 0;          // Set and Light
    QByteArray replyTopic;    // where the answer goes; empty: nowhere
};

inline QByteArray Topic(const char* leaf) { return TopicPrefix() + leaf; }

inline QByteArray ChannelTopic(int channel, const char* leaf)
{
    return Topics::Channel(TopicPrefix(), Channels::kAll[size_t(channel)].command, leaf);
}

// The program on one broker, from Start to Stop: a restart is a new session,
// so nothing of the last one (its queue, its failures, its lights) carries over.
class Session : public QObject {
public:
    // where: host:port, as messages name the broker; discovery: Home
    // Assistant's discovery prefix, empty for none.
    Session(QString where, QByteArray discovery);

    // False, with why, when the client refuses the settings.
    bool Join(const Mqtt::Settings& s, QString* why) { return client_->Start(s, why); }
    // The pending state and a retained "offline", then a clean disconnect.
    void Leave(int msecs);

    bool IsConnected() const { return client_->IsConnected(); }
    bool IsServing() const { return client_->IsSubscribed(); }
    Mqtt::Protocol ProtocolInUse() const { return client_->ProtocolInUse(); }
    void Receive(const Mqtt::Message& m);
    void BrokerDropped(int reason, qint64 connectedMs);
    void ChannelConfirmed(int index, int16_t intensity);
    void ChannelCommanded(int index) { lights_.Commanded(index); }

private:
    void PublishState();
    void PublishDiscovery();
    void DiscoveryAsked();
    void Run(Request& r);
    void OnConnected();
    void OnFailed(const QString& why);

    Mqtt::Client* client_;  // a child
    const QString where_;
    const QByteArray discovery_;
    QString saidFailure_;  // the failure last said on standard error
    QElapsedTimer down_;   // since the connection was lost or the first attempt failed
    bool saidDown_ = false;  // a failure was said since: the return is news
    bool said311_ = false;
    QList<qint64> drops_;
    QElapsedTimer clock_;
    QElapsedTimer lastRound_;  // since the configs last went out
    bool roundOwed_ = false;
    RequestQueue<Request> requests_{this, [this](Request& r) { Run(r); }};
    Levels confirmed_;
    Levels lightShown_;  // the value each light's state topic holds; -1 unknown
    Lights lights_;
};

} // namespace OrvaneMqtt
