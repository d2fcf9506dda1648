// The program as a process: headless start, signals, the single instance and
// a lock left by a killed copy. Each run uses a copy of the executable in an
// application directory of its own.
#include "tests/support/ChildProgram.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <csignal>
#include <memory>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using TestSupport::SimProcess;

class TestProgram : public QObject {
    Q_OBJECT

    TestSupport::ChildProgram prog_;
    std::unique_ptr<SimProcess> sim_;

    QString Program() const { return prog_.Program(); }

    std::unique_ptr<QProcess> StartProgram(const QStringList& args = {},
                                           const QProcessEnvironment& extra = {})
    {
        auto p = prog_.Start(args, prog_.EnvWith(extra));
        [&] { QVERIFY(p); }();
        return p ? std::move(p) : std::make_unique<QProcess>();
    }

    static void Terminate(QProcess& p, int sig = SIGTERM)
    {
        ::kill(pid_t(p.processId()), sig);
        [&] { QVERIFY(p.waitForFinished(10000)); }();
    }

private slots:
    void init()
    {
        QVERIFY(prog_.Prepare(TestSupport::Config(3, 300)));
        sim_ = std::make_unique<SimProcess>();
        QVERIFY(sim_->Start({"--link", prog_.App("COM3"), "--no-show"}));
    }

    void cleanup() { sim_.reset(); }

