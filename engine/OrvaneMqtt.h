#pragma once
// The controller on an MQTT broker: topics under orvane/<NAME>/, scripts from
// "exec" and "exec/<tag>" through the one interpreter (answered on the
// response topic, else on "result" or "result/<tag>"; a tag is everything
// after "exec/"; a request whose answer would land on a command topic is not
// run, and "result" says so), one value for a
// channel on "<ch>/set", the confirmed intensities as retained "state",
// "online"/"offline" as retained "status", and with MQTT_DISCOVERY four
// Home Assistant lights. Off unless MQTT_HOST is set in LED_CONFIG.TXT.
// Over MQTT 3.1.1 (MQTT_PROTOCOL, or a broker that refuses 5) no request has
// a response topic: result and result/<tag> answer them all.
#include <QByteArray>
#include <QString>
#include <cstdint>

namespace Mqtt {
struct Message;
}

namespace Roads {
class Road;
}

namespace OrvaneMqtt {

// The broker road as the core tells and asks it (Roads.h): it starts and
// stops with the program, restarts when the settings are reloaded, publishes
// each confirmed intensity as the state, and ends a light's transition when
// another command for its channel is sent.
Roads::Road& BrokerRoad();

// Reads the MQTT settings from the loaded parameter table and, when MQTT_HOST
// is set, starts joining the broker. 1 started; 0 off (no MQTT_HOST, or
// another road finds our NAME served by another program on this machine,
// which is said once); -1 a bad value, said in a message box that names the parameter (and off).
int16_t Start();
// The pending state and a retained "offline" go out, then a clean disconnect,
// so the broker does not send the will; at most msecs are spent waiting for
// a stalled broker. Nothing when not started.
void Stop(int msecs = 1000);
// Stop, then Start: what the road does when the settings are reloaded.
void Restart();
// True while the broker has accepted the connection.
bool IsConnected();
// Connected and every subscription confirmed: a request sent now is served.
bool IsServing();
// The MQTT version of the connection, "5" or "3.1.1" (a broker that refuses
// 5 is joined over 3.1.1, said once on standard error); empty while not connected.
QString ConnectedVersion();
// The least time between two rounds of Home Assistant configs asked for by
// birth messages (3 s); returns the one before.
qint64 SetDiscoveryRoundMs(qint64 ms);
// The keep-alive interval asked of the broker from the next Start (30 s);
// returns the one before. Tests shorten it.
int SetKeepAliveSeconds(int seconds);

// The broker ended an accepted connection (reason: the MQTT 5 reason code of
// its DISCONNECT, 0 without one). Three such ends within a minute, each
// within 5 s of the connection, or one with 142 (session taken over): another
// program uses our client id, so this one says so once and stops trying until
// Restart. Tests feed reasons here.
void BrokerDropped(int reason, qint64 connectedMs);

// What the broker hands over: a request waits for its turn, or is answered
// with an error at once when too many wait. Tests hand over bursts.
void Receive(const Mqtt::Message& m);

// NAME from LED_CONFIG.TXT when it is a valid name, else "orvane".
QString ProgramName();
// "orvane/<NAME>/"
QByteArray TopicPrefix();

} // namespace OrvaneMqtt
