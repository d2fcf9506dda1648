// The controller on an MQTT broker: requests on exec with their answers,
// result topics and tags for MQTT 3.1.1 clients, <ch>/set, Home Assistant
// discovery, retained state from every road (and a road of the test's own
// hearing every one), status and will, a broker that goes away or stalls, a
// name lookup that never ends, two programs with one NAME, passwords and
// refused settings. Every broker is a child process of
// the test on 127.0.0.1; rows share one unless they need their own.
#include "engine/LEDMain.h"
#include "engine/OrvaneCmd.h"
#include "engine/OrvaneMqtt.h"
#include "engine/OrvaneMqttParts.h"
#include "engine/Roads.h"
#include "comm/LEDCOMM.h"
#include "engine/Limits.h"
#include "mainwindow/frmVURUruduvo.h"
#include "mqtt/MqttClient.h"
#include "tests/support/ChildProgram.h"
#include "tests/support/MqttBroker.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ServedBus.h"
#include "tests/support/ProgramFixture.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSysInfo>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <latch>
#include <list>
#include <memory>
#include <mosquitto.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>

using TestSupport::Config;
using TestSupport::MqttBroker;
using TestSupport::MqttWatcher;
using TestSupport::PrivateBus;
using TestSupport::ProgramFixture;
using TestSupport::Ran;

namespace {

const QString kExec = QStringLiteral("orvane/orvane/exec");
const QByteArray kState = "orvane/orvane/state";
const QByteArray kStatus = "orvane/orvane/status";
const QByteArray kResult = "orvane/orvane/result";
const QByteArray kPlainBroker = "allow_anonymous true\n";

QByteArray MqttSettings(int port, const QByteArray& more = QByteArray())
{
    return "\"MQTT_HOST\",127.0.0.1\r\n\"MQTT_PORT\"," + QByteArray::number(port) + "\r\n" + more;
}

// Connect steps that hang until the test lets them go, counted as they start
// and as they return. Each latch outlives the steps that wait on it.
struct StalledSteps {
    static inline std::list<std::latch> latches;
    static inline std::latch* release = nullptr;
    static inline std::atomic<int> stalled{0}, returned{0};

    StalledSteps()
    {
        release = &latches.emplace_back(1);
        stalled = returned = 0;
        Mqtt::Client::SetConnectCall([](mosquitto*, const char*, int, int, const mqtt5__property*) {
            std::latch* mine = release;
            ++stalled;
            mine->wait();
            ++returned;
            return int(MOSQ_ERR_NO_CONN);
        });
    }
    ~StalledSteps()
    {
        Mqtt::Client::SetConnectCall(nullptr);
        Release();
    }
    void Release()
    {
        if (!release->try_wait())
            release->count_down();
    }
};

} // namespace

class TestMqtt : public QObject {
    Q_OBJECT

    ProgramFixture fx_;
    std::unique_ptr<MqttBroker> broker_;
    TestSupport::ServedBus bus_;

    // The road in this process, against broker_, with the serial link open.
    bool Join(const QByteArray& more = QByteArray())
    {
        fx_.WriteConfig(ProgramFixture::kDefaultConfig + MqttSettings(broker_->Port(), more));
        if (!fx_.LoadLink() || !LEDCOMM::CommOpenConfigured() || OrvaneMqtt::Start() != 1)
            return false;
        // Subscribed, not only connected: a request sent before the SUBACK may miss us.
        return QTest::qWaitFor([] { return OrvaneMqtt::IsServing(); }, 10000);
    }

    // The broker comes to hold expected on topic; a warning says what it held instead.
    bool Holds(const QByteArray& topic, const QByteArray& expected, int msecs = 10000) const
    {
        const QByteArray held = broker_->RetainedBecomes(topic, expected, msecs);
        if (held != expected)
            qWarning("%s holds \"%s\", not \"%s\"", topic.constData(), held.constData(), expected.constData());
        return held == expected;
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
        // Too long for a command line (mosquitto_rr sends a file's contents empty): our own client.
        MqttWatcher w(*broker_, {"reply/test"});
        if (!w.Ready() || !w.Publish(kExec.toUtf8(), script.toUtf8(), false, "reply/test", correlation.toUtf8())
            || !w.WaitFor("reply/test"))
            return QString();
        const Mqtt::Message m = w.On("reply/test").first();
        return QString::fromUtf8(m.correlation + '|' + m.payload).trimmed();
    }

