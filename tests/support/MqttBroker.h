#pragma once
// A mosquitto broker of the test's own: a child process listening on
// 127.0.0.1 only, at a free port, with its configuration, password file and
// log in a temporary directory; never the system's service. Its clients
// (mosquitto_rr, mosquitto_sub, mosquitto_pub) are run against it. Or, in
// its place, Aedes: a broker that speaks MQTT 3.1.1 only.
#include "mqtt/MqttClient.h"
#include "tests/support/TestSupport.h"

#include <QProcess>
#include <QTemporaryDir>
#include <memory>

namespace TestSupport {

class MqttBroker {
public:
    MqttBroker() = default;
    ~MqttBroker() { Stop(); }
    MqttBroker(const MqttBroker&) = delete;
    MqttBroker& operator=(const MqttBroker&) = delete;

    // Starts the broker with these further configuration lines; anonymous
    // clients are allowed unless the lines say otherwise. Keeps the port of
    // an earlier start, so a restart is the same broker to its clients.
    // False, with a warning, when it does not accept connections within 5 s.
    bool Start(const QByteArray& config = "allow_anonymous true\n");
    // Aedes (tests/support/aedes, whose packages CTest's aedes_packages
    // installs) on the same terms, anonymous, in memory; Config() says kAedes.
    // Its log says "connected <id> version 4" and "refused ... return code 1".
    static constexpr const char* kAedes = "aedes";
    bool StartAedes();
    static bool AedesInstalled();
    // SIGTERM and wait: the broker's clients see their connections end.
    void Stop();
    bool IsRunning() const { return process_.state() != QProcess::NotRunning; }

    int Port() const { return port_; }
    QString Dir() const { return dir_.path(); }
    // Writes a password file for one user (mosquitto_passwd) and returns the
    // configuration lines that use it; Client and Retained log in as that user.
    QByteArray PasswordConfig(const QString& user, const QString& password);

    // What a command-line client needs to reach and log in to this broker.
    QStringList ClientArgs() const;
    // Runs one of the broker's command-line clients with -h and -p of this
    // broker put first, the event loop running meanwhile.
    Ran Client(const QString& tool, const QStringList& args, int timeoutMs = 15000) const;
    // The retained message of a topic, or empty when the broker holds none:
    // a marker published after subscribing comes after any retained message.
    QByteArray Retained(const QByteArray& topic) const;
    // Retained, asked again until it is expected or msecs pass: the last answer.
    QByteArray RetainedBecomes(const QByteArray& topic, const QByteArray& expected, int msecs = 5000) const;
    // The configuration lines of the last Start.
    QByteArray Config() const { return config_; }
    // SIGSTOP or SIGCONT: a broker that neither reads nor writes, and back.
    void Pause(bool paused);

private:
    // Starts the broker's process and waits until it accepts connections.
    bool Launch(const QString& program, const QStringList& args);

    QTemporaryDir dir_;
    QProcess process_;
    int port_ = 0;
    QStringList login_;
    QByteArray config_;
};

// A client of the test's own on a broker (the program's own client class):
// subscribes to its topics, keeps what comes, publishes with MQTT 5 properties.
class MqttWatcher {
public:
    // Connects and waits until every subscription is confirmed (at most 10 s; Ready says).
    MqttWatcher(const MqttBroker& broker, const QList<QByteArray>& topics);
    bool Ready() const { return client_->IsSubscribed(); }
    // What came on topic, in order.
    QList<Mqtt::Message> On(const QByteArray& topic) const;
    QList<QByteArray> Payloads(const QByteArray& topic) const;
    // Waits until count messages came on topic, at most msecs.
    bool WaitFor(const QByteArray& topic, int count = 1, int msecs = 15000) const;
    bool Publish(const QByteArray& topic, const QByteArray& payload, bool retain = false,
                 const QByteArray& responseTopic = QByteArray(), const QByteArray& correlation = QByteArray());
    QList<Mqtt::Message> messages;

private:
    std::unique_ptr<Mqtt::Client> client_;
};

} // namespace TestSupport
