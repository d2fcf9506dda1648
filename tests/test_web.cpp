// The web road from outside, through Qt's own client classes: the page, its
// socket following every road, its requests reaching the wire, and what a
// foreign site, a careless client or a flood gets instead.
#include "tests/support/ChildProgram.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <QtTest>
#include <memory>

namespace {

quint16 FreePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// What a raw request gets: the whole answer, read until the server closes.
QByteArray Raw(quint16 port, const QByteArray& request, int msecs = 5000)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(msecs))
        return {};
    s.write(request);
    QByteArray got;
    QDeadlineTimer deadline(msecs);
    while (s.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        s.waitForReadyRead(int(std::max<qint64>(deadline.remainingTime(), 1)));
        got += s.readAll();
    }
    return got + s.readAll();
}

int Status(const QByteArray& answer) { return answer.split(' ').value(1).toInt(); }

// A page's socket, as a browser opens it, with what it was sent.
struct Page {
    QWebSocket socket;
    QList<QJsonObject> got;
    Page(quint16 port, const QByteArray& token, const QString& origin, const QByteArray& cookie = {})
        : socket(origin)
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket,
                         [this](const QString& m) { got << QJsonDocument::fromJson(m.toUtf8()).object(); });
        QNetworkRequest r(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws?token=%2").arg(port).arg(QString::fromLatin1(token))));
        if (!cookie.isEmpty())
            r.setRawHeader("Cookie", cookie);
        socket.open(r);
    }
    bool Open()
    {
        if (QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000))
            return true;
        qWarning() << "the page's socket did not open:" << socket.errorString();
        return false;
    }
    // The last levels the page was told, once they are levels.
    bool Shows(const QList<int>& levels, int msecs = 5000)
    {
        return QTest::qWaitFor([&] {
            for (auto it = got.crbegin(); it != got.crend(); ++it)
                if (it->value("type") == "levels") {
                    QList<int> shown;
                    for (const auto v : it->value("levels").toArray())
                        shown << v.toInt();
                    return shown == levels;
                }
            return false;
        }, msecs);
    }
    QJsonObject Last(const char* type)
    {
        for (auto it = got.crbegin(); it != got.crend(); ++it)
            if (it->value("type") == QLatin1String(type))
                return *it;
        return {};
    }
};

} // namespace

class TestWeb : public QObject {
    Q_OBJECT

    TestSupport::PrivateBus bus_;

    struct Program {
        TestSupport::ChildProgram copy;
        TestSupport::SimProcess sim;
        std::unique_ptr<QProcess> process;
        quint16 port = 0;
        QByteArray token;
        QString name;
        QString Origin() const { return QStringLiteral("http://127.0.0.1:%1").arg(port); }
    };
    int programs_ = 0;
    std::unique_ptr<Program> refusing_;

    // The program with the web road on a free port, its simulator and the test's bus.
    std::unique_ptr<Program> Start(const QByteArray& settings = {}, bool waitForPage = true, const QStringList& simOptions = {})
    {
        auto p = std::make_unique<Program>();
        p->port = FreePort();
        // A name of its own on the bus: a program left running by a row takes none from the next.
        p->name = QStringLiteral("web%1").arg(++programs_);
        if (!p->copy.Prepare(TestSupport::Config(3, 300) + "\"WEB_PORT\"," + QByteArray::number(p->port) + "\r\n\"NAME\","
                             + p->name.toUtf8() + "\r\n" + settings)
            || !p->sim.Start(QStringList{"--link", p->copy.App("COM3"), "--no-show"} + simOptions))
            return nullptr;
        if (settings.contains("web.pass"))
            p->copy.AddPrivateFile("web.pass", "secret\n");
        p->process = p->copy.Start({"--service"}, bus_.Environment(p->copy.Env()));
        if (!p->process || !waitForPage)
            return p;
        if (!QTest::qWaitFor([&] { return Status(Get(p->port)) == 200; }, 10000))
            return nullptr;
        const auto m = QRegularExpression("orvane-token\" content=\"([0-9a-f]+)\"").match(QString::fromUtf8(Get(p->port)));
        p->token = m.captured(1).toLatin1();
        return p->token.isEmpty() ? nullptr : std::move(p);
    }

