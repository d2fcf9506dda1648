// Faults and exposure: a port another program holds, the controller vanishing
// under a running script and coming back, and the program as a process: what
// it listens on and whether any input reaches a shell.
#include "base/Posix.h"
#include "comm/LEDCOMM.h"
#include "dbus/BusNames.h"
#include "comm/frmComm.h"
#include "engine/LEDMain.h"
#include "engine/OrvaneCmd.h"
#include "mainwindow/frmVURUruduvo.h"
#include "params/frmParList.h"
#include "tests/support/ChildProgram.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ProgramFixture.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"

#include <QAction>
#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QSerialPort>
#include <QThread>
#include <QTimer>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <memory>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using TestSupport::Config;
using TestSupport::CpuMs;
using TestSupport::LogLines;
using TestSupport::PrivateBus;
using TestSupport::ProcessCpuMs;
using TestSupport::ProgramFixture;
using TestSupport::SimProcess;

namespace {

// A blocking wait costs next to no CPU, a spinning one about its wall time;
// anything under a fifth of the wall time is no spin.
constexpr int kSpinLimitPercent = 20;

// In this process a vanished device is looked for every 100 ms and a refused open tried for 600 ms.
constexpr frmComm::Intervals kQuickChecks{100, 50, 600};

// Another program holding a serial port: a child process that opens it with
// QSerialPort (and so takes the port's lock file), or as a terminal program
// run by user nobody does (exclusive mode, no lock file), and waits to be
// killed. Returns its pid once it holds the port, or -1.
pid_t HoldPort(const QString& device, bool exclusiveAsNobody = false, const QByteArray& name = {})
{
    int ready[2];
    if (::pipe(ready) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        if (!name.isEmpty())
            ::prctl(PR_SET_NAME, name.constData());
        QSerialPort port(device);
        char held = 0;
        if (!exclusiveAsNobody) {
            held = port.open(QIODevice::ReadWrite) ? 1 : 0;
        } else if (::setgid(65534) == 0 && ::setuid(65534) == 0 && ::prctl(PR_SET_DUMPABLE, 1) == 0) {
            const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY);
            held = fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0 ? 1 : 0;
        }
        [[maybe_unused]] const ssize_t n = ::write(ready[1], &held, 1);
        if (!held)
            ::_exit(1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char held = 0;
    const bool told = pid > 0 && ::read(ready[0], &held, 1) == 1;
    ::close(ready[0]);
    if (told && held == 1)
        return pid;
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    return -1;
}

// The serial link's open of port 7 in a child that runs as user nobody with
// only the given groups: the error log after it, or "opened". Root reads and
// writes any device, so the refusal needs another user.
// With a FIFO, the holder's name in a /proc laid out by the test: written after the open, then waited for.
QString OpenPortAs(const QList<gid_t>& groups, const QString& fifo = {})
{
    int out[2];
    if (::pipe(out) != 0)
        return QStringLiteral("no pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(out[0]);
        const std::vector<gid_t> list(groups.begin(), groups.end());
        const gid_t nobody = 65534;
        if (::setgroups(list.size(), list.data()) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0)
            ::_exit(2);
        if (!fifo.isEmpty())
            ::alarm(20);  // an open that waits for the name waits forever: ended, said nothing
        const bool opened = LEDCOMM::CommOpenPort(7);
        if (!fifo.isEmpty()) {
            const QString before = LEDCOMM::CommPortHeldBy();
            const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_CLOEXEC);
            if (fd < 0 || ::write(fd, "late holder\n", 12) != 12)
                ::_exit(3);
            ::close(fd);
            (void)QTest::qWaitFor([&] { return LEDCOMM::CommPortHeldBy() != before; }, 10000);
        }
        const QByteArray said = opened ? QByteArray("opened")
                                       : (LogLines() << LEDCOMM::CommPortHeldBy()).join(QLatin1Char('\n')).trimmed().toUtf8();
        [[maybe_unused]] const ssize_t n = ::write(out[1], said.constData(), size_t(said.size()));
        ::_exit(0);
    }
    ::close(out[1]);
    QByteArray said;
    char buf[512];
    for (ssize_t n; pid > 0 && (n = ::read(out[0], buf, sizeof buf)) > 0;)
        said.append(buf, n);
    ::close(out[0]);
    if (pid > 0)
        ::waitpid(pid, nullptr, 0);
    return QString::fromUtf8(said);
}

// Closes the modal parameter window as soon as it shows.
void CloseParListWhenShown()
{
    QTimer::singleShot(0, [] {
        if (auto* w = qobject_cast<frmParList*>(QApplication::activeModalWidget()))
            w->close();
        else
            CloseParListWhenShown();
    });
}

// Sends the signal to this process as soon as the modal parameter window shows.
void SignalWhenParListShown(int sig)
{
    QTimer::singleShot(0, [sig] {
        if (qobject_cast<frmParList*>(QApplication::activeModalWidget()))
            ::raise(sig);
        else
            SignalWhenParListShown(sig);
    });
}

// What the program had done when it ended the process, seen through the exit seam.
struct Ending {
    bool ended = false;
    int code = -1;
    bool inLoop = false;       // the modal loop was still running
    int16_t serialHost = -1;   // LEDCOMM::CommFormLoaded() then
    QStringList sent;          // lines the controller had received by then
};

const QStringList kAllOff{"AVA500", "AVB500", "AVC500", "AVD500"};

using TestSupport::Ran;

// Inode numbers of the sockets a process holds open.
QSet<QString> SocketInodes(qint64 pid)
{
    QSet<QString> inodes;
    QDirIterator it(QStringLiteral("/proc/%1/fd").arg(pid), QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        char buf[128];
        const ssize_t n = ::readlink(QFile::encodeName(it.next()).constData(), buf, sizeof buf);
        const QByteArray target = n > 0 ? QByteArray(buf, int(n)) : QByteArray();
        if (target.startsWith("socket:["))
            inodes.insert(QString::fromLatin1(target.mid(8, target.size() - 9)));
    }
    return inodes;
}

// Rows of a /proc/<pid>/net table, split at blanks, without the heading.
QList<QStringList> NetTable(qint64 pid, const char* table)
{
    QList<QStringList> rows;
    const QString text = QString::fromLatin1(
        TestSupport::ReadFile(QStringLiteral("/proc/%1/net/%2").arg(pid).arg(QLatin1String(table))));
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (qsizetype i = 1; i < lines.size(); ++i)
        rows << lines[i].split(QLatin1Char(' '), Qt::SkipEmptyParts);
    return rows;
}

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

