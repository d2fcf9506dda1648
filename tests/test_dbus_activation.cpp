// The program as an automation server: --regserver and --unregserver, the bus
// starting it headless from its activation file, the bus name for a program
// a user started, and what happens when the bus goes away. Every run uses a
// copy of the executable in an application directory of its own (with a blank
// in its path) and a private bus whose only activation directory is the
// copy's XDG_DATA_HOME.
#include "dbus/BusNames.h"
#include "tests/support/ChildProgram.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <csignal>
#include <memory>

using TestSupport::PrivateBus;
using TestSupport::SimProcess;

namespace {

using BusNames::kService;

using TestSupport::Ran;

// Init may reap a program the bus started only seconds after it ended: a zombie counts as ended.
bool Alive(qint64 pid)
{
    const QByteArray stat = pid > 0 ? TestSupport::ReadFile(QStringLiteral("/proc/%1/stat").arg(pid)) : QByteArray();
    return !stat.isEmpty() && stat.at(stat.lastIndexOf(')') + 2) != 'Z';
}

} // namespace

class TestDBusActivation : public QObject {
    Q_OBJECT

    TestSupport::ChildProgram prog_;
    std::unique_ptr<SimProcess> sim_;
    std::unique_ptr<PrivateBus> bus_;
    QList<qint64> started_;  // programs the bus started, ended by the test at the latest
    int probes_ = 0;

    QString App() const { return prog_.App(); }
    QString Program() const { return prog_.Program(); }
    QString DataHome() const { return prog_.DataHome(); }
    QString ServiceFile() const { return DataHome() + QStringLiteral("/dbus-1/services/Orvane.OrvaneCmd.service"); }

    // No display of any kind: whatever the program starts as, it runs headless.
    QProcessEnvironment Env() const { return prog_.Env(); }

    Ran RunProgram(const QString& program, const QStringList& args, const QProcessEnvironment& env)
    {
        return TestSupport::RunProcess(program, args, env);
    }

    Ran OrvaneExec(const QString& script, const QStringList& options = {})
    {
        return RunProgram(ORVANE_BIN_DIR "/orvane-exec", options + QStringList{script}, bus_->Environment(Env()));
    }

    // The process that owns the bus name now, or 0.
    qint64 NameOwnerPid(const QString& service = kService)
    {
        const QString name = QStringLiteral("probe%1").arg(++probes_);
        qint64 pid = 0;
        {
            QDBusConnection probe = QDBusConnection::connectToBus(bus_->Address(), name);
            QDBusConnectionInterface* bus = probe.interface();
            if (bus && bus->isServiceRegistered(service).value())
                pid = bus->servicePid(service).value();
        }
        QDBusConnection::disconnectFromBus(name);
        return pid;
    }

    bool StartBus()
    {
        bus_ = std::make_unique<PrivateBus>();
        return bus_->Start(DataHome() + QStringLiteral("/dbus-1/services"), Env());
    }

    // The program on the test's bus, started as the user or the bus would.
    bool StartOnBus(QProcess& p, const QStringList& args)
    {
        p.setProcessEnvironment(bus_->Environment(Env()));
        p.start(Program(), args);
        return p.waitForStarted(5000);
    }

private slots:
    void init()
    {
        // A blank in the directory's name: the activation file must quote it.
        QVERIFY(prog_.Prepare(TestSupport::Config(1, 500), QStringLiteral("app dir")));
        sim_ = std::make_unique<SimProcess>();
        QVERIFY(sim_->Start({QStringLiteral("--link"), App() + QStringLiteral("/COM1"), QStringLiteral("--no-show")}));
    }

    void cleanup()
    {
        for (qint64 pid : std::as_const(started_))
            if (Alive(pid))
                ::kill(pid_t(pid), SIGKILL);
        started_.clear();
        bus_.reset();
        sim_.reset();
    }

