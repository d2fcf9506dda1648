// The controller on an MQTT broker: requests on exec with their answers,
// retained state from every road, status and will, a broker that goes away
// and comes back, passwords and refused settings. Every broker is a child
// process of the test on 127.0.0.1.
#include "engine/LEDMain.h"
#include "engine/OrvaneCmd.h"
#include "engine/OrvaneMqtt.h"
#include "comm/LEDCOMM.h"
#include "engine/Limits.h"
#include "mainwindow/frmVURUruduvo.h"
#include "mqtt/MqttClient.h"
#include "tests/support/MqttBroker.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ProgramFixture.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"

#include <QElapsedTimer>
#include <QSysInfo>
#include <QTimer>
#include <csignal>
#include <memory>
#include <sys/stat.h>

using TestSupport::Config;
using TestSupport::MqttBroker;
using TestSupport::PrivateBus;
using TestSupport::ProgramFixture;
using TestSupport::Ran;

namespace {

const QString kExec = QStringLiteral("orvane/orvane/exec");
const QByteArray kState = "orvane/orvane/state";
const QByteArray kStatus = "orvane/orvane/status";

QByteArray MqttSettings(int port, const QByteArray& more = QByteArray())
{
    return "\"MQTT_HOST\",127.0.0.1\r\n\"MQTT_PORT\"," + QByteArray::number(port) + "\r\n" + more;
}

} // namespace

class TestMqtt : public QObject {
    Q_OBJECT

    ProgramFixture fx_;
    std::unique_ptr<MqttBroker> broker_;
    PrivateBus bus_;

    // The road in this process, against broker_, with the serial link open.
    bool Join(const QByteArray& more = QByteArray())
    {
        fx_.WriteConfig(ProgramFixture::kDefaultConfig + MqttSettings(broker_->Port(), more));
        if (!fx_.LoadLink() || !LEDCOMM::CommOpenConfigured() || OrvaneMqtt::Start() != 1)
            return false;
        return QTest::qWaitFor([] { return OrvaneMqtt::IsConnected(); }, 10000);
    }

    // A request as a client sends it: response topic, correlation data.
    // Returns "correlation|answer", empty when none came.
    QString Request(const QString& script, const QString& correlation = QStringLiteral("c-1"))
    {
        if (script.size() <= 65536)
            return broker_->Client(QStringLiteral("mosquitto_rr"),
                                   {"-t", kExec, "-e", "reply/test", "-D", "publish", "correlation-data",
                                    correlation, "-F", "%D|%p", "-W", "10", "-m", script})
                .out.trimmed();
        // Too long for a command line; mosquitto_rr sends a file's contents empty.
        const QString file = fx_.Path(QStringLiteral("script.txt"));
        TestSupport::WriteFile(file, script.toUtf8());
        QProcess answer;
        answer.start(QStringLiteral("mosquitto_sub"),
                     broker_->ClientArgs() + QStringList{"-V", "5", "-t", "reply/test", "-C", "1", "-W", "10", "-F", "%D|%p"});
        if (!answer.waitForStarted(5000))
            return QString();
        QTest::qWait(300);  // subscribed
        broker_->Client(QStringLiteral("mosquitto_pub"),
                        {"-V", "5", "-t", kExec, "-D", "publish", "response-topic", "reply/test", "-D", "publish",
                         "correlation-data", correlation, "-f", file});
        if (!QTest::qWaitFor([&] { return answer.state() == QProcess::NotRunning; }, 15000))
            return QString();
        return QString::fromUtf8(answer.readAllStandardOutput()).trimmed();
    }