    // ---- The program as a process ----
    TestSupport::ChildProgram prog_;
    std::unique_ptr<PrivateBus> bus_;

    QString App(const QString& name = QString()) const { return prog_.App(name); }

    QProcessEnvironment Env() const { return bus_->Environment(prog_.Env()); }

    // A copy of the program with its own directory and settings, and a bus of its own.
    void PrepareProgram(int timeOut)
    {
        QVERIFY(prog_.Prepare(Config(3, timeOut)));
        bus_ = std::make_unique<PrivateBus>();
        QVERIFY(bus_->Start());
    }

    std::unique_ptr<QProcess> StartProgram(const QString& workingDir = QString(), const QStringList& args = {})
    {
        return prog_.Start(args, Env(), workingDir);
    }

    Ran Exec(const QStringList& args, const QByteArray& input = QByteArray())
    {
        return TestSupport::RunProcess(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"), args, Env(),
                                       input, 60000);
    }
    Ran Exec(const QString& script) { return Exec(QStringList{script}); }

    // The program owns its bus name once start-up is done.
    bool WaitForService()
    {
        return QTest::qWaitFor([&] { return Exec(QStringLiteral("Ver")).code == 0; }, 15000);
    }

    static bool Stop(QProcess& p) { return TestSupport::ChildProgram::Stop(p); }

private slots:
    void initTestCase()
    {
        Platform::SetQuitHandler([](int) {});
        frmComm::SetIntervals(kQuickChecks);
    }

    void cleanup()
    {
        bus_.reset();
    }

    // First, while this process has no threads of its own: one holder is a fork.
    void portHeldByAnotherProgramIsRefused()
    {
        ProgramFixture fx;
        QVERIFY(fx.SetUp());
        QVERIFY(fx.LoadLink());
        // Another copy of the program, with a link of its own to the same terminal.
        QTemporaryDir other;
        QVERIFY(other.isValid());
        QVERIFY(TestSupport::PrepareProgramCopy(other.path(), other.filePath(QStringLiteral("run")),
                                                TestSupport::ProgramFixture::kDefaultConfig));
        QVERIFY(fx.sim->Link(other.filePath(QStringLiteral("COM7"))));
        QProcessEnvironment env = TestSupport::Headless();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=") + other.filePath(QStringLiteral("no-bus")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), other.filePath(QStringLiteral("run")));
        QProcess copy;
        copy.setProcessEnvironment(env);

        // The holder: first a program that opened the terminal by its own name (as
        // minicom would), then the other copy, which went through its link.
        for (const QString& app : {QStringLiteral("test_faults"), QStringLiteral("orvane")}) {
            LEDCOMM::ResetErrLog();
            qint64 holder = -1;
            if (app == QLatin1String("orvane")) {
                const int before = int(fx.sim->LoggedLines().size());
                copy.start(other.filePath(QStringLiteral("orvane")), {});
                // Its start-up switches the channels off: it holds the port by then.
                if (copy.waitForStarted(5000) && fx.sim->WaitForLogged(before + 4, 10000))
                    holder = copy.processId();
            } else {
                holder = HoldPort(fx.sim->PtyPath());
            }
            QVERIFY2(holder > 0, qPrintable(app));
            const bool opened = LEDCOMM::CommOpenPort(7);
            const QStringList log = LogLines();
            if (opened)
                LEDCOMM::CommClosePort();
            ::kill(pid_t(holder), SIGKILL);
            if (app == QLatin1String("orvane"))
                copy.waitForFinished(5000);
            else
                ::waitpid(pid_t(holder), nullptr, 0);
            QVERIFY2(!opened, qPrintable(QStringLiteral("opened while %1 held the port").arg(app)));
            QCOMPARE(log.size(), 1);
            QVERIFY2(log[0].startsWith(QStringLiteral("CommOpenPort  ")), qPrintable(log[0]));
            QVERIFY2(log[0].endsWith(QStringLiteral(": the port is in use by %1 (process %2)").arg(app).arg(holder)),
                     qPrintable(log[0]));

            // The killed holder left its lock behind; a dead owner's lock does not count.
            QVERIFY(LEDCOMM::CommOpenPort(7));
            QString reply;
            QCOMPARE(LEDCOMM::CommQuery(QStringLiteral("AVA123"), reply), int16_t(1));
            QCOMPARE(reply, QStringLiteral("OK\r"));
            QVERIFY(LEDCOMM::CommClosePort());
        }
        LEDCOMM::CommFormUnload();
        fx.TearDown();
    }

