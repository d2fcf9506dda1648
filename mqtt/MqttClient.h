#pragma once
// A client of one MQTT broker (MQTT 5 or 3.1.1, libmosquitto). It lives whatever holds
// the caller's event loop: the connection, its keep-alive, what is published
// and what arrives are handled on a network thread of its own (Mqtt::Link, in
// MqttLink.h), so a script that holds the program's one thread for a minute
// neither loses the broker nor holds the state it publishes meanwhile.
//
// The thread contract:
// - Client is used from the thread that made it, only; its signals arrive
//   there, queued, in the order the broker sent what they carry, and wait for
//   that thread's event loop: a request is handled after whatever runs now;
// - Publish and PublishLatest hand their message to the network thread and
//   return at once; messages go out in the order they were handed over;
// - Start and Stop wait for the network thread (Stop at most its msecs, plus
//   the time to hand over), never for a connect step;
// - the state getters read what the network thread last set, and may be a
//   step ahead of the signals still queued.
#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <optional>

class QThread;
struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace Mqtt {

// The MQTT version asked for in CONNECT. Auto: 5, and 3.1.1 from the next
// attempt on (at once, and for the rest of the run) when the broker refuses 5
// as an unsupported protocol version. 3.1.1 carries no properties: no
// response topic, correlation data or Maximum Packet Size.
enum class Protocol { Auto, V5, V311 };
// "auto", "5" or "3.1.1" (auto in any case); none for anything else.
std::optional<Protocol> ParseProtocol(const QString& text);
QString ProtocolName(Protocol protocol);

// A broker's port unless one is given: with TLS (a CA file) or without.
inline constexpr int kPlainPort = 1883;
inline constexpr int kTlsPort = 8883;
inline constexpr int DefaultPort(bool tls) { return tls ? kTlsPort : kPlainPort; }

struct Settings {
    QString host;
    int port = kPlainPort;
    QString user;          // empty: none sent
    QByteArray password;   // sent only with a user
    QString caFile;        // not empty: TLS, and the broker's certificate is verified
    QByteArray caPem;      // caFile's certificates, read by whoever read the settings (never opened here)
    // How the user names the CA file ("MQTT_CAFILE", "--cafile"), for the
    // messages that point at it.
    QString caFileSource = QStringLiteral("a CA file");
    QString clientId;
    int keepAliveSeconds = 30;
    Protocol protocol = Protocol::Auto;
    // Sent in CONNECT as the MQTT 5 Maximum Packet Size: the broker drops a
    // larger message for us instead of sending it (not on 3.1.1, which has
    // no such property); one that sends it anyway has it read past as it
    // arrives (Discarded). 0: none sent, any taken.
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

class Link;

class Client : public QObject {
    Q_OBJECT
public:
    // The longest wait between connection attempts, and the first.
    static constexpr int kMaxRetryMs = 30000;
    static constexpr int kFirstRetryMs = 500;
    // A broker that takes longer to accept a connection is tried again.
    static constexpr int kConnectWaitMs = 10000;
    // PublishLatest sends a topic at most this often.
    static constexpr int kLatestGapMs = 50;

    explicit Client(QObject* parent = nullptr);
    ~Client() override;

    // Both before Start. The will is what the broker publishes for us when the
    // connection ends without a clean disconnect; subscriptions are made anew
    // on every connection.
    void SetWill(const QByteArray& topic, const QByteArray& payload, bool retain);
    void AddSubscription(const QByteArray& topic, int qos);

    // Starts connecting: the host is looked up and the connection opened on
    // the connect step's thread, the rest happens on the network thread. False,
    // with why, when libmosquitto refuses the settings (a CA file it cannot
    // read) or the client runs already (Stop first); nothing is tried then.
    // After a Stop it begins anew, with nothing of the run before.
    bool Start(const Settings& settings, QString* why = nullptr);

    // Queues a message; correlation and responseTopic, when not empty, go
    // with it as MQTT 5 properties, and are left out on 3.1.1. False when not connected.
    bool Publish(const QByteArray& topic, const QByteArray& payload, bool retain, int qos = 0,
                 const QByteArray& correlation = QByteArray(), const QByteArray& responseTopic = QByteArray());
    // For a value that only matters as it stands (a state): sent at once when
    // the topic went out more than kLatestGapMs ago, else the last value given
    // by then goes when that time is up. False when not connected.
    bool PublishLatest(const QByteArray& topic, const QByteArray& payload, bool retain);

    // Publishes what PublishLatest holds back and the last message (when topic
    // is not empty and a connection is up), then disconnects cleanly, so the
    // broker does not send the will; waits at most msecs in all for the bytes
    // to leave. No attempt follows; a connect step still under way is
    // abandoned (it frees its handle when it returns), never waited for; the
    // handle is let go and what PublishLatest held is forgotten.
    void Stop(const QByteArray& topic = QByteArray(), const QByteArray& payload = QByteArray(),
              bool retain = true, int msecs = 1000);

    bool IsConnected() const;
    // Connected, and the broker has confirmed every subscription: a request
    // published from now on reaches us.
    bool IsSubscribed() const;
    // True while a connect step runs on its thread.
    bool IsLookingUp() const;
    // The delay before the next attempt after a failure, in milliseconds.
    int RetryDelayMs() const;
    // V5 or V311: the version of the connection, or of the attempt under way.
    Protocol ProtocolInUse() const;

    // What the connect step calls: libmosquitto's blocking connect, or a
    // test's stand-in (nullptr puts libmosquitto's back). Returns a MOSQ_ERR
    // code, errno set with MOSQ_ERR_ERRNO. Read when a step starts.
    using ConnectCall = int (*)(mosquitto* handle, const char* host, int port, int keepAliveSeconds,
                                const mqtt5__property* properties);
    static void SetConnectCall(ConnectCall call);

signals:
    // The broker accepted the connection; subscriptions are already asked for.
    void Connected();
    // An attempt failed or the connection was lost; the next attempt follows
    // after RetryDelayMs. A refusal of MQTT 5 that Auto answers with 3.1.1 is none.
    void Failed(const QString& why);
    void Received(const Mqtt::Message& message);
    // Every subscription of this connection is confirmed.
    void Subscribed();
    // A connection the broker had accepted ended: reason is the MQTT 5 reason
    // code of the broker's DISCONNECT (142: another client took the session
    // over), or 0 when it closed without one; connectedMs is how long the
    // connection lasted. Failed follows.
    void Dropped(int reason, qint64 connectedMs);
    // The broker sent a message longer than Settings::maxPacketBytes although
    // CONNECT asked it not to: it was read past, not kept. topic: as far as
    // it was read (empty when not).
    void Discarded(const QByteArray& topic, qint64 bytes);

private:
    // Runs f on the network thread and waits for it.
    template <typename F>
    void OnNetworkThread(F f);

    QThread* thread_;
    Link* link_;
    QByteArray willTopic_;
    QByteArray willPayload_;
    bool willRetain_ = false;
    QList<QPair<QByteArray, int>> subscriptions_;
};

} // namespace Mqtt
