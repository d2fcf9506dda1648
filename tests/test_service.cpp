// The program as a systemd service, with no systemd running: the test runs
// under dbus-run-session, binds the notify socket itself and reads what
// `orvane --service` tells it (ready, status, the watchdog's pings, stopping);
// the pings stop while the event loop is frozen and go on through a long wait
// for a reply; refusals end with their own exit statuses.
#include "base/Notify.h"
#include "comm/LEDCOMM.h"
#include "engine/Service.h"
#include "tests/support/MqttBroker.h"
#include "tests/support/ProgramFixture.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"

#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <csignal>
#include <memory>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using TestSupport::EnvSet;
using TestSupport::SimProcess;

namespace {

// A datagram socket in the place of systemd's: what arrives, with when.
class NotifySocket {
public:
    struct Message {
        qint64 ms;  // since the socket was opened
        QString text;
    };

    ~NotifySocket()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    bool Open(const QString& path)
    {
        path_ = path;
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        const QByteArray p = QFile::encodeName(path);
        if (fd_ < 0 || size_t(p.size()) >= sizeof a.sun_path)
            return false;
        std::copy(p.begin(), p.end(), a.sun_path);
        clock_.start();
        return ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }

    // Takes in what has arrived, without waiting.
    void Drain()
    {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n < 0)
                return;
            got_ << Message{clock_.elapsed(), QString::fromUtf8(buf, int(n))};
        }
    }

    // What has arrived so far, for Since.
    qsizetype Mark()
    {
        Drain();
        return got_.size();
    }
    QList<Message> Since(qsizetype mark)
    {
        Drain();
        return got_.mid(mark);
    }

    // Reads with the event loop running until a message starts with prefix: its text, or empty.
    QString WaitFor(const QString& prefix, int ms = 10000)
    {
        qsizetype seen = 0;
        const bool came = QTest::qWaitFor([&] {
            for (Drain(); seen < got_.size(); ++seen)
                if (got_[seen].text.startsWith(prefix))
                    return true;
            return false;
        }, ms);
        return came ? got_[seen].text : QString();
    }

    // Reads for ms with the event loop running; the messages that came meanwhile.
    QList<Message> ReadFor(int ms)
    {
        const qsizetype from = Mark();
        (void)QTest::qWaitFor([this] { Drain(); return false; }, ms);
        return Since(from);
    }

    static QList<qint64> Pings(const QList<Message>& messages)
    {
        QList<qint64> at;
        for (const Message& m : messages)
            if (m.text == QLatin1String("WATCHDOG=1"))
                at << m.ms;
        return at;
    }

    QString Path() const { return path_; }

    // Fills the socket's queue as a manager that never reads would let it fill: the datagrams sent.
    int Fill() const
    {
        const int sender = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        const QByteArray p = QFile::encodeName(path_);
        std::copy(p.begin(), p.end(), a.sun_path);
        int sent = 0;
        while (::sendto(sender, "x", 1, 0, reinterpret_cast<sockaddr*>(&a), sizeof a) == 1)
            ++sent;
        ::close(sender);
        return sent;
    }

private:
    int fd_ = -1;
    QString path_;
    QElapsedTimer clock_;
    QList<Message> got_;
};

} // namespace

class TestService : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<SimProcess> sim_;
    std::unique_ptr<NotifySocket> notify_;

    QString App() const { return dir_->filePath(QStringLiteral("app")); }

    QProcessEnvironment Env(const QProcessEnvironment& extra = {}) const
    {
        QProcessEnvironment env = TestSupport::Headless();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir_->filePath(QStringLiteral("run")));
        env.insert(QStringLiteral("NOTIFY_SOCKET"), notify_->Path());
        env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("400000"));
        env.insert(extra);
        return env;
    }

    bool StartSim(int delayMs = 0)  // each reply delayMs late
    {
        sim_ = std::make_unique<SimProcess>();
        return sim_->Start({"--link", App() + "/COM7", "--no-show", "--delay", QString::number(delayMs)});
    }

    std::unique_ptr<QProcess> Start(const QStringList& args, const QProcessEnvironment& env, const QString& errFile = {})
    {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(env);
        if (!errFile.isEmpty())
            p->setStandardErrorFile(errFile);
        p->start(App() + QStringLiteral("/orvane"), args);
        [&] { QVERIFY(p->waitForStarted(5000)); }();
        return p;
    }

    static void Stop(QProcess& p)
    {
        ::kill(pid_t(p.processId()), SIGTERM);
        [&] { QVERIFY(p.waitForFinished(10000)); }();
    }

