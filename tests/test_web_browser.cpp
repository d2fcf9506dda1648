// The web page in a real browser: Debian's chromium, headless, driven over
// the DevTools protocol with Qt's own WebSocket, against the program with its
// web road on and orvane-sim behind it. Real key presses move a slider; a
// level set over the bus shows on the page; the script box runs.
// ORVANE_SCREENSHOT=<path> saves a PNG of the page after the slider moved.
#include "base/Wire.h"
#include "tests/support/ChildProgram.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTcpServer>
#include <QWebSocket>
#include <memory>

namespace {

const QString kChromium = QStringLiteral("/usr/bin/chromium");

// The body of a GET, empty unless it answered 200 within two seconds.
QByteArray Get(const QString& url)
{
    QNetworkAccessManager nam;
    nam.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest request{QUrl(url)};
    request.setTransferTimeout(2000);
    std::unique_ptr<QNetworkReply> reply(nam.get(request));
    if (!QTest::qWaitFor([&] { return reply->isFinished(); }, 3000))
        return QByteArray();
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200 ? reply->readAll() : QByteArray();
}

// One headless chromium, with its about:blank page held over DevTools.
class Browser {
public:
    ~Browser()
    {
        socket_.close();
        process_.kill();
        process_.waitForFinished(5000);
    }

    bool Start()
    {
        process_.start(kChromium, {"--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-port=0",
                                   "--user-data-dir=" + profile_.path(), "about:blank"});
        QByteArray said;
        static const QRegularExpression listening("DevTools listening on ws://([^/\\s]+)/");
        QRegularExpressionMatch m;
        if (!QTest::qWaitFor([&] {
                said += process_.readAllStandardError();
                return (m = listening.match(QString::fromUtf8(said))).hasMatch();
            }, 20000))
            return qWarning("chromium said no DevTools address: %s", said.constData()), false;
        QObject::connect(&socket_, &QWebSocket::textMessageReceived, [this](const QString& text) {
            const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
            if (o.contains(QLatin1String("id")))
                replies_.insert(o[QLatin1String("id")].toInt(), o);
        });
        for (const QJsonValue t : QJsonDocument::fromJson(Get("http://" + m.captured(1) + "/json/list")).array())
            if (t[QLatin1String("type")] == QLatin1String("page"))
                socket_.open(QUrl(t[QLatin1String("webSocketDebuggerUrl")].toString()));
        return QTest::qWaitFor([&] { return socket_.state() == QAbstractSocket::ConnectedState; }, 5000);
    }

    // A DevTools command's result; empty when it failed or no answer came.
    QJsonObject Call(const QString& method, const QJsonObject& params = {})
    {
        const int id = ++nextId_;
        socket_.sendTextMessage(QString::fromUtf8(
            QJsonDocument(QJsonObject{{"id", id}, {"method", method}, {"params", params}}).toJson(QJsonDocument::Compact)));
        TestSupport::Until([&] { return replies_.contains(id); }, 10000, &socket_, &QWebSocket::textMessageReceived);
        const QJsonObject reply = replies_.take(id);
        if (reply.contains(QLatin1String("error")))
            qWarning("%s: %s", qPrintable(method), QJsonDocument(reply).toJson(QJsonDocument::Compact).constData());
        return reply[QLatin1String("result")].toObject();
    }

    QString Evaluate(const QString& expression)
    {
        return Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}})[QLatin1String("result")]
            [QLatin1String("value")].toVariant().toString();
    }
    QString Text(const QString& id) { return Evaluate("document.getElementById('" + id + "').textContent"); }

    // A key pressed and let go, as a keyboard would: Windows' key code, as chromium wants.
    void Key(const QString& key, int code, int modifiers = 0)
    {
        for (const char* type : {"rawKeyDown", "keyUp"})
            Call("Input.dispatchKeyEvent", {{"type", type}, {"key", key}, {"code", key}, {"modifiers", modifiers},
                                            {"windowsVirtualKeyCode", code}, {"nativeVirtualKeyCode", code}});
    }

private:
    QTemporaryDir profile_;
    QProcess process_;
    QWebSocket socket_;
    int nextId_ = 0;
    QHash<int, QJsonObject> replies_;
};

} // namespace

class TestWebBrowser : public QObject {
    Q_OBJECT

    TestSupport::PrivateBus bus_;
    TestSupport::ChildProgram prog_;
    TestSupport::SimProcess sim_;
    std::unique_ptr<QProcess> program_;
    std::unique_ptr<Browser> browser_;