    // udev sets a returning device's group just after it appears: a refused
    // open is tried again for a few seconds, and reported only when it lasts.
    void returnedDeviceRefusingAWhileIsReopened_data()
    {
        QTest::addColumn<int>("heldMs");
        QTest::newRow("refused for a while") << kQuickChecks.refusedForMs / 3;
        QTest::newRow("refused for longer") << kQuickChecks.refusedForMs + 500;
    }

    void returnedDeviceRefusingAWhileIsReopened()
    {
        QFETCH(int, heldMs);
        ProgramFixture fx;
        QVERIFY(fx.SetUp());
        QVERIFY(fx.LoadLink());
        QVERIFY(LEDCOMM::CommOpenPort(7));
        fx.sim->Stop();
        QTRY_COMPARE(LogLines(), QStringList{"ERROR # 1100"});
        QVERIFY(fx.StartSim());
        const pid_t holder = HoldPort(fx.sim->PtyPath());
        QVERIFY(holder > 0);
        QTest::qWait(heldMs);
        const bool openWhileHeld = LEDCOMM::CommForm()->MSComm1->isOpen();
        ::kill(holder, SIGKILL);
        ::waitpid(holder, nullptr, 0);
        QVERIFY(!openWhileHeld);
        if (heldMs < kQuickChecks.refusedForMs) {
            QTRY_VERIFY_WITH_TIMEOUT(LEDCOMM::CommForm()->MSComm1->isOpen(), 3000);
            QCOMPARE(LogLines(), (QStringList{"ERROR # 1100",
                                              "CommOpenPort  0 " + fx.sim->PtyPath() + " reopened"}));
        } else {
            // Said once, with who holds it, and no longer waited for: "Port" opens it.
            const QStringList log = LogLines();
            QCOMPARE(log.size(), 2);
            QVERIFY2(log[1].startsWith("CommOpenPort  2 ") && log[1].contains("in use by"), qPrintable(log[1]));
            QVERIFY(!LEDCOMM::CommForm()->Watching());
            QTest::qWait(3 * kQuickChecks.returnCheckMs);
            QVERIFY(!LEDCOMM::CommForm()->MSComm1->isOpen());
        }
        LEDCOMM::CommFormUnload();
        fx.TearDown();
    }

