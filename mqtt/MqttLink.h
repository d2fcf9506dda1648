#pragma once
// The libmosquitto side of Mqtt::Client (connecting in MqttLink.cpp, what
// comes and goes in MqttLinkTraffic.cpp): it lives on the client's network
// thread and is touched only there, driven by that thread's event loop (a read
// notifier on its socket, a write notifier on only while it has bytes to
// send, a timer for its keep-alive). The one step that blocks, looking the
// host up and opening the TCP connection, runs on a short-lived thread of its
// own (the connect step, below) and hands the connection back. It never
// listens itself, reconnects with its own growing delay, and knows nothing of
// what the messages mean.
//
// The connect step's thread:
// - it gets the libmosquitto handle, the host, port, keep-alive and packet
//   limit by value, and one reference on Shared; it touches nothing else, never
//   the Link, and the network thread leaves the handle alone while it runs;
// - what it writes (libmosquitto's error line, the certificate check) goes to
//   Shared under its mutex;
// - when the connect call returns it either queues the result to its link
//   (Shared::owner set) or, when the link is gone or stopped waiting for it
//   (owner null), destroys the handle itself; Shared, and the TLS context it
//   holds, go with the last reference, after the handle;
// - the link waits for no step: on a stop, a deletion or the step's time
//   limit it clears owner (and on a stop or a deletion frees the handle
//   itself when no step holds it); the next attempt, or the next Start,
//   makes a new handle with a new Shared. A thread that cannot be started
//   fails that attempt.
#include "mqtt/MqttClient.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>
#include <atomic>
#include <memory>

class QSocketNotifier;

namespace Mqtt {

class Link : public QObject {
    Q_OBJECT
public:
    using ConnectCall = Client::ConnectCall;
    static void SetConnectCall(ConnectCall call);

    struct Will {
        QByteArray topic;
        QByteArray payload;
        bool retain = false;
    };
    struct Subscription {
        QByteArray topic;
        int qos;
    };

    Link();
    ~Link() override;

    // As Client's, on the network thread.
    bool Start(const Settings& settings, const Will& will, const QList<Subscription>& subscriptions,
               QString* why);
    bool Publish(const QByteArray& topic, const QByteArray& payload, bool retain, int qos,
                 const QByteArray& correlation, const QByteArray& responseTopic);
    void PublishLatest(const QByteArray& topic, const QByteArray& payload, bool retain);
    void Stop(const QByteArray& topic, const QByteArray& payload, bool retain, int msecs);

    // Read from any thread.
    bool IsConnected() const { return connected_; }
    bool IsSubscribed() const { return connected_ && pendingSubacks_ == 0; }
    bool IsLookingUp() const { return stepping_; }
    int RetryDelayMs() const { return delayMs_; }
    Protocol ProtocolInUse() const { return protocol_; }

    // What the network thread and a connect step share; the step keeps it alive.
    struct Shared;

signals:
    void Connected();
    void Failed(const QString& why);
    void Received(const Mqtt::Message& message);
    void Subscribed();
    void Dropped(int reason, qint64 connectedMs);
    void Discarded(const QByteArray& topic, qint64 bytes);

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
    // Clears owner and lets the handle go: freed here unless a step holds it,
    // which then frees it when it returns.
    void ReleaseHandle();
    void Attempt();
    void Stepped(int rc, int savedErrno);
    void StepTooLong();
    void Watch();
    void Unwatch();
    void AfterIo(int rc);
    void Lost(const QString& why);
    void FlushWrites(const QDeadlineTimer& deadline);
    void SendLatest(const QByteArray& topic);
    void SendAllLatest();

    std::shared_ptr<Shared> shared_;
    // Why a TLS connection failed, in words; empty when it was no TLS failure.
    QString TlsWhy() const;
    // Why a connection without TLS ended before the broker's CONNACK.
    QString EndedUnanswered() const;

    mosquitto* mosq_ = nullptr;
    Settings settings_;
    QList<Subscription> subscriptions_;
    Will will_;
    QSocketNotifier* read_ = nullptr;
    QSocketNotifier* write_ = nullptr;
    int fd_ = -1;
    std::atomic<bool> connected_ = false;
    bool stopped_ = true;
    std::atomic<bool> stepping_ = false;
    std::atomic<int> pendingSubacks_ = 0;
    int disconnectReason_ = 0;
    qint64 connectedAtMs_ = 0;
    QString refused_;      // why the broker refused the last connection
    std::atomic<Protocol> protocol_ = Protocol::V5;  // of this attempt: V5 or V311
    bool fallBack_ = false;  // the broker refused 5: the next attempt is 3.1.1, at once
    std::atomic<int> delayMs_ = Client::kFirstRetryMs;
    // The last value of each topic given to PublishLatest.
    struct Latest {
        QByteArray payload;
        bool retain = false;
        bool pending = false;   // not sent yet
        QElapsedTimer sent;
    };
    QHash<QByteArray, Latest> latest_;
    QTimer retry_{this};
    QTimer housekeeping_{this};
    QTimer connectWait_{this};
    QTimer stepLimit_{this};
};

} // namespace Mqtt