    // Waits until the simulator has logged the channel command for index at intensity.
    bool Wired(int index, int intensity)
    {
        const QString wanted = QString::fromLatin1(Wire::ChannelCommand(index, intensity).data());
        return QTest::qWaitFor([&] { return sim_.LoggedLines().contains(wanted); }, 5000);
    }

private slots:
    void initTestCase()
    {
        if (!QFile::exists(kChromium)) {
            if (qgetenv("CI") == "true")
                QFAIL("chromium is missing at /usr/bin/chromium; CI runs this test");
            QSKIP("chromium is missing at /usr/bin/chromium: install it (apt-get install chromium) to run this test");
        }
        QTcpServer probe;  // a port free right now
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 port = probe.serverPort();
        probe.close();
        QVERIFY(bus_.Start());
        QVERIFY(prog_.Prepare(TestSupport::Config(3, 300) + "\"WEB_PORT\"," + QByteArray::number(port)
                              + "\r\n\"WEB_HOST\",127.0.0.1\r\n"));
        QVERIFY(sim_.Start({"--link", prog_.App("COM3"), "--no-show"}));
        program_ = prog_.Start({}, bus_.Environment(prog_.Env()));
        QVERIFY(program_);
        const QString url = QStringLiteral("http://127.0.0.1:%1/").arg(port);
        QVERIFY2(QTest::qWaitFor([&] { return !Get(url).isEmpty(); }, 10000), "the page was not served within 10 s");
        QVERIFY(sim_.WaitForLogged(4));  // the lights off at start
        browser_ = std::make_unique<Browser>();
        QVERIFY(browser_->Start());
        browser_->Call("Emulation.setDeviceMetricsOverride",
                       {{"width", 900}, {"height", 900}, {"deviceScaleFactor", 1}, {"mobile", false}});
        browser_->Call("Page.navigate", {{"url", url}});
        QTRY_COMPARE_WITH_TIMEOUT(browser_->Text("link"), QStringLiteral("connected"), 10000);
    }

    void cleanupTestCase()
    {
        browser_.reset();
        if (program_)
            QVERIFY(TestSupport::ChildProgram::Stop(*program_));
    }

    // Arrow keys and End on the focused red slider reach the controller.
    void keysMoveTheRedSlider()
    {
        browser_->Evaluate("document.getElementById('level-R').focus()");
        browser_->Key("ArrowRight", 0x27);
        QVERIFY(Wired(0, 1));
        browser_->Key("End", 0x23);
        QVERIFY(Wired(0, Channels::kMaxIntensity));
        const QString top = QString::number(Channels::kMaxIntensity);
        QCOMPARE(browser_->Text("value-R"), top);
        QCOMPARE(browser_->Evaluate("document.getElementById('level-R').getAttribute('aria-valuetext')"), top);
        const QString shot = qEnvironmentVariable("ORVANE_SCREENSHOT");
        if (!shot.isEmpty()) {
            const QJsonObject png = browser_->Call("Page.captureScreenshot", {{"format", "png"}});
            TestSupport::WriteFile(shot, QByteArray::fromBase64(png[QLatin1String("data")].toString().toLatin1()));
            QVERIFY(QFile(shot).size() > 1000);
        }
    }

    // A level set over the bus shows on the page within a second.
    void levelFromTheBusShows()
    {
        const TestSupport::Ran ran = TestSupport::RunProcess(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"),
                                                             {"LED G 250"}, bus_.Environment());
        QCOMPARE(ran.code, 0);
        QElapsedTimer took;
        took.start();
        QTRY_COMPARE_WITH_TIMEOUT(browser_->Text("value-G"), QStringLiteral("250"), 1000);
        qInfo("G shown on the page %lld ms after orvane-exec returned", took.elapsed());
        QCOMPARE(browser_->Evaluate("document.getElementById('level-G').value"), QStringLiteral("250"));
    }

    // Ctrl+Enter in the script box runs it: the wire gets it, the page shows the answer.
    void scriptBoxRuns()
    {
        browser_->Evaluate("const s = document.getElementById('script'); s.focus(); s.value = 'LED B 100;Ver'");
        browser_->Key("Enter", 0x0d, 2);  // 2: Ctrl
        QVERIFY(Wired(2, 100));
        QTRY_VERIFY_WITH_TIMEOUT(browser_->Text("result").startsWith(QLatin1String("OK")), 5000);
        QCOMPARE(browser_->Text("response"), browser_->Text("result"));
    }

    // The program restarts with a new token: the page finds it and follows again.
    void comesBackAfterARestart()
    {
        QVERIFY(TestSupport::ChildProgram::Stop(*program_));
        QTRY_COMPARE_WITH_TIMEOUT(browser_->Text("link"), QStringLiteral("reconnecting…"), 5000);
        program_ = prog_.Start({}, bus_.Environment(prog_.Env()));
        QVERIFY(program_);
        QTRY_COMPARE_WITH_TIMEOUT(browser_->Text("link"), QStringLiteral("connected"), 15000);
        QCOMPARE(TestSupport::RunProcess(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"), {"LED G 77"}, bus_.Environment()).code, 0);
        QTRY_COMPARE_WITH_TIMEOUT(browser_->Text("value-G"), QStringLiteral("77"), 5000);
    }
};

ORVANE_TEST_MAIN(TestWebBrowser)
#include "test_web_browser.moc"