    static QByteArray Get(quint16 port, const QByteArray& more = {})
    {
        return Raw(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n" + more + "\r\n", 2000);
    }

    static QByteArray Post(const Program& p, const QByteArray& path, const QByteArray& body, const QByteArray& more = {})
    {
        return Raw(p.port, "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(p.port) + "\r\nX-Orvane-Token: "
                               + p.token + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + more + "\r\n" + body);
    }

private slots:
    void initTestCase() { QVERIFY(bus_.Start()); }
    void cleanupTestCase()
    {
        if (refusing_)
            QVERIFY(TestSupport::ChildProgram::Stop(*refusing_->process));
    }

    // A level from the page reaches the wire; a D-Bus script and a POST move
    // the page; the answers are the other roads' own.
    void pageFollowsEveryRoad()
    {
        auto p = Start();
        QVERIFY(p);
        QNetworkAccessManager http;
        std::unique_ptr<QNetworkReply> reply(http.get(QNetworkRequest(QUrl(p->Origin() + "/"))));
        QVERIFY(QTest::qWaitFor([&] { return reply->isFinished(); }, 5000));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QVERIFY(reply->rawHeader("Content-Security-Policy").contains("default-src 'none'"));
        QVERIFY(!reply->readAll().contains("{{"));

        Page page(p->port, p->token, p->Origin());
        QVERIFY(page.Open());
        QVERIFY(page.Shows({0, 0, 0, 0}));
        QVERIFY(QTest::qWaitFor([&] { return !page.Last("info").isEmpty(); }, 5000));
        const QJsonArray roads = page.Last("info").value("roads").toArray();
        QVERIFY2(roads.contains(QStringLiteral("web http://127.0.0.1:%1/").arg(p->port)), qPrintable(QJsonDocument(roads).toJson()));

        page.socket.sendTextMessage(R"({"type":"level","index":0,"value":250})");
        QVERIFY(QTest::qWaitFor([&] { return p->sim.LoggedLines().contains("AVA250"); }, 5000));
        QVERIFY(page.Shows({250, 0, 0, 0}));

        const auto exec = TestSupport::RunProcess(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"), {"--name", p->name, "LED G 100;Ver"},
                                                  bus_.Environment(p->copy.Env()));
        QVERIFY(page.Shows({250, 100, 0, 0}));
        const QByteArray posted = Post(*p, "/exec", "LED G 100;Ver");
        QCOMPARE(Status(posted), 200);
        QCOMPARE(QString::fromUtf8(posted.mid(posted.indexOf("\r\n\r\n") + 4)).trimmed(), exec.out.trimmed());

        page.socket.sendTextMessage(R"({"type":"exec","id":7,"script":"LED A 5;Ver"})");
        QVERIFY(QTest::qWaitFor([&] { return page.Last("result").value("id").toInt() == 7; }, 5000));
        QCOMPARE(page.Last("result").value("text").toString().trimmed(), QStringLiteral("OK  ; 1.0 ;"));
        QVERIFY(page.Shows({250, 100, 0, 5}));
        // With Tie the moved channel goes first, then the others.
        page.socket.sendTextMessage(R"({"type":"level","index":2,"value":40,"tie":true})");
        QVERIFY(page.Shows({40, 40, 40, 40}));
        // The page hears the program go, so it knows to come back for a new token.
        QVERIFY(TestSupport::ChildProgram::Stop(*p->process));
        QVERIFY(QTest::qWaitFor([&] { return page.socket.state() == QAbstractSocket::UnconnectedState; }, 5000));
        QCOMPARE(page.socket.closeCode(), QWebSocketProtocol::CloseCodeGoingAway);
    }

    // A script that holds the event loop for a second does not hold the page:
    // each level shows as the controller confirms it, before the script ends.
    void levelsReachThePageWhileAScriptRuns()
    {
        auto p = Start({}, true, {"--delay", "200"});
        QVERIFY(p);
        Page page(p->port, p->token, p->Origin());
        QVERIFY(page.Open());
        QProcess exec;
        exec.setProcessEnvironment(bus_.Environment(p->copy.Env()));
        exec.start(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"), {"--name", p->name, "LED R 1;LED R 2;LED R 3;LED R 4;LED R 5;LED R 6"});
        QVERIFY(page.Shows({2, 0, 0, 0}));
        QCOMPARE(exec.state(), QProcess::Running);
        QVERIFY(exec.waitForFinished(10000));
        QVERIFY(page.Shows({6, 0, 0, 0}));
        QVERIFY(TestSupport::ChildProgram::Stop(*p->process));
    }

    // What another site, a careless client or an oversized request gets: a
    // clear status, and nothing reaches the wire.
    void refusals_data()
    {
        QTest::addColumn<QByteArray>("request");  // {P}: the port, {T}: the token
        QTest::addColumn<int>("status");
        const QByteArray post = "POST /exec HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\n";
        const QByteArray ws = "GET /ws?token={T} HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                              "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
        QTest::newRow("foreign Host (DNS rebinding)") << QByteArray("GET / HTTP/1.1\r\nHost: evil.example:{P}\r\n\r\n") << 421;
        QTest::newRow("Host of another port") << QByteArray("GET / HTTP/1.1\r\nHost: 127.0.0.1:1\r\n\r\n") << 421;
        QTest::newRow("two Hosts") << QByteArray("GET / HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\nHost: evil.example\r\n\r\n") << 421;
        QTest::newRow("socket from a foreign Origin") << ws + "Origin: http://evil.example\r\n\r\n" << 403;
        QTest::newRow("socket without Origin") << ws + "\r\n" << 403;
        QTest::newRow("socket without token")
            << QByteArray(ws).replace("token={T}", "token=") + "Origin: http://127.0.0.1:{P}\r\n\r\n" << 403;
        QTest::newRow("POST without token") << post + "Content-Length: 9\r\n\r\nLED R 111" << 403;
        QTest::newRow("POST with a foreign Origin")
            << post + "X-Orvane-Token: {T}\r\nOrigin: http://evil.example\r\nContent-Length: 9\r\n\r\nLED R 111" << 403;
        QTest::newRow("POST over the limit") << post + "X-Orvane-Token: {T}\r\nContent-Length: 4194305\r\n\r\nLED R 111" << 413;
        QTest::newRow("POST without a length") << post + "X-Orvane-Token: {T}\r\nTransfer-Encoding: chunked\r\n\r\n9\r\nLED R 111\r\n0\r\n\r\n" << 411;
        QTest::newRow("a head over 16 KiB") << "GET / HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\nX-Big: " + QByteArray(20000, 'x') << 431;
        QTest::newRow("unknown path") << QByteArray("GET /etc/passwd HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\n\r\n") << 404;
        QTest::newRow("PUT of the page") << QByteArray("PUT / HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\nContent-Length: 0\r\n\r\n") << 405;
        QTest::newRow("no HTTP") << QByteArray("LED R 111\r\n\r\n") << 400;
        QTest::newRow("socket behind a checked request (no Origin, no token)")
            << "GET / HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\n\r\n" + QByteArray(ws).replace("token={T}", "token=") + "\r\n" << 200;
    }

    void refusals()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        std::unique_ptr<Program>& p = refusing_;  // one program for every row
        if (!p)
            p = Start();
        QVERIFY(p);
        request.replace("{P}", QByteArray::number(p->port)).replace("{T}", p->token);
        const QByteArray answer = Raw(p->port, request);
        QCOMPARE(Status(answer), status);
        QVERIFY(!answer.contains("101 Switching"));
        // A checked request after the refused one still goes through.
        QCOMPARE(Status(Post(*p, "/exec", "Ver")), 200);
        QVERIFY(!p->sim.LoggedLines().contains("AVA111"));
    }

    // Connections are bounded: the one over the limit is refused at once, and
    // a freed one serves again. A head that never ends does not hold one.
    void tooManyConnections()
    {
        auto p = Start();
        QVERIFY(p);
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        for (int i = 0; i < 32; ++i) {
            idle.push_back(std::make_unique<QTcpSocket>());
            idle.back()->connectToHost(QHostAddress::LocalHost, p->port);
            QVERIFY(idle.back()->waitForConnected(2000));
        }
        QTest::qWait(200);
        QCOMPARE(Status(Get(p->port)), 503);
        idle.pop_back();
        QVERIFY(QTest::qWaitFor([&] { return Status(Get(p->port)) == 200; }, 5000));
        // The idle ones are told 408 once the head's time is up.
        QVERIFY(idle.front()->waitForReadyRead(15000));
        QCOMPARE(Status(idle.front()->readAll()), 408);
        QVERIFY(TestSupport::ChildProgram::Stop(*p->process));
    }

    // Settings the road will not serve with: a message names the parameter and
    // nothing listens. With a password, a session cookie opens the socket.
    void settingsAndSignIn_data()
    {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QString>("said");  // empty: served
        QTest::newRow("every address, no password") << QByteArray("\"WEB_HOST\",0.0.0.0\r\n") << "Parameter WEB_HOST";
        QTest::newRow("no address") << QByteArray("\"WEB_HOST\",lab.example\r\n") << "Parameter WEB_HOST";
        QTest::newRow("missing password file")
            << QByteArray("\"WEB_HOST\",0.0.0.0\r\n\"WEB_PASSWORD_FILE\",none.pass\r\n") << "Parameter WEB_PASSWORD_FILE";
        QTest::newRow("every address, a password")
            << QByteArray("\"WEB_HOST\",0.0.0.0\r\n\"WEB_PASSWORD_FILE\",web.pass\r\n") << QString();
    }

    void settingsAndSignIn()
    {
        QFETCH(QByteArray, settings);
        QFETCH(QString, said);
        auto p = Start(settings, said.isEmpty());
        QVERIFY(p);
        if (!said.isEmpty()) {
            QByteArray err;
            QVERIFY(QTest::qWaitFor([&] { err += p->process->readAllStandardError(); return err.contains(said.toUtf8()); }, 10000));
            QCOMPARE(Status(Get(p->port)), 0);
            QVERIFY(TestSupport::ChildProgram::Stop(*p->process));
            return;
        }
        Page without(p->port, p->token, p->Origin());
        QVERIFY(!QTest::qWaitFor([&] { return without.socket.state() == QAbstractSocket::ConnectedState; }, 1000));
        QCOMPARE(Status(Post(*p, "/exec", "LED R 111")), 401);
        QCOMPARE(Status(Post(*p, "/login", "wrong")), 403);
        const QByteArray in = Post(*p, "/login", "secret");
        QCOMPARE(Status(in), 204);
        const auto m = QRegularExpression("Set-Cookie: (orvane-session-\\d+=[0-9a-f]+); Path=/; HttpOnly; SameSite=Strict")
                           .match(QString::fromLatin1(in));
        QVERIFY2(m.hasMatch(), in.constData());
        const QByteArray cookie = m.captured(1).toLatin1();
        QVERIFY(Get(p->port, "Cookie: " + cookie + "\r\n").contains("orvane-login\" content=\"0\""));
        Page signedIn(p->port, p->token, p->Origin(), cookie);
        QVERIFY(signedIn.Open());
        QCOMPARE(Status(Post(*p, "/exec", "LED R 111", "Cookie: " + cookie + "\r\n")), 200);
        QVERIFY(signedIn.Shows({111, 0, 0, 0}));
        QVERIFY(TestSupport::ChildProgram::Stop(*p->process));
    }
};

QTEST_GUILESS_MAIN(TestWeb)
#include "test_web.moc"
