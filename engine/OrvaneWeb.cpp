// The web road: its settings, the running session (the server, the queue of
// the pages' requests, what the pages were told) and the road the core knows.
#include "engine/OrvaneWeb.h"

#include "base/Channels.h"
#include "base/Log.h"
#include "base/OutsideText.h"
#include "base/Platform.h"
#include "comm/LEDCOMM.h"
#include "engine/LEDMain.h"
#include "engine/Limits.h"
#include "engine/RequestQueue.h"
#include "engine/Roads.h"
#include "engine/Service.h"
#include "mqtt/LoginFiles.h"
#include "params/TRAPAR.h"
#include "web/WebServer.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>
#include <QTimer>
#include <array>
#include <memory>

namespace OrvaneWeb {
namespace {

constexpr char kExecPath[] = "/exec";
// What a page shows besides the levels is looked at this often while one is open.
constexpr int kInfoPollMs = 500;

int16_t Bad(const char* name, const QString& why)
{
    Platform::MsgBox(QStringLiteral("Parameter %1 in %2 %3; the web page is not served")
                         .arg(QLatin1String(name), TRAPAR::GetParPath(), why),
                     Platform::vbCritical);
    return -1;
}

// 1: serve as s says; 0: off (no WEB_PORT, or 0); -1: a bad value, said in a message box.
int16_t ReadSettings(Web::Settings& s)
{
    const QString portText = TRAPAR::FindText(QStringLiteral("WEB_PORT"));
    bool ok = false;
    const int port = portText.toInt(&ok);
    if (portText.isEmpty() || (ok && port == 0))
        return 0;
    if (!ok || port < 1 || port > 65535)
        return Bad("WEB_PORT", QStringLiteral("is not a port number from 1 to 65535 (0 is off): \"%1\"").arg(portText.left(40)));
    s.port = quint16(port);
    const QString host = TRAPAR::FindText(QStringLiteral("WEB_HOST"));
    if (!host.isEmpty() && host != QLatin1String("localhost") && !s.host.setAddress(host))
        return Bad("WEB_HOST", QStringLiteral("is no IP address: \"%1\"").arg(host.left(40)));
    if (const QString file = TRAPAR::FindText(QStringLiteral("WEB_PASSWORD_FILE")); !file.isEmpty()) {
        const QString path = TRAPAR::SettingFile(file);
        if (const QString why = Mqtt::ReadPasswordFile(path, s.password); !why.isEmpty())
            return Bad("WEB_PASSWORD_FILE", QStringLiteral("names %1, %2").arg(path, why));
        if (s.password.isEmpty())
            return Bad("WEB_PASSWORD_FILE", QStringLiteral("names %1, which holds no password").arg(path));
    }
    if (!s.host.isLoopback() && s.password.isEmpty())
        return Bad("WEB_HOST", QStringLiteral("is %1, which other machines can reach; the page is served there only "
                                              "with a password: set WEB_PASSWORD_FILE too")
                                   .arg(host));
    QFile page(QStringLiteral(":/web/page.html"));
    if (!page.open(QIODevice::ReadOnly))
        return Bad("WEB_PORT", QStringLiteral("is set, but this program was built without its page"));
    s.page = page.readAll();
    s.postPaths = {kExecPath};
    s.maxBodyBytes = Limits::kMaxScriptBytes;
    return 1;
}

QByteArray Json(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

QJsonArray PageLines(const QStringList& lines)
{
    QJsonArray a;
    for (const QString& line : lines)
        a.append(OutsideText::For(OutsideText::Target::Page, line));
    return a;
}

// The running road: made by Start from the settings, ended by Stop.
class Session : public QObject {
public:
    explicit Session(QString address) : address_(std::move(address)), levels_(LEDMain::ChannelLevels())
    {
        connect(&server, &Web::Server::Joined, this, [this](quint64 client) {
            server.Send(client, LevelsMessage());
            server.Send(client, InfoMessage());
        });
        connect(&server, &Web::Server::Message, this, &Session::Message);
        connect(&server, &Web::Server::Request, this, [this](quint64 request, const QByteArray&, const QByteArray& body) {
            Queue(Item{Kind::Post, request, 0, -1, QString::fromUtf8(body)}, body.size());
        });
        connect(&poll_, &QTimer::timeout, this, [this] {
            if (server.Sockets() > 0)
                SendInfo();
        });
        poll_.start(kInfoPollMs);
    }

    Web::Server server;

    QString Status() const { return QStringLiteral("web ") + server.Address(); }

    void Confirmed(int index, int16_t intensity)
    {
        levels_[size_t(index)] = intensity;
        server.Broadcast(LevelsMessage());
    }

    void SendInfo()
    {
        const QByteArray info = InfoMessage();
        if (info != infoSent_)
            server.Broadcast(info);
        infoSent_ = info;
    }

private:
    enum class Kind { Level, Exec, Post };
    struct Item {
        Kind kind;
        quint64 who;      // the page's socket, or the POST
        qint64 id;        // the page's number for its exec
        int channel;      // a level's
        QString script;
        int64_t bytes = 0;  // the script's, in UTF-8
    };

    QByteArray LevelsMessage() const
    {
        QJsonArray levels;
        for (const int16_t level : levels_)
            levels.append(level);
        return Json({{"type", "levels"}, {"levels", levels}});
    }

    QByteArray InfoMessage() const
    {
        return Json({{"type", "info"},
                     {"response", OutsideText::For(OutsideText::Target::Page, response_)},
                     {"errors", PageLines(LEDCOMM::GetErrLog().split(QRegularExpression(QStringLiteral("[\r\n]+")), Qt::SkipEmptyParts))},
                     {"roads", PageLines(Service::StatusParts())},
                     {"name", OutsideText::For(OutsideText::Target::Page, TRAPAR::ConfiguredName())}});
    }

    void Refuse(quint64 client, qint64 id, const QString& why)
    {
        server.Send(client, Json({{"type", "refused"}, {"id", id}, {"text", why}}));
    }

    void Message(quint64 client, const QByteArray& text)
    {
        const QJsonObject m = QJsonDocument::fromJson(text).object();
        const QString type = m.value(QLatin1String("type")).toString();
        const qint64 id = m.value(QLatin1String("id")).toInteger();
        if (type == QLatin1String("exec")) {
            const QString script = m.value(QLatin1String("script")).toString();
            Queue(Item{Kind::Exec, client, id, -1, script}, Limits::Utf8Length(script));
        } else if (type == QLatin1String("level")) {
            const int index = m.value(QLatin1String("index")).toInt(-1);
            const int value = m.value(QLatin1String("value")).toInt(-1);
            if (index < 0 || index >= Channels::kCount || value < Channels::kMinIntensity || value > Channels::kMaxIntensity)
                return Refuse(client, id, QStringLiteral("A level is a channel 0 to 3 and a value from %1 to %2")
                                              .arg(Channels::kMinIntensity)
                                              .arg(Channels::kMaxIntensity));
            // The moved channel first; with Tie the others follow in the bars' order.
            QList<int> channels{index};
            if (m.value(QLatin1String("tie")).toBool())
                for (int i = 0; i < Channels::kCount; ++i)
                    if (i != index)
                        channels << i;
            for (const int c : channels) {
                wanted_[size_t(c)] = int16_t(value);
                if (!levelQueued_[size_t(c)])
                    Queue(Item{Kind::Level, client, id, c, {}}, 0);
            }
        } else {
            Refuse(client, id, QStringLiteral("Unknown message: a page sends \"exec\" or \"level\""));
        }
    }

    void Queue(Item item, int64_t bytes)
    {
        item.bytes = bytes;
        const Kind kind = item.kind;
        const int channel = item.channel;
        const quint64 who = item.who;
        const qint64 id = item.id;
        if (!requests_.Add(std::move(item), bytes)) {
            const QString why = QStringLiteral("Error %1 requests wait already; this one was not run").arg(requests_.Size());
            if (kind == Kind::Post)
                server.Answer(who, 503, why.toUtf8() + '\n');
            else
                Refuse(who, id, why);
            return;
        }
        if (kind == Kind::Level)
            levelQueued_[size_t(channel)] = true;
    }

    // One request, its turn come (RequestQueue): run and answered.
    void Run(Item& item)
    {
        const QPointer<Session> self(this);
        QString reply;
        if (item.kind == Kind::Level) {
            levelQueued_[size_t(item.channel)] = false;
            reply = LEDMain::LedRequest(item.channel, QString::number(wanted_[size_t(item.channel)]));
        } else {
            reply = Roads::RunScript(item.script, item.bytes);
        }
        if (!self)
            return;
        response_ = reply;
        if (item.kind == Kind::Post)
            server.Answer(item.who, 200, reply.toUtf8());
        else if (item.kind == Kind::Exec)
            server.Send(item.who, Json({{"type", "result"},
                                        {"id", item.id},
                                        {"text", OutsideText::For(OutsideText::Target::Page, reply)}}));
        SendInfo();
    }

    QString address_;
    std::array<int16_t, 4> levels_;
    std::array<int16_t, 4> wanted_{};
    std::array<bool, 4> levelQueued_{};
    RequestQueue<Item> requests_{this, [this](Item& item) { Run(item); }};
    QString response_;
    QByteArray infoSent_;
    QTimer poll_;
};

class Road : public Roads::Road {
public:
    std::unique_ptr<Session> session;

    void Start(QString* why) override
    {
        Web::Settings s;
        if (ReadSettings(s) != 1)
            return;
        auto next = std::make_unique<Session>(QString());
        if (const QString failed = next->server.Start(s); !failed.isEmpty()) {
            const QString where = Web::UrlHost(s.host) + QLatin1Char(':') + QString::number(s.port);
            Log::Say(QStringLiteral("The web page is not served: %1 cannot be listened on: %2").arg(where, failed));
            if (why)
                *why = QStringLiteral("the web page could not listen on %1").arg(where);
            return;
        }
        Log::Say(QStringLiteral("The web page is served at %1").arg(next->server.Address()));
        session = std::move(next);
    }
    void SettingsReloaded() override
    {
        Stopping(0);
        Start(nullptr);
    }
    void ChannelConfirmed(int index, int16_t intensity) override
    {
        if (session)
            session->Confirmed(index, intensity);
    }
    // Told from inside a request too: RunOne finds its session gone and returns.
    void Stopping(int) override
    {
        if (session)
            session->server.Close();
        session.reset();
    }
    bool Configured() const override { return session != nullptr; }
    // Off, the page is no part of the line: a program that serves none reads as before.
    QString Status() const override { return session ? session->Status() : QString(); }
};

Road& TheRoad()
{
    static Road road;
    return road;
}

} // namespace

Roads::Road& WebRoad() { return TheRoad(); }

QString Address() { return TheRoad().session ? TheRoad().session->server.Address() : QString(); }

} // namespace OrvaneWeb
