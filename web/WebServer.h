#pragma once
// A page in the browser and its WebSocket, served by Qt's HTTP server on a
// network thread of its own, so that a page keeps hearing from the program
// while a long script holds the event loop. Knows nothing of the lights: the
// engine gives it the page, the messages to push and the answers to requests.
//
// Thread contract: a Server is made, used and destroyed on the event loop's
// thread. Its Link lives on the network thread; what arrives (a WebSocket
// message, a POST) is queued to the event loop as a signal and handled there
// in arrival order. Broadcast, Send and Answer hand their bytes over and return.
//
// Safe by default: the Host header must name the address served (no DNS
// rebinding), a WebSocket's Origin must be the page's own, requests that change
// anything carry the page's token (a header or the socket's query), with a
// password they carry the session cookie too; requests, connections and
// sign-in attempts are bounded, and every refusal is an HTTP status.
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

class QThread;

namespace Web {

// The header that carries the page's token on a POST, and its query on /ws.
inline constexpr char kTokenHeader[] = "X-Orvane-Token";
inline constexpr char kSocketPath[] = "/ws";
inline constexpr char kLoginPath[] = "/login";

struct Settings {
    QHostAddress host = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 0;                // 0: any free port (tests)
    QByteArray password;             // empty: no sign-in
    // Served at "/" with {{TOKEN}}, {{NONCE}} and {{LOGIN}} ("1": sign in first) filled in.
    QByteArray page;
    QList<QByteArray> postPaths;     // POSTs handed to the owner as Request
    int maxConnections = 32;         // open connections, sockets and plain requests together
    qint64 maxBodyBytes = 4 << 20;   // a request's body, a WebSocket message
    int headMs = 10000;              // a request's head must have come by then
};

// The longest request head taken: its line and its headers.
inline constexpr qint64 kMaxHeadBytes = 16 * 1024;
// A page that reads slower than this is behind gets its socket closed.
inline constexpr qint64 kMaxUnsentBytes = 4 << 20;

class Link;

class Server : public QObject {
    Q_OBJECT
public:
    explicit Server(QObject* parent = nullptr);
    ~Server() override;  // closes every connection and ends the thread

    // Listens: empty when it does, else why not (the address is taken, say).
    QString Start(const Settings& settings);
    // The address served, "http://127.0.0.1:8080/"; empty before Start.
    QString Address() const { return address_; }
    quint16 Port() const { return port_; }
    // Sockets open now (pages following the program).
    int Sockets() const;

    // A text message to every page, or to one.
    void Broadcast(const QByteArray& message);
    void Send(quint64 client, const QByteArray& message);
    // The answer to Request n: status 200 and the body as plain UTF-8 text,
    // or a refusal's status with why.
    void Answer(quint64 request, int status, const QByteArray& body);
    // Tells every page the program goes away (close code 1001). Never waits
    // on a page: what the socket does not take now is dropped with it.
    void Close();

signals:
    // A page's socket opened (send it what it shows) or closed.
    void Joined(quint64 client);
    void Left(quint64 client);
    // A text message from a page's socket.
    void Message(quint64 client, const QByteArray& text);
    // A POST to one of the settings' postPaths, to be answered by Answer.
    void Request(quint64 request, const QByteArray& path, const QByteArray& body);

private:
    QThread* thread_ = nullptr;
    Link* link_ = nullptr;
    QString address_;
    quint16 port_ = 0;
};

// The address as a URL names it: "127.0.0.1", "[::1]".
QString UrlHost(const QHostAddress& address);

} // namespace Web
