#pragma once
// The controller on an MQTT broker: topics under orvane/<NAME>/, scripts from
// "exec" through the one interpreter, the confirmed intensities as retained
// "state", "online"/"offline" as retained "status". Off unless MQTT_HOST is
// set in LED_CONFIG.TXT.
#include <QByteArray>
#include <QString>
#include <cstdint>

namespace Mqtt {
struct Message;
}

namespace OrvaneMqtt {

// Reads the MQTT settings from the loaded parameter table and, when MQTT_HOST
// is set, starts joining the broker. 1 started; 0 off (no MQTT_HOST); -1 a bad
// value, said in a message box that names the parameter (and off).
int16_t Start();
// The pending state and a retained "offline" go out, then a clean disconnect,
// so the broker does not send the will. Nothing when not started.
void Stop();
// True while the broker has accepted the connection.
bool IsConnected();

// SetChannel reports an intensity the controller confirmed for device channel
// 0..3 (R, G, B, A); a change is published once the event loop turns.
void ChannelConfirmed(int index, int16_t intensity);

// What the broker hands over: a request on "exec" waits for its turn, or is
// answered with an error at once when too many wait. Tests hand over bursts.
void Receive(const Mqtt::Message& m);

// NAME from LED_CONFIG.TXT when it is a valid name, else "orvane".
QString ProgramName();
// "orvane/<NAME>/"
QByteArray TopicPrefix();

} // namespace OrvaneMqtt
