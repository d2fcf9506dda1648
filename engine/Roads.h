#pragma once
// The contract between the core and the roads clients reach the program by
// (the bus, the broker, one of a test's own). The core tells every road the
// same things at the same moments and asks each the same questions; it names
// none of them. The program's roads are listed once, in Roads.cpp; Register
// adds another after them.
#include <QString>
#include <QStringList>
#include <cstdint>

namespace Roads {

class Road {
public:
    virtual ~Road() = default;

    // ---- What the core tells every road, in the order of the list ----
    // Start-up, once the settings are read, the port opened and the window
    // made: the road joins as the settings say. why: set, in a few words,
    // when the road could not start although nothing was wrong in the settings.
    virtual void Start([[maybe_unused]] QString* why) {}
    // The settings were read again and the port reopened (Configuration > Port).
    virtual void SettingsReloaded() {}
    // Device channel index 0..3 is about to be sent, whoever asked for it.
    virtual void ChannelCommanded([[maybe_unused]] int index) {}
    // The controller confirmed intensity on device channel index 0..3.
    virtual void ChannelConfirmed([[maybe_unused]] int index, [[maybe_unused]] int16_t intensity) {}
    // The program stops serving with its lights off (a stop signal, the end
    // of the event loop, or only editor windows left): from now on clients
    // must find another program, and what the road still owes them goes out
    // within msecs. It may be told more than once, and from inside a request.
    virtual void Stopping([[maybe_unused]] int msecs) {}

    // ---- What the core asks ----
    // The road serves, or the settings ask for it and it keeps trying to join:
    // clients may come by it.
    virtual bool Configured() const { return false; }
    // Its part of the service manager's status line; empty: none.
    virtual QString Status() const { return {}; }
    // Another program on this machine serves our NAME by this road.
    virtual bool NameHeldByOther() const { return false; }
};

// What the roads have together to stop in when nothing presses: a second.
inline constexpr int kStoppingMs = 1000;

// Told and asked from now on, after the program's own roads, until Unregister.
void Register(Road* road);
void Unregister(Road* road);

// A client's script as a road that answers in text runs it: refused unrun
// when over Limits::kMaxScriptBytes ("Error The script is ..."), else the
// joined responses, "Error <n>: <why>" when it was abandoned, or "Error The
// script ran, ..." when its responses are too long to send. utf8Bytes: its
// length in UTF-8, as it came.
QString RunScript(const QString& script, int64_t utf8Bytes);

// What the core calls: each tells or asks every road in turn.
// why: the whys of the roads that could not start, joined by "; ".
void Start(QString* why);
void SettingsReloaded();
void ChannelCommanded(int index);
void ChannelConfirmed(int index, int16_t intensity);
// msecs for all roads together: each has an even share, so a stalled one
// leaves the others theirs.
void Stopping(int msecs);
bool AnyConfigured();
QStringList Statuses();
bool NameHeldByOther();

} // namespace Roads
