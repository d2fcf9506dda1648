#pragma once
// A client of one MQTT broker (MQTT 5, libmosquitto) driven by the event loop
// of the program's one thread: a read notifier on its socket, a write notifier
// on only while it has bytes to send, a timer for its keep-alive. The one step
// that blocks, looking the host up and opening the TCP connection, runs on a
// short-lived thread of its own (the connect step, below) and hands the
// connection back to the event loop. It never listens itself, reconnects with
// its own growing delay, and knows nothing of what the messages mean.
//
// The connect step's thread:
// - it gets the libmosquitto handle, the host, port, keep-alive and packet
//   limit by value, and one reference on Shared; it touches nothing else, never
//   the Client, and the event loop leaves the handle alone while it runs;
// - what it writes (libmosquitto's error line, the certificate check) goes to
//   Shared under its mutex;
// - when the connect call returns it either queues the result to its client
//   (Shared::owner set) or, when the client is gone or stopped waiting for it
//   (owner null), destroys the handle itself; Shared, and the TLS context it
//   holds, go with the last reference, after the handle;
// - the client waits for no step: on a stop, a deletion or the step's time
//   limit it clears owner and, for the next attempt, makes a new handle with
//   a new Shared. A thread that cannot be started fails that attempt.
#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

class QSocketNotifier;
struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace Mqtt {

struct Settings {
    QString host;
    int port = 1883;
    QString user;          // empty: none sent
    QByteArray password;   // sent only with a user
    QString caFile;        // not empty: TLS, and the broker's certificate is verified
    QByteArray caPem;      // caFile's certificates, read by whoever read the settings (never opened here)
    // How the user names the CA file ("MQTT_CAFILE", "--cafile"), for the
    // messages that point at it.
    QString caFileSource = QStringLiteral("a CA file");
    QString clientId;
    int keepAliveSeconds = 30;
    // Sent in CONNECT as the MQTT 5 Maximum Packet Size: the broker drops a
    // larger message for us instead of sending it. 0: none sent.
    uint32_t maxPacketBytes = 0;
    // A lookup or TCP connection that takes longer (a broker whose packets are
    // dropped holds it for the kernel's two minutes) fails the attempt.
    int connectStepMs = 10000;
    // Acknowledge what is read at once instead of after the kernel's delay:
    // a broker that holds a small packet until the one before is acknowledged
    // (Nagle; Mosquitto's default) then sends a SUBACK's retained messages
    // without a 40 ms pause. For a client that waits on them (orvane-exec).
    bool ackAtOnce = false;
};

struct Message {
    QByteArray topic;
    QByteArray payload;
    bool retained = false;       // kept by the broker and sent because we subscribed
    QByteArray responseTopic;    // MQTT 5 properties; empty when not sent
    QByteArray correlation;
};

class Client : public QObject {
    Q_OBJECT
public:
    // The longest wait between connection attempts, and the first.
    static constexpr int kMaxRetryMs = 30000;
    static constexpr int kFirstRetryMs = 500;
    // A broker that takes longer to accept a connection is tried again.
    static constexpr int kConnectWaitMs = 10000;

    explicit Client(QObject* parent = nullptr);
    ~Client() override;

    // Both before Start. The will is what the broker publishes for us when the
    // connection ends without a clean disconnect; subscriptions are made anew
    // on every connection.
    void SetWill(const QByteArray& topic, const QByteArray& payload, bool retain);
    void AddSubscription(const QByteArray& topic, int qos);

    // Starts connecting: the host is looked up and the connection opened on
    // the connect step's thread, the rest happens in the event loop. False,
    // with why, when libmosquitto refuses the settings (a CA file it cannot
    // read); nothing is tried then.
    bool Start(const Settings& settings, QString* why = nullptr);

    // Queues a message; correlation and responseTopic, when not empty, go
    // with it as MQTT 5 properties. False when not connected or refused.
    bool Publish(const QByteArray& topic, const QByteArray& payload, bool retain, int qos = 0,
                 const QByteArray& correlation = QByteArray(), const QByteArray& responseTopic = QByteArray());

    // Publishes the last message (when topic is not empty and a connection is
    // up), then disconnects cleanly, so the broker does not send the will;
    // waits at most msecs in all for the bytes to leave. No attempt follows; a
    // connect step still under way is abandoned, never waited for.
    void Stop(const QByteArray& topic = QByteArray(), const QByteArray& payload = QByteArray(),
              bool retain = true, int msecs = 1000);

    bool IsConnected() const { return connected_; }
    // Connected, and the broker has confirmed every subscription: a request
    // published from now on reaches us.
    bool IsSubscribed() const { return connected_ && pendingSubacks_ == 0; }
    // True while a connect step runs on its thread.
    bool IsLookingUp() const { return stepping_; }

    // What the connect step calls: libmosquitto's blocking connect, or a
    // test's stand-in (nullptr puts libmosquitto's back). Returns a MOSQ_ERR
    // code, errno set with MOSQ_ERR_ERRNO. Read when a step starts.
    using ConnectCall = int (*)(mosquitto* handle, const char* host, int port, int keepAliveSeconds,
                                const mqtt5__property* properties);
    static void SetConnectCall(ConnectCall call);

    // What the event loop and a connect step share; the step keeps it alive.
    struct Shared;
    // The delay before the next attempt after a failure, in milliseconds.
    int RetryDelayMs() const { return delayMs_; }

signals:
    // The broker accepted the connection; subscriptions are already asked for.
    void Connected();
    // An attempt failed or the connection was lost; the next attempt follows
    // after RetryDelayMs.
    void Failed(const QString& why);
    void Received(const Mqtt::Message& message);
    // Every subscription of this connection is confirmed.
    void Subscribed();
    // A connection the broker had accepted ended: reason is the MQTT 5 reason
    // code of the broker's DISCONNECT (142: another client took the session
    // over), or 0 when it closed without one; connectedMs is how long the
    // connection lasted. Failed follows.
    void Dropped(int reason, qint64 connectedMs);

private:
    static void OnConnect(mosquitto*, void* self, int rc, int flags, const ::mqtt5__property*);
    static void OnMessage(mosquitto*, void* self, const ::mosquitto_message* m,
                          const ::mqtt5__property* props);
    static void OnSubscribe(mosquitto*, void* self, int mid, int count, const int* granted,
                            const ::mqtt5__property*);
    static void OnDisconnect(mosquitto*, void* self, int rc, const ::mqtt5__property*);
    static void OnLog(mosquitto*, void* self, int level, const char* text);

    // A new handle (and Shared) with every option of the settings; empty, or why not.
    QString MakeHandle();
    void Attempt();
    void Stepped(int rc, int savedErrno);
    void StepTooLong();
    void Watch();
    void Unwatch();
    void AfterIo(int rc);
    void Lost(const QString& why);
    void FlushWrites(const QDeadlineTimer& deadline);

    std::shared_ptr<Shared> shared_;
    // Why a TLS connection failed, in words; empty when it was no TLS failure.
    QString TlsWhy() const;
    // Why a connection without TLS ended before the broker's CONNACK.
    QString EndedUnanswered() const;

    struct Subscription {
        QByteArray topic;
        int qos;
    };

    mosquitto* mosq_ = nullptr;
    Settings settings_;
    QList<Subscription> subscriptions_;
    struct Will {
        QByteArray topic;
        QByteArray payload;
        bool retain = false;
    } will_;
    QSocketNotifier* read_ = nullptr;
    QSocketNotifier* write_ = nullptr;
    int fd_ = -1;
    bool connected_ = false;
    bool stopped_ = true;
    bool stepping_ = false;
    int pendingSubacks_ = 0;
    int disconnectReason_ = 0;
    qint64 connectedAtMs_ = 0;
    QString refused_;      // why the broker refused the last connection
    int delayMs_ = kFirstRetryMs;
    QTimer retry_;
    QTimer housekeeping_;
    QTimer connectWait_;
    QTimer stepLimit_;
};

} // namespace Mqtt