    void regserverWritesAndUnregserverRemovesTheActivationFile()
    {
        const Ran reg = RunProgram(Program(), {QStringLiteral("--regserver")}, Env());
        QCOMPARE(reg.code, 0);
        QVERIFY2(reg.out.contains(ServiceFile()), qPrintable(reg.out));
        QCOMPARE(TestSupport::ReadFile(ServiceFile()),
                 ("[D-BUS Service]\nName=Orvane.OrvaneCmd\nExec='" + Program() + "' --automation\n").toUtf8());
        QCOMPARE(sim_->LoggedLines(), QStringList());  // registering never starts the program proper

        const Ran unreg = RunProgram(Program(), {QStringLiteral("--unregserver")}, Env());
        QCOMPARE(unreg.code, 0);
        QVERIFY2(unreg.out.contains(ServiceFile()), qPrintable(unreg.out));
        QVERIFY(!QFile::exists(ServiceFile()));
        const Ran again = RunProgram(Program(), {QStringLiteral("--unregserver")}, Env());
        QCOMPARE(again.code, 0);
        QVERIFY(again.out.contains(QStringLiteral("nothing to remove")));

        // A directory chosen with --app-dir is the one the bus starts the program with, NAME or not.
        const QString chosen = prog_.Path(QStringLiteral("chosen dir"));
        QVERIFY(QDir().mkpath(chosen));
        QCOMPARE(RunProgram(Program(), {QStringLiteral("--app-dir"), chosen, QStringLiteral("--regserver")}, Env()).code, 0);
        QCOMPARE(TestSupport::ReadFile(ServiceFile()),
                 ("[D-BUS Service]\nName=Orvane.OrvaneCmd\nExec='" + Program() + "' --automation --app-dir '" + chosen
                  + "'\n").toUtf8());
        // Another copy of the program leaves this one's file alone, and says so.
        const QString other = prog_.Path(QStringLiteral("other copy"));
        QVERIFY(TestSupport::PrepareProgramCopy(other, prog_.Path(QStringLiteral("run")), TestSupport::Config(1, 500)));
        const Ran foreign = RunProgram(other + QStringLiteral("/orvane"), {QStringLiteral("--unregserver")}, Env());
        QCOMPARE(foreign.code, 1);
        QVERIFY2(foreign.err.contains(QStringLiteral("starts %1, not this program").arg(Program())), qPrintable(foreign.err));
        QVERIFY(QFile::exists(ServiceFile()));
        QCOMPARE(RunProgram(Program(), {QStringLiteral("--unregserver")}, Env()).code, 0);
        QVERIFY(!QFile::exists(ServiceFile()));

        // Without XDG_DATA_HOME the file goes under ~/.local/share.
        QProcessEnvironment env = Env();
        env.remove(QStringLiteral("XDG_DATA_HOME"));
        env.insert(QStringLiteral("HOME"), prog_.Path(QStringLiteral("home")));
        QCOMPARE(RunProgram(Program(), {QStringLiteral("--regserver")}, env).code, 0);
        QVERIFY(QFile::exists(prog_.Path(QStringLiteral("home/.local/share/dbus-1/services/Orvane.OrvaneCmd.service"))));

        // A directory that cannot be made: one line on standard error, as users always saw it.
        TestSupport::WriteFile(prog_.Path(QStringLiteral("plain")), "x");
        env = Env();
        env.insert(QStringLiteral("XDG_DATA_HOME"), prog_.Path(QStringLiteral("plain")));
        const Ran refused = RunProgram(Program(), {QStringLiteral("--regserver")}, env);
        QCOMPARE(refused.code, 1);
        QCOMPARE(refused.err, QStringLiteral("orvane: cannot create %1\n").arg(prog_.Path(QStringLiteral("plain/dbus-1/services"))));
    }

    void clientCallStartsTheProgramHeadless()
    {
        QCOMPARE(RunProgram(Program(), {QStringLiteral("--regserver")}, Env()).code, 0);
        QVERIFY(StartBus());
        QCOMPARE(NameOwnerPid(), 0);

        // The port is open and the channels are off before the first script runs.
        const Ran first = OrvaneExec(QStringLiteral("LED R 100;Ver"));
        QVERIFY2(first.code == 0, qPrintable(first.err));
        QCOMPARE(first.out, QStringLiteral("OK  ; 1.0 ; \n"));
        QVERIFY(sim_->WaitForLogged(5));
        QCOMPARE(sim_->LoggedLines(), (QStringList{"AVA500", "AVB500", "AVC500", "AVD500", "AVA400"}));

        const qint64 pid = NameOwnerPid();
        QVERIFY(pid > 0);
        started_ << pid;
        QCOMPARE(QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath(), Program());
        const QByteArray cmdline = TestSupport::ReadFile(QStringLiteral("/proc/%1/cmdline").arg(pid));
        QVERIFY(cmdline.split('\0').contains("--automation"));

        // The client is gone; the hidden window keeps the program resident for the
        // next one, whose call the bus delivers after the first client's leaving.
        const Ran second = OrvaneExec(QStringLiteral("CommandCount"));
        QCOMPARE(second.out, QStringLiteral(" 3 ; \n"));  // LED, Ver and the count itself
        QCOMPARE(NameOwnerPid(), pid);
        QVERIFY(Alive(pid));

        // The bus goes away: the hidden program runs the unload path and ends.
        bus_->Stop();
        QTRY_VERIFY_WITH_TIMEOUT(!Alive(pid), 10000);
        QCOMPARE(sim_->LoggedLines().mid(5), (QStringList{"AVA500", "AVB500", "AVC500", "AVD500"}));
    }

