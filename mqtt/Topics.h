#pragma once
// Every topic the programs and orvane-exec use on a broker, built here only:
//   orvane/<NAME>/exec, exec/<tag>             scripts in
//   orvane/<NAME>/result, result/<tag>         answers without a response topic
//   orvane/<NAME>/<ch>/set                     one value for a channel
//   orvane/<NAME>/<ch>/light/set, <ch>/light   a Home Assistant light and its state
//   orvane/<NAME>/state                        the confirmed intensities
//   orvane/<NAME>/status                       "online" or "offline"
//   orvane-exec/<client>/ready                 orvane-exec's marker
//   orvane-exec-reply/<client>/<random>        orvane-exec's answers
//   <discovery>/status, <discovery>/light/<id>/config   Home Assistant's
#include <QByteArray>
#include <QString>

namespace Topics {

// The NAME a program without one has on a broker.
inline constexpr char kNoName[] = "orvane";

// Leaves below orvane/<NAME>/.
inline constexpr char kExec[] = "exec";
inline constexpr char kResult[] = "result";
inline constexpr char kState[] = "state";
inline constexpr char kStatus[] = "status";
// Leaves below orvane/<NAME>/<ch>/.
inline constexpr char kSet[] = "set";
inline constexpr char kLight[] = "light";
inline constexpr char kLightSet[] = "light/set";
// What status holds.
inline constexpr char kOnline[] = "online";
inline constexpr char kOffline[] = "offline";

// "orvane/<name>/"; with "+" every program's, as a filter.
inline QByteArray Prefix(const QString& name) { return "orvane/" + name.toUtf8() + '/'; }
// prefix + "<letter>/<leaf>"; letter '+' for every channel, as a filter.
inline QByteArray Channel(const QByteArray& prefix, char letter, const char* leaf)
{
    return prefix + letter + '/' + leaf;
}
// prefix + "<leaf>/<tag>", below exec or result.
inline QByteArray Tagged(const QByteArray& prefix, const char* leaf, const QByteArray& tag)
{
    return prefix + leaf + '/' + tag;
}

// orvane-exec's own: the marker it sends itself, and where its answers come.
inline constexpr char kExecOwn[] = "orvane-exec";
inline QByteArray ExecReady(const QString& clientId) { return QByteArray(kExecOwn) + '/' + clientId.toUtf8() + "/ready"; }
inline QByteArray ExecReplies(const QString& clientId)
{
    return QByteArray(kExecOwn) + "-reply/" + clientId.toUtf8() + '/';
}

// Home Assistant's, under its discovery prefix: its own names, not ours.
inline QByteArray DiscoveryStatus(const QByteArray& discovery) { return discovery + "/status"; }
inline QByteArray DiscoveryConfig(const QByteArray& discovery, const QByteArray& id)
{
    return discovery + "/light/" + id + "/config";
}

} // namespace Topics
