#pragma once
// What orvane-exec's two roads share: the exit statuses, the lines of a
// script run, the list of controllers and how each is printed. The bus road
// is in orvane-exec.cpp, the broker road in ExecBroker.cpp.
#include "base/Channels.h"
#include "mqtt/MqttClient.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>

namespace Exec {

// The exit statuses; --help and the man page list them.
enum Status {
    kServed = 0,        // every script answered, or the list printed
    kFailed = 1,        // a D-Bus error, a file that cannot be read
    kUsage = 2,
    kNoBroker = 3,      // the broker not reached, refused us or went away
    kNotOnline = 4,     // a NAME has no retained status "online"
    kWentOffline = 5,   // a program went offline before it answered
};

// Says "orvane-exec: <text>" on standard error.
void Say(const QString& text);

// The scripts to run, one per line of a file or standard input (or the one
// script given), taken one at a time from the event loop: reading waits for
// nothing, and a line is read only when the one before is done.
class Lines : public QObject {
    Q_OBJECT
public:
    // The one script given on the command line.
    explicit Lines(const QString& script);
    // Each line of the open descriptor fd (not owned).
    explicit Lines(int fd);
    // Asks for the next line: Line or End follows from the event loop.
    void Next();

signals:
    void Line(const QString& script);
    void End();

private:
    void Read();
    void Hand();

    QByteArray buffer_;
    QStringList ready_;
    bool wanted_ = false;
    bool ended_ = false;
    QSocketNotifier* notifier_ = nullptr;
    int fd_ = -1;
};

// One controller as --list shows it.
struct Listed {
    QString name;                                // empty: none
    QString road;                                // "bus" or "broker"
    bool online = false;
    std::optional<std::array<int, Channels::kCount>> levels;  // in the bars' order; none when unknown
};
// One line each, sorted by NAME: "lab1 broker online R=100 G=0 B=0 A=0", or
// with json a JSON array of objects {name, road, online, levels}.
void PrintList(QList<Listed> list, bool json);

// Prints the answers of one script in the order of names: the answer alone
// with one name, else "NAME: answer"; a name without an answer (failed) is left out.
void PrintAnswers(const QStringList& names, const QList<std::optional<QString>>& answers);

// The broker road: the script (or each line) on every NAME at once, answered
// on a response topic of our own. Returns the exit status.
int RunOnBroker(const Mqtt::Settings& settings, const QStringList& names, Lines& lines);
// The controllers whose status and state the broker keeps. Returns the exit status.
int ListOnBroker(const Mqtt::Settings& settings, bool json);

} // namespace Exec
