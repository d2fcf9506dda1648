#include "mqtt/BrokerRelay.h"

#include <QDeadlineTimer>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <system_error>
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
} // namespace

void HoldSigpipe()
{
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

bool Relay::StartLine(int net, SSL* ssl, int local, const Settings& settings, Discarded discarded, Ending ending)
{
    try {
        auto line = std::make_unique<Line>(net, ssl, local, settings, std::move(discarded), std::move(ending));
        std::thread([line = std::move(line)] {
            HoldSigpipe();
            line->Run();
        }).detach();
    } catch (const std::system_error&) {
        return false;  // the line's sockets went with it
    }
    return true;
}

} // namespace Mqtt
