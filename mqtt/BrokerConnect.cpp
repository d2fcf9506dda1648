#include "mqtt/BrokerRelay.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mosquitto.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// Opening a relayed connection: the broker's TCP connection, its TLS
// handshake, and libmosquitto's end, on the connect step's thread.
namespace Mqtt {
namespace {

QString OpenSslErrors()
{
    QString text;
    while (const unsigned long e = ERR_get_error()) {
        char line[256];
        ERR_error_string_n(e, line, sizeof line);
        text += (text.isEmpty() ? QString() : QStringLiteral("; ")) + QString::fromUtf8(line);
    }
    return text;
}

// The broker's TCP connection; -1 with rc (and errno) set when there is none.
int OpenTcp(const char* host, int port, int* rc)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host, service.c_str(), &hints, &found) != 0 || !found) {
        *rc = MOSQ_ERR_EAI;
        return -1;
    }
    int fd = -1;
    int saved = ECONNREFUSED;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            saved = errno;
            continue;
        }
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            saved = errno;
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd < 0) {
        errno = saved;
        *rc = MOSQ_ERR_ERRNO;
        return -1;
    }
    // MQTT's packets are small and each is written whole.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// The TLS session on fd, its handshake done within ms; null with why when it failed.
SSL* Handshake(int fd, SSL_CTX* ctx, const char* host, int ms, QString* why)
{
    const timeval limit{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ERR_clear_error();
    SSL* ssl = SSL_new(ctx);
    if (!ssl) {
        *why = OpenSslErrors();
        return nullptr;
    }
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_set_fd(ssl, fd);
    // The name for the broker to choose its certificate by; an address is sent as none.
    in6_addr address;
    if (::inet_pton(AF_INET, host, &address) != 1 && ::inet_pton(AF_INET6, host, &address) != 1)
        SSL_set_tlsext_host_name(ssl, host);
    const int r = SSL_connect(ssl);
    if (r == 1) {
        const timeval none{};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
        return ssl;
    }
    const int e = SSL_get_error(ssl, r);
    const int savedErrno = errno;
    *why = OpenSslErrors();
    // A broker that takes the hello for a bad packet closes, often with a reset.
    if (why->isEmpty() && e == SSL_ERROR_SYSCALL)
        *why = savedErrno == 0 ? QStringLiteral("unexpected eof while reading")
                               : QStringLiteral("unexpected eof while reading (%1)")
                                     .arg(QString::fromLocal8Bit(std::strerror(savedErrno)));
    else if (why->isEmpty())
        *why = QStringLiteral("the TLS handshake failed");
    SSL_free(ssl);
    return nullptr;
}

// libmosquitto's end of the relay: it connects to a socket in a folder only
// this user can enter, which is gone once the one connection is taken, and the
// connection is checked to come from this process.
int HandOver(mosquitto* mosq, int keepAlive, const mqtt5__property* props, int* local)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string dir = std::string(runtime && *runtime ? runtime : "/tmp") + "/orvane-mqtt-XXXXXX";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (dir.size() + 2 >= sizeof address.sun_path)
        dir = "/tmp/orvane-mqtt-XXXXXX";
    if (!::mkdtemp(dir.data()))
        return MOSQ_ERR_ERRNO;
    const std::string path = dir + "/s";
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int rc = MOSQ_ERR_ERRNO;
    if (listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && ::listen(listener, 1) == 0) {
        rc = mosquitto_connect_bind_v5(mosq, path.c_str(), 0, keepAlive, nullptr, props);
        if (rc == MOSQ_ERR_SUCCESS) {
            *local = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            ucred peer{};
            socklen_t size = sizeof peer;
            if (*local < 0 || ::getsockopt(*local, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0
                || peer.pid != ::getpid()) {
                if (*local >= 0)
                    ::close(*local);
                *local = -1;
                errno = EACCES;
                rc = MOSQ_ERR_ERRNO;
            }
        }
    }
    const int saved = errno;
    if (listener >= 0)
        ::close(listener);
    ::unlink(path.c_str());
    ::rmdir(dir.c_str());
    errno = saved;
    if (rc == MOSQ_ERR_SUCCESS)
        SetNonBlocking(mosquitto_socket(mosq));
    return rc;
}
} // namespace

int Relay::Connect(mosquitto* mosq, const char* host, int port, int keepAlive, const mqtt5__property* props,
                   SSL_CTX* ctx, const Settings& settings, Discarded discarded, Ending ending, QString* tlsError)
{
    HoldSigpipe();
    int rc = MOSQ_ERR_SUCCESS;
    const int net = OpenTcp(host, port, &rc);
    if (net < 0)
        return rc;
    SSL* ssl = nullptr;
    if (ctx) {
        ssl = Handshake(net, ctx, host, settings.handshakeMs, tlsError);
        if (!ssl) {
            ::close(net);
            return MOSQ_ERR_TLS;
        }
    }
    int local = -1;
    rc = HandOver(mosq, keepAlive, props, &local);
    if (rc != MOSQ_ERR_SUCCESS) {
        const int saved = errno;
        if (ssl)
            SSL_free(ssl);
        ::close(net);
        errno = saved;
        return rc;
    }
    if (!StartLine(net, ssl, local, settings, std::move(discarded), std::move(ending))) {
        errno = EAGAIN;
        return MOSQ_ERR_ERRNO;
    }
    return MOSQ_ERR_SUCCESS;
}

} // namespace Mqtt