    void headlessStartAndSignalRunTheUnloadPath()
    {
        for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
            const int before = int(sim_->LoggedLines().size());
            auto p = StartProgram();
            QVERIFY(sim_->WaitForLogged(before + 4, 10000));
            QCOMPARE(sim_->LoggedLines().mid(before),
                     (QStringList{"AVA500", "AVB500", "AVC500", "AVD500"}));
            QVERIFY(p->state() == QProcess::Running);
            Terminate(*p, sig);
            QCOMPARE(p->exitStatus(), QProcess::NormalExit);
            QCOMPARE(p->exitCode(), 0);
            // The lights went off before the program let go of the port.
            QCOMPARE(sim_->LoggedLines().mid(before + 4),
                     (QStringList{"AVA500", "AVB500", "AVC500", "AVD500"}));
            // The process ends where the signal is seen; it lets go of its lock all the same.
            QVERIFY(Lockable(prog_.App(".orvane.lock")));
            QCOMPARE(QDir(prog_.Path("run")).entryList({"orvane-*.lock"}, QDir::Files), QStringList());
        }
    }

    // Where a lock cannot lie, for root as for anyone: a directory under a regular file.
    QString ImpossibleDir(const QString& name) const
    {
        TestSupport::WriteFile(prog_.Path("file"), "");
        return prog_.Path("file/" + name);
    }

    // flock as the program takes it: false while a live process holds the file.
    static bool Lockable(const QString& path)
    {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        const bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (fd >= 0)
            ::close(fd);
        return free;
    }

    void secondInstanceIsRefused_data()
    {
        QTest::addColumn<bool>("appDirCannotHoldIt");
        QTest::addColumn<bool>("lockDirUnwritable");
        QTest::addColumn<bool>("secondElsewhere");  // no XDG_RUNTIME_DIR and another TMPDIR
        QTest::newRow("lock in the application directory") << false << false << false;
        QTest::newRow("second start without XDG_RUNTIME_DIR, another TMPDIR") << false << false << true;
        QTest::newRow("lock in the runtime directory") << true << false << false;
        QTest::newRow("runtime directory cannot hold it") << true << true << false;
    }
    void secondInstanceIsRefused()
    {
        QFETCH(bool, appDirCannotHoldIt);
        QFETCH(bool, lockDirUnwritable);
        QFETCH(bool, secondElsewhere);
        QProcessEnvironment env;
        env.insert("TMPDIR", prog_.Path("tmp"));
        QVERIFY(QDir().mkpath(prog_.Path("tmp")));
        // A directory in the lock file's place: no process, root included, can lock it there.
        if (appDirCannotHoldIt)
            QVERIFY(QDir(prog_.App()).mkdir(".orvane.lock"));
        if (lockDirUnwritable)
            env.insert("ORVANE_LOCK_DIR", ImpossibleDir("run"));
        auto first = StartProgram({}, env);
        QVERIFY(sim_->WaitForLogged(4, 10000));
        if (appDirCannotHoldIt) {
            // In the temporary directory, which all users share, the name carries the user's id.
            const QString lockDir = prog_.Path(lockDirUnwritable ? "tmp" : "run");
            const QString prefix = lockDirUnwritable ? QStringLiteral("orvane-%1-").arg(::getuid())
                                                     : QStringLiteral("orvane-");
            const QStringList locks = QDir(lockDir).entryList({prefix + "*.lock"}, QDir::Files);
            QVERIFY2(locks.size() == 1, qPrintable(lockDir + ": " + locks.join(' ')));
        } else {
            QVERIFY(!Lockable(prog_.App(".orvane.lock")));
            QCOMPARE(QDir(prog_.Path("run")).entryList({"orvane-*.lock"}, QDir::Files), QStringList());
        }
        QProcessEnvironment secondEnv = env;
        if (secondElsewhere) {
            QVERIFY(QDir().mkpath(prog_.Path("other-tmp")));
            secondEnv.insert("TMPDIR", prog_.Path("other-tmp"));
            secondEnv.insert("XDG_RUNTIME_DIR", "");
        }
        auto second = StartProgram({}, secondEnv);
        QVERIFY(second->waitForFinished(10000));
        // A script sees the refusal.
        QCOMPARE(second->exitCode(), 3);
        const QString err = QString::fromLocal8Bit(second->readAllStandardError());
        // The message box nobody can see is one whole line on standard error.
        QVERIFY2(err.split('\n').contains("VURUruduvo: Application is already running."), qPrintable(err));
        QVERIFY(first->state() == QProcess::Running);
        Terminate(*first);
        // The first copy's lights-off lines follow whatever the second copy sent: it sent nothing.
        QVERIFY(sim_->WaitForLogged(8));
        QCOMPARE(sim_->LoggedLines().mid(4), (QStringList{"AVA500", "AVB500", "AVC500", "AVD500"}));
    }

    // Standard error as the journal: the serial link's reports as warnings of
    // orvane.comm with the warning's priority in front.
    void journalReadsTheSerialLinksReports()
    {
        TestSupport::WriteFile(prog_.App("LED_CONFIG.TXT"), TestSupport::Config(9, 20));  // no COM9: each command sits out the time-out
        const QString errPath = prog_.Path("journal");
        TestSupport::WriteFile(errPath, "");
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(errPath).constData(), &st), 0);
        QProcessEnvironment env = TestSupport::Headless();
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        env.insert("XDG_RUNTIME_DIR", prog_.Path("run"));
        env.insert("JOURNAL_STREAM", QStringLiteral("%1:%2").arg(qulonglong(st.st_dev)).arg(qulonglong(st.st_ino)));
        QProcess p;
        p.setProcessEnvironment(env);
        p.setStandardErrorFile(errPath, QIODevice::Append);
        p.start(Program(), {});
        QVERIFY(p.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(TestSupport::ReadFile(errPath).contains("running without automation"), 10000);
        Terminate(p);
        const QStringList lines = QString::fromUtf8(TestSupport::ReadFile(errPath)).split('\n', Qt::SkipEmptyParts);
        QVERIFY2(lines.value(0).startsWith("<4>orvane.comm: CommOpenPort "), qPrintable(lines.join('\n')));
        for (const QString& line : lines)
            QVERIFY2(line.startsWith("<4>") || line.startsWith("<3>"), qPrintable(line));
    }

    void noPlaceForTheLockStartsAllTheSameAndSays()
    {
        QVERIFY(QDir(prog_.App()).mkdir(".orvane.lock"));
        QProcessEnvironment env;
        env.insert("ORVANE_LOCK_DIR", ImpossibleDir("run"));
        env.insert("TMPDIR", ImpossibleDir("tmp"));
        auto p = StartProgram({}, env);
        QVERIFY(sim_->WaitForLogged(4, 10000));
        QByteArray errBytes;
        QTRY_VERIFY_WITH_TIMEOUT((errBytes += p->readAllStandardError()).contains("cannot be detected"),
                                 5000);
        const QString err = QString::fromLocal8Bit(errBytes);
        QVERIFY2(err.contains("a second copy of the program cannot be detected"), qPrintable(err));
        QVERIFY2(err.contains(ImpossibleDir("run")), qPrintable(err));
        QVERIFY(p->state() == QProcess::Running);
        Terminate(*p);
    }

    void lockOfAKilledCopyDoesNotCount_data()
    {
        QTest::addColumn<bool>("ordinaryUser");
        QTest::newRow("root") << false;
        // Only root is exempt from the exclusive mode the killed copy left on the terminal.
        QTest::newRow("ordinary user") << true;
    }

    void lockOfAKilledCopyDoesNotCount()
    {
        QFETCH(bool, ordinaryUser);
        if (ordinaryUser && ::geteuid() != 0)
            QSKIP("only root can start the program as another user");
        if (ordinaryUser) {
            // A lock left by an earlier copy run as root would refuse anyone else: cleared first.
            QSerialPort(sim_->PtyPath()).open(QIODevice::ReadWrite);
            QCOMPARE(QProcess::execute("chown", {"-R", "nobody:nogroup", prog_.Path("."), sim_->PtyPath()}), 0);
        }
        const auto start = [&] {
            if (!ordinaryUser)
                return StartProgram();
            auto p = std::make_unique<QProcess>();
            p->setProcessEnvironment(prog_.Env());
            p->start("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups", Program()});
            [&] { QVERIFY(p->waitForStarted(5000)); }();
            return p;
        };
        auto first = start();
        QVERIFY(sim_->WaitForLogged(4, 10000));
        Terminate(*first, SIGKILL);
        auto second = start();
        QVERIFY(sim_->WaitForLogged(8, 10000));
        QVERIFY(second->state() == QProcess::Running);
        Terminate(*second);
    }

    // --app-dir (or ORVANE_APP_DIR) gives the program another directory's
    // settings, lock and COM<n> links: a second controller on the same machine.
    void otherApplicationDirectory()
    {
        QTemporaryDir other;
        TestSupport::WriteFile(other.filePath("LED_CONFIG.TXT"), TestSupport::Config(5, 300));
        auto run = [&](const QStringList& args, const QProcessEnvironment& env = {}) {
            auto p = StartProgram(args, env);
            [&] { QVERIFY(p->waitForFinished(10000)); }();
            return p;
        };
        auto link = run({"--link-port", "5", sim_->PtyPath(), "--app-dir", other.path()});
        QCOMPARE(link->exitCode(), 0);
        QCOMPARE(QFileInfo(other.filePath("COM5")).symLinkTarget(), sim_->PtyPath());
        // --udev-rule names the configured port's USB adapter: a pseudo-terminal is
        // none, and without settings the port must be given.
        auto rule = run({"--udev-rule", "--app-dir", other.path()});
        QCOMPARE(rule->exitCode(), 1);
        QVERIFY(rule->readAllStandardError().contains((sim_->PtyPath() + " is not a USB device").toUtf8()));
        QTemporaryDir empty;
        auto none = run({"--udev-rule", "--app-dir", empty.path()});
        QCOMPARE(none->exitCode(), 1);
        QVERIFY(none->readAllStandardError().contains("no readable settings file"));
        QProcessEnvironment env;
        env.insert("ORVANE_APP_DIR", other.path());
        const QString listed = QString::fromLocal8Bit(run({"--list-ports"}, env)->readAllStandardOutput());
        QVERIFY2(listed.contains("COM5 -> " + sim_->PtyPath()), qPrintable(listed));
        // The option wins over the variable.
        env.insert("ORVANE_APP_DIR", "/nonexistent");
        QCOMPARE(run({"--list-ports", "--app-dir", other.path()}, env)->exitCode(), 0);
        auto missing = run({"--list-ports"}, env);
        QCOMPARE(missing->exitCode(), 1);
        QVERIFY(missing->readAllStandardError().contains("/nonexistent does not exist"));
        QCOMPARE(run({"--link-port", "5"})->exitCode(), 2);
        auto gone = run({"--link-port", "5", other.filePath("ttyUSB9"), "--app-dir", other.path()});
        QCOMPARE(gone->exitCode(), 1);
        QVERIFY(gone->readAllStandardError().contains(
            (other.filePath("ttyUSB9") + " does not exist; `orvane --list-ports` lists the serial devices").toUtf8()));

        // Served from the other directory: its port 5, while the own copy's lock stays free.
        SimProcess second;
        QVERIFY(second.Start({"--link", other.filePath("COM5"), "--no-show"}));
        auto served = StartProgram({"--app-dir", other.path()});
        QVERIFY(second.WaitForLogged(4, 10000));
        auto own = StartProgram();
        QVERIFY(sim_->WaitForLogged(4, 10000));
        QVERIFY(served->state() == QProcess::Running && own->state() == QProcess::Running);
        Terminate(*served);
        Terminate(*own);
    }

    void failedStartKeepsServingHeadless()
    {
        QFile::remove(prog_.App("LED_CONFIG.TXT"));
        auto p = StartProgram();
        QByteArray errBytes;
        QTRY_VERIFY_WITH_TIMEOUT((errBytes += p->readAllStandardError()).contains("does not exist"),
                                 10000);
        QTest::qWait(500);
        QVERIFY(p->state() == QProcess::Running);
        const QString err = QString::fromLocal8Bit(errBytes);
        QVERIFY2(err.contains("LED_CONFIG.TXT does not exist"), qPrintable(err));
        Terminate(*p);

        // With no window to show why the port did not open, the trace says it.
        TestSupport::WriteFile(prog_.App("LED_CONFIG.TXT"), TestSupport::Config(3, 20));
        sim_->Stop();
        QVERIFY(QFile::link(prog_.App("gone"), prog_.App("COM3")));
        p = StartProgram({"--verbose"});
        errBytes.clear();
        QTRY_VERIFY_WITH_TIMEOUT((errBytes += p->readAllStandardError()).contains("event loop runs"), 10000);
        QVERIFY2(errBytes.contains("orvane.app: start-up: port 3 not open: CommOpenPort  1 No such file or directory\n"),
                 errBytes.constData());
        Terminate(*p);
    }
};

ORVANE_TEST_MAIN(TestProgram)
#include "test_program.moc"