private slots:
    void initTestCase() { QVERIFY2(qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"), "run under dbus-run-session"); }

    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        QVERIFY(TestSupport::PrepareProgramCopy(App(), dir_->filePath(QStringLiteral("run")), TestSupport::Config(7, 300)));
        QVERIFY(StartSim());
        notify_ = std::make_unique<NotifySocket>();
        QVERIFY(notify_->Open(dir_->filePath(QStringLiteral("notify"))));
    }

    void cleanup()
    {
        sim_.reset();
        notify_.reset();
        dir_.reset();
    }

    void serviceTellsSystemdHowItIs()
    {
        QVERIFY(StartSim(100));  // a script of 10 commands holds the program's loop for 1 s
        auto p = Start({QStringLiteral("--service")}, Env());
        QCOMPARE(notify_->WaitFor(QStringLiteral("STATUS=")), QStringLiteral("STATUS=port 7 open; D-Bus Orvane.OrvaneCmd; no MQTT"));
        QCOMPARE(notify_->WaitFor(QStringLiteral("READY=")), QStringLiteral("READY=1"));
        // Start-up had run: the channels were off before it said so.
        QCOMPARE(sim_->LoggedLines(), (QStringList{"AVA500", "AVB500", "AVC500", "AVD500"}));

        // A ping every half interval (200 ms) from the idle loop: eight intervals hold fifteen at least.
        QList<qint64> pings = NotifySocket::Pings(notify_->ReadFor(3200));
        QVERIFY2(pings.size() >= 15, qPrintable(QString::number(pings.size())));
        for (qsizetype i = 1; i < pings.size(); ++i)
            QVERIFY2(pings[i] - pings[i - 1] >= 150, qPrintable(QStringLiteral("%1 ms apart").arg(pings[i] - pings[i - 1])));

        // A script that holds the loop for 1 s, between its commands and inside each wait.
        QProcess client;
        QVERIFY(TestSupport::StartLedCommands(client, 10, Env()));
        QElapsedTimer running;
        running.start();
        QList<NotifySocket::Message> during;
        while (client.state() != QProcess::NotRunning && running.elapsed() < 20000)
            during += notify_->ReadFor(100);
        QCOMPARE(client.exitCode(), 0);
        QVERIFY2(running.elapsed() >= 950, qPrintable(QString::number(running.elapsed())));
        pings = NotifySocket::Pings(during);
        QVERIFY2(pings.size() >= 4, qPrintable(QString::number(pings.size())));
        for (qsizetype i = 1; i < pings.size(); ++i)
            QVERIFY2(pings[i] - pings[i - 1] < 400, qPrintable(QStringLiteral("%1 ms without a ping").arg(pings[i] - pings[i - 1])));

        // The stop may take five time-outs and a second: 2.5 s at 300 ms.
        ::kill(pid_t(p->processId()), SIGTERM);
        QCOMPARE(notify_->WaitFor(QStringLiteral("STOPPING=")), QStringLiteral("STOPPING=1\nEXTEND_TIMEOUT_USEC=2500000"));
        QVERIFY(p->waitForFinished(10000));
        QCOMPARE(p->exitCode(), 0);
    }

    // With a NAME the program holds its own name and, as a courtesy, the plain one: both show.
    void statusNamesEveryBusName()
    {
        TestSupport::WriteFile(App() + QStringLiteral("/LED_CONFIG.TXT"), TestSupport::Config(7, 300) + "\"NAME\",lab1\r\n");
        auto p = Start({QStringLiteral("--service")}, Env());
        QCOMPARE(notify_->WaitFor(QStringLiteral("STATUS=")),
                 QStringLiteral("STATUS=port 7 open; D-Bus Orvane.OrvaneCmd.lab1, Orvane.OrvaneCmd; no MQTT"));
        Stop(*p);
    }

    void watchdogOfAnotherProcessIsNotPinged()
    {
        QProcessEnvironment other;
        other.insert(QStringLiteral("WATCHDOG_PID"), QString::number(QCoreApplication::applicationPid()));
        auto p = Start({QStringLiteral("--service")}, Env(other));
        QCOMPARE(notify_->WaitFor(QStringLiteral("READY=")), QStringLiteral("READY=1"));
        QCOMPARE(NotifySocket::Pings(notify_->ReadFor(400)).size(), qsizetype(0));  // two pings' time
        // The status line follows the port.
        sim_->Stop();
        QCOMPARE(notify_->WaitFor(QStringLiteral("STATUS=port 7 not")), QStringLiteral("STATUS=port 7 not open; D-Bus Orvane.OrvaneCmd; no MQTT"));
        p->kill();  // a stop would wait out a time-out for each channel
    }

    // No bus but a broker to serve (none listening: configured counts), then none at all.
    void serviceStaysForMqttAndRefusesWithoutAnyRoad()
    {
        QProcessEnvironment noBus;
        noBus.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=") + dir_->filePath(QStringLiteral("no-bus")));
        TestSupport::WriteFile(App() + QStringLiteral("/LED_CONFIG.TXT"),
                               TestSupport::Config(7, 300) + "\"MQTT_HOST\",127.0.0.1\r\n\"MQTT_PORT\",9\r\n");
        auto p = Start({QStringLiteral("--service")}, Env(noBus));
        QCOMPARE(notify_->WaitFor(QStringLiteral("STATUS=")), QStringLiteral("STATUS=port 7 open; no D-Bus; MQTT not connected"));
        QCOMPARE(notify_->WaitFor(QStringLiteral("READY=")), QStringLiteral("READY=1"));
        QTest::qWait(500);
        QCOMPARE(p->state(), QProcess::Running);
        Stop(*p);
        QCOMPARE(p->exitCode(), 0);

        TestSupport::WriteFile(App() + QStringLiteral("/LED_CONFIG.TXT"), TestSupport::Config(7, 300));
        const TestSupport::Ran refused = TestSupport::RunProcess(App() + QStringLiteral("/orvane"), {QStringLiteral("--service")}, Env(noBus));
        QCOMPARE(refused.code, 4);
        QVERIFY2(refused.err.contains(QStringLiteral("no client can reach this program, so it ends")), qPrintable(refused.err));
    }

    // The status line names the MQTT version it joined over: 3.1.1 here, asked for.
    void statusNamesTheMqttVersion()
    {
        TestSupport::MqttBroker broker;
        QVERIFY(broker.Start());
        TestSupport::WriteFile(App() + QStringLiteral("/LED_CONFIG.TXT"),
                               TestSupport::Config(7, 300) + "\"MQTT_HOST\",127.0.0.1\r\n\"MQTT_PORT\","
                                   + QByteArray::number(broker.Port()) + "\r\n\"MQTT_PROTOCOL\",3.1.1\r\n");
        auto p = Start({QStringLiteral("--service")}, Env());
        QCOMPARE(notify_->WaitFor(QStringLiteral("STATUS=port 7 open; D-Bus Orvane.OrvaneCmd; MQTT connected")),
                 QStringLiteral("STATUS=port 7 open; D-Bus Orvane.OrvaneCmd; MQTT connected (3.1.1)"));
        Stop(*p);
    }

    // Another program serves the directory: every second start ends with 3,
    // whatever XDG_RUNTIME_DIR and TMPDIR say.
    void secondStartEndsWithItsOwnStatus()
    {
        auto first = Start({QStringLiteral("--service")}, Env());
        QCOMPARE(notify_->WaitFor(QStringLiteral("READY=")), QStringLiteral("READY=1"));
        QVERIFY(QDir().mkpath(dir_->filePath(QStringLiteral("tmp"))));
        QProcessEnvironment elsewhere = Env();
        elsewhere.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        elsewhere.insert(QStringLiteral("TMPDIR"), dir_->filePath(QStringLiteral("tmp")));
        for (const QStringList& args : {QStringList{}, QStringList{QStringLiteral("--service")}, QStringList{QStringLiteral("--automation")}}) {
            for (const QProcessEnvironment& env : {Env(), elsewhere}) {
                const TestSupport::Ran second = TestSupport::RunProcess(App() + QStringLiteral("/orvane"), args, env);
                QCOMPARE(second.code, 3);
                QVERIFY2(second.err.contains(QStringLiteral("Application is already running.")), qPrintable(second.err));
            }
        }
        QCOMPARE(sim_->LoggedLines().size(), qsizetype(4));  // no second copy sent anything
        Stop(*first);
    }

    // The units keep systemd from restarting a program after a status that
    // another start would end with as well, and only then.
    void unitsPreventTheRestartsThatWouldFailAgain()
    {
        QStringList expected;
        for (const int status : Service::kNoRestart)
            expected << QString::number(status);
        static const QRegularExpression key(QStringLiteral("^RestartPreventExitStatus=(.*)$"),
                                            QRegularExpression::MultilineOption);
        for (const char* unit : {"orvane.service.in", "orvane@.service.in"}) {
            const QString text = QString::fromUtf8(TestSupport::ReadFile(QStringLiteral(ORVANE_SOURCE_DIR "/dist/systemd/") + QLatin1String(unit)));
            const QRegularExpressionMatch m = key.match(text);
            QVERIFY2(m.hasMatch(), unit);
            QCOMPARE(m.captured(1).split(QLatin1Char(' '), Qt::SkipEmptyParts), expected);
        }
    }

    // A manager that never reads its socket, with a 20 ms watchdog, or a
    // standard error that is never read: calls are answered all the same, and
    // a stop signal ends the program within its bound (2.5 s at 300 ms).
    void peersThatNeverReadHoldNothing_data()
    {
        QTest::addColumn<bool>("deafManager");  // else standard error is the FIFO
        QTest::addColumn<int>("calls");
        QTest::addColumn<int>("commands");
        QTest::newRow("notify socket full") << true << 10 << 1;
        QTest::newRow("standard error a FIFO nobody reads") << false << 1 << 3000;
    }
    void peersThatNeverReadHoldNothing()
    {
        QFETCH(bool, deafManager);
        QFETCH(int, calls);
        QFETCH(int, commands);
        QProcessEnvironment env = Env();
        env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("20000"));
        if (!deafManager)
            env.remove(QStringLiteral("NOTIFY_SOCKET"));
        const int filled = deafManager ? notify_->Fill() : 0;
        const QString fifo = dir_->filePath(QStringLiteral("stderr"));
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(reader >= 0 && ::fcntl(reader, F_SETPIPE_SZ, 4096) > 0);
        auto p = Start({QStringLiteral("--service"), QStringLiteral("--verbose")}, env, deafManager ? QString() : fifo);
        QTRY_VERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(QStringLiteral("Orvane.OrvaneCmd")));
        QStringList script;
        for (int i = 0; i < commands; ++i)
            script << QStringLiteral("LED R %1").arg(i % 500);
        qint64 worst = 0;
        for (int call = 0; call < calls; ++call) {
            QElapsedTimer t;
            t.start();
            const TestSupport::Ran r = TestSupport::RunProcess(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"),
                                                               {script.join(QLatin1Char(';'))}, Env(), {}, 20000);
            worst = std::max(worst, t.elapsed());
            QCOMPARE(r.out.count(QStringLiteral("OK")), commands);
        }
        if (deafManager) {
            // The manager reads again: readiness and the status, dropped while it did not, come then.
            QCOMPARE(notify_->WaitFor(QStringLiteral("READY=")), QStringLiteral("READY=1"));
            QCOMPARE(notify_->WaitFor(QStringLiteral("STATUS=")), QStringLiteral("STATUS=port 7 open; D-Bus Orvane.OrvaneCmd; no MQTT"));
        }
        QElapsedTimer stopping;
        stopping.start();
        ::kill(pid_t(p->processId()), SIGTERM);
        QVERIFY(p->waitForFinished(10000));
        qInfo("socket filled by %d datagrams; slowest of %d calls %lld ms; SIGTERM to exit %lld ms", filled, calls,
              worst, stopping.elapsed());
        QVERIFY2(stopping.elapsed() < 2500, qPrintable(QString::number(stopping.elapsed())));
        ::close(reader);
    }

    // In this process, at a 200 ms watchdog: the loop pings while it turns,
    // not while it is frozen, and a wait for a reply that takes 0.6 s pings all along.
    void pingsComeFromALivingLoopOnly()
    {
        // Made before the socket is named: this thread both pings and reads, and a
        // socket's full queue would hold the sender while nobody reads.
        TestSupport::ProgramFixture fx;
        QVERIFY(fx.SetUp(TestSupport::Config(7, 600), {QStringLiteral("--silent")}));
        QVERIFY(fx.LoadLink());
        QVERIFY(LEDCOMM::CommOpenPort(7));
        {
            EnvSet socket("NOTIFY_SOCKET", notify_->Path().toUtf8());
            EnvSet interval("WATCHDOG_USEC", "200000");
            EnvSet pid("WATCHDOG_PID", QByteArray());
            QObject loop;
            QVERIFY(Notify::StartWatchdog(&loop));
            QCOMPARE(Notify::WatchdogUsec(), uint64_t(200000));
            // A line from outside in the status is one field: no message of its own.
            Notify::Status(QStringLiteral("held by x\nSTOPPING=1\nx"));
            QCOMPARE(notify_->WaitFor(QStringLiteral("STATUS=")), QStringLiteral("STATUS=held by x\\nSTOPPING=1\\nx"));
            QTRY_VERIFY(NotifySocket::Pings(notify_->Since(0)).size() >= 2);

            const qsizetype frozen = notify_->Mark();
            QThread::msleep(300);  // the loop frozen for more than two pings' time
            QCOMPARE(NotifySocket::Pings(notify_->Since(frozen)).size(), qsizetype(0));
            QTRY_VERIFY(!NotifySocket::Pings(notify_->Since(frozen)).isEmpty());

            // A controller that never answers, waited for 0.6 s with the loop held.
            const qsizetype before = notify_->Mark();
            QElapsedTimer waited;
            waited.start();
            QString reply;
            QCOMPARE(LEDCOMM::CommQuery(QStringLiteral("AVA500"), reply), int16_t(-1));
            QVERIFY(waited.elapsed() >= 600);
            QVERIFY2(NotifySocket::Pings(notify_->Since(before)).size() >= 3, "pinged during the wait");
        }
        LEDCOMM::CommFormUnload();  // no shut-down: its four commands would each wait out the time-out
        fx.TearDown();
    }
};

ORVANE_TEST_MAIN(TestService)
#include "test_service.moc"
