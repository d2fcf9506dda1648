#include "mqtt/BrokerRelay.h"

#include <QDeadlineTimer>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mosquitto.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <arpa/inet.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace Mqtt {

struct Relay::Ending::State {
    std::mutex mutex;
    std::condition_variable changed;
    bool ended = false;
};

Relay::Ending::Ending() : state_(std::make_shared<State>()) {}

bool Relay::Ending::Wait(int msecs)
{
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(std::max(msecs, 0)),
                                    [this] { return state_->ended; });
}

void Relay::Ending::Ended()
{
    {
        std::lock_guard lock(state_->mutex);
        state_->ended = true;
    }
    state_->changed.notify_all();
}

namespace {

// Bytes held for a side that does not take them yet; reading from the other
// side waits meanwhile.
constexpr size_t kHeldBytes = 256 * 1024;
// After libmosquitto closed its end, what it sent last (the DISCONNECT) may
// take this long to reach a slow broker.
constexpr int kLastWordsMs = 2000;
// The most of a discarded message's start kept to name its topic.
constexpr size_t kTopicBytes = 2 + 256;

// A write to a socket whose peer is gone fails with EPIPE instead of ending
// the program: OpenSSL writes with write(), so this thread holds SIGPIPE.
void HoldSigpipe()
{
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

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

// The broker's packets, split by their fixed header: those within the limit
// go on whole, a longer one is read past. A length of more than four bytes
// cannot be followed and ends the connection.
class Splitter {
public:
    explicit Splitter(uint32_t limit) : limit_(limit) {}

    // False when the stream is no MQTT any more.
    bool Feed(const char* data, size_t n, std::string& out, const Relay::Discarded& discarded)
    {
        for (size_t i = 0; i < n;) {
            if (body_ > 0) {
                const size_t take = size_t(std::min<uint64_t>(body_, n - i));
                if (skipping_) {
                    if (head_.size() < kTopicBytes)
                        head_.append(data + i, std::min(take, kTopicBytes - head_.size()));
                } else {
                    out.append(data + i, take);
                }
                i += take;
                body_ -= take;
                if (body_ == 0 && skipping_)
                    Skipped(discarded);
                continue;
            }
            const auto byte = uint8_t(data[i++]);
            head_.push_back(char(byte));
            if (head_.size() == 1)
                continue;
            length_ |= uint64_t(byte & 0x7F) << (7 * (head_.size() - 2));
            if (byte & 0x80) {
                if (head_.size() == 5)
                    return false;
                continue;
            }
            const uint64_t total = head_.size() + length_;
            skipping_ = limit_ > 0 && total > limit_;
            if (skipping_) {
                // Only a message can be left out; any other packet is part of the session.
                if ((uint8_t(head_[0]) >> 4) != 3)
                    return false;
                skippedBytes_ = qint64(total);
                head_.clear();
            } else {
                out += head_;
                head_.clear();
            }
            body_ = length_;
            length_ = 0;
            if (body_ == 0 && skipping_)
                Skipped(discarded);
        }
        return true;
    }

private:
    void Skipped(const Relay::Discarded& discarded)
    {
        QByteArray topic;
        if (head_.size() >= 2) {
            const size_t n = (size_t(uint8_t(head_[0])) << 8) | uint8_t(head_[1]);
            topic = QByteArray(head_.data() + 2, qsizetype(std::min(n, head_.size() - 2)));
        }
        head_.clear();
        skipping_ = false;
        if (discarded)
            discarded(topic, skippedBytes_);
    }

    const uint32_t limit_;
    std::string head_;     // the fixed header so far; while skipping, the message's start
    uint64_t length_ = 0;  // the remaining length so far
    uint64_t body_ = 0;    // bytes of the current packet still to come
    bool skipping_ = false;
    qint64 skippedBytes_ = 0;
};

// One connection's relay, on its own thread: net is the broker's socket (with
// ssl on it, or null), local libmosquitto's.
class Line {
public:
    Line(int net, SSL* ssl, int local, const Relay::Settings& s, Relay::Discarded discarded, Relay::Ending ending)
        : net_(net), ssl_(ssl), local_(local), ackAtOnce_(s.ackAtOnce), splitter_(s.maxPacketBytes),
          discarded_(std::move(discarded)), ending_(std::move(ending))
    {
    }

    ~Line()
    {
        if (ssl_) {
            if (!netClosed_)
                SSL_shutdown(ssl_);
            SSL_free(ssl_);
        }
        ::close(net_);
        ::close(local_);
        ending_.Ended();
    }

    void Run()
    {
        SetNonBlocking(net_);
        SetNonBlocking(local_);
        QDeadlineTimer lastWords = QDeadlineTimer::Forever;
        for (;;) {
            FromBroker();
            ToLocal();
            FromLocal();
            ToBroker();
            if (netClosed_ && toLocal_.empty())
                return;  // libmosquitto learns it from its end closing
            if (localClosed_) {
                if (toNet_.empty() || netClosed_)
                    return;
                if (lastWords.isForever())
                    lastWords.setRemainingTime(kLastWordsMs);
                if (lastWords.hasExpired())
                    return;
            }
            pollfd p[2] = {{net_, 0, 0}, {local_, 0, 0}};
            if (!netClosed_) {
                if (toLocal_.size() < kHeldBytes || netWantsRead_)
                    p[0].events |= POLLIN;
                if (!toNet_.empty() || netWantsWrite_)
                    p[0].events |= POLLOUT;
            }
            if (!localClosed_ && toNet_.size() < kHeldBytes)
                p[1].events |= POLLIN;
            if (!toLocal_.empty() && !localClosed_)
                p[1].events |= POLLOUT;
            const int wait = lastWords.isForever() ? -1 : int(lastWords.remainingTime());
            if (::poll(p, 2, wait) < 0 && errno != EINTR)
                return;
        }
    }

private:
    // Reads what the broker sent, as far as there is room for it.
    void FromBroker()
    {
        char buf[16384];
        netWantsRead_ = netWantsWrite_ = false;
        while (!netClosed_ && toLocal_.size() < kHeldBytes) {
            ssize_t n;
            if (ssl_) {
                n = SSL_read(ssl_, buf, sizeof buf);
                if (n <= 0) {
                    const int e = SSL_get_error(ssl_, int(n));
                    if (e == SSL_ERROR_WANT_READ) {
                        netWantsRead_ = true;
                        break;
                    }
                    if (e == SSL_ERROR_WANT_WRITE) {
                        netWantsWrite_ = true;
                        break;
                    }
                    netClosed_ = true;
                    break;
                }
            } else {
                n = ::recv(net_, buf, sizeof buf, 0);
                if (n < 0 && (errno == EAGAIN || errno == EINTR))
                    break;
                if (n <= 0) {
                    netClosed_ = true;
                    break;
                }
            }
            if (ackAtOnce_) {
                const int one = 1;
                ::setsockopt(net_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
            }
            if (!splitter_.Feed(buf, size_t(n), toLocal_, discarded_)) {
                // No MQTT: what came before still goes, then the connection ends.
                netClosed_ = true;
                break;
            }
        }
    }

    void ToLocal()
    {
        while (!toLocal_.empty() && !localClosed_) {
            const ssize_t n = ::send(local_, toLocal_.data(), toLocal_.size(), MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return;
            if (n <= 0) {
                localClosed_ = true;
                toLocal_.clear();
                return;
            }
            toLocal_.erase(0, size_t(n));
        }
        if (localClosed_)
            toLocal_.clear();
    }

    void FromLocal()
    {
        char buf[16384];
        while (!localClosed_ && toNet_.size() < kHeldBytes) {
            const ssize_t n = ::recv(local_, buf, sizeof buf, 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return;
            if (n <= 0) {
                localClosed_ = true;
                return;
            }
            toNet_.append(buf, size_t(n));
        }
    }

    void ToBroker()
    {
        while (!toNet_.empty() && !netClosed_) {
            ssize_t n;
            if (ssl_) {
                n = SSL_write(ssl_, toNet_.data(), int(std::min<size_t>(toNet_.size(), 1 << 20)));
                if (n <= 0) {
                    const int e = SSL_get_error(ssl_, int(n));
                    if (e == SSL_ERROR_WANT_WRITE)
                        netWantsWrite_ = true;
                    else if (e == SSL_ERROR_WANT_READ)
                        netWantsRead_ = true;
                    else
                        netClosed_ = true;
                    return;
                }
            } else {
                n = ::send(net_, toNet_.data(), toNet_.size(), MSG_NOSIGNAL);
                if (n < 0 && (errno == EAGAIN || errno == EINTR))
                    return;
                if (n <= 0) {
                    netClosed_ = true;
                    return;
                }
            }
            toNet_.erase(0, size_t(n));
        }
        if (netClosed_)
            toNet_.clear();
    }

    const int net_;
    SSL* const ssl_;
    const int local_;
    const bool ackAtOnce_;
    Splitter splitter_;
    const Relay::Discarded discarded_;
    Relay::Ending ending_;
    std::string toLocal_;
    std::string toNet_;
    bool netClosed_ = false;
    bool localClosed_ = false;
    bool netWantsRead_ = false;   // TLS waits for the broker's bytes
    bool netWantsWrite_ = false;  // TLS waits for room to send
};

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
    try {
        auto line = std::make_unique<Line>(net, ssl, local, settings, std::move(discarded), std::move(ending));
        std::thread([line = std::move(line)] {
            HoldSigpipe();
            line->Run();
        }).detach();
    } catch (const std::system_error&) {
        errno = EAGAIN;
        return MOSQ_ERR_ERRNO;  // the line's sockets went with it
    }
    return MOSQ_ERR_SUCCESS;
}

} // namespace Mqtt
