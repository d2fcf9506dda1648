// The face the engine uses on the event loop; the server itself runs on the
// network thread (WebLink.cpp), and every call here is handed over to it.
#include "web/WebServer.h"

#include "web/WebLink.h"

#include <QHostInfo>
#include <QThread>

namespace Web {

QString UrlHost(const QHostAddress& address)
{
    bool v4 = false;
    const quint32 ip4 = address.toIPv4Address(&v4);
    if (v4)
        return QHostAddress(ip4).toString();
    return address.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                                                               : address.toString();
}

Server::Server(QObject* parent) : QObject(parent) {}

Server::~Server()
{
    if (!thread_)
        return;
    // The link and its sockets are deleted on their own thread as it finishes.
    thread_->quit();
    thread_->wait();
    delete thread_;
}

QString Server::Start(const Settings& settings)
{
    if (thread_)
        return QStringLiteral("it is started already");
    thread_ = new QThread;
    thread_->setObjectName(QStringLiteral("web"));
    thread_->start();
    link_ = new Link(settings);
    link_->moveToThread(thread_);
    connect(thread_, &QThread::finished, link_, &QObject::deleteLater);
    connect(link_, &Link::Joined, this, &Server::Joined);
    connect(link_, &Link::Left, this, &Server::Left);
    connect(link_, &Link::Message, this, &Server::Message);
    connect(link_, &Link::Request, this, &Server::Request);
    QString why;
    quint16 port = 0;
    Link* link = link_;
    QMetaObject::invokeMethod(link, [link, &why, &port] { why = link->Listen(&port); }, Qt::BlockingQueuedConnection);
    if (!why.isEmpty())
        return why;
    port_ = port;
    const QHostAddress& h = settings.host;
    // Served on every address: the machine's name is one the Host check takes.
    const bool any = h == QHostAddress::Any || h == QHostAddress::AnyIPv4 || h == QHostAddress::AnyIPv6;
    address_ = QStringLiteral("http://%1:%2/").arg(any ? QHostInfo::localHostName().toLower() : UrlHost(h)).arg(port_);
    return {};
}

int Server::Sockets() const { return link_ ? link_->sockets.load() : 0; }

void Server::Broadcast(const QByteArray& message)
{
    if (Link* link = link_)
        QMetaObject::invokeMethod(link, [link, message] { link->Broadcast(message); }, Qt::QueuedConnection);
}

void Server::Send(quint64 client, const QByteArray& message)
{
    if (Link* link = link_)
        QMetaObject::invokeMethod(link, [link, client, message] { link->Send(client, message); }, Qt::QueuedConnection);
}

void Server::Answer(quint64 request, int status, const QByteArray& body)
{
    if (Link* link = link_)
        QMetaObject::invokeMethod(link, [=] { link->Answer(request, status, body); }, Qt::QueuedConnection);
}

void Server::Close()
{
    if (Link* link = link_)
        QMetaObject::invokeMethod(link, [link] { link->CloseAll(); }, Qt::BlockingQueuedConnection);
}

} // namespace Web
