#pragma once
// The broker connection itself, between libmosquitto and the network.
// libmosquitto (2.0) allocates a packet's whole announced length before it
// reads it, and as a client takes any length: a broker that ignores our
// Maximum Packet Size could make it hold hundreds of MB. So the relay owns the
// TCP connection (and TLS on it), reads the length of each packet the broker
// sends before its body, and forwards only packets within the limit to
// libmosquitto, which speaks plain MQTT to it over a private local socket. A
// message over the limit is read past and discarded, costing a read buffer;
// the connection carries on. What libmosquitto sends goes out unchanged.
//
// Its thread: one per connection, started by Connect, detached; it owns both
// sockets and the TLS session and ends when either side closes (having passed
// on what the other side sent, within a bound when the broker stalls).
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

struct mosquitto;
struct mqtt5__property;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace Mqtt {

class Relay {
public:
    struct Settings {
        uint32_t maxPacketBytes = 0;  // 0: any length passes
        // Acknowledge what is read at once (see Mqtt::Settings::ackAtOnce).
        bool ackAtOnce = false;
        // The longest a TLS handshake may take before the attempt fails.
        int handshakeMs = 10000;
    };
    // A message over the limit was discarded: its topic (empty when it was not
    // read) and length. Called on the relay's thread.
    using Discarded = std::function<void(const QByteArray& topic, qint64 bytes)>;

    // Whether the relay of a connection has ended; Link::Stop waits for it.
    class Ending {
    public:
        Ending();
        // True when it ended within msecs.
        bool Wait(int msecs);
        void Ended();

    private:
        struct State;
        std::shared_ptr<State> state_;
    };

    // On the connect step's thread, blocking: opens host:port, runs the TLS
    // handshake with ctx when it is not null, then lets libmosquitto connect
    // (sending CONNECT with props) to the relay's local end and starts the
    // relay. Returns a MOSQ_ERR code (errno set with MOSQ_ERR_ERRNO); a failed
    // handshake leaves OpenSSL's reason in tlsError.
    static int Connect(mosquitto* mosq, const char* host, int port, int keepAlive, const mqtt5__property* props,
                       SSL_CTX* ctx, const Settings& settings, Discarded discarded, Ending ending,
                       QString* tlsError);

private:
    // Starts the relay's thread on the open sockets, which it then owns.
    // False when no thread could be started (the sockets are closed).
    static bool StartLine(int net, SSL* ssl, int local, const Settings& settings, Discarded discarded,
                          Ending ending);
};

// What both halves use: this thread gets EPIPE, not SIGPIPE, from a write to
// a socket whose peer is gone (OpenSSL writes with write()); fd stops blocking.
void HoldSigpipe();
void SetNonBlocking(int fd);

} // namespace Mqtt