    // Started by the bus with a failed start-up, its window shown where nobody
    // sees it and no broker named: once the bus goes, no client can reach it.
    void unreachableProgramEndsWhenTheBusGoes()
    {
        TestSupport::WriteFile(App() + QStringLiteral("/LED_CONFIG.TXT"), "\"PORT\",1\r\n");  // no TIMEOUT
        QVERIFY(StartBus());
        QProcess p;
        QVERIFY(StartOnBus(p, {QStringLiteral("--automation")}));
        QTRY_COMPARE_WITH_TIMEOUT(NameOwnerPid(), p.processId(), 10000);
        QElapsedTimer gone;
        gone.start();
        bus_->Stop();
        QVERIFY(p.waitForFinished(5000));
        QVERIFY2(gone.elapsed() < 1500, qPrintable(QString::number(gone.elapsed())));
        QCOMPARE(p.exitCode(), 4);
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        QVERIFY2(err.contains(QStringLiteral("the session bus is gone, no window is seen and no MQTT_HOST is set; no "
                                             "client can reach this program, so it ends")),
                 qPrintable(err));
    }

    void userStartedProgramServesAndOutlivesTheBus()
    {
        QVERIFY(StartBus());
        QProcess p;
        QVERIFY(StartOnBus(p, {}));
        QTRY_COMPARE_WITH_TIMEOUT(NameOwnerPid(), p.processId(), 10000);

        const Ran ran = OrvaneExec(QStringLiteral("LED G 500;Ver"));
        QCOMPARE(ran.out, QStringLiteral("OK  ; 1.0 ; \n"));
        QVERIFY(sim_->WaitForLogged(5));
        QCOMPARE(sim_->LoggedLines().value(4), QStringLiteral("AVB000"));

        bus_->Stop();
        QByteArray err;
        QTRY_VERIFY_WITH_TIMEOUT((err += p.readAllStandardError()).contains("session bus is gone"), 10000);
        QTest::qWait(300);
        err += p.readAllStandardError();
        QCOMPARE(p.state(), QProcess::Running);  // the operator's window stays, and the port with it
        QCOMPARE(err.count("automation"), 1);
        QCOMPARE(sim_->LoggedLines().size(), qsizetype(5));

        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
    }

    // NAME in the settings: the activation file and the bus name carry it.
    void namedControllerIsStartedAndReachedByItsName()
    {
        const QString named = kService + QStringLiteral(".Lab_2");
        TestSupport::WriteFile(App() + QStringLiteral("/LED_CONFIG.TXT"),
                               TestSupport::Config(1, 500) + "\"NAME\",Lab_2\r\n");
        const QString file = DataHome() + QStringLiteral("/dbus-1/services/") + named + QStringLiteral(".service");
        const Ran reg = RunProgram(Program(), {QStringLiteral("--regserver")}, Env());
        QCOMPARE(reg.code, 0);
        QVERIFY2(reg.out.contains(file), qPrintable(reg.out));
        QCOMPARE(TestSupport::ReadFile(file), ("[D-BUS Service]\nName=" + named + "\nExec='" + Program()
                                               + "' --automation --app-dir '" + App() + "'\n").toUtf8());
        QVERIFY(!QFile::exists(ServiceFile()));

        // The bus starts it for a client that asks by name; the plain name was free, so it took that too.
        QVERIFY(StartBus());
        const Ran ran = OrvaneExec(QStringLiteral("LED B 5;Ver"), {QStringLiteral("--name"), QStringLiteral("Lab_2")});
        QVERIFY2(ran.code == 0, qPrintable(ran.err));
        QCOMPARE(ran.out, QStringLiteral("OK  ; 1.0 ; \n"));
        const qint64 pid = NameOwnerPid(named);
        QVERIFY(pid > 0);
        started_ << pid;
        QCOMPARE(NameOwnerPid(), pid);
        QCOMPARE(OrvaneExec(QStringLiteral("CommandCount")).out, QStringLiteral(" 3 ; \n"));
        // A name that is no controller name is refused before any call.
        const Ran bad = OrvaneExec(QStringLiteral("Ver"), {QStringLiteral("--name"), QStringLiteral("Lab-2")});
        QCOMPARE(bad.code, 2);
        QVERIFY2(bad.err.contains(QStringLiteral("\"Lab-2\" is no controller name")), qPrintable(bad.err));

        // Another program (of another directory) wanting the same name is the one that cannot own its bus name.
        const QString other = prog_.Path(QStringLiteral("other app"));
        // Its port is held, so each channel-off command sits out a time-out: a short one.
        QVERIFY(TestSupport::PrepareProgramCopy(other, prog_.Path(QStringLiteral("run")),
                                                TestSupport::Config(1, 20) + "\"NAME\",Lab_2\r\n"));
        QVERIFY(sim_->Link(other + QStringLiteral("/COM1")));
        const Ran second = RunProgram(other + QStringLiteral("/orvane"), {QStringLiteral("--automation")},
                                      bus_->Environment(Env()));
        QCOMPARE(second.code, 4);  // no client can reach it
        QVERIFY2(second.err.contains(QStringLiteral("the bus name %1 is taken").arg(named)), qPrintable(second.err));

        const Ran unreg = RunProgram(Program(), {QStringLiteral("--unregserver")}, Env());
        QCOMPARE(unreg.code, 0);
        QVERIFY(!QFile::exists(file));
        ::kill(pid_t(pid), SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(!Alive(pid), 10000);
    }

    void invalidNameIsNamedAndLeftOut_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("starts with a digit") << QByteArray("2nd_lab");
        QTest::newRow("a hyphen") << QByteArray("lab-2");
        QTest::newRow("a letter beyond ASCII") << QByteArray("Lab\xe9");
        QTest::newRow("201 characters") << QByteArray(201, 'a');
    }