    // A copy of the program with these settings and files beside it, headless, without any bus.
    struct Program {
        QTemporaryDir dir;
        QProcess process;
    };
    std::unique_ptr<Program> StartProgram(const QByteArray& more = QByteArray(),
                                          const QList<QPair<QString, QByteArray>>& files = {},
                                          const QStringList& args = {}, const QString& busAddress = {})
    {
        auto p = std::make_unique<Program>();
        const QString app = p->dir.filePath(QStringLiteral("app"));
        if (!TestSupport::PrepareProgramCopy(app, p->dir.filePath(QStringLiteral("run")),
                                             Config(3, 100) + MqttSettings(broker_->Port(), more)))
            return nullptr;
        for (const auto& [name, bytes] : files) {
            TestSupport::WriteFile(app + QLatin1Char('/') + name, bytes);
            QFile::setPermissions(app + QLatin1Char('/') + name, QFile::ReadOwner | QFile::WriteOwner);
        }
        QProcessEnvironment env = TestSupport::Headless();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), p->dir.filePath(QStringLiteral("run")));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   busAddress.isEmpty() ? QStringLiteral("unix:path=/nonexistent") : busAddress);
        p->process.setProcessEnvironment(env);
        p->process.start(app + QStringLiteral("/orvane"), args);
        return p->process.waitForStarted(5000) ? std::move(p) : nullptr;
    }

    static void End(Program& p)
    {
        ::kill(pid_t(p.process.processId()), SIGTERM);
        QVERIFY(p.process.waitForFinished(10000));
        QCOMPARE(p.process.exitCode(), 0);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(bus_.Start());
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus_.Address().toUtf8());
        Platform::SetQuitHandler([](int) {});
        QVERIFY(OrvaneCmd::StartService());
    }

    void cleanupTestCase()
    {
        OrvaneCmd::StopService();
        Platform::SetQuitHandler({});
    }

    void init()
    {
        QVERIFY(fx_.SetUp());
        broker_ = std::make_unique<MqttBroker>();
        QVERIFY(broker_->Start());
    }

    void cleanup()
    {
        OrvaneMqtt::Stop();
        fx_.TearDown();
        broker_.reset();
    }

    void execAnswersWithCorrelation_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("answer");  // %1: CommandCount before the request
        QTest::addColumn<QStringList>("sent");
        QTest::newRow("Ver") << "Ver" << "1.0 ; " << QStringList{};
        QTest::newRow("LED and count") << "LED R 250;CommandCount" << "OK  ;  %1 ; " << QStringList{"AVA250"};
        QTest::newRow("unknown") << "Nope" << "Error Unknown command ; " << QStringList{};
        QTest::newRow("over the script limit")
            << QString(Limits::kMaxScriptBytes - 3, QLatin1Char(' ')) + "Ver;"
            << QStringLiteral("Error The script is %1 bytes long; at most 4194304 (4 MiB) are accepted")
                   .arg(Limits::kMaxScriptBytes + 1)
            << QStringList{};
        // 700,000 answers of 24 bytes: "Error Unknown command ; "
        QTest::newRow("over the reply limit")
            << QStringLiteral("x;").repeated(700000)
            << QStringLiteral("Error The script ran, but its responses are 16800000 bytes long; at most 16777216 "
                              "(16 MiB) are sent back")
            << QStringList{};
    }

    void execAnswersWithCorrelation()
    {
        QFETCH(QString, script);
        QFETCH(QString, answer);
        QFETCH(QStringList, sent);
        QVERIFY(Join());
        const int64_t before = LEDMain::CommandCounter();
        const QString expected = answer.contains(QLatin1String("%1")) ? answer.arg(before + 2) : answer;
        QCOMPARE(Request(script, QStringLiteral("corr-%1").arg(QTest::currentDataTag())),
                 QStringLiteral("corr-%1|%2").arg(QTest::currentDataTag(), expected).trimmed());
        QCOMPARE(fx_.NewLines(int(sent.size())), sent);
    }

    // No response topic: the script runs and nothing is answered.
    void execWithoutResponseTopicRuns()
    {
        QVERIFY(Join());
        const int64_t before = LEDMain::CommandCounter();
        QCOMPARE(broker_->Client(QStringLiteral("mosquitto_pub"), {"-t", kExec, "-m", "LED B 77"}).code, 0);
        QTRY_COMPARE(LEDMain::CommandCounter(), before + 1);
        QCOMPARE(fx_.NewLines(1), QStringList{"AVC423"});
    }

    // A burst larger than the queue: the surplus is answered at once, the rest runs in order.
    void floodBeyondTheQueueIsRefused()
    {
        QVERIFY(Join());
        QProcess answers;
        answers.start(QStringLiteral("mosquitto_sub"), broker_->ClientArgs() + QStringList{
            "-V", "5", "-t", "reply/flood", "-C", "3", "-W", "20", "-F", "%D|%p"});
        QVERIFY(answers.waitForStarted(5000));
        QTest::qWait(300);  // subscribed
        const int64_t before = LEDMain::CommandCounter();
        Mqtt::Message m;
        m.topic = OrvaneMqtt::TopicPrefix() + "exec";
        m.responseTopic = "reply/flood";
        for (int i = 0; i < Limits::kMaxQueuedRequests + 2; ++i) {
            m.payload = i == 0 ? QByteArray("Ver") : QByteArray("CommandCount");
            m.correlation = QByteArray::number(i);
            OrvaneMqtt::Receive(m);
        }
        QVERIFY(QTest::qWaitFor([&] { return answers.state() == QProcess::NotRunning; }, 25000));
        const QString refused = QStringLiteral("|Error %1 requests wait already; this one was not run")
                                    .arg(Limits::kMaxQueuedRequests);
        QCOMPARE(QString::fromUtf8(answers.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts),
                 (QStringList{QString::number(Limits::kMaxQueuedRequests) + refused,
                              QString::number(Limits::kMaxQueuedRequests + 1) + refused, "0|1.0 ; "}));
        QTRY_COMPARE_WITH_TIMEOUT(LEDMain::CommandCounter(), before + Limits::kMaxQueuedRequests, 20000);
    }

    // NAME chooses the topics and the client id; one that is no valid name is "orvane".
    void nameChoosesTopics_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("used");
        QTest::newRow("bench3") << QByteArray("bench3") << "bench3";
        QTest::newRow("underscore first") << QByteArray("_Line_2") << "_Line_2";
        QTest::newRow("200 characters") << QByteArray(200, 'n') << QString(200, QLatin1Char('n'));
        QTest::newRow("201 characters") << QByteArray(201, 'n') << "orvane";
        QTest::newRow("digit first") << QByteArray("3bench") << "orvane";
        QTest::newRow("hyphen") << QByteArray("bench-3") << "orvane";
        QTest::newRow("unset") << QByteArray() << "orvane";
    }

    void nameChoosesTopics()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, used);
        QVERIFY(Join(name.isNull() ? QByteArray() : "\"NAME\"," + name + "\r\n"));
        QCOMPARE(OrvaneMqtt::TopicPrefix(), "orvane/" + used.toUtf8() + "/");
        QTRY_COMPARE(broker_->Retained("orvane/" + used.toUtf8() + "/status"), QByteArray("online"));
        const QByteArray log = TestSupport::ReadFile(broker_->Dir() + QStringLiteral("/broker.log"));
        QVERIFY(log.contains(" as orvane-" + QSysInfo::machineHostName().toUtf8() + "-" + used.toUtf8() + " ("));
    }

    void retainedExecIgnored()
    {
        QCOMPARE(broker_->Client(QStringLiteral("mosquitto_pub"), {"-t", kExec, "-r", "-m", "LED R 500"}).code, 0);
        QVERIFY(Join());
        const int64_t before = LEDMain::CommandCounter();
        // Answered after the retained message was delivered: a subscription gets that first.
        QCOMPARE(Request(QStringLiteral("Ver")), QStringLiteral("c-1|1.0 ;"));
        QCOMPARE(LEDMain::CommandCounter(), before + 1);
        QCOMPARE(fx_.NewLines(0), QStringList{});
    }

    // The retained state follows the bar, a bus client and a broker client,
    // once per turn of the event loop however many channels a script sets.
    void stateFollowsEveryRoad()
    {
        QVERIFY(Join());
        frmVURUruduvo* form = frmVURUruduvo::Load();
        form->SetBar(1, 120);
        QTRY_COMPARE_WITH_TIMEOUT(broker_->Retained(kState), QByteArray(R"({"R":0,"G":120,"B":0,"A":0})"), 5000);

        const Ran dbus = TestSupport::RunProcess(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"), {"LED B 500"},
                                                 bus_.Environment());
        QCOMPARE(dbus.out.trimmed(), QStringLiteral("OK  ;"));
        QTRY_COMPARE_WITH_TIMEOUT(broker_->Retained(kState), QByteArray(R"({"R":0,"G":120,"B":500,"A":0})"), 5000);

        QProcess live;
        live.start(QStringLiteral("mosquitto_sub"),
                   broker_->ClientArgs() + QStringList{"-t", kState, "-R"});
        QVERIFY(live.waitForStarted(5000));
        QTest::qWait(300);  // subscribed
        QCOMPARE(Request(QStringLiteral("LED R 10;LED G 20;LED B 30;LED A 40")),
                 QStringLiteral("c-1|OK  ; OK  ; OK  ; OK  ;"));
        QByteArray seen;
        QTRY_VERIFY_WITH_TIMEOUT((seen += live.readAllStandardOutput()).contains("\"A\":40"), 5000);
        QTest::qWait(300);
        seen += live.readAllStandardOutput();
        live.kill();
        live.waitForFinished(3000);
        QCOMPARE(seen.trimmed(), QByteArray(R"({"R":10,"G":20,"B":30,"A":40})"));
    }

    // The broker goes away mid-run and comes back: exchanges and the event
    // loop carry on meanwhile, and the program reconnects and serves again.
    void brokerRestarted()
    {
        QVERIFY(Join());
        QElapsedTimer sinceTick;
        qint64 longestGap = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            longestGap = std::max(longestGap, sinceTick.restart());
        });
        sinceTick.start();
        ticker.start(20);

        broker_->Stop();
        QTRY_VERIFY_WITH_TIMEOUT(!OrvaneMqtt::IsConnected(), 5000);
        QCOMPARE(LEDMain::ExecScript(QStringLiteral("LED R 7")), QStringLiteral("OK  ; "));
        QCOMPARE(fx_.NewLines(1), QStringList{"AVA493"});
        QTest::qWait(1500);  // attempts fail meanwhile
        QVERIFY(!OrvaneMqtt::IsConnected());
        QVERIFY(broker_->Start());
        QTRY_VERIFY_WITH_TIMEOUT(OrvaneMqtt::IsConnected(), 15000);
        ticker.stop();
        QVERIFY2(longestGap < 1000, qPrintable(QStringLiteral("the event loop stood still for %1 ms").arg(longestGap)));

        // The new broker keeps nothing: what it holds was published anew.
        QTRY_COMPARE(broker_->Retained(kStatus), QByteArray("online"));
        QVERIFY2(broker_->Retained(kState).startsWith(R"({"R":7,)"), broker_->Retained(kState).constData());
        QCOMPARE(Request(QStringLiteral("Ver")), QStringLiteral("c-1|1.0 ;"));
    }

    void settingsRefused_data()
    {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<int>("mode");  // of the password file; -1: none written
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("named");
        const QByteArray withFile = "\"MQTT_USER\",orvane\r\n\"MQTT_PASSWORD_FILE\",secret.txt\r\n";
        QTest::newRow("password file 0600") << withFile << 0600 << 1 << QString();
        QTest::newRow("password file 0400") << withFile << 0400 << 1 << QString();
        QTest::newRow("password file 0640") << withFile << 0640 << -1 << "MQTT_PASSWORD_FILE";
        QTest::newRow("password file 0604") << withFile << 0604 << -1 << "MQTT_PASSWORD_FILE";
        QTest::newRow("password file missing") << withFile << -1 << -1 << "MQTT_PASSWORD_FILE";
        QTest::newRow("password without user")
            << QByteArray("\"MQTT_PASSWORD_FILE\",secret.txt\r\n") << 0600 << -1 << "MQTT_PASSWORD_FILE";
        QTest::newRow("port text") << QByteArray("\"MQTT_PORT\",abc\r\n") << -1 << -1 << "MQTT_PORT";
        QTest::newRow("port 0") << QByteArray("\"MQTT_PORT\",0\r\n") << -1 << -1 << "MQTT_PORT";
        QTest::newRow("port 65536") << QByteArray("\"MQTT_PORT\",65536\r\n") << -1 << -1 << "MQTT_PORT";
        QTest::newRow("CA file missing") << QByteArray("\"MQTT_CAFILE\",nothere.pem\r\n") << -1 << -1 << "MQTT_CAFILE";
    }

    void settingsRefused()
    {
        QFETCH(QByteArray, settings);
        QFETCH(int, mode);
        QFETCH(int, result);
        QFETCH(QString, named);
        if (mode >= 0) {
            const QString file = fx_.Path(QStringLiteral("secret.txt"));
            TestSupport::WriteFile(file, "pw\n");
            QVERIFY(::chmod(QFile::encodeName(file).constData(), mode_t(mode)) == 0);
        }
        // A port of the row's own takes the place of the broker's.
        const QByteArray mqtt = settings.contains("MQTT_PORT") ? QByteArray("\"MQTT_HOST\",127.0.0.1\r\n")
                                                               : MqttSettings(broker_->Port());
        fx_.WriteConfig(ProgramFixture::kDefaultConfig + mqtt + settings);
        QVERIFY(fx_.LoadLink());
        fx_.boxes->Clear();
        QCOMPARE(int(OrvaneMqtt::Start()), result);
        if (named.isEmpty()) {
            QCOMPARE(fx_.boxes->Texts(), QStringList{});
        } else {
            QCOMPARE(fx_.boxes->boxes.size(), 1);
            QVERIFY2(fx_.boxes->boxes[0].text.contains(named), qPrintable(fx_.boxes->boxes[0].text));
        }
    }

    // MQTT_CAFILE: TLS, and a broker whose certificate another CA signed is not joined.
    void tlsVerifiesTheBroker_data()
    {
        QTest::addColumn<QString>("caFile");
        QTest::addColumn<bool>("joins");
        QTest::newRow("the broker's CA") << "ca.pem" << true;
        QTest::newRow("another CA") << "other.pem" << false;
    }

    void tlsVerifiesTheBroker()
    {
        QFETCH(QString, caFile);
        QFETCH(bool, joins);
        const QString d = broker_->Dir() + QLatin1Char('/');
        const QStringList key{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
        TestSupport::WriteFile(d + "ext", "subjectAltName=DNS:localhost\n");
        for (const QStringList& args :
             {QStringList{"req", "-x509"} + key + QStringList{"-keyout", d + "ca.key", "-out", d + "ca.pem", "-days", "2", "-subj", "/CN=Orvane test CA"},
              QStringList{"req", "-x509"} + key + QStringList{"-keyout", d + "other.key", "-out", d + "other.pem", "-days", "2", "-subj", "/CN=Another CA"},
              QStringList{"req"} + key + QStringList{"-keyout", d + "broker.key", "-out", d + "broker.csr", "-subj", "/CN=localhost"},
              QStringList{"x509", "-req", "-in", d + "broker.csr", "-CA", d + "ca.pem", "-CAkey", d + "ca.key",
                          "-CAcreateserial", "-out", d + "broker.pem", "-days", "2", "-extfile", d + "ext"}}) {
            const Ran r = TestSupport::RunProcess(QStringLiteral("openssl"), args, QProcessEnvironment::systemEnvironment());
            QVERIFY2(r.code == 0, qPrintable(r.err));
        }
        broker_->Stop();
        QVERIFY(broker_->Start("allow_anonymous true\ncertfile " + QFile::encodeName(d + "broker.pem") + "\nkeyfile "
                               + QFile::encodeName(d + "broker.key") + "\n"));
        QVERIFY(QFile::copy(d + caFile, fx_.Path(QStringLiteral("ca.pem"))));
        fx_.WriteConfig(ProgramFixture::kDefaultConfig + "\"MQTT_HOST\",localhost\r\n\"MQTT_PORT\","
                        + QByteArray::number(broker_->Port()) + "\r\n\"MQTT_CAFILE\",ca.pem\r\n");
        QVERIFY(fx_.LoadLink());
        QCOMPARE(int(OrvaneMqtt::Start()), 1);
        QCOMPARE(QTest::qWaitFor([] { return OrvaneMqtt::IsConnected(); }, 3000), joins);
        if (joins)
            QCOMPARE(broker_->Client(QStringLiteral("mosquitto_rr"),
                                     {"-h", "localhost", "--cafile", d + "ca.pem", "-t", kExec, "-e", "reply/test",
                                      "-m", "Ver", "-W", "10"}).out.trimmed(),
                     QStringLiteral("1.0 ;"));
    }

    // The program itself: serves from start-up, its will when it is killed,
    // a clean "offline" (and no will) when it ends by SIGTERM.
    void programStatusAndWill()
    {
        std::unique_ptr<Program> p = StartProgram();
        QVERIFY(p);
        QTRY_COMPARE_WITH_TIMEOUT(broker_->Retained(kStatus), QByteArray("online"), 10000);
        QCOMPARE(Request(QStringLiteral("Ver")), QStringLiteral("c-1|1.0 ;"));
        p->process.kill();
        QVERIFY(p->process.waitForFinished(5000));
        QTRY_COMPARE_WITH_TIMEOUT(broker_->Retained(kStatus), QByteArray("offline"), 5000);

        p = StartProgram();
        QVERIFY(p);
        QTRY_COMPARE_WITH_TIMEOUT(broker_->Retained(kStatus), QByteArray("online"), 10000);
        QProcess live;
        live.start(QStringLiteral("mosquitto_sub"),
                   broker_->ClientArgs() + QStringList{"-t", kStatus, "-R"});
        QVERIFY(live.waitForStarted(5000));
        QTest::qWait(300);
        End(*p);
        QTest::qWait(500);
        live.kill();
        live.waitForFinished(3000);
        QCOMPARE(live.readAllStandardOutput().trimmed(), QByteArray("offline"));
        QCOMPARE(broker_->Retained(kStatus), QByteArray("offline"));

        // Serving the bus behind a hidden window, it ends by its own rule when
        // the bus goes: the window unloads and the event loop returns.
        PrivateBus own;
        QVERIFY(own.Start());
        QTemporaryDir appDir;
        TestSupport::WriteFile(appDir.filePath("LED_CONFIG.TXT"), Config(3, 100) + MqttSettings(broker_->Port()));
        TestSupport::SimProcess sim;
        QVERIFY(sim.Start({"--link", appDir.filePath("COM3"), "--no-show"}));
        p = StartProgram(QByteArray(), {}, {"--automation", "--app-dir", appDir.path()}, own.Address());
        QVERIFY(p);
        QTRY_COMPARE_WITH_TIMEOUT(broker_->Retained(kStatus), QByteArray("online"), 10000);
        const Ran ran = TestSupport::RunProcess(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"), {"LED R 100"},
                                                own.Environment());
        QCOMPARE(ran.out.trimmed(), QStringLiteral("OK  ;"));
        QTRY_COMPARE_WITH_TIMEOUT(broker_->Retained(kState), QByteArray(R"({"R":100,"G":0,"B":0,"A":0})"), 5000);
        own.Stop();
        QVERIFY(p->process.waitForFinished(10000));
        QCOMPARE(p->process.exitCode(), 0);
        // The lights went off on the way out, and the broker was told before "offline".
        QCOMPARE(broker_->Retained(kState), QByteArray(R"({"R":0,"G":0,"B":0,"A":0})"));
        QCOMPARE(broker_->Retained(kStatus), QByteArray("offline"));
    }

    // A broker that wants a password: the wrong one is said once however often
    // it is tried, the right one serves.
    void passwordProtectedBroker()
    {
        broker_->Stop();
        QVERIFY(broker_->Start(broker_->PasswordConfig(QStringLiteral("orvane"), QStringLiteral("right"))));
        const QByteArray settings = "\"MQTT_USER\",orvane\r\n\"MQTT_PASSWORD_FILE\",pw.txt\r\n";

        std::unique_ptr<Program> p = StartProgram(settings, {{QStringLiteral("pw.txt"), "wrong\n"}});
        QVERIFY(p);
        QTest::qWait(4000);  // attempts at 0, 0.5, 1.5 and 3.5 s
        End(*p);
        const QString err = QString::fromUtf8(p->process.readAllStandardError());
        QCOMPARE(err.count(QStringLiteral("MQTT broker")), 1);
        QVERIFY2(err.contains(QStringLiteral("refused the connection: Not authorized")), qPrintable(err));
        QCOMPARE(broker_->Retained(kStatus), QByteArray());

        p = StartProgram(settings, {{QStringLiteral("pw.txt"), "right\n"}});
        QVERIFY(p);
        QTRY_COMPARE_WITH_TIMEOUT(broker_->Retained(kStatus), QByteArray("online"), 10000);
        QCOMPARE(Request(QStringLiteral("Ver")), QStringLiteral("c-1|1.0 ;"));
        End(*p);
        QVERIFY(!QString::fromUtf8(p->process.readAllStandardError()).contains(QStringLiteral("MQTT broker")));
    }
};

ORVANE_TEST_MAIN(TestMqtt)
#include "test_mqtt.moc"
