// The web server on its network thread: which requests pass, what each gets,
// the pages' sockets and the sign-in sessions.
#include "web/WebLink.h"

#include <QDeadlineTimer>
#include <QHostInfo>
#include <QHttpServerRequest>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>
#include <QWebSocket>

namespace Web {
namespace {

// Sign-in attempts that fail within a minute before the next is refused unread.
constexpr int kMaxFailedSignIns = 10;
constexpr qint64 kSignInWindowMs = 60000;
constexpr int kMaxSessions = 64;
constexpr char kTokenQuery[] = "token";

QByteArray RandomHex(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(raw.data()), bytes / 4);
    return raw.toHex();
}

// Compares without telling by its time how much of a secret was right.
bool Same(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size() || a.isEmpty())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= uchar(a[i] ^ b[i]);
    return diff == 0;
}

QByteArray MethodName(QHttpServerRequest::Method m)
{
    switch (m) {
    case QHttpServerRequest::Method::Get: return "GET";
    case QHttpServerRequest::Method::Post: return "POST";
    default: return "OTHER";
    }
}

qint64 Now() { return QDeadlineTimer::current().deadline(); }

} // namespace

Link::Link(const Settings& settings) : settings_(settings) {}

Link::~Link() = default;

QString Link::Listen(quint16* port)
{
    auto* gate = new Gate(this);
    if (!gate->listen(settings_.host, settings_.port)) {
        const QString why = gate->errorString();
        delete gate;
        return why;
    }
    port_ = gate->serverPort();
    *port = port_;
    token_ = RandomHex(16);
    http_ = new Http(this);
    http_->bind(gate);
    connect(http_, &QAbstractHttpServer::newWebSocketConnection, this, &Link::TakeSockets);
    return {};
}

bool Link::TakeConnection()
{
    if (connections_ >= settings_.maxConnections)
        return false;
    ++connections_;
    return true;
}

bool Link::HostServed(const QByteArray& hostHeader, const QTcpSocket* socket) const
{
    QByteArray host = hostHeader.toLower();
    QByteArray port;
    if (host.startsWith('[')) {
        const qsizetype close = host.indexOf(']');
        if (close < 0)
            return false;
        port = host.mid(close + 1);
        host = host.mid(1, close - 1);
    } else if (const qsizetype colon = host.lastIndexOf(':'); colon >= 0) {
        port = host.mid(colon);
        host = host.left(colon);
    }
    if (port.isEmpty() ? port_ != 80 : port != ':' + QByteArray::number(port_))
        return false;
    const QHostAddress local = socket->localAddress();
    if (QHostAddress literal; literal.setAddress(QString::fromLatin1(host)))
        return literal.isEqual(local, QHostAddress::ConvertV4MappedToIPv4);
    if (host == "localhost")
        return local.isLoopback();
    // The machine's own name: another site cannot make a browser's lookup of it its own.
    const QByteArray name = QHostInfo::localHostName().toLower().toUtf8();
    return !name.isEmpty() && (host == name || host == name + ".local");
}

bool Link::SignedIn(const Head& head) const
{
    if (settings_.password.isEmpty())
        return true;
    const QByteArray prefix = CookieName() + '=';
    for (const auto& [key, value] : head.headers) {
        if (key != "cookie")
            continue;
        for (const QByteArray& part : value.split(';')) {
            const QByteArray cookie = part.trimmed();
            if (cookie.startsWith(prefix))
                for (const QByteArray& session : sessions_)
                    if (Same(cookie.mid(prefix.size()), session))
                        return true;
        }
    }
    return false;
}

// One name a port: programs on one machine are one site to a browser.
QByteArray Link::CookieName() const { return "orvane-session-" + QByteArray::number(port_); }

Verdict Link::Check(const Head& head, const QTcpSocket* socket) const
{
    const QByteArray host = head.Value("host");
    if (head.Count("host") != 1 || !HostServed(host, socket))
        return {421, "The Host header must name this server, " + UrlHost(socket->localAddress()).toUtf8() + ':'
                         + QByteArray::number(port_)};
    const QByteArray origin = head.Value("origin").toLower();
    const QByteArray own = "http://" + host.toLower();
    if (head.path == kSocketPath) {
        if (head.method != "GET" || head.Value("upgrade").toLower() != "websocket")
            return {400, "Only a WebSocket is served at " + QByteArray(kSocketPath)};
        if (origin != own)
            return {403, "The WebSocket is served to this server's own page only"};
        const QByteArray token = QUrlQuery(QString::fromLatin1(head.query)).queryItemValue(kTokenQuery).toLatin1();
        if (!Same(token, token_))
            return {403, "The page's token is missing or out of date: load the page again"};
        if (!SignedIn(head))
            return {401, "Sign in first"};
        return {};
    }
    if (!head.Value("upgrade").isEmpty())
        return {400, "Only " + QByteArray(kSocketPath) + " takes an upgrade"};
    if (head.path == "/")
        return head.method == "GET" ? Verdict{} : Verdict{405, "The page is only read (GET)"};
    if (head.path != kLoginPath && !settings_.postPaths.contains(head.path))
        return {404, "Nothing is served at this path"};
    if (head.method != "POST")
        return {405, "This path takes POST only"};
    // Browsers send Origin on every POST; another site's is refused before its token is looked at.
    if (!origin.isEmpty() && origin != own)
        return {403, "Requests are taken from this server's own page only"};
    if (!Same(head.Value(QByteArray(kTokenHeader).toLower().constData()), token_))
        return {403, "The page's token is missing or out of date: load the page again"};
    if (head.path != kLoginPath && !SignedIn(head))
        return {401, "Sign in first"};
    bool ok = false;
    const qint64 length = head.Value("content-length").toLongLong(&ok);
    if (head.Count("transfer-encoding") > 0 || head.Count("content-length") != 1 || !ok || length < 0)
        return {411, "A request's body must come with one Content-Length"};
    if (length > settings_.maxBodyBytes)
        return {413, "The request's body is " + QByteArray::number(length) + " bytes long; at most "
                         + QByteArray::number(settings_.maxBodyBytes) + " are taken"};
    return {};
}