    void invalidNameIsNamedAndLeftOut()
    {
        QFETCH(QByteArray, value);
        TestSupport::WriteFile(App() + QStringLiteral("/LED_CONFIG.TXT"),
                               TestSupport::Config(1, 500) + "\"NAME\"," + value + "\r\n");
        QVERIFY(StartBus());
        QProcess p;
        QVERIFY(StartOnBus(p, {QStringLiteral("--automation")}));
        // It serves under the plain name alone.
        QTRY_COMPARE_WITH_TIMEOUT(NameOwnerPid(), p.processId(), 10000);
        QCOMPARE(OrvaneExec(QStringLiteral("Ver")).out, QStringLiteral("1.0 ; \n"));
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        QVERIFY2(err.contains(QStringLiteral("Parameter NAME in ")) && err.contains(QString::fromLatin1(value.left(40))),
                 qPrintable(err));
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(10000));
    }

    // Two controllers on one machine: two application directories, each with
    // its NAME and its simulator, started by the bus for clients that ask by
    // name, driven at once, each command reaching only its own controller.
    void twoControllersAreAutomatedByName()
    {
        struct Lab {
            QString name;
            QString dir;
            std::unique_ptr<SimProcess> sim;
            QString service() const { return kService + QLatin1Char('.') + name; }
        };
        Lab labs[2];
        labs[0].name = QStringLiteral("LabA");
        labs[1].name = QStringLiteral("LabB");
        for (Lab& lab : labs) {
            lab.dir = prog_.Path(QStringLiteral("controller ") + lab.name);
            QVERIFY(QDir().mkpath(lab.dir));
            TestSupport::WriteFile(lab.dir + QStringLiteral("/LED_CONFIG.TXT"),
                                   TestSupport::Config(1, 500) + "\"NAME\"," + lab.name.toLatin1() + "\r\n");
            lab.sim = std::make_unique<SimProcess>();
            QVERIFY(lab.sim->Start({QStringLiteral("--link"), lab.dir + QStringLiteral("/COM1"), QStringLiteral("--no-show")}));
            const Ran reg = RunProgram(QStringLiteral(ORVANE_BIN_DIR "/orvane"),
                                       {QStringLiteral("--app-dir"), lab.dir, QStringLiteral("--regserver")}, Env());
            QVERIFY2(reg.code == 0, qPrintable(reg.err));
        }
        QVERIFY(StartBus());

        // Both at once, one client each.
        QProcess clients[2];
        for (int i = 0; i < 2; ++i) {
            clients[i].setProcessEnvironment(bus_->Environment(Env()));
            const QString n = QString::number(i + 1);
            clients[i].start(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"),
                             {QStringLiteral("--name"), labs[i].name,
                              QStringLiteral("LED R 1%1;LED G 2%1;Ver").arg(n)});
        }
        for (QProcess& c : clients) {
            QVERIFY(c.waitForFinished(30000));
            QCOMPARE(c.exitCode(), 0);
            QCOMPARE(c.readAllStandardOutput(), QByteArray("OK  ; OK  ; 1.0 ; \n"));
        }
        const QStringList allOff{"AVA500", "AVB500", "AVC500", "AVD500"};
        QVERIFY(labs[0].sim->WaitForLogged(6));
        QVERIFY(labs[1].sim->WaitForLogged(6));
        const QStringList sentA = allOff + QStringList{"AVA489", "AVB479"};
        const QStringList sentB = allOff + QStringList{"AVA488", "AVB478"};
        QCOMPARE(labs[0].sim->LoggedLines(), sentA);
        QCOMPARE(labs[1].sim->LoggedLines(), sentB);

        qint64 pids[2];
        for (int i = 0; i < 2; ++i) {
            pids[i] = NameOwnerPid(labs[i].service());
            QVERIFY(pids[i] > 0);
            started_ << pids[i];
        }
        QVERIFY(pids[0] != pids[1]);
        const QByteArray cmdline = TestSupport::ReadFile(QStringLiteral("/proc/%1/cmdline").arg(pids[1]));
        QVERIFY(cmdline.split('\0').contains(labs[1].dir.toUtf8()));

        // One ends; the other goes on serving by its name.
        ::kill(pid_t(pids[0]), SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(!Alive(pids[0]), 10000);
        QCOMPARE(labs[0].sim->LoggedLines().mid(6), allOff);
        const Ran after = OrvaneExec(QStringLiteral("LED B 3"), {QStringLiteral("--name"), labs[1].name});
        QCOMPARE(after.out, QStringLiteral("OK  ; \n"));
        QVERIFY(labs[1].sim->WaitForLogged(7));
        QCOMPARE(labs[1].sim->LoggedLines().mid(6), QStringList{"AVC497"});
        ::kill(pid_t(pids[1]), SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(!Alive(pids[1]), 10000);
        QCOMPARE(labs[1].sim->LoggedLines().mid(7), allOff);
        QCOMPARE(labs[0].sim->LoggedLines().size(), qsizetype(10));
    }

    void takenNameOrNoBusLeavesTheProgramRunningWithoutAutomation()
    {
        QVERIFY(StartBus());
        QDBusConnection holder = QDBusConnection::connectToBus(bus_->Address(), QStringLiteral("holder"));
        QVERIFY(holder.registerService(kService));

        struct Case {
            const char* why;
            QString address;
            const char* says;
            const char* line;  // the whole line on standard error when it ends
        };
        const Case cases[] = {
            {"name taken", bus_->Address(), "taken",
             "^orvane: the bus name Orvane\\.OrvaneCmd is taken by another program; no client can reach this program, so it ends$"},
            {"no bus", QStringLiteral("unix:path=") + prog_.Path(QStringLiteral("no-bus")), "no D-Bus session bus",
             "^orvane: no D-Bus session bus \\(.+\\); no client can reach this program, so it ends$"},
        };
        for (const Case& c : cases) {
            QProcess p;
            QProcessEnvironment env = Env();
            env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), c.address);
            p.setProcessEnvironment(env);
            p.start(Program(), {});
            QVERIFY(p.waitForStarted(5000));
            QByteArray err;
            QTRY_VERIFY2_WITH_TIMEOUT((err += p.readAllStandardError()).contains(c.says), c.why, 10000);
            QTest::qWait(300);
            err += p.readAllStandardError();
            QVERIFY2(p.state() == QProcess::Running, c.why);
            QVERIFY2(err.count("without automation") == 1, err.constData());
            ::kill(pid_t(p.processId()), SIGTERM);
            QVERIFY(p.waitForFinished(10000));

            // Started for clients that cannot reach it, with no window anyone sees:
            // the lights go off, the port closes, and it ends.
            const qsizetype sent = sim_->LoggedLines().size();
            const Ran served = RunProgram(Program(), {QStringLiteral("--automation")}, env);
            QVERIFY2(served.finished && served.code == 4, c.why);
            QVERIFY2(served.err.contains(c.says) && served.err.contains("so it ends"), qPrintable(served.err));
            QVERIFY2(served.err.contains(QRegularExpression(c.line, QRegularExpression::MultilineOption)),
                     qPrintable(served.err));
            QCOMPARE(sim_->LoggedLines().mid(sent), (QStringList{"AVA500", "AVB500", "AVC500", "AVD500",
                                                                 "AVA500", "AVB500", "AVC500", "AVD500"}));
        }
        // The name stayed with its owner.
        QCOMPARE(NameOwnerPid(), QCoreApplication::applicationPid());
        holder = QDBusConnection(QString());
        QDBusConnection::disconnectFromBus(QStringLiteral("holder"));
    }
};

ORVANE_TEST_MAIN(TestDBusActivation)
#include "test_dbus_activation.moc"
