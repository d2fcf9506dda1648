// The gate: a connection's first request head is read (peeked, so that Qt's
// server still reads it whole) and checked before the server sees it, and
// every refusal is written here as a plain HTTP response.
#include "web/WebLink.h"

#include <QTcpSocket>
#include <QTimer>

namespace Web {
namespace {

QByteArray Reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 421: return "Misdirected Request";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

// A connection still in the gate this long after it came is cut off.
constexpr int kAbortMs = 2000;
// A request's body (4 MiB at most) must have come this long after its head.
constexpr int kBodyMs = 30000;

} // namespace

QByteArray Head::Value(const char* name) const
{
    for (const auto& [key, value] : headers)
        if (key == name)
            return value;
    return {};
}

int Head::Count(const char* name) const
{
    int n = 0;
    for (const auto& h : headers)
        n += h.first == name;
    return n;
}

bool ParseHead(const QByteArray& bytes, Head& head)
{
    const QList<QByteArray> lines = bytes.split('\n');
    if (lines.isEmpty())
        return false;
    const QList<QByteArray> first = lines[0].trimmed().split(' ');
    if (first.size() != 3 || !first[2].startsWith("HTTP/1.") || !first[1].startsWith('/'))
        return false;
    head.method = first[0];
    const qsizetype q = first[1].indexOf('?');
    head.path = q < 0 ? first[1] : first[1].left(q);
    head.query = q < 0 ? QByteArray() : first[1].mid(q + 1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].endsWith('\r') ? lines[i].chopped(1) : lines[i];
        if (line.isEmpty())
            break;
        const qsizetype colon = line.indexOf(':');
        // A folded line or a name with blanks is read differently by different parsers.
        if (colon <= 0 || line[0] == ' ' || line[0] == '\t' || line.left(colon).contains(' '))
            return false;
        head.headers.append({line.left(colon).toLower(), line.mid(colon + 1).trimmed()});
    }
    return true;
}

void Reply(QTcpSocket* socket, int status, const QByteArray& body, const QList<QPair<QByteArray, QByteArray>>& headers)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + Reason(status) + "\r\n";
    bool typed = false;
    for (const auto& [name, value] : headers) {
        out += name + ": " + value + "\r\n";
        typed = typed || name.compare("Content-Type", Qt::CaseInsensitive) == 0;
    }
    if (!typed)
        out += "Content-Type: text/plain; charset=utf-8\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    out += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";
    out += body;
    // Nothing more is read from this connection: no unchecked request follows.
    QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    socket->write(out);
    socket->disconnectFromHost();
    // A peer that never reads its answer does not hold the connection.
    QTimer::singleShot(kAbortMs, socket, [socket] { socket->abort(); });
}

Gate::Gate(Link* link) : QTcpServer(link), link_(link)
{
    // The server's sockets are made here; Qt's own queue only hands them over.
    setMaxPendingConnections(link->Config().maxConnections);
}

void Gate::incomingConnection(qintptr descriptor)
{
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    if (!link_->TakeConnection()) {
        Reply(socket, 503, "Too many connections: at most " + QByteArray::number(link_->Config().maxConnections)
                               + " may be open at once\n");
        return;
    }
    Link* link = link_;
    connect(socket, &QObject::destroyed, link, [link] { link->ConnectionEnded(); });
    // The whole of one request, and no more, is held for the server.
    socket->setReadBufferSize(kMaxHeadBytes + link_->Config().maxBodyBytes + 4);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Look(socket); });
    QTimer::singleShot(link_->Config().headMs, socket, [socket] {
        if (!socket->property("orvane.passed").toBool())
            Reply(socket, 408, "The request did not come in time\n");
    });
}

void Gate::Look(QTcpSocket* socket)
{
    const QByteArray seen = socket->peek(kMaxHeadBytes + 4);
    const qsizetype end = seen.indexOf("\r\n\r\n");
    if (end < 0) {
        if (seen.size() > kMaxHeadBytes)
            Reply(socket, 431, "The request's head is longer than " + QByteArray::number(kMaxHeadBytes) + " bytes\n");
        return;
    }
    Head head;
    if (!ParseHead(seen.left(end + 2), head)) {
        Reply(socket, 400, "This is no HTTP request\n");
        return;
    }
    if (const Verdict v = link_->Check(head, socket); v.status != 0) {
        Reply(socket, v.status, v.why + '\n');
        return;
    }
    // Qt's server reads it from the start: its own readyRead comes after ours.
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    socket->setProperty("orvane.passed", true);
    addPendingConnection(socket);
    emit newConnection();
    emit socket->readyRead();
    // A body that never ends does not hold the connection either; a socket's does not end.
    if (head.Value("upgrade").isEmpty())
        QTimer::singleShot(kBodyMs, socket, [socket] {
            if (!socket->property("orvane.handled").toBool())
                Reply(socket, 408, "The request's body did not come in time\n");
        });
}

} // namespace Web
