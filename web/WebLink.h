#pragma once
// What the web server is on its network thread: the gate every connection
// passes first, Qt's HTTP server behind it, the pages' sockets, the sessions.
// Private to web/; the engine uses Server (WebServer.h).
#include "web/WebServer.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <atomic>
#include <map>
#include <memory>

class QHttpServerResponder;
class QTcpSocket;
class QWebSocket;

namespace Web {

// A request's line and headers, as the gate peeks them or the server parsed them.
struct Head {
    QByteArray method;
    QByteArray path;
    QByteArray query;
    QList<QPair<QByteArray, QByteArray>> headers;  // names in lower case
    // The value of a header; empty when absent.
    QByteArray Value(const char* name) const;
    int Count(const char* name) const;
};

// Parses a request's head (up to its blank line): false when it is no HTTP request.
bool ParseHead(const QByteArray& bytes, Head& head);

// A status with why, as a refusal is sent: 0 when the request may go on.
struct Verdict {
    int status = 0;
    QByteArray why;
};

// Writes a whole response and closes the connection once it is sent:
// one request a connection, so nothing unchecked follows a checked one.
void Reply(QTcpSocket* socket, int status, const QByteArray& body,
           const QList<QPair<QByteArray, QByteArray>>& headers = {});

class Link;

// Every connection waits here until its first request's head has come and
// passed Link::Check; only then does Qt's server see it.
class Gate : public QTcpServer {
    Q_OBJECT
public:
    explicit Gate(Link* link);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void Look(QTcpSocket* socket);
    Link* link_;
};

class Http : public QAbstractHttpServer {
    Q_OBJECT
public:
    explicit Http(Link* link);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    Link* link_;
};

class Link : public QObject {
    Q_OBJECT
public:
    explicit Link(const Settings& settings);
    ~Link() override;

    // On the network thread.
    QString Listen(quint16* port);
    void Broadcast(const QByteArray& message);
    void Send(quint64 client, const QByteArray& message);
    void Answer(quint64 request, int status, const QByteArray& body);
    void CloseAll();

    // The gate's and the server's rules.
    Verdict Check(const Head& head, const QTcpSocket* socket) const;
    void Handle(const Head& head, const QByteArray& body, QTcpSocket* socket);
    bool TakeConnection();     // false: the connections are all in use
    void ConnectionEnded() { --connections_; }
    const Settings& Config() const { return settings_; }

    std::atomic<int> sockets{0};

signals:
    void Joined(quint64 client);
    void Left(quint64 client);
    void Message(quint64 client, const QByteArray& text);
    void Request(quint64 request, const QByteArray& path, const QByteArray& body);

private:
    void TakeSockets();
    bool HostServed(const QByteArray& host, const QTcpSocket* socket) const;
    bool SignedIn(const Head& head) const;
    QByteArray CookieName() const;
    void Page(QTcpSocket* socket, const Head& head);
    void SignIn(QTcpSocket* socket, const QByteArray& password);

    Settings settings_;
    quint16 port_ = 0;
    QByteArray token_;
    Http* http_ = nullptr;
    int connections_ = 0;
    quint64 lastId_ = 0;
    QHash<quint64, QWebSocket*> pages_;
    struct Pending {
        QPointer<QTcpSocket> socket;
    };
    std::map<quint64, Pending> pending_;
    QList<QByteArray> sessions_;     // the oldest first
    QList<qint64> failedSignIns_;    // when, in ms of the monotonic clock
};

} // namespace Web