    // The device's group and how to join it; a port held by another program
    // keeps its own message (above).
    void portRefusedForPermissionsSaysTheGroup_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("inGroup");
        QTest::addColumn<QString>("expected");  // after the device's path; empty: it opens
        QTest::addColumn<QByteArray>("holderName");  // as it names itself; empty: test_faults
        QTest::addColumn<QString>("holderShown");
        const QString join = QStringLiteral("; add your user to the group dialout, then log in again");
        QTest::newRow("outside the group") << 0660 << false << join << QByteArray() << QString();
        QTest::newRow("in the group, mode refuses it") << 0600 << true << QString() << QByteArray() << QString();
        QTest::newRow("in the group, mode allows it") << 0660 << true << QStringLiteral("opened") << QByteArray() << QString();
        QTest::newRow("held in exclusive mode") << 0666 << false << QStringLiteral("held") << QByteArray() << "test_faults";
        // The name goes into the status line and the journal: no line of its own there.
        const QString held = QStringLiteral("held");
        QTest::newRow("held by a process named in three lines") << 0666 << false << held << QByteArray("x\nSTOPPING=1\nx") << "x\\nSTOPPING=1\\nx";
        QTest::newRow("held by a process named in no UTF-8") << 0666 << false << held << QByteArray("lab\xff\x1b[2J") << "lab\\xff\\x1b[2J";
        // The search for the holder outlasts the open's wait: the open goes on, the name follows.
        QTest::newRow("held, its holder found late") << 0666 << false << QStringLiteral("held late") << QByteArray() << "late holder";
    }

    void portRefusedForPermissionsSaysTheGroup()
    {
        QFETCH(int, mode);
        QFETCH(bool, inGroup);
        QFETCH(QString, expected);
        QFETCH(QByteArray, holderName);
        QFETCH(QString, holderShown);
        if (::geteuid() != 0)
            QSKIP("only root can run the open as another user; this user's own devices never refuse it");
        const group* dialout = ::getgrnam("dialout");
        if (!dialout)
            QSKIP("this machine has no group dialout");
        ProgramFixture fx;
        QVERIFY(fx.SetUp());
        QVERIFY(fx.LoadLink());
        // Opened and closed once as root first: a lock left by an earlier test's
        // killed holder is cleared, which the child, as another user, could not.
        QVERIFY(LEDCOMM::CommOpenPort(7));
        QVERIFY(LEDCOMM::CommClosePort());
        const QByteArray pty = QFile::encodeName(fx.sim->PtyPath());
        QVERIFY(::chown(pty.constData(), 0, dialout->gr_gid) == 0);
        QVERIFY(::chmod(pty.constData(), mode_t(mode)) == 0);
        // The link's target: the program names the device, not its link.
        QVERIFY(::chmod(QFile::encodeName(fx.dir->path()).constData(), 0755) == 0);

        const bool late = expected == QLatin1String("held late");
        const pid_t holder = expected.startsWith(QLatin1String("held")) ? HoldPort(fx.sim->PtyPath(), true, holderName) : 0;
        // A /proc whose process 4242 holds the terminal under a name that cannot
        // be read until the child writes it: the search is as slow as that.
        const QString proc = fx.dir->filePath(QStringLiteral("proc")), comm = proc + QStringLiteral("/4242/comm");
        if (late) {
            QVERIFY(QDir().mkpath(proc + "/4242/fd") && QFile::link(fx.sim->PtyPath(), proc + "/4242/fd/3"));
            QVERIFY(::mkfifo(QFile::encodeName(comm).constData(), 0666) == 0 && ::chmod(QFile::encodeName(comm).constData(), 0666) == 0);
            Posix::SetProcRoot(proc);
        }
        const QString said = OpenPortAs(inGroup ? QList<gid_t>{dialout->gr_gid} : QList<gid_t>{}, late ? comm : QString());
        Posix::SetProcRoot({});
        if (holder > 0) {
            ::kill(holder, SIGKILL);
            ::waitpid(holder, nullptr, 0);
        }
        LEDCOMM::CommFormUnload();  // a closed port's channel-off commands would each wait out the time-out
        fx.TearDown();
        if (holder > 0) {
            // Named in the port's message and in what the status line shows; found late, in a second message.
            const QString busy = "CommOpenPort  2 Device or resource busy: ", holds = "another program holds " + QString::fromLocal8Bit(pty);
            const QString heldBy = holds + QStringLiteral(": %1 (process %2)").arg(holderShown).arg(late ? 4242 : holder);
            QCOMPARE(said, (late ? busy + holds + " (looking for which)\n" : QString()) + busy + heldBy + '\n' + heldBy);
            return;
        }
        if (expected == QLatin1String("opened")) {
            QCOMPARE(said, expected);
            return;
        }
        QCOMPARE(said, QStringLiteral("CommOpenPort  2 Permission denied: %1 belongs to the group dialout%2")
                           .arg(QString::fromLocal8Bit(pty), expected));
    }

    void controllerVanishesMidScriptAndIsReopenedByItself()
    {
        // Start-up sends four lines and two commands are answered; the
        // controller goes away on the next line.
        const int timeOut = 150;
        ProgramFixture fx;
        QVERIFY(fx.SetUp(Config(7, timeOut),
                         {QStringLiteral("--close-after"), QStringLiteral("7")}));
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        QCOMPARE(fx.NewLines(4).size(), 4);
        LEDCOMM::ResetErrLog();  // start-up's sink still shows reports in the Response box

        QElapsedTimer wall;
        wall.start();
        const qint64 cpu = CpuMs();
        const QString responses = LEDMain::ExecScript(QStringLiteral("LED R 1;LED G 2;LED B 3;Ver;LED A 4;LED R 5"));
        const qint64 took = wall.elapsed();
        const qint64 burnt = CpuMs() - cpu;
        QCOMPARE(responses, QStringLiteral("OK  ; OK  ; Error  ; 1.0 ; Error  ; Error  ; "));
        QCOMPARE(fx.NewLines(3), (QStringList{"AVA499", "AVB498", "AVC497"}));
        QVERIFY(fx.sim->WaitForFinished());
        // Each failed command waits out its time-out once, no more.
        QVERIFY2(took >= 3 * timeOut && took < 3 * timeOut + 3000, qPrintable(QString::number(took)));
        QVERIFY2(burnt * 100 < took * kSpinLimitPercent,
                 qPrintable(QStringLiteral("%1 ms CPU in %2 ms").arg(burnt).arg(took)));
        qInfo("in the test process: script with the controller gone %lld ms, CPU %lld ms", took, burnt);

        // The event loop runs: the device's disappearance is reported from it, once,
        // and nothing keeps the process busy.
        wall.restart();
        const qint64 idleCpu = CpuMs();
        QTest::qWait(3 * kQuickChecks.returnCheckMs);
        QVERIFY((CpuMs() - idleCpu) * 100 < wall.elapsed() * kSpinLimitPercent);
        QCOMPARE(LEDCOMM::GetErrLog().count(QStringLiteral("ERROR # 1100")), 1);
        QCOMPARE(frmVURUruduvo::Loaded()->txtMsg->text(), QStringLiteral("ERROR # 1100"));

        // The controller comes back on the same link: the port opens by itself,
        // no menu touched, and says so in the message box.
        QVERIFY(fx.StartSim());
        QTRY_VERIFY_WITH_TIMEOUT(LEDCOMM::CommForm()->MSComm1->isOpen(), 5000);
        const QString reopened = QStringLiteral("CommOpenPort  0 %1 reopened").arg(fx.sim->PtyPath());
        QCOMPARE(LogLines().last(), reopened);
        QCOMPARE(frmVURUruduvo::Loaded()->txtMsg->text(), reopened);
        // Every channel counts as failed: green's bar still holds 2, and "LED G 2" sends it again.
        QCOMPARE(LEDMain::ExecScript(QStringLiteral("LED G 2;LED R 6;LED A On;Ver")),
                 QStringLiteral("OK  ; OK  ; OK  ; 1.0 ; "));
        QCOMPARE(fx.NewLines(3), (QStringList{"AVB498", "AVA494", "AVD000"}));
        fx.TearDown();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void controllerVanishesUnderTheProgramAndIsReopenedByItself()
    {
        const int timeOut = 150;
        PrepareProgram(timeOut);
        // Four lines of start-up and two answered; the controller leaves on the next.
        SimProcess sim;
        QVERIFY(sim.Start({QStringLiteral("--link"), App(QStringLiteral("COM3")), QStringLiteral("--no-show"),
                           QStringLiteral("--close-after"), QStringLiteral("7")}));
        // Serving scripts headless, its window hidden.
        auto program = StartProgram(QString(), {QStringLiteral("--automation")});
        QVERIFY(program);
        const qint64 pid = program->processId();
        QVERIFY(WaitForService());
        QVERIFY(sim.WaitForLogged(4, 10000));

        QElapsedTimer wall;
        wall.start();
        const qint64 cpu = ProcessCpuMs(pid);
        const Ran ran = Exec(QStringLiteral("LED R 1;LED R 2;LED R 3;Ver;LED R 4"));
        const qint64 took = wall.elapsed();
        const qint64 burnt = ProcessCpuMs(pid) - cpu;
        QVERIFY2(ran.code == 0, qPrintable(ran.err));
        QCOMPARE(ran.out, QStringLiteral("OK  ; OK  ; Error  ; 1.0 ; Error  ; \n"));
        QVERIFY(sim.WaitForFinished());
        QCOMPARE(sim.LoggedLines().mid(4), (QStringList{"AVA499", "AVA498", "AVA497"}));
        QVERIFY2(took >= 2 * timeOut && took < 2 * timeOut + 5000, qPrintable(QString::number(took)));
        QVERIFY2(burnt * 100 < took * kSpinLimitPercent,
                 qPrintable(QStringLiteral("%1 ms CPU in %2 ms").arg(burnt).arg(took)));

        // Idle with the device gone: it looks for it once a second, and still answers.
        wall.restart();
        const qint64 idleCpu = ProcessCpuMs(pid);
        QTest::qWait(frmComm::kReturnCheckMs);
        const qint64 idleBurnt = ProcessCpuMs(pid) - idleCpu;
        QVERIFY(idleBurnt * 100 < wall.elapsed() * kSpinLimitPercent);
        qInfo("the program: script with the controller gone %lld ms, CPU %lld ms; then waiting for it %lld ms, CPU %lld ms",
              took, burnt, wall.elapsed(), idleBurnt);
        QCOMPARE(Exec(QStringLiteral("Ver")).out, QStringLiteral("1.0 ; \n"));

        // The controller comes back: the next command after its return is answered.
        SimProcess back;
        QVERIFY(back.Start({QStringLiteral("--link"), App(QStringLiteral("COM3")), QStringLiteral("--no-show")}));
        wall.restart();
        // Red's last command failed, so it is sent whether or not the port is open yet.
        QVERIFY(QTest::qWaitFor([&] { return Exec(QStringLiteral("LED R 5")).out == QLatin1String("OK  ; \n"); }, 10000));
        qInfo("the program: controller back to a command answered: %lld ms (commands polled every time-out)",
              wall.elapsed());
        // Green was already off and its last command succeeded, yet it is sent:
        // every channel counts as failed after the reopen, which itself sends nothing.
        QCOMPARE(Exec(QStringLiteral("LED G 0")).out, QStringLiteral("OK  ; \n"));
        QVERIFY(back.WaitForLogged(2));
        QCOMPARE(back.LoggedLines(), (QStringList{"AVA495", "AVB500"}));
        QVERIFY(Stop(*program));
        QCOMPARE(back.LoggedLines(), (QStringList{"AVA495", "AVB500", "AVA500", "AVB500", "AVC500", "AVD500"}));
    }

    void programListensNowhereAndNoInputReachesAShell()
    {
        PrepareProgram(300);
        SimProcess sim;
        QVERIFY(sim.Start({QStringLiteral("--link"), App(QStringLiteral("COM3")), QStringLiteral("--no-show")}));
        const QString marks = prog_.Path(QStringLiteral("marks"));
        QVERIFY(QDir().mkpath(marks));
        auto program = StartProgram(marks);
        QVERIFY(program);
        const qint64 pid = program->processId();
        QVERIFY(WaitForService());
        QVERIFY(sim.WaitForLogged(4, 10000));

        // Every way a shell would run something, as a script from a client.
        const QString m = marks + QLatin1Char('/');
        const QString script = QStringLiteral("LED R 1;$(touch %1a)`touch b`;LED G $(touch %1c);"
                                              "Ver|touch %1d;Ver && touch %1e;Ver > %1f;LED B 2 `touch g`")
                                   .arg(m);
        const QString expected = QStringLiteral("OK  ; Error Unknown command ; Not a Number  ; "
                                                "Error Unknown command ; 1.0 ; 1.0 ; OK  ; \n");
        QCOMPARE(Exec(script).out, expected);
        QCOMPARE(Exec({QStringLiteral("-")}, (script + QLatin1Char('\n')).toUtf8()).out, expected);
        QVERIFY(sim.WaitForLogged(6));
        QCOMPARE(sim.LoggedLines().mid(4), (QStringList{"AVA499", "AVC498"}));
        // A later call answered: whatever the scripts wrote is written by now.
        QCOMPARE(Exec(QStringLiteral("Ver")).out, QStringLiteral("1.0 ; \n"));
        QCOMPARE(QDir(marks).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
        QCOMPARE(QDir(App()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 (QStringList{"COM3", "LED_CONFIG.TXT", "orvane"}));

        // Its sockets: the bus connection, unix and connected; nothing on the network
        // and nothing that accepts connections.
        const QSet<QString> sockets = SocketInodes(pid);
        QVERIFY(!sockets.isEmpty());
        for (const char* table : {"tcp", "tcp6", "udp", "udp6", "raw", "raw6", "udplite", "udplite6"})
            for (const QStringList& row : NetTable(pid, table))
                QVERIFY2(!sockets.contains(row.value(9)), table);
        QSet<QString> unixSockets;
        for (const QStringList& row : NetTable(pid, "unix")) {
            if (!sockets.contains(row.value(6)))
                continue;
            unixSockets.insert(row.value(6));
            const uint flags = row.value(3).toUInt(nullptr, 16);
            QVERIFY2(!(flags & 0x10000), qPrintable(QStringLiteral("listening unix socket %1").arg(row.join(' '))));
        }
        QCOMPARE(unixSockets, sockets);
        QVERIFY(Stop(*program));
    }

    // ---- Stop signals ----
    void stopSignalEndsARunningScript_data()
    {
        QTest::addColumn<int>("sig");
        QTest::addColumn<QString>("name");
        QTest::newRow("SIGTERM") << int(SIGTERM) << QStringLiteral("SIGTERM");
        QTest::newRow("SIGINT") << int(SIGINT) << QStringLiteral("SIGINT");
        QTest::newRow("SIGHUP") << int(SIGHUP) << QStringLiteral("SIGHUP");
    }
    void stopSignalEndsARunningScript()
    {
        QFETCH(int, sig);
        QFETCH(QString, name);
        const int timeOut = 100;
        PrepareProgram(timeOut);
        SimProcess sim;
        QVERIFY(sim.Start({QStringLiteral("--link"), App(QStringLiteral("COM3")), QStringLiteral("--no-show"),
                           QStringLiteral("--silent")}));
        auto program = StartProgram();
        QVERIFY(program);
        QVERIFY(WaitForService());
        QVERIFY(sim.WaitForLogged(4, 10000));

        // Forty commands to a controller that never answers take 4 s to run out.
        QProcess client;
        QVERIFY(TestSupport::StartLedCommands(client, 40, Env()));
        QVERIFY(sim.WaitForLogged(6, 5000));
        // Another call waits behind the script.
        QProcess queued;
        queued.setProcessEnvironment(Env());
        queued.start(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"), {QStringLiteral("Ver")});
        QVERIFY(queued.waitForStarted(5000));
        QTest::qWait(400);

        QElapsedTimer wall;
        wall.start();
        ::kill(pid_t(program->processId()), sig);
        QVERIFY(program->waitForFinished(10000));
        const qint64 took = wall.elapsed();
        QCOMPARE(program->exitStatus(), QProcess::NormalExit);
        QCOMPARE(program->exitCode(), 0);
        // The command on the wire waits out its time-out, then four channel-off commands.
        QVERIFY2(took < 5 * timeOut + 1000, qPrintable(QString::number(took)));
        qInfo("%s during a script to a silent controller: the program ended after %lld ms", qPrintable(name), took);

        QVERIFY(client.waitForFinished(5000));
        QCOMPARE(client.exitCode(), 1);
        QCOMPARE(client.readAllStandardOutput(), QByteArray());
        QCOMPARE(QString::fromUtf8(client.readAllStandardError()).trimmed(),
                 QStringLiteral("orvane-exec: Orvane.Error.Failed: %1: stopped by %2 before the script ended")
                     .arg(sig)
                     .arg(name));
        // The queued call got no reply from the program, only the bus's word that it left.
        QVERIFY(queued.waitForFinished(5000));
        QCOMPARE(queued.exitCode(), 1);
        QCOMPARE(queued.readAllStandardOutput(), QByteArray());
        const QString queuedErr = QString::fromUtf8(queued.readAllStandardError());
        QVERIFY2(!queuedErr.contains(QStringLiteral("Orvane.Error")), qPrintable(queuedErr));

        // The script's commands up to the stop, then every channel off.
        const QStringList lines = sim.LoggedLines();
        QVERIFY2(lines.size() >= 4 + 2 + 4 && lines.size() < 4 + 40 + 4, qPrintable(lines.join(' ')));
        QCOMPARE(lines.mid(lines.size() - 4), kAllOff);
        for (qsizetype i = 4; i < lines.size() - 4; ++i)
            QCOMPARE(lines[i], QStringLiteral("AVA%1").arg(500 - (i - 3), 3, 10, QLatin1Char('0')));
    }

    void stopSignalOnABusThatStopsAnsweringStillEndsTheProgram()
    {
        PrepareProgram(150);
        SimProcess sim;
        QVERIFY(sim.Start({QStringLiteral("--link"), App(QStringLiteral("COM3")), QStringLiteral("--no-show")}));
        auto program = StartProgram();
        QVERIFY(program);
        QVERIFY(WaitForService());
        QVERIFY(sim.WaitForLogged(4, 10000));
        QCOMPARE(Exec(QStringLiteral("LED R 7")).out, QStringLiteral("OK  ; \n"));
        QVERIFY(sim.WaitForLogged(5));

        const pid_t bus = pid_t(bus_->Pid());
        QVERIFY(bus > 0);
        ::kill(bus, SIGSTOP);
        QElapsedTimer wall;
        wall.start();
        ::kill(pid_t(program->processId()), SIGTERM);
        const bool ended = program->waitForFinished(10000);
        const qint64 took = wall.elapsed();
        ::kill(bus, SIGCONT);
        QVERIFY2(ended, "still running 10 s after SIGTERM");
        QCOMPARE(program->exitStatus(), QProcess::NormalExit);
        QCOMPARE(program->exitCode(), 0);
        QVERIFY2(took < 2400, qPrintable(QString::number(took)));
        qInfo("SIGTERM with the bus stopped: the program ended after %lld ms", took);
        QVERIFY(sim.WaitForLogged(9));
        QCOMPARE(sim.LoggedLines().mid(5), kAllOff);
    }

    // In this process: a message box of start-up runs a loop of its own.
    void stopSignalInAStartUpMessageBoxEndsTheProgramThere()
    {
        ProgramFixture fx;
        // No TIMEOUT: start-up says so in a message box, before the port is opened.
        QVERIFY(fx.SetUp("\"PORT\",7\r\n"));
        LEDMain::WatchStopSignals(qApp);
        QEventLoop* box = nullptr;
        QStringList texts;
        Ending end;
        const Platform::ExitHandler oldExit = Platform::SetExitHandler([&](int code) {
            end = {true, code, box && box->isRunning(), LEDCOMM::CommFormLoaded(), fx.sim->LoggedLines()};
            if (box)
                box->quit();
        });
        const Platform::MsgBoxHandler oldBox = Platform::SetMsgBoxHandler([&](const QString& text, int, const QString&) {
            texts << text;
            QEventLoop loop;
            box = &loop;
            QTimer::singleShot(0, [] { ::raise(SIGTERM); });
            QTimer::singleShot(5000, &loop, &QEventLoop::quit);
            loop.exec();
            box = nullptr;
            return int(Platform::vbOK);
        });
        LEDMain::AppInit();
        Platform::SetMsgBoxHandler(oldBox);
        Platform::SetExitHandler(oldExit);
        LEDMain::WatchStopSignals(qApp);  // the tests that follow run unstopped

        QVERIFY2(!texts.isEmpty() && texts[0].contains(QStringLiteral("TIMEOUT")), qPrintable(texts.join('|')));
        QVERIFY2(end.ended, "the signal did not end the program");
        QCOMPARE(end.code, 0);
        QVERIFY2(end.inLoop, "the message box's loop had ended before the program did");
        // The port was never opened, so nothing was sent.
        QCOMPARE(end.serialHost, int16_t(0));
        QCOMPARE(end.sent, QStringList());
        fx.TearDown();
    }

    void stopSignalInTheParameterWindowEndsTheProgramThere()
    {
        ProgramFixture fx;
        QVERIFY(fx.SetUp());
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        QCOMPARE(fx.NewLines(4), kAllOff);
        QCOMPARE(LEDMain::ExecScript(QStringLiteral("LED R 100")), QStringLiteral("OK  ; "));
        QCOMPARE(fx.NewLines(1), QStringList{"AVA400"});
        LEDMain::WatchStopSignals(qApp);
        Ending end;
        const Platform::ExitHandler oldExit = Platform::SetExitHandler([&](int code) {
            auto* window = qobject_cast<frmParList*>(QApplication::activeModalWidget());
            end = {true, code, window != nullptr, LEDCOMM::CommFormLoaded(), fx.NewLines(4)};
            if (window)
                window->close();
        });
        SignalWhenParListShown(SIGTERM);
        // Should the program not end, the window still closes and the test goes on.
        QTimer::singleShot(5000, frmVURUruduvo::Loaded(), [] {
            if (auto* window = qobject_cast<frmParList*>(QApplication::activeModalWidget()))
                window->close();
        });
        frmVURUruduvo::Loaded()->mnuPort->trigger();
        Platform::SetExitHandler(oldExit);
        LEDMain::WatchStopSignals(qApp);  // the tests that follow run unstopped
        // The test's exit returned, so the rest of the menu item ran: let go of the port it opened.
        LEDCOMM::CommFormUnload();

        QVERIFY2(end.ended, "the signal did not end the program");
        QCOMPARE(end.code, 0);
        QVERIFY2(end.inLoop, "the parameter window had closed before the program ended");
        // Every channel off and the port closed before the end.
        QCOMPARE(end.serialHost, int16_t(0));
        QCOMPARE(end.sent, kAllOff);
        fx.TearDown();
    }

    // In this process: tied bars send four channel commands for one "LED".
    void stopSignalEndsATiedMoveAfterTheCommandOnTheWire()
    {
        const int timeOut = 150;
        ProgramFixture fx;
        QVERIFY(fx.SetUp(Config(7, timeOut),
                         {QStringLiteral("--silent")}));
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        QCOMPARE(fx.NewLines(4), kAllOff);
        frmVURUruduvo::Loaded()->chkTie->setChecked(true);
        LEDMain::WatchStopSignals(qApp);
        Ending end;
        const Platform::ExitHandler oldExit = Platform::SetExitHandler([&](int code) {
            end = {true, code, false, LEDCOMM::CommFormLoaded(), {}};
        });
        // The signal comes while the first channel command waits for its reply.
        std::thread signaller([&fx] {
            fx.sim->WaitForLogged(4 + 1);
            ::kill(::getpid(), SIGTERM);
        });
        LEDMain::ScriptFailure failure;
        QElapsedTimer wall;
        wall.start();
        const QString responses = LEDMain::ExecScript(QStringLiteral("LED R 100;LED G 200;Ver"), &failure);
        const qint64 took = wall.elapsed();
        signaller.join();
        // Only the command on the wire went out, not the three of the tie.
        const QStringList sent = fx.sim->LoggedLines().mid(4);
        // The event loop sees the signal: all channels off, the port closed, the end.
        QTRY_VERIFY_WITH_TIMEOUT(end.ended, 5000);
        Platform::SetExitHandler(oldExit);
        LEDMain::WatchStopSignals(qApp);  // the tests that follow run unstopped

        QCOMPARE(responses, QString());
        QCOMPARE(failure.number, int(SIGTERM));
        QCOMPARE(failure.description, QStringLiteral("stopped by SIGTERM before the script ended"));
        QCOMPARE(sent, QStringList{"AVA400"});
        QVERIFY2(took < 3 * timeOut, qPrintable(QString::number(took)));
        QCOMPARE(end.code, 0);
        QCOMPARE(end.serialHost, int16_t(0));
        QVERIFY(fx.sim->WaitForLogged(4 + 1 + 4));
        QCOMPARE(fx.sim->LoggedLines().mid(5), kAllOff);
        fx.TearDown();
    }

    // Last: this process's own session bus stops answering for good. A call is
    // served, and the service stopped, without waiting on it.
    void noBusCallWaitsOnABusThatStopsAnswering()
    {
        bus_ = std::make_unique<PrivateBus>();
        QVERIFY(bus_->Start());
        // The service takes the session bus from the environment on first use.
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus_->Address().toUtf8());
        QVERIFY(OrvaneCmd::StartService());
        const QString clientName = QStringLiteral("client-of-a-stopping-bus");
        QDBusConnection client = QDBusConnection::connectToBus(bus_->Address(), clientName);
        QVERIFY(client.isConnected());
        const int before = LEDMain::AutomationObjects();
        QDBusMessage call = QDBusMessage::createMethodCall(
            BusNames::kService, BusNames::kRoot, BusNames::kCmdInterface,
            QStringLiteral("Exec"));
        call << QStringLiteral("Ver");
        const QDBusPendingCall pending = client.asyncCall(call);
        // The call reaches this process while its event loop stands; then the bus stops.
        QThread::msleep(500);
        const pid_t bus = pid_t(bus_->Pid());
        QVERIFY(bus > 0);
        ::kill(bus, SIGSTOP);
        QElapsedTimer wall;
        wall.start();
        const bool served = QTest::qWaitFor([&] { return LEDMain::AutomationObjects() > before; }, 30000);
        const qint64 servedIn = wall.elapsed();
        wall.restart();
        OrvaneCmd::StopService();
        const qint64 stoppedIn = wall.elapsed();
        ::kill(bus, SIGCONT);
        QDBusConnection::disconnectFromBus(clientName);
        QVERIFY2(served, "the call was not served");
        QVERIFY2(servedIn < 2000, qPrintable(QString::number(servedIn)));
        QVERIFY2(stoppedIn < 1000, qPrintable(QString::number(stoppedIn)));
        qInfo("bus stopped: a new client's call served in %lld ms, the service stopped in %lld ms", servedIn,
              stoppedIn);
    }
};

ORVANE_TEST_MAIN(TestFaults)
#include "test_faults.moc"