    // A copy of the program with these settings and files beside it, headless, without any bus.
    struct Program {
        TestSupport::ChildProgram copy;
        QProcess process;
    };
    // Its controller's time-out: no controller answers most copies, and each
    // channel-off at their stop waits it out.
    int programTimeOutMs_ = 20;
    std::unique_ptr<Program> StartProgram(const QByteArray& more = QByteArray(),
                                          const QList<QPair<QString, QByteArray>>& files = {},
                                          const QStringList& args = {}, const QString& busAddress = {},
                                          const QProcessEnvironment& extra = {})
    {
        auto p = std::make_unique<Program>();
        if (!p->copy.Prepare(Config(3, programTimeOutMs_) + MqttSettings(broker_->Port(), more)))
            return nullptr;
        for (const auto& [name, bytes] : files)
            p->copy.AddPrivateFile(name, bytes);
        QProcessEnvironment env = extra;
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   busAddress.isEmpty() ? QStringLiteral("unix:path=/nonexistent") : busAddress);
        return p->copy.StartIn(p->process, args, p->copy.EnvWith(env)) ? std::move(p) : nullptr;
    }

    // SIGTERM; the milliseconds until the program ended, -1 when it did not within 10 s.
    static qint64 End(Program& p)
    {
        QElapsedTimer took;
        took.start();
        ::kill(pid_t(p.process.processId()), SIGTERM);
        if (!p.process.waitForFinished(10000) || p.process.exitCode() != 0)
            return -1;
        return took.elapsed();
    }

    // A broker of the row's own; the next row gets the shared one back.
    bool OwnBroker(const QByteArray& config)
    {
        broker_->Stop();
        return broker_->Start(config);
    }

    // Aedes, which speaks MQTT 3.1.1 only, in the place of the row's broker.
    bool OwnAedes()
    {
        broker_->Stop();
        return broker_->StartAedes();
    }

    // Counts the status messages a watcher saw: each one after the first is a flip.
    static qsizetype Flips(const MqttWatcher& w, const QByteArray& topic)
    {
        return std::max<qsizetype>(w.On(topic).size() - 1, 0);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(bus_.Serve());
    }

    void cleanupTestCase() { bus_.EndService(); }

    void init()
    {
        QVERIFY(fx_.SetUp());
        programTimeOutMs_ = 20;
        if (broker_ && broker_->IsRunning() && broker_->Config() == kPlainBroker)
            return;
        broker_ = std::make_unique<MqttBroker>();
        QVERIFY(broker_->Start(kPlainBroker));
    }

    void cleanup()
    {
        OrvaneMqtt::Stop();
        fx_.TearDown();
        if (broker_)
            broker_->Pause(false);
    }

    void execAnswersWithCorrelation_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("answer");  // %1: CommandCount before the request
        QTest::addColumn<QStringList>("sent");
        QTest::newRow("Ver") << "Ver" << "1.0 ; " << QStringList{};
        QTest::newRow("LED and count") << "LED R 250;CommandCount" << "OK  ;  %1 ; " << QStringList{"AVA250"};
        QTest::newRow("unknown") << "Nope" << "Error Unknown command ; " << QStringList{};
        QTest::newRow("at the script limit")
            << QString(Limits::kMaxScriptBytes - 4, QLatin1Char(' ')) + "Ver;" << "1.0 ; " << QStringList{};
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
        // An answer is for its asker, now: the reply topic keeps nothing.
        QCOMPARE(broker_->Retained("reply/test"), QByteArray());
    }

    // No response topic (an MQTT 3.1.1 client): the script runs and its
    // answer goes out on result, in request order; on result/<tag> for exec/<tag>.
    void execWithoutResponseTopicRuns()
    {
        QVERIFY(Join());
        MqttWatcher w(*broker_, {kResult, kResult + "/a", kResult + "/b"});
        QVERIFY(w.Ready());
        const int64_t before = LEDMain::CommandCounter();
        QCOMPARE(broker_->Client(QStringLiteral("mosquitto_pub"), {"-V", "mqttv311", "-t", kExec, "-m", "LED B 77"}).code, 0);
        QTRY_COMPARE(LEDMain::CommandCounter(), before + 1);
        QCOMPARE(fx_.NewLines(1), QStringList{"AVC423"});
        QVERIFY(w.WaitFor(kResult));
        QCOMPARE(w.Payloads(kResult), QList<QByteArray>{"OK  ; "});
        QVERIFY(!w.On(kResult).first().retained);

        // mosquitto_rr as a 3.1.1 client: it subscribes to result and asks on exec.
        QCOMPARE(broker_->Client(QStringLiteral("mosquitto_rr"), {"-V", "mqttv311", "-t", kExec, "-e",
                                                                  QString::fromUtf8(kResult), "-m", "Ver", "-W", "10"})
                     .out.trimmed(),
                 QStringLiteral("1.0 ;"));
        // Two tagged clients at once, each with its own answer.
        QProcess a, b;
        for (auto [p, tag, script] : {std::tuple{&a, "a", "Ver"}, std::tuple{&b, "b", "Nope"}}) {
            p->start(QStringLiteral("mosquitto_rr"),
                     broker_->ClientArgs() + QStringList{"-V", "mqttv311", "-t", kExec + "/" + tag, "-e",
                                                         QString::fromUtf8(kResult) + "/" + tag, "-m", script, "-W", "10"});
        }
        QVERIFY(QTest::qWaitFor([&] { return a.state() == QProcess::NotRunning && b.state() == QProcess::NotRunning; }, 15000));
        QCOMPARE(a.readAllStandardOutput().trimmed(), QByteArray("1.0 ;"));
        QCOMPARE(b.readAllStandardOutput().trimmed(), QByteArray("Error Unknown command ;"));
        QCOMPARE(w.Payloads(kResult + "/a"), QList<QByteArray>{"1.0 ; "});
        QCOMPARE(w.Payloads(kResult + "/b"), QList<QByteArray>{"Error Unknown command ; "});
        // Whatever follows exec/ is the tag: levels, dots, spaces, any letters, none.
        MqttWatcher tags(*broker_, {kResult + "/#"});
        QVERIFY(tags.Ready());
        for (const QString tag : {"a/b", "a.b", "a b", "ünï", ""}) {
            QCOMPARE(broker_->Client(QStringLiteral("mosquitto_pub"), {"-V", "mqttv311", "-t", kExec + "/" + tag, "-m", "Ver"}).code, 0);
            QVERIFY2(tags.WaitFor(kResult + "/" + tag.toUtf8())
                         && tags.Payloads(kResult + "/" + tag.toUtf8()) == QList<QByteArray>{"1.0 ; "}, qPrintable(tag));
        }
        QCOMPARE(broker_->Retained(kResult), QByteArray());
    }

    // An answer never lands where an Orvane program takes commands: such a
    // request is not run, and result says so.
    void responseTopicNeverACommandTopic_data()
    {
        QTest::addColumn<QByteArray>("responseTopic");
        QTest::addColumn<bool>("answered");
        QTest::newRow("own R/set") << QByteArray("orvane/lab1/R/set") << false;
        QTest::newRow("own exec") << QByteArray("orvane/lab1/exec") << false;
        QTest::newRow("another NAME's set") << QByteArray("orvane/lab2/G/set") << false;
        QTest::newRow("discovery prefix") << QByteArray("homeassistant/light/x/config") << false;
        QTest::newRow("another NAME's light/set") << QByteArray("orvane/lab2/R/light/set") << false;
        QTest::newRow("a status") << QByteArray("orvane/lab2/status") << false;
        QTest::newRow("a state") << QByteArray("orvane/lab2/state") << false;
        QTest::newRow("a light's state") << QByteArray("orvane/lab2/G/light") << false;
        QTest::newRow("below result") << QByteArray("orvane/lab2/result/t") << false;
        QTest::newRow("orvane-exec's") << QByteArray("orvane-exec/x/ready") << false;
        QTest::newRow("ordinary") << QByteArray("reply/lab1") << true;
    }

    void responseTopicNeverACommandTopic()
    {
        QFETCH(QByteArray, responseTopic);
        QFETCH(bool, answered);
        QVERIFY(Join("\"NAME\",lab1\r\n\"MQTT_DISCOVERY\",homeassistant\r\n"));
        MqttWatcher w(*broker_, {responseTopic, "orvane/lab1/result"});
        QVERIFY(w.Ready());
        const int64_t before = LEDMain::CommandCounter();
        QVERIFY(w.Publish("orvane/lab1/exec", "Ver", false, responseTopic, "c-6"));
        const QByteArray where = answered ? responseTopic : "orvane/lab1/result";
        QVERIFY(w.WaitFor(where));
        QCOMPARE(w.On(where).first().correlation, QByteArray("c-6"));
        QVERIFY2(w.Payloads(where).first().startsWith(answered ? "1.0 ; " : "Error The response topic is "),
                 w.Payloads(where).first().constData());
        QList<QByteArray> elsewhere = w.Payloads(answered ? "orvane/lab1/result" : responseTopic);
        elsewhere.removeAll("Ver");  // the request itself, seen on exec
        QCOMPARE(elsewhere, QList<QByteArray>{});
        QCOMPARE(LEDMain::CommandCounter(), before + (answered ? 1 : 0));
    }

    // <ch>/set: one value, run as the single command "LED <ch> <value>", answered on result.
    void setTopicsTakeOneValue_data()
    {
        QTest::addColumn<QByteArray>("topic");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("result");
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<QByteArray>("state");  // empty: as before
        QTest::newRow("G 120") << QByteArray("G/set") << QByteArray("120") << QByteArray("OK  ; ")
                               << QStringList{"AVB380"} << QByteArray(R"({"R":0,"G":120,"B":0,"A":0})");
        QTest::newRow("A On") << QByteArray("A/set") << QByteArray("On") << QByteArray("OK  ; ")
                              << QStringList{"AVD000"} << QByteArray(R"({"R":0,"G":0,"B":0,"A":500})");
        QTest::newRow("R clamped") << QByteArray("R/set") << QByteArray("900") << QByteArray("OK  ; ")
                                   << QStringList{"AVA000"} << QByteArray(R"({"R":500,"G":0,"B":0,"A":0})");
        QTest::newRow("100;Hide is one bad value")
            << QByteArray("B/set") << QByteArray("100;Hide") << QByteArray("Not a Number  ; ") << QStringList{}
            << QByteArray();
        QTest::newRow("lower case channel") << QByteArray("r/set") << QByteArray("100") << QByteArray("none")
                                            << QStringList{} << QByteArray();
    }

    void setTopicsTakeOneValue()
    {
        QFETCH(QByteArray, topic);
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, result);
        QFETCH(QStringList, sent);
        QFETCH(QByteArray, state);
        MqttWatcher w(*broker_, {kResult});
        QVERIFY(w.Ready());
        // A retained set would run again for every program that subscribes.
        QVERIFY(w.Publish("orvane/orvane/" + topic, "250", true));
        QVERIFY(Join());
        QCOMPARE(LEDMain::ExecScript(QStringLiteral("LED R 0;LED G 0;LED B 0;LED A 0")).count(QLatin1String("OK")), 4);
        fx_.NewLines(-1);
        const int64_t before = LEDMain::CommandCounter();
        QVERIFY(w.Publish("orvane/orvane/" + topic, value));
        QVERIFY(w.Publish(kExec.toUtf8(), "Ver"));
        QVERIFY(w.WaitFor(kResult, result == "none" ? 1 : 2));
        const QList<QByteArray> results = w.Payloads(kResult);
        if (result == "none") {
            QCOMPARE(results, QList<QByteArray>{"1.0 ; "});
            QCOMPARE(LEDMain::CommandCounter(), before + 1);
        } else {
            QCOMPARE(results.size(), 2);
            QCOMPARE(results.last(), QByteArray("1.0 ; "));
            QCOMPARE(results.first(), result);
            QCOMPARE(LEDMain::CommandCounter(), before + 2);
        }
        QCOMPARE(fx_.NewLines(int(sent.size())), sent);
        QVERIFY(!LEDMain::LoadMainForm()->IsShown());
        if (!state.isEmpty())
            QVERIFY(Holds(kState, state));
        // The retained set stays on the broker for nobody: cleared for the next row.
        w.Publish("orvane/orvane/" + topic, QByteArray(), true);
    }

    // A burst larger than the queue: the surplus is answered at once, the rest runs in order.
    void floodBeyondTheQueueIsRefused()
    {
        QVERIFY(Join());
        MqttWatcher answers(*broker_, {"reply/flood"});
        QVERIFY(answers.Ready());
        const int64_t before = LEDMain::CommandCounter();
        Mqtt::Message m;
        m.topic = OrvaneMqtt::TopicPrefix() + "exec";
        m.responseTopic = "reply/flood";
        for (int i = 0; i < Limits::kMaxQueuedRequests + 2; ++i) {
            m.payload = i == 0 ? QByteArray("Ver") : QByteArray("CommandCount");
            m.correlation = QByteArray::number(i);
            OrvaneMqtt::Receive(m);
        }
        QVERIFY(answers.WaitFor("reply/flood", 3, 25000));
        const QString refused = QStringLiteral("|Error %1 requests wait already; this one was not run")
                                    .arg(Limits::kMaxQueuedRequests);
        QStringList got;
        for (const Mqtt::Message& a : answers.On("reply/flood").mid(0, 3))
            got << QString::fromUtf8(a.correlation + '|' + a.payload);
        QCOMPARE(got,
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
        QVERIFY(Holds("orvane/" + used.toUtf8() + "/status", "online"));
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
    // at once and then at most every 50 ms, ending with the last levels.
    void stateFollowsEveryRoad()
    {
        QVERIFY(Join());
        frmVURUruduvo* form = frmVURUruduvo::Load();
        form->SetBar(1, 120);
        QVERIFY(Holds(kState, R"({"R":0,"G":120,"B":0,"A":0})"));

        const Ran dbus = TestSupport::RunProcess(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"), {"LED B 500"},
                                                 bus_.Environment());
        QCOMPARE(dbus.out.trimmed(), QStringLiteral("OK  ;"));
        QVERIFY(Holds(kState, R"({"R":0,"G":120,"B":500,"A":0})"));

        MqttWatcher live(*broker_, {kState, kResult});
        QVERIFY(live.Ready());
        live.messages.clear();
        QCOMPARE(Request(QStringLiteral("LED R 10;LED G 20;LED B 30;LED A 40")),
                 QStringLiteral("c-1|OK  ; OK  ; OK  ; OK  ;"));
        QVERIFY(Holds(kState, R"({"R":10,"G":20,"B":30,"A":40})"));
        QTest::qWait(3 * Mqtt::Client::kLatestGapMs);  // nothing older follows the last
        QCOMPARE(live.Payloads(kState).last(), QByteArray(R"({"R":10,"G":20,"B":30,"A":40})"));
    }

    // A road of the test's own, planted through the contract alone: it hears
    // each channel commanded and then confirmed, whichever road asked (a
    // script, a bar, a bus client, a broker client), and the settings reloaded.
    void aPlantedRoadHearsEveryRoad()
    {
        struct Planted : Roads::Road {
            QStringList heard;
            void ChannelCommanded(int i) override { heard << QStringLiteral("%1 sent").arg(i); }
            void ChannelConfirmed(int i, int16_t v) override { heard << QStringLiteral("%1 at %2").arg(i).arg(v); }
            void SettingsReloaded() override { heard << QStringLiteral("reloaded"); }
        } road;
        Roads::Register(&road);
        const auto unplant = qScopeGuard([&road] { Roads::Unregister(&road); });
        QVERIFY(Join());
        QCOMPARE(LEDMain::ExecScript(QStringLiteral("LED G 120")), QStringLiteral("OK  ; "));
        frmVURUruduvo::Load()->SetBar(2, 30);
        const Ran dbus = TestSupport::RunProcess(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"), {"LED A 40"},
                                                 bus_.Environment());
        QCOMPARE(dbus.out.trimmed(), QStringLiteral("OK  ;"));
        QCOMPARE(Request(QStringLiteral("LED R 10")), QStringLiteral("c-1|OK  ;"));
        LEDMain::ReloadSettings();
        QCOMPARE(road.heard, (QStringList{"1 sent", "1 at 120", "2 sent", "2 at 30", "3 sent", "3 at 40", "0 sent",
                                          "0 at 10", "reloaded"}));
        QCOMPARE(fx_.NewLines(4), (QStringList{"AVB380", "AVC470", "AVD460", "AVA490"}));
    }

    // A script that holds the event loop beyond what the broker waits, from
    // a broker client and from a bus client, on a slow controller: the broker
    // keeps the program (its status never goes offline), the state arrives at
    // least once a second meanwhile, and the answer comes.
    void longScriptKeepsTheBroker_data()
    {
        QTest::addColumn<bool>("overBroker");
        QTest::newRow("broker") << true;
        QTest::newRow("bus") << false;
    }

    void longScriptKeepsTheBroker()
    {
        QFETCH(bool, overBroker);
        const auto restore = qScopeGuard([old = OrvaneMqtt::SetKeepAliveSeconds(5)] { OrvaneMqtt::SetKeepAliveSeconds(old); });
        QVERIFY(fx_.StartSim({"--delay", "150"}));
        QVERIFY(Join());
        MqttWatcher w(*broker_, {kStatus, kState});
        QVERIFY(w.Ready());
        w.messages.clear();
        QStringList script;
        for (int i = 1; i <= 60; ++i)  // 9 s: the broker gives up after 7.5 s of silence
            script << QStringLiteral("LED R %1").arg(i);
        QProcessEnvironment env = overBroker ? QProcessEnvironment::systemEnvironment() : bus_.Environment();
        const QStringList args = overBroker
            ? QStringList{"--broker", QStringLiteral("127.0.0.1:%1").arg(broker_->Port()), script.join(';')}
            : QStringList{script.join(';')};
        QElapsedTimer took;
        took.start();
        const Ran r = TestSupport::RunProcess(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"), args, env, {}, 30000);
        const qint64 ms = took.elapsed();
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out.count(QStringLiteral("OK")), 60);
        // The bus client's leaving ends a program without a window: here, not under the next row.
        QTRY_COMPARE(LEDMain::AutomationObjects(), 0);
        QTRY_VERIFY(w.Payloads(kState).contains(R"({"R":60,"G":0,"B":0,"A":0})"));
        qInfo("%lld ms for the script, %lld states meanwhile", ms, qlonglong(w.On(kState).size()));
        QVERIFY2(ms > 7500, qPrintable(QString::number(ms)));  // else the broker was never tested
        QVERIFY(w.On(kState).size() >= ms / 1000);
        QCOMPARE(w.Payloads(kStatus), QList<QByteArray>{});
    }

    // The broker goes away mid-run and comes back: exchanges and the event
    // loop carry on meanwhile, and the program reconnects and serves again.
    void brokerRestarted()
    {
        QTest::failOnWarning(QRegularExpression("connected again"));  // unless expected below
        QVERIFY(Join("\"MQTT_DISCOVERY\",homeassistant\r\n"));
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
        QTest::qWait(2 * Mqtt::Client::kFirstRetryMs);  // a retry fails meanwhile
        QVERIFY(!OrvaneMqtt::IsConnected());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^orvane: MQTT broker 127.0.0.1:%1: connected "
                                                                             "again after [1-9][0-9]* s$").arg(broker_->Port())));
        QVERIFY(broker_->Start());
        QTRY_VERIFY_WITH_TIMEOUT(OrvaneMqtt::IsConnected(), 15000);
        ticker.stop();
        QVERIFY2(longestGap < 1000, qPrintable(QStringLiteral("the event loop stood still for %1 ms").arg(longestGap)));

        // The new broker keeps nothing: what it holds was published anew.
        QVERIFY(Holds(kStatus, "online"));
        QVERIFY2(broker_->Retained(kState).startsWith(R"({"R":7,)"), broker_->Retained(kState).constData());
        // Green's light did not change while the broker was away, and is there again too.
        QVERIFY(Holds("orvane/orvane/G/light", R"({"state":"OFF"})"));
        QCOMPARE(Request(QStringLiteral("Ver")), QStringLiteral("c-1|1.0 ;"));
        broker_->Stop();  // the next row's broker holds no discovery
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
        // Named files that are no files: none of them holds the start.
        QTest::newRow("CA file a FIFO") << QByteArray("\"MQTT_CAFILE\",fifo.pem\r\n") << -1 << -1 << "MQTT_CAFILE";
        QTest::newRow("CA file a directory") << QByteArray("\"MQTT_CAFILE\",.\r\n") << -1 << -1 << "MQTT_CAFILE";
        QTest::newRow("CA file /dev/zero") << QByteArray("\"MQTT_CAFILE\",/dev/zero\r\n") << -1 << -1 << "MQTT_CAFILE";
        QTest::newRow("CA file over 4 MiB") << QByteArray("\"MQTT_CAFILE\",big.pem\r\n") << -1 << -1 << "MQTT_CAFILE";
        QTest::newRow("password file a FIFO")
            << QByteArray("\"MQTT_USER\",u\r\n\"MQTT_PASSWORD_FILE\",fifo.pem\r\n") << -1 << -1 << "MQTT_PASSWORD_FILE";
        // mode 01600: a password file of 64 KiB and one byte more.
        QTest::newRow("password file over 64 KiB") << withFile << 01600 << -1 << "MQTT_PASSWORD_FILE";
        QTest::newRow("discovery prefix") << QByteArray("\"MQTT_DISCOVERY\",homeassistant\r\n") << -1 << 1 << QString();
        QTest::newRow("discovery with +") << QByteArray("\"MQTT_DISCOVERY\",home/+\r\n") << -1 << -1 << "MQTT_DISCOVERY";
        QTest::newRow("discovery with #") << QByteArray("\"MQTT_DISCOVERY\",#\r\n") << -1 << -1 << "MQTT_DISCOVERY";
        QTest::newRow("discovery empty level") << QByteArray("\"MQTT_DISCOVERY\",ha//x\r\n") << -1 << -1 << "MQTT_DISCOVERY";
        QTest::newRow("discovery ending in /") << QByteArray("\"MQTT_DISCOVERY\",ha/\r\n") << -1 << -1 << "MQTT_DISCOVERY";
        QTest::newRow("protocol 3.1.1") << QByteArray("\"MQTT_PROTOCOL\",3.1.1\r\n") << -1 << 1 << QString();
        QTest::newRow("protocol AUTO") << QByteArray("\"MQTT_PROTOCOL\",AUTO\r\n") << -1 << 1 << QString();
        QTest::newRow("protocol 4") << QByteArray("\"MQTT_PROTOCOL\",4\r\n") << -1 << -1 << "MQTT_PROTOCOL";
        QTest::newRow("protocol 3.1") << QByteArray("\"MQTT_PROTOCOL\",3.1\r\n") << -1 << -1 << "MQTT_PROTOCOL";
    }

    void settingsRefused()
    {
        QFETCH(QByteArray, settings);
        QFETCH(int, mode);
        QFETCH(int, result);
        QFETCH(QString, named);
        if (mode >= 0) {
            const QString file = fx_.Path(QStringLiteral("secret.txt"));
            TestSupport::WriteFile(file, (mode & 01000) ? "pw\n" + QByteArray(64 * 1024 - 2, 'x') : "pw\n");
            QVERIFY(::chmod(QFile::encodeName(file).constData(), mode_t(mode & 0777)) == 0);
        }
        QVERIFY(::mkfifo(QFile::encodeName(fx_.Path(QStringLiteral("fifo.pem"))).constData(), 0600) == 0 || errno == EEXIST);
        TestSupport::WriteFile(fx_.Path(QStringLiteral("big.pem")), {});
        QVERIFY(QFile::resize(fx_.Path(QStringLiteral("big.pem")), 4 * 1024 * 1024 + 1));
        // A port of the row's own takes the place of the broker's.
        const QByteArray mqtt = settings.contains("MQTT_PORT") ? QByteArray("\"MQTT_HOST\",127.0.0.1\r\n")
                                                               : MqttSettings(broker_->Port());
        fx_.WriteConfig(ProgramFixture::kDefaultConfig + mqtt + settings);
        // An open link: the shut-down's channel commands are answered instead of timing out.
        QVERIFY(fx_.LoadLink() && LEDCOMM::CommOpenConfigured());
        fx_.boxes->Clear();
        QCOMPARE(int(OrvaneMqtt::Start()), result);
        if (named.isEmpty()) {
            QCOMPARE(fx_.boxes->Texts(), QStringList{});
        } else {
            QCOMPARE(fx_.boxes->boxes.size(), 1);
            QVERIFY2(fx_.boxes->boxes[0].text.contains(named), qPrintable(fx_.boxes->boxes[0].text));
            // Refused, and serving on the bus all the same.
            QCOMPARE(TestSupport::RunProcess(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"), {"Ver"}, bus_.Environment()).out,
                     QStringLiteral("1.0 ; \n"));
        }
    }

    // Without MQTT_PORT: 1883, and 8883 with TLS.
    void defaultPortFollowsTls()
    {
        TestSupport::WriteFile(fx_.Path(QStringLiteral("ca.pem")), "a CA");
        for (const QByteArray& ca : {QByteArray(), QByteArray("\"MQTT_CAFILE\",ca.pem\r\n")}) {
            fx_.WriteConfig(ProgramFixture::kDefaultConfig + "\"MQTT_HOST\",127.0.0.1\r\n" + ca);
            QVERIFY(fx_.LoadLink());
            Mqtt::Settings s;
            QByteArray discovery;
            QCOMPARE(int(OrvaneMqtt::ReadSettings(s, discovery)), 1);
            QCOMPARE(s.port, ca.isEmpty() ? 1883 : 8883);
        }
    }

    // MQTT_CAFILE: TLS, and a broker whose certificate another CA signed, or
    // that names another host, is not joined; the failure says why.
    void tlsVerifiesTheBroker_data()
    {
        QTest::addColumn<QString>("caFile");
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QString>("why");  // empty: joins
        QTest::addColumn<QString>("certificate");  // the broker's
        QTest::newRow("the broker's CA") << "ca.pem" << QByteArray("localhost") << QString() << "broker";
        QTest::newRow("another CA") << "other.pem" << QByteArray("localhost") << "not trusted" << "broker";
        QTest::newRow("another name") << "ca.pem" << QByteArray("127.0.0.1") << "does not name" << "broker";
        QTest::newRow("another DNS name") << "ca.pem" << QByteArray("localhost") << "does not name localhost" << "elsewhere";
        QTest::newRow("no TLS on the port") << "plain" << QByteArray("localhost") << "does not speak TLS" << "broker";
        QTest::newRow("no CA file for a TLS port")
            << "none" << QByteArray("localhost")
            << "closed the connection before it answered; if port [0-9]+ is a TLS port, give MQTT_CAFILE" << "broker";
    }

    void tlsVerifiesTheBroker()
    {
        QFETCH(QString, caFile);
        QFETCH(QByteArray, host);
        QFETCH(QString, why);
        QFETCH(QString, certificate);
        // One set of certificates for all rows.
        static QTemporaryDir certs;
        const QString d = certs.path() + QLatin1Char('/');
        const QStringList key{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
        if (!QFile::exists(d + "broker.pem")) {
            TestSupport::WriteFile(d + "ext", "subjectAltName=DNS:localhost\n");
            TestSupport::WriteFile(d + "elsewhere.ext", "subjectAltName=DNS:elsewhere.test\n");
            for (const QStringList& args :
                 {QStringList{"req", "-x509"} + key + QStringList{"-keyout", d + "ca.key", "-out", d + "ca.pem", "-days", "2", "-subj", "/CN=Orvane test CA"},
                  QStringList{"req", "-x509"} + key + QStringList{"-keyout", d + "other.key", "-out", d + "other.pem", "-days", "2", "-subj", "/CN=Another CA"},
                  QStringList{"req"} + key + QStringList{"-keyout", d + "broker.key", "-out", d + "broker.csr", "-subj", "/CN=localhost"},
                  QStringList{"x509", "-req", "-in", d + "broker.csr", "-CA", d + "ca.pem", "-CAkey", d + "ca.key",
                              "-CAcreateserial", "-out", d + "broker.pem", "-days", "2", "-extfile", d + "ext"},
                  QStringList{"x509", "-req", "-in", d + "broker.csr", "-CA", d + "ca.pem", "-CAkey", d + "ca.key",
                              "-CAcreateserial", "-out", d + "elsewhere.pem", "-days", "2", "-extfile", d + "elsewhere.ext"}}) {
                const Ran r = TestSupport::RunProcess(QStringLiteral("openssl"), args, QProcessEnvironment::systemEnvironment());
                QVERIFY2(r.code == 0, qPrintable(r.err));
            }
        }
        const QByteArray tls = "allow_anonymous true\ncertfile " + QFile::encodeName(d + certificate + ".pem") + "\nkeyfile "
                               + QFile::encodeName(d + "broker.key") + "\n";
        const bool plain = caFile == QLatin1String("plain");
        const bool noCa = caFile == QLatin1String("none");
        if (broker_->Config() != (plain ? kPlainBroker : tls))
            QVERIFY(OwnBroker(plain ? kPlainBroker : tls));
        QVERIFY(noCa || QFile::copy(d + (plain ? QStringLiteral("ca.pem") : caFile), fx_.Path(QStringLiteral("ca.pem"))));
        fx_.WriteConfig(ProgramFixture::kDefaultConfig + "\"MQTT_HOST\"," + host + "\r\n\"MQTT_PORT\","
                        + QByteArray::number(broker_->Port()) + "\r\n" + (noCa ? "" : "\"MQTT_CAFILE\",ca.pem\r\n"));
        QVERIFY(fx_.LoadLink() && LEDCOMM::CommOpenConfigured());
        if (!why.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("orvane: MQTT broker .*") + why));
        QCOMPARE(int(OrvaneMqtt::Start()), 1);
        if (why.isEmpty()) {
            QVERIFY(QTest::qWaitFor([] { return OrvaneMqtt::IsServing(); }, 10000));
            QCOMPARE(broker_->Client(QStringLiteral("mosquitto_rr"),
                                     {"-h", "localhost", "--cafile", d + "ca.pem", "-t", kExec, "-e", "reply/test",
                                      "-m", "Ver", "-W", "10"}).out.trimmed(),
                     QStringLiteral("1.0 ;"));
        } else {
            // The handshake failed: the broker saw the connection end (a plain one, a bad packet).
            const QString log = broker_->Dir() + QStringLiteral("/broker.log");
            const QByteArray seen = plain ? "protocol error" : noCa ? "wrong version number" : "OpenSSL Error";
            QTRY_VERIFY_WITH_TIMEOUT(TestSupport::ReadFile(log).count(seen) >= 1, 10000);
            QTest::qWait(100);
            QVERIFY(!OrvaneMqtt::IsConnected());
        }
        if (noCa) {
            // orvane-exec meets the same rule, with its own option named.
            const QString where = QStringLiteral("localhost:%1").arg(broker_->Port());
            const Ran r = TestSupport::RunProcess(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"), {"--broker", where, "Ver"},
                                                  QProcessEnvironment::systemEnvironment());
            QCOMPARE(r.code, 3);
            QCOMPARE(r.err, "orvane-exec: MQTT broker " + where + ": the broker closed the connection before it answered; "
                            "if port " + QString::number(broker_->Port()) + " is a TLS port, give --cafile\n");
        }
    }

    // The program itself: serves from start-up, its will when it is killed,
    // a clean "offline" (and no will) when it ends by SIGTERM.
    void programStatusAndWill()
    {
        std::unique_ptr<Program> p = StartProgram();
        QVERIFY(p);
        QVERIFY(Holds(kStatus, "online"));
        QCOMPARE(Request(QStringLiteral("Ver")), QStringLiteral("c-1|1.0 ;"));
        p->process.kill();
        QVERIFY(p->process.waitForFinished(5000));
        QVERIFY(Holds(kStatus, "offline"));

        // SIGTERM with a light on: the lights-off state (still pending when the
        // stop begins) and one "offline" go out, and no will after them.
        PrivateBus own;
        QVERIFY(own.Start());
        QTemporaryDir appDir;
        TestSupport::WriteFile(appDir.filePath("LED_CONFIG.TXT"), Config(3, 100) + MqttSettings(broker_->Port()));
        TestSupport::SimProcess sim;
        QVERIFY(sim.Start({"--link", appDir.filePath("COM3"), "--no-show"}));
        p = StartProgram(QByteArray(), {}, {"--automation", "--app-dir", appDir.path()}, own.Address());
        QVERIFY(p);
        QVERIFY(Holds(kStatus, "online"));
        QCOMPARE(TestSupport::RunProcess(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"), {"LED G 100"},
                                         own.Environment()).out.trimmed(),
                 QStringLiteral("OK  ;"));
        MqttWatcher live(*broker_, {kStatus, kState});
        QVERIFY(live.Ready());
        QVERIFY(live.WaitFor(kState));
        QCOMPARE(live.Payloads(kState).last(), QByteArray(R"({"R":0,"G":100,"B":0,"A":0})"));
        live.messages.clear();
        QVERIFY(End(*p) >= 0);
        QVERIFY(live.WaitFor(kStatus));
        QCOMPARE(live.Payloads(kState), QList<QByteArray>{R"({"R":0,"G":0,"B":0,"A":0})"});
        QCOMPARE(broker_->Retained(kStatus), QByteArray("offline"));  // a will would come before this answer
        QCOMPARE(live.Payloads(kStatus), QList<QByteArray>{"offline"});

        // Serving the bus behind a hidden window, it ends by its own rule when
        // the bus goes: the window unloads and the event loop returns.
        p = StartProgram(QByteArray(), {}, {"--automation", "--app-dir", appDir.path()}, own.Address());
        QVERIFY(p);
        QVERIFY(Holds(kStatus, "online"));
        const Ran ran = TestSupport::RunProcess(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"), {"LED R 100"},
                                                own.Environment());
        QCOMPARE(ran.out.trimmed(), QStringLiteral("OK  ;"));
        QVERIFY(Holds(kState, R"({"R":100,"G":0,"B":0,"A":0})"));
        own.Stop();
        QVERIFY(p->process.waitForFinished(10000));
        QCOMPARE(p->process.exitCode(), 0);
        // The lights went off on the way out, and the broker was told before "offline".
        QCOMPARE(broker_->Retained(kState), QByteArray(R"({"R":0,"G":0,"B":0,"A":0})"));
        QCOMPARE(broker_->Retained(kStatus), QByteArray("offline"));
    }

    // MQTT_PROTOCOL against a broker that speaks 3.1.1 only (Aedes) and one
    // that speaks both: auto finds 3.1.1 and serves every topic through it,
    // 5 alone never joins and says why; orvane-exec takes the same choice.
    void brokerOfOneVersion_data()
    {
        QTest::addColumn<bool>("aedes");
        QTest::addColumn<QString>("protocol");  // the setting and --protocol; empty: neither
        QTest::addColumn<QString>("version");   // the one joined over; empty: none
        QTest::newRow("Aedes, auto") << true << QString() << "3.1.1";
        QTest::newRow("Aedes, 5") << true << "5" << QString();
        QTest::newRow("Mosquitto, 3.1.1") << false << "3.1.1" << "3.1.1";
        QTest::newRow("Mosquitto, auto") << false << QString() << "5";
    }

    void brokerOfOneVersion()
    {
        QFETCH(bool, aedes);
        QFETCH(QString, protocol);
        QFETCH(QString, version);
        // A broker of the row's own: the next row finds no retained configs.
        if (aedes && !MqttBroker::AedesInstalled() && qgetenv("CI") != "true")
            QSKIP("Aedes is not installed: npm could not fetch it (see aedes_packages)");
        QVERIFY(aedes ? OwnAedes() : OwnBroker("allow_anonymous true\nlog_type all\n"));
        const QByteArray setting = protocol.isEmpty() ? QByteArray() : "\"MQTT_PROTOCOL\"," + protocol.toUtf8() + "\r\n";
        TestSupport::ChildProgram program;
        QVERIFY(program.Prepare(Config(3, 100) + MqttSettings(broker_->Port(), "\"MQTT_DISCOVERY\",homeassistant\r\n" + setting)));
        TestSupport::SimProcess sim;
        QVERIFY(sim.Start({"--link", program.App("COM3"), "--no-show"}));
        std::unique_ptr<QProcess> running = program.Start();
        QVERIFY(running);
        const QString exec = QStringLiteral(ORVANE_BIN_DIR "/orvane-exec");
        const QStringList byExec = QStringList{"--broker", QStringLiteral("127.0.0.1:%1").arg(broker_->Port())}
                                   + (protocol.isEmpty() ? QStringList{} : QStringList{"--protocol", protocol});
        const QString log = broker_->Dir() + QStringLiteral("/broker.log");
        const QByteArray id = "orvane-" + QSysInfo::machineHostName().toUtf8() + "-orvane";
        if (version.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(TestSupport::ReadFile(log).count("refused (no id yet) return code 1") >= 2, 10000);
            const Ran ran = TestSupport::RunProcess(exec, byExec + QStringList{"Ver"}, QProcessEnvironment::systemEnvironment());
            QCOMPARE(ran.code, 3);
            QVERIFY2(ran.err.contains("refused the connection: Unsupported Protocol Version (it does not speak MQTT 5)"),
                     qPrintable(ran.err));
            QVERIFY(!TestSupport::ReadFile(log).contains("connected " + id));
            QVERIFY(TestSupport::ChildProgram::Stop(*running));
            const QString err = QString::fromUtf8(running->readAllStandardError());
            QCOMPARE(err.count(QStringLiteral("refused the connection: Unsupported Protocol Version (it does not speak "
                                              "MQTT 5); trying again")), 1);
            return;
        }
        QVERIFY(Holds(kStatus, "online"));
        // Through the broker: the protocol it saw (Mosquitto: p2 is 3.1.1), a tagged script, one value, the state.
        QVERIFY(TestSupport::ReadFile(log).contains(aedes ? "connected " + id + " version 4"
                                                          : " as " + id + (version == "5" ? " (p5" : " (p2")));
        MqttWatcher w(*broker_, {kResult, kResult + "/t1", kExec.toUtf8() + "/#"});
        QVERIFY(w.Ready());
        QVERIFY(w.Publish(kExec.toUtf8() + "/t1", "LED R 100;Ver"));
        QVERIFY(w.WaitFor(kResult + "/t1"));
        QCOMPARE(w.Payloads(kResult + "/t1"), QList<QByteArray>{"OK  ; 1.0 ; "});
        QVERIFY(w.Publish("orvane/orvane/G/set", "120"));
        QVERIFY(w.WaitFor(kResult));
        QCOMPARE(w.Payloads(kResult), QList<QByteArray>{"OK  ; "});
        QVERIFY(Holds(kState, R"({"R":100,"G":120,"B":0,"A":0})"));
        QVERIFY(sim.WaitForLogged(6));
        QCOMPARE(sim.LoggedLines().mid(4), (QStringList{"AVA400", "AVB380"}));
        const QByteArray config = broker_->Retained("homeassistant/light/orvane_orvane_R/config");
        QCOMPARE(QJsonDocument::fromJson(config).object().value("command_topic").toString(),
                 QStringLiteral("orvane/orvane/R/light/set"));
        // orvane-exec: a tag of its own over 3.1.1, a response topic over 5.
        w.messages.clear();
        const Ran ran = TestSupport::RunProcess(exec, byExec + QStringList{"LED B 10;Ver"},
                                                QProcessEnvironment::systemEnvironment());
        QCOMPARE(ran.err, QString());
        QCOMPARE(ran.code, 0);
        QCOMPARE(ran.out, QStringLiteral("OK  ; 1.0 ; \n"));
        QCOMPARE(w.messages.size(), 1);
        QVERIFY2(version == "5" ? w.messages[0].topic == kExec.toUtf8() && !w.messages[0].responseTopic.isEmpty()
                                : w.messages[0].topic.startsWith(kExec.toUtf8() + "/orvane-exec-"),
                 w.messages[0].topic.constData());
        // Its will.
        running->kill();
        QVERIFY(running->waitForFinished(5000));
        QVERIFY(Holds(kStatus, "offline"));
        const QString err = QString::fromUtf8(running->readAllStandardError());
        QCOMPARE(err.count(QStringLiteral("speaks MQTT 3.1.1, not 5")), version == "3.1.1" ? 1 : 0);
        QVERIFY2(!err.contains(QStringLiteral("trying again")), qPrintable(err));
        // The road in this process names the version it joined over.
        if (version == "3.1.1")
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("speaks MQTT 3.1.1, not 5: requests carry no response"));
        QVERIFY(Join(setting));
        QCOMPARE(OrvaneMqtt::ConnectedVersion(), version);
    }

    // A broker that wants a password: the wrong one is said once however often
    // it is tried, the right one serves.
    void passwordProtectedBroker()
    {
        QVERIFY(OwnBroker(broker_->PasswordConfig(QStringLiteral("orvane"), QStringLiteral("right"))));
        const QByteArray settings = "\"MQTT_USER\",orvane\r\n\"MQTT_PASSWORD_FILE\",pw.txt\r\n";

        std::unique_ptr<Program> p = StartProgram(settings, {{QStringLiteral("pw.txt"), "wrong\n"}});
        QVERIFY(p);
        // Attempts at 0, 0.5 and 1.5 s, each refused.
        const QString log = broker_->Dir() + QStringLiteral("/broker.log");
        QTRY_VERIFY_WITH_TIMEOUT(TestSupport::ReadFile(log).count("not authorised") >= 3, 10000);
        QVERIFY(End(*p) >= 0);
        const QString err = QString::fromUtf8(p->process.readAllStandardError());
        QCOMPARE(err.count(QStringLiteral("MQTT broker")), 1);
        QVERIFY2(err.contains(QStringLiteral("refused the connection: Not authorized")), qPrintable(err));
        QCOMPARE(broker_->Retained(kStatus), QByteArray());
        // Over 3.1.1 the broker's return code, in 3.1.1's words.
        p = StartProgram(settings + "\"MQTT_PROTOCOL\",3.1.1\r\n", {{QStringLiteral("pw.txt"), "wrong\n"}});
        QVERIFY(p);
        QTRY_VERIFY_WITH_TIMEOUT(TestSupport::ReadFile(log).count("not authorised") >= 4, 10000);
        QVERIFY(End(*p) >= 0);
        const QString err311 = QString::fromUtf8(p->process.readAllStandardError());
        QVERIFY2(err311.contains(QStringLiteral("refused the connection: not authorised; trying again")), qPrintable(err311));

        p = StartProgram(settings, {{QStringLiteral("pw.txt"), "right\r\n"}});
        QVERIFY(p);
        QVERIFY(Holds(kStatus, "online"));
        QCOMPARE(Request(QStringLiteral("Ver")), QStringLiteral("c-1|1.0 ;"));
        QVERIFY(End(*p) >= 0);
        QVERIFY(!QString::fromUtf8(p->process.readAllStandardError()).contains(QStringLiteral("MQTT broker")));
    }

    // MQTT_DISCOVERY: four lights in one device, retained, again when Home
    // Assistant says it is online; a light command moves its channel on the
    // 0-500 scale and its state topic follows.
    void homeAssistantDiscovery()
    {
        const qint64 round = 300;
        const auto restore = qScopeGuard([old = OrvaneMqtt::SetDiscoveryRoundMs(round)] { OrvaneMqtt::SetDiscoveryRoundMs(old); });
        QVERIFY(Join("\"MQTT_DISCOVERY\",homeassistant\r\n"));
        QCOMPARE(LEDMain::ExecScript(QStringLiteral("LED R 0;LED G 0")), QStringLiteral("OK  ; OK  ; "));
        fx_.NewLines(-1);
        const QString name = OrvaneMqtt::ProgramName();
        const char* const names[4] = {"Red", "Green", "Blue", "Amber"};
        QList<QByteArray> configs;
        for (int i = 0; i < 4; ++i) {
            const QByteArray id = "orvane_" + name.toUtf8() + '_' + "RGBA"[i];
            configs.append("homeassistant/light/" + id + "/config");
            QByteArray text;
            QTRY_VERIFY(!(text = broker_->Retained(configs.last())).isEmpty());
            QJsonParseError error;
            const QJsonObject c = QJsonDocument::fromJson(text, &error).object();
            QVERIFY2(error.error == QJsonParseError::NoError, text.constData());
            QCOMPARE(c.value("name").toString(), QLatin1String(names[i]));
            QCOMPARE(c.value("unique_id").toString(), QString::fromUtf8(id));
            QCOMPARE(c.value("schema").toString(), QStringLiteral("json"));
            QCOMPARE(c.value("brightness").toBool(), true);
            QCOMPARE(c.value("supported_color_modes").toArray(), QJsonArray{"brightness"});
            QCOMPARE(c.value("brightness_scale").toInt(), 500);
            const QString channel = QStringLiteral("orvane/%1/%2/").arg(name).arg("RGBA"[i]);
            QCOMPARE(c.value("command_topic").toString(), channel + "light/set");
            QCOMPARE(c.value("state_topic").toString(), channel + "light");
            QCOMPARE(c.value("availability_topic").toString(), QString::fromUtf8(kStatus));
            const QJsonObject device = c.value("device").toObject();
            QCOMPARE(device.value("identifiers").toArray(), QJsonArray{"orvane_" + name});
            QVERIFY(!device.value("name").toString().isEmpty());
            QVERIFY(!device.value("model").toString().isEmpty());
            QVERIFY(!device.value("sw_version").toString().isEmpty());
        }
        QCOMPARE(broker_->Retained("orvane/orvane/R/light"), QByteArray(R"({"state":"OFF"})"));

        MqttWatcher w(*broker_, configs + QList<QByteArray>{"orvane/orvane/R/light", "orvane/orvane/G/light", kResult});
        QVERIFY(w.Ready());
        w.messages.clear();
        // The serial log is read without the event loop: the state topic is waited on first.
        QVERIFY(w.Publish("orvane/orvane/R/light/set", R"({"state":"ON","brightness":120})"));
        QVERIFY(w.WaitFor("orvane/orvane/R/light"));
        QCOMPARE(w.Payloads("orvane/orvane/R/light").last(),
                 QByteArray(R"({"state":"ON","brightness":120,"color_mode":"brightness"})"));
        QCOMPARE(fx_.NewLines(1), QStringList{"AVA380"});
        QVERIFY(w.Publish("orvane/orvane/G/light/set", R"({"state":"ON"})"));
        QVERIFY(w.WaitFor("orvane/orvane/G/light"));
        QCOMPARE(fx_.NewLines(1), QStringList{"AVB000"});
        QVERIFY(w.Publish("orvane/orvane/R/light/set", R"({"state":"OFF"})"));
        QVERIFY(w.WaitFor("orvane/orvane/R/light", 2));
        QCOMPARE(w.Payloads("orvane/orvane/R/light").last(), QByteArray(R"({"state":"OFF"})"));
        QCOMPARE(fx_.NewLines(1), QStringList{"AVA500"});
        QVERIFY(Holds(kState, R"({"R":0,"G":500,"B":0,"A":0})"));
        // Not JSON of a light: nothing runs.
        QVERIFY(w.Publish("orvane/orvane/B/light/set", "ON"));
        QVERIFY(w.Publish(kExec.toUtf8(), "Ver"));
        QVERIFY(w.WaitFor(kResult));  // requests run in order: the light command's turn has passed
        QCOMPARE(fx_.NewLines(0), QStringList{});

        // Home Assistant's birth message, a thousand in a burst: the four
        // configs again at once and once more after the burst, three times at most.
        for (const QByteArray& c : configs)
            QCOMPARE(w.On(c).size(), 0);
        QTest::qWait(round);  // the connection's round is past: the burst's first is answered at once
        for (int i = 0; i < 1000; ++i)
            OrvaneMqtt::Receive({"homeassistant/status", "online", false, {}, {}});
        for (const QByteArray& c : configs)
            QVERIFY(w.WaitFor(c));
        QTest::qWait(3 * round);  // the round owed to the burst's end, and any more
        qsizetype sent = 0;
        for (const QByteArray& c : configs)
            QVERIFY((sent += w.On(c).size(), w.On(c).size() >= 2 && w.On(c).size() <= 3));
        qInfo("%lld config messages after 1,000 birth messages", qlonglong(sent));
        OrvaneMqtt::Stop();
        for (const QByteArray& c : configs)
            w.Publish(c, QByteArray(), true);
    }

    // The connect call held by the test, in this process (so the sanitizers
    // see it): the step's time limit fails the attempt and the next one
    // follows, and a client deleted while its step runs leaves the handle to
    // the step.
    void connectStepHasATimeLimit()
    {
        StalledSteps steps;
        auto client = std::make_unique<Mqtt::Client>();
        QStringList failures;
        connect(client.get(), &Mqtt::Client::Failed, this, [&](const QString& why) { failures << why; });
        Mqtt::Settings s;
        s.host = s.clientId = QStringLiteral("stalled");
        s.connectStepMs = 200;
        QVERIFY(client->Start(s));
        QTRY_VERIFY(failures.size() >= 2);
        QVERIFY2(failures.first().startsWith(QLatin1String("no connection within 200 ms")), qPrintable(failures.first()));
        QTRY_VERIFY(client->IsLookingUp());
        client.reset();
        steps.Release();
        QTRY_COMPARE(steps.returned.load(), steps.stalled.load());
    }

    // A stop while the connect step hangs leaves the step its handle, and a
    // start after it begins anew with a step of its own at once; a start of
    // a client that runs is refused.
    void stopDuringAStepThenStartAgain()
    {
        StalledSteps steps;
        Mqtt::Client client;
        Mqtt::Settings s;
        s.host = s.clientId = QStringLiteral("stalled");
        QVERIFY(client.Start(s));
        QTRY_VERIFY(client.IsLookingUp());
        QString why;
        QVERIFY(!client.Start(s, &why));
        QCOMPARE(why, QStringLiteral("the MQTT client runs already"));
        client.Stop();
        QVERIFY(!client.IsLookingUp());
        QVERIFY(client.Start(s));
        QTRY_COMPARE(steps.stalled.load(), 2);
        client.Stop();
        steps.Release();
        QTRY_COMPARE(steps.returned.load(), 2);
    }

    // Home Assistant switches a dimmed light back on without brightness, and
    // fades with "transition" seconds: steps on the wire, ended by a later command.
    void homeAssistantOnAndTransitions()
    {
        QVERIFY(Join("\"MQTT_DISCOVERY\",homeassistant\r\n"));
        QCOMPARE(LEDMain::ExecScript(QStringLiteral("LED R 0")), QStringLiteral("OK  ; "));
        MqttWatcher w(*broker_, {kResult, "orvane/orvane/R/light"});
        QVERIFY(w.Ready());
        const auto send = [&](const QByteArray& json) {  // waits until the light command's turn has passed
            return w.Publish("orvane/orvane/R/light/set", json) && w.Publish(kExec.toUtf8(), "Ver")
                   && w.WaitFor(kResult, int(w.On(kResult).size()) + 1);
        };
        QVERIFY(send(R"({"state":"ON","brightness":120})") && send(R"({"state":"OFF"})"));
        fx_.NewLines(0);
        QVERIFY(send(R"({"state":"ON"})"));
        QCOMPARE(fx_.NewLines(0), QStringList{"AVA380"});
        QVERIFY(send(R"({"state":"OFF"})"));
        fx_.NewLines(0);
        QElapsedTimer took;
        took.start();
        w.messages.clear();
        QVERIFY(send(R"({"state":"ON","brightness":500,"transition":1})"));
        QVERIFY(QTest::qWaitFor([&] { return fx_.sim->LoggedLines().contains("AVA000"); }, 5000));
        QVERIFY2(took.elapsed() >= 750 && took.elapsed() <= 2000, qPrintable(QString::number(took.elapsed())));
        QStringList steps = fx_.NewLines(0);
        QVERIFY2(steps.size() >= 10 && steps.last() == "AVA000", qPrintable(steps.join(' ')));
        for (qsizetype i = 1; i < steps.size(); ++i)
            QVERIFY2(steps[i].startsWith("AVA") && steps[i] < steps[i - 1], qPrintable(steps.join(' ')));
        // Its state follows the confirmed steps: the target shows once, last.
        const QByteArray full = R"({"state":"ON","brightness":500,"color_mode":"brightness"})";
        QTRY_VERIFY(w.Payloads("orvane/orvane/R/light").endsWith(full));
        const QList<QByteArray> shown = w.Payloads("orvane/orvane/R/light");
        QVERIFY2(shown.size() > 2 && shown.indexOf(full) == shown.size() - 1, shown.join(' ').constData());
        // OFF a third into a 1.5 s rise: off it stays.
        QVERIFY(send(R"({"state":"OFF"})"));
        fx_.NewLines(0);
        QVERIFY(send(R"({"state":"ON","brightness":500,"transition":1.5})"));
        QTest::qWait(500);
        QVERIFY(send(R"({"state":"OFF"})"));
        QTest::qWait(1300);  // past the rise's end
        steps = fx_.NewLines(0);
        QVERIFY2(steps.size() >= 2 && steps.last() == "AVA500" && steps.count("AVA500") == 1, qPrintable(steps.join(' ')));
        QCOMPARE(broker_->Retained("orvane/orvane/R/light"), QByteArray(R"({"state":"OFF"})"));
        // A fade to off: a plain ON brings back the level it faded from, not one of its steps.
        QVERIFY(send(R"({"state":"ON","brightness":200})") && send(R"({"state":"OFF","transition":0.3})"));
        QVERIFY(QTest::qWaitFor([&] { return fx_.sim->LoggedLines().endsWith("AVA500"); }, 5000));
        fx_.NewLines(0);
        QVERIFY(send(R"({"state":"ON"})"));
        QCOMPARE(fx_.NewLines(0), QStringList{"AVA300"});
        // A transition beyond an hour takes an hour: a huge one neither overflows nor jumps.
        QVERIFY(send(R"({"state":"ON","brightness":500,"transition":1e300})"));
        QCOMPARE(fx_.NewLines(0), QStringList{});
        OrvaneMqtt::Stop();
        for (int i = 0; i < 4; ++i)
            w.Publish("homeassistant/light/orvane_orvane_" + QByteArray(1, "RGBA"[i]) + "/config", QByteArray(), true);
    }

    // A host name lookup that never answers holds nothing: the bus is served
    // throughout, and a stop signal ends the program within its bound.
    void stalledLookupHoldsNothing()
    {
#ifndef ORVANE_STALL_LOOKUP
        QSKIP("the lookup shim is not built with the sanitizers");
#else
        PrivateBus own;
        QVERIFY(own.Start());
        QTemporaryDir appDir;
        TestSupport::WriteFile(appDir.filePath("LED_CONFIG.TXT"),
                               Config(3, 100) + "\"MQTT_HOST\",broker.stall.test\r\n");
        TestSupport::SimProcess sim;
        QVERIFY(sim.Start({"--link", appDir.filePath("COM3"), "--no-show"}));
        QProcessEnvironment preload;
        preload.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(ORVANE_STALL_LOOKUP));
        std::unique_ptr<Program> p =
            StartProgram(QByteArray(), {}, {"--automation", "--app-dir", appDir.path()}, own.Address(), preload);
        QVERIFY(p);
        QElapsedTimer since;
        since.start();
        qint64 slowest = 0;
        int answered = 0;
        while (since.elapsed() < 1000) {
            QElapsedTimer call;
            call.start();
            const Ran r = TestSupport::RunProcess(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"), {"Ver"},
                                                  own.Environment(), QByteArray(), 5000);
            if (r.out.trimmed() == QLatin1String("1.0 ;")) {
                ++answered;
                slowest = std::max(slowest, call.elapsed());
            } else if (answered > 0) {
                QFAIL(qPrintable(QStringLiteral("Exec went unanswered: %1").arg(r.err)));
            }
        }
        qInfo("%d Exec calls during the stalled lookup, the slowest answered in %lld ms", answered, slowest);
        QVERIFY(answered >= 3);
        QVERIFY2(slowest < 1000, qPrintable(QString::number(slowest)));
        const qint64 took = End(*p);
        qInfo("SIGTERM during the lookup: ended in %lld ms", took);
        QVERIFY(took >= 0);
        QVERIFY2(took < 5 * 100 + 1000, qPrintable(QString::number(took)));