void Link::Handle(const Head& head, const QByteArray& body, QTcpSocket* socket)
{
    socket->setProperty("orvane.handled", true);
    if (head.path == "/") {
        Page(socket, head);
    } else if (head.path == kLoginPath) {
        SignIn(socket, body);
    } else {
        const quint64 id = ++lastId_;
        pending_[id] = Pending{socket};
        emit Request(id, head.path, body);
    }
}

void Link::Page(QTcpSocket* socket, const Head& head)
{
    const QByteArray nonce = RandomHex(16);
    QByteArray page = settings_.page;
    page.replace("{{TOKEN}}", token_).replace("{{NONCE}}", nonce).replace("{{LOGIN}}", SignedIn(head) ? "0" : "1");
    Reply(socket, 200, page,
          {{"Content-Type", "text/html; charset=utf-8"},
           {"Content-Security-Policy", "default-src 'none'; script-src 'nonce-" + nonce + "'; style-src 'nonce-" + nonce
                                           + "'; connect-src 'self'; img-src 'self' data:; form-action 'none'; "
                                             "frame-ancestors 'none'; base-uri 'none'"},
           {"X-Frame-Options", "DENY"},
           {"Referrer-Policy", "no-referrer"}});
}

void Link::SignIn(QTcpSocket* socket, const QByteArray& password)
{
    if (settings_.password.isEmpty()) {
        Reply(socket, 404, "No password is set: there is nothing to sign in to\n");
        return;
    }
    const qint64 now = Now();
    failedSignIns_.removeIf([now](qint64 t) { return now - t > kSignInWindowMs; });
    if (failedSignIns_.size() >= kMaxFailedSignIns) {
        Reply(socket, 429, "Too many wrong passwords: wait a minute\n");
        return;
    }
    if (!Same(password, settings_.password)) {
        failedSignIns_.append(now);
        Reply(socket, 403, "Wrong password\n");
        return;
    }
    const QByteArray session = RandomHex(32);
    sessions_.append(session);
    while (sessions_.size() > kMaxSessions)
        sessions_.removeFirst();
    Reply(socket, 204, {}, {{"Set-Cookie", CookieName() + '=' + session + "; Path=/; HttpOnly; SameSite=Strict"}});
}

void Link::TakeSockets()
{
    while (http_->hasPendingWebSocketConnections()) {
        QWebSocket* page = http_->nextPendingWebSocketConnection().release();
        if (!page)
            return;
        page->setParent(this);
        page->setMaxAllowedIncomingMessageSize(quint64(settings_.maxBodyBytes) + 4096);
        page->setMaxAllowedIncomingFrameSize(quint64(settings_.maxBodyBytes) + 4096);
        const quint64 id = ++lastId_;
        pages_.insert(id, page);
        ++sockets;
        connect(page, &QWebSocket::textMessageReceived, this,
                [this, id](const QString& text) { emit Message(id, text.toUtf8()); });
        connect(page, &QWebSocket::binaryMessageReceived, page,
                [page] { page->close(QWebSocketProtocol::CloseCodeDatatypeNotSupported, QStringLiteral("text only")); });
        connect(page, &QWebSocket::disconnected, this, [this, id, page] {
            if (pages_.remove(id)) {
                --sockets;
                emit Left(id);
            }
            page->deleteLater();
        });
        emit Joined(id);
    }
}

void Link::Send(quint64 client, const QByteArray& message)
{
    QWebSocket* page = pages_.value(client);
    if (!page)
        return;
    // A page that does not read is cut off rather than held in memory.
    if (page->bytesToWrite() > kMaxUnsentBytes) {
        page->abort();
        return;
    }
    page->sendTextMessage(QString::fromUtf8(message));
}

void Link::Broadcast(const QByteArray& message)
{
    for (const quint64 id : pages_.keys())
        Send(id, message);
}

void Link::Answer(quint64 request, int status, const QByteArray& body)
{
    const auto it = pending_.find(request);
    if (it == pending_.end())
        return;
    if (QTcpSocket* socket = it->second.socket; socket && socket->state() == QAbstractSocket::ConnectedState)
        Reply(socket, status, body);
    pending_.erase(it);
}

void Link::CloseAll()
{
    for (QWebSocket* page : pages_) {
        page->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("Orvane stops"));
        page->flush();
    }
}

Http::Http(Link* link) : QAbstractHttpServer(link), link_(link) {}

bool Http::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    // Checked again as the server read it: the gate saw only the connection's first head.
    Head head;
    head.method = MethodName(request.method());
    head.path = request.url().path(QUrl::FullyEncoded).toUtf8();
    head.query = request.url().query(QUrl::FullyEncoded).toUtf8();
    for (const auto& [name, value] : request.headers())
        head.headers.append({name.toLower(), value});
    const Verdict v = link_->Check(head, socket);
    if (v.status != 0) {
        Reply(socket, v.status, v.why + '\n');
        // Not handled: Qt's server upgrades only what a handler took.
        return false;
    }
    // Taken as it is: Qt's server then hands it to its WebSocket server.
    if (head.path == kSocketPath)
        return true;
    link_->Handle(head, request.body(), socket);
    return true;
}

// Only a request refused above comes here, already answered.
void Http::missingHandler(const QHttpServerRequest&, QTcpSocket*) {}

} // namespace Web