#endif
    }

    // The broker drops a request larger than the program takes (its Maximum
    // Packet Size) instead of sending it; the next request is served.
    void oversizedRequestDroppedByTheBroker()
    {
        QVERIFY(Join());
        MqttWatcher w(*broker_, {kResult});
        QVERIFY(w.Ready());
        const QByteArray big(Limits::kMaxScriptBytes + 64 * 1024 + 1, ' ');
        QVERIFY(w.Publish(kExec.toUtf8(), big));
        const QString log = broker_->Dir() + QStringLiteral("/broker.log");
        QTRY_VERIFY_WITH_TIMEOUT(TestSupport::ReadFile(log).contains("Dropping too large outgoing PUBLISH"), 10000);
        QVERIFY(w.Publish(kExec.toUtf8(), "Ver"));
        QVERIFY(w.WaitFor(kResult));
        QCOMPARE(w.Payloads(kResult), QList<QByteArray>{"1.0 ; "});
    }

    // A broker that ignores our Maximum Packet Size (a tiny one of this
    // test's own, without properties), or a 3.1.1 one that is never told,
    // sends a 100 MB request: it is read past as it arrives, the process's
    // peak memory stays put, and the connection serves the next request.
    void oversizedRequestReadPast_data()
    {
        QTest::addColumn<bool>("v5");
        QTest::newRow("MQTT 5") << true;
        QTest::newRow("MQTT 3.1.1") << false;
    }

    void oversizedRequestReadPast()
    {
        QFETCH(bool, v5);
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof at;
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 && ::listen(listener, 1) == 0
                && ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size) == 0);
        const auto publish = [v5](const QByteArray& topic, qint64 payload) {
            QByteArray p(1, '\x30');
            for (quint64 n = quint64(2 + topic.size() + v5 + payload);; n >>= 7) {
                p += char((n & 0x7F) | (n > 0x7F ? 0x80 : 0));
                if (n <= 0x7F)
                    break;
            }
            return p + char(topic.size() >> 8) + char(topic.size() & 0xFF) + topic + QByteArray(v5, '\0');
        };
        std::atomic<bool> sent{false}, done{false};
        QByteArray answered;  // set before done
        std::thread broker([&] {
            const int c = ::accept(listener, nullptr, nullptr);
            const auto put = [c](const QByteArray& b) { return ::send(c, b.constData(), size_t(b.size()), MSG_NOSIGNAL); };
            QByteArray in;
            char buf[4096];
            for (ssize_t n; (n = ::recv(c, buf, sizeof buf, 0)) > 0;) {
                in.append(buf, n);
                // Whole packets only; every length here fits one byte.
                while (in.size() >= 2 && in.size() >= 2 + uchar(in[1])) {
                    const QByteArray packet = in.left(2 + uchar(in[1]));
                    in.remove(0, packet.size());
                    if (uchar(packet[0]) >> 4 == 1) {  // CONNECT
                        put(v5 ? QByteArray("\x20\x03\0\0\0", 5) : QByteArray("\x20\x02\0\0", 4));
                    } else if (uchar(packet[0]) >> 4 == 8) {  // SUBSCRIBE: one SUBACK each
                        put("\x90\x04" + packet.mid(2, 2) + QByteArray(2, '\0'));
                        if (packet.contains("exec/#")) {
                            put(publish("orvane/orvane/exec", 100'000'000));
                            const QByteArray chunk(1'000'000, ' ');  // one buffer: the sanitizers hold freed ones
                            for (int i = 0; i < 100 && put(chunk) > 0; ++i) {
                            }
                            put(publish("orvane/orvane/exec", 3) + "Ver");
                            sent = true;
                        }
                    } else if (uchar(packet[0]) >> 4 == 3 && packet.contains("orvane/orvane/result")) {
                        answered = packet;
                        done = true;
                    }
                }
            }
            ::close(c);
        });
        const auto joined = qScopeGuard([&] {
            OrvaneMqtt::Stop();
            ::shutdown(listener, SHUT_RDWR);
            ::close(listener);
            broker.join();
        });
        TestSupport::ResetPeakMemory();
        const qint64 before = TestSupport::PeakMemoryKb();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(
            "orvane: MQTT broker 127.0.0.1:[0-9]+: a message of 10000002[56] bytes on orvane/orvane/exec was discarded"));
        if (!v5)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("speaks MQTT 3.1.1, not 5"));
        fx_.WriteConfig(ProgramFixture::kDefaultConfig
                        + MqttSettings(ntohs(at.sin_port), v5 ? "" : "\"MQTT_PROTOCOL\",3.1.1\r\n"));
        QVERIFY(fx_.LoadLink() && LEDCOMM::CommOpenConfigured() && OrvaneMqtt::Start() == 1);
        QTRY_VERIFY_WITH_TIMEOUT(sent && done, 60000);
        const qint64 after = TestSupport::PeakMemoryKb();
        qInfo("peak memory %lld kB before the 100 MB request, %lld kB after", before, after);
        QVERIFY2(after - before < 20 * 1024, qPrintable(QString::number(after - before)));
        QVERIFY2(answered.endsWith("1.0 ; "), answered.right(40).constData());
    }

    // Requests go and come: more than the queue may hold at once passes
    // through it over time.
    void queueBytesComeBack()
    {
        QVERIFY(Join());
        MqttWatcher w(*broker_, {"reply/many"});
        QVERIFY(w.Ready());
        const int count = int(Limits::kMaxQueuedBytes / Limits::kMaxScriptBytes) + 4;  // 68 MiB in all
        Mqtt::Message m;
        m.topic = OrvaneMqtt::TopicPrefix() + "exec";
        m.responseTopic = "reply/many";
        m.payload = QByteArray(Limits::kMaxScriptBytes - 4, ' ') + "Ver;";
        for (int i = 0; i < count; ++i) {
            OrvaneMqtt::Receive(m);
            QVERIFY(w.WaitFor("reply/many", i + 1));
        }
        QCOMPARE(w.Payloads("reply/many"), QList<QByteArray>(count, "1.0 ; "));
    }

    // A stalled broker with megabytes still to send holds the stop no longer
    // than the bound: five time-outs and a second.
    void stopWithAStalledBroker()
    {
        QVERIFY(OwnBroker("allow_anonymous true\nlog_type all\n"));
        programTimeOutMs_ = 100;
        std::unique_ptr<Program> p = StartProgram();
        QVERIFY(p);
        QVERIFY(Holds(kStatus, "online"));
        // 690,000 answers of 24 bytes: 16.6 MB that a stalled broker never reads.
        const QString file = QDir(broker_->Dir()).filePath(QStringLiteral("flood.txt"));
        TestSupport::WriteFile(file, QByteArray("x;").repeated(690000));
        QCOMPARE(broker_->Client(QStringLiteral("mosquitto_pub"),
                                 {"-t", kExec, "-D", "publish", "response-topic", "reply/none", "-f", file}).code, 0);
        QCOMPARE(broker_->Retained(kStatus), QByteArray("online"));  // the request went out before this
        broker_->Pause(true);
        QTest::qWait(1200);  // the script runs, its answer fills the socket
        const qint64 took = End(*p);
        broker_->Pause(false);
        qInfo("SIGTERM with a stalled broker: ended in %lld ms", took);
        QVERIFY(took >= 0);
        // The broker gets half of the budget of four time-outs and a second; the bus the rest.
        QVERIFY2(took < 100 + (4 * 100 + 1000) / 2 + 250, qPrintable(QString::number(took)));
        broker_->Stop();
    }

    // Three drops soon after CONNACK within a minute, or one "session taken
    // over": another program uses our client id, and this one stops trying.
    // orvane-exec for several controllers: lab1 and lab2, each with a
    // controller of its own, on the broker alone (or on the test's bus).
    void oneClientForManyControllers_data()
    {
        QTest::addColumn<QString>("before");      // a script run on lab1 first
        QTest::addColumn<QStringList>("args");    // %1: this broker's HOST:PORT
        QTest::addColumn<bool>("onBus");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");         // a part of standard output
        QTest::addColumn<QStringList>("wires");   // what lab1's and lab2's controllers got
        const QStringList none;
        QTest::newRow("script by --broker") << "" << QStringList{"--broker", "%1", "--name", "lab1", "LED R 100"}
                                            << false << 0 << "OK  ; \n" << QStringList{"lab1 AVA400"};
        QTest::newRow("list on the broker")
            << "LED G 250" << QStringList{"--broker", "%1", "--list"} << false << 0
            << "lab1 broker online R=0 G=250 B=0 A=0\nlab2 broker online R=0 G=0 B=0 A=0\n" << none;
        QTest::newRow("list as JSON")
            << "" << QStringList{"--broker", "%1", "--list", "--json"} << false << 0
            << R"({"levels":{"A":0,"B":0,"G":0,"R":0},"name":"lab2","online":true,"road":"broker"}])" << none;
        QTest::newRow("two names") << "" << QStringList{"--broker", "%1", "--name", "lab2", "--name", "lab1", "LED B 50"}
                                   << false << 0 << "lab2: OK  ; \nlab1: OK  ; \n"
                                   << QStringList{"lab1 AVC450", "lab2 AVC450"};
        QTest::newRow("unknown NAME") << "" << QStringList{"--broker", "%1", "--name", "lab3", "Ver"} << false << 4
                                      << "" << none;
        // Tagged requests, and the marker that finds a NAME missing, without MQTT 5's properties.
        QTest::newRow("two names over 3.1.1")
            << "" << QStringList{"--broker", "%1", "--protocol", "3.1.1", "--name", "lab2", "--name", "lab1", "LED B 50"}
            << false << 0 << "lab2: OK  ; \nlab1: OK  ; \n" << QStringList{"lab1 AVC450", "lab2 AVC450"};
        QTest::newRow("unknown NAME over 3.1.1")
            << "" << QStringList{"--broker", "%1", "--protocol", "3.1.1", "--name", "lab3", "Ver"} << false << 4 << ""
            << none;
        QTest::newRow("no such MQTT version") << "" << QStringList{"--broker", "%1", "--protocol", "3", "Ver"} << false
                                              << 2 << "" << none;
        QTest::newRow("unreachable broker") << "" << QStringList{"--broker", "127.0.0.1:1", "--name", "lab1", "Ver"}
                                            << false << 3 << "" << none;
        QTest::newRow("list on the bus") << "LED A 20" << QStringList{"--list"} << true << 0
                                         << "lab1 bus online R=0 G=0 B=0 A=20\nlab2 bus online" << none;
        QTest::newRow("offline before it answers") << "" << QStringList{"--broker", "%1", "--name", "lab9", "offline"}
                                                   << false << 5 << "" << none;
        QTest::newRow("an answer of another sequence") << "" << QStringList{"--broker", "%1", "--name", "lab9", "Ver"}
                                                       << false << 0 << "0.1\n" << none;
        // Its goodbye moves the cursor, erases a line and starts one: shown escaped, on one line.
        QTest::newRow("offline with escapes") << "" << QStringList{"--broker", "%1", "--name", "lab9", "escapes"}
                                              << false << 5 << "" << none;
        // On a terminal (script(1) gives it one) an answer's escapes are shown, not done.
        QTest::newRow("an answer with escapes on a terminal")
            << "" << QStringList{"--broker", "%1", "--name", "lab9", "title"} << false << 0
            << "\\x1b]0;pwned\\x07\\x1b[2J\\nfake line" << none;
    }

    void oneClientForManyControllers()
    {
        QFETCH(QString, before);
        QFETCH(QStringList, args);
        QFETCH(bool, onBus);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QStringList, wires);
        const QString exec = QStringLiteral(ORVANE_BIN_DIR "/orvane-exec");
        const QString where = QStringLiteral("127.0.0.1:%1").arg(broker_->Port());
        TestSupport::ChildProgram programs[2];
        TestSupport::SimProcess sims[2];
        std::unique_ptr<QProcess> running[2];
        qsizetype logged[2];
        for (int i = 0; i < 2; ++i) {
            const QByteArray name = "lab" + QByteArray::number(i + 1);
            QVERIFY(programs[i].Prepare(Config(3, 100) + MqttSettings(broker_->Port(), "\"NAME\"," + name + "\r\n")));
            QVERIFY(sims[i].Start({"--link", programs[i].App("COM3"), "--no-show"}));
            QProcessEnvironment env = programs[i].Env();
            if (onBus)
                env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus_.Address());
            running[i] = programs[i].Start({}, env);
            QVERIFY(running[i]);
            QVERIFY(Holds("orvane/" + name + "/status", "online"));
        }
        // lab9, played here: on "offline" it goes offline, else it answers twice, each
        // answer its correlation: the request's index with another sequence, then the request's own.
        Mqtt::Client lab9;
        lab9.AddSubscription("orvane/lab9/exec", 0);
        connect(&lab9, &Mqtt::Client::Received, &lab9, [&lab9](const Mqtt::Message& m) {
            if (m.payload == "offline" || m.payload == "escapes")
                lab9.Publish("orvane/lab9/status", m.payload == "offline" ? "offline" : "off\x1b[1A\x1b[2K\nfake", false);
            else if (m.payload == "title")
                lab9.Publish(m.responseTopic, "\x1b]0;pwned\a\x1b[2J\nfake line", false, 0, m.correlation);
            else
                for (const QByteArray& c : {m.correlation + '9', m.correlation})
                    lab9.Publish(m.responseTopic, c, false, 0, c);
        });
        const auto forget = qScopeGuard([&] { lab9.Stop("orvane/lab9/status", QByteArray(), true); });
        if (args.contains("lab9")) {
            Mqtt::Settings s;
            s.host = s.clientId = QStringLiteral("127.0.0.1");
            s.port = broker_->Port();
            QVERIFY(lab9.Start(s));
            QVERIFY(QTest::qWaitFor([&] { return lab9.IsSubscribed(); }, 10000));
            QVERIFY(lab9.Publish("orvane/lab9/status", "online", true) && Holds("orvane/lab9/status", "online"));
        }
        // A retained message whose topic level is no NAME, made to read as a listed program.
        const QByteArray forged = "orvane/lab0 broker online R=500 G=500 B=500 A=500 /status";
        QCOMPARE(broker_->Client(QStringLiteral("mosquitto_pub"), {"-t", forged, "-r", "-m", "online"}).code, 0);
        const auto unforge = qScopeGuard([&] { broker_->Client(QStringLiteral("mosquitto_pub"), {"-t", forged, "-r", "-n"}); });
        const QProcessEnvironment env = onBus ? bus_.Environment() : QProcessEnvironment::systemEnvironment();
        if (!before.isEmpty())
            QCOMPARE(TestSupport::RunProcess(exec, {"--broker", where, "--name", "lab1", before}, env).code, 0);
        for (int i = 0; i < 2; ++i) {
            QVERIFY(sims[i].WaitForLogged(4));
            logged[i] = sims[i].LoggedLines().size();
        }
        QElapsedTimer took;
        took.start();
        args.replaceInStrings(QStringLiteral("%1"), where);
        const bool terminal = args.contains(QStringLiteral("title"));
        const Ran ran = terminal ? TestSupport::RunProcess(QStringLiteral("script"),
                                                           {"-qec", exec + ' ' + args.join(' '), "/dev/null"}, env)
                                 : TestSupport::RunProcess(exec, args, env);
        QVERIFY(took.elapsed() < 15000);
        QVERIFY2(ran.out.contains(out), qPrintable(ran.out + ran.err));
        QVERIFY2(!ran.out.contains(QStringLiteral("lab0")) && !ran.out.contains(QChar(0x1b)), qPrintable(ran.out));
        QVERIFY2(!ran.err.contains(QChar(0x1b)) && !ran.err.contains(QStringLiteral("\nfake")), qPrintable(ran.err));
        QCOMPARE(ran.code, status);
        // A failure says so on its own line, naming what failed.
        QCOMPARE(ran.err.contains(status == 4 ? "lab3" : status == 3 ? "127.0.0.1:1" : "orvane-exec"), status != 0);
        for (int i = 0; i < 2; ++i) {
            QStringList got = sims[i].LoggedLines().mid(logged[i]);
            got.replaceInStrings(QRegularExpression("^"), QStringLiteral("lab%1 ").arg(i + 1));
            QCOMPARE(got, wires.filter(QStringLiteral("lab%1 ").arg(i + 1)));
            QVERIFY(TestSupport::ChildProgram::Stop(*running[i]));
        }
    }

    void anotherProgramWithOurName_data()
    {
        QTest::addColumn<QList<int>>("reasons");
        QTest::addColumn<int>("connectedMs");
        QTest::addColumn<bool>("stops");
        QTest::newRow("session taken over") << QList<int>{142} << 60000 << true;
        QTest::newRow("three early drops") << QList<int>{0, 0, 0} << 400 << true;
        QTest::newRow("two early drops") << QList<int>{0, 0} << 400 << false;
        QTest::newRow("three late drops") << QList<int>{0, 0, 0} << 6000 << false;
    }

    void anotherProgramWithOurName()
    {
        QFETCH(QList<int>, reasons);
        QFETCH(int, connectedMs);
        QFETCH(bool, stops);
        QVERIFY(Join());
        if (stops)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("another program uses NAME orvane .*stops trying"));
        for (int reason : reasons)
            OrvaneMqtt::BrokerDropped(reason, connectedMs);
        QCOMPARE(!OrvaneMqtt::IsConnected(), stops);
        // Reloaded settings join again.
        OrvaneMqtt::Restart();
        QVERIFY(QTest::qWaitFor([] { return OrvaneMqtt::IsServing(); }, 10000));
    }

    // Two programs with one NAME on one machine: with a bus the second stays
    // off the broker; without one the broker's drops tell it, and it stops.
    void twoProgramsOneName()
    {
        const QByteArray name = "\"NAME\",lab1\r\n";
        const QByteArray status = "orvane/lab1/status";
        PrivateBus own;
        QVERIFY(own.Start());
        std::unique_ptr<Program> first = StartProgram(name, {}, {}, own.Address());
        QVERIFY(first);
        QVERIFY(Holds(status, "online"));
        MqttWatcher w(*broker_, {status});
        QVERIFY(w.Ready());
        QVERIFY(w.Publish(kStatus, QByteArray(), true));
        std::unique_ptr<Program> second = StartProgram(name, {}, {}, own.Address());
        QVERIFY(second);
        // Without a NAME, the plain bus name the first holds besides its own does not count.
        std::unique_ptr<Program> plain = StartProgram(QByteArray(), {}, {}, own.Address());
        QVERIFY(plain);
        QVERIFY(Holds(kStatus, "online"));
        QVERIFY(End(*second) >= 0);
        const QString said = QString::fromUtf8(second->process.readAllStandardError());
        QCOMPARE(said.count(QStringLiteral("serves NAME lab1 on the bus")), 1);
        QCOMPARE(Flips(w, status), 0);
        QVERIFY(End(*plain) >= 0);
        QVERIFY(End(*first) >= 0);

        // No bus: the broker throws each out in turn until one gives way.
        w.messages.clear();
        first = StartProgram(name);
        second = StartProgram(name);
        QVERIFY(first && second);
        QByteArray firstSaid, secondSaid;
        QTRY_VERIFY_WITH_TIMEOUT((firstSaid += first->process.readAllStandardError()).contains("another program uses")
                                     || (secondSaid += second->process.readAllStandardError()).contains("another program uses"),
                                 30000);
        QVERIFY(Holds(status, "online"));
        const qsizetype flips = Flips(w, status);
        QTest::qWait(1500);  // one who still fought would be thrown out again by now
        QCOMPARE(Flips(w, status), flips);
        QCOMPARE(broker_->Retained(status), QByteArray("online"));
        QVERIFY(End(*first) >= 0);
        QVERIFY(End(*second) >= 0);
        firstSaid += first->process.readAllStandardError();
        secondSaid += second->process.readAllStandardError();
        QCOMPARE(firstSaid.count("another program uses") + secondSaid.count("another program uses"), 1);
        qInfo("without a bus: %lld status messages before one gave way", qlonglong(flips));
    }
};

ORVANE_TEST_MAIN(TestMqtt)
#include "test_mqtt.moc"
