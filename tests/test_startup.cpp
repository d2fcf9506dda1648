// What the program decides before its window: the options it takes (Qt's own
// among them), where it keeps its files when installed, and which of Qt's
// texts it keeps quiet about.
#include "base/AppPaths.h"
#include "base/Log.h"
#include "base/MessageFilter.h"
#include "engine/LEDMain.h"
#include "engine/StartOptions.h"
#include "tests/support/TestSupport.h"

#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

using StartOptions::Request;

namespace {

Q_LOGGING_CATEGORY(lcProbe, "orvane.probe", QtInfoMsg)

QStringList g_passed;  // messages that got past the filter

void Record(QtMsgType, const QMessageLogContext&, const QString& message) { g_passed << message; }

} // namespace

using TestSupport::EnvSet;

class TestStartup : public QObject {
    Q_OBJECT

    // A prefix as cmake --install lays it out, and a build tree's bin/ without share/.
    QTemporaryDir dir_;
    QString Prefix() const { return dir_.filePath("prefix"); }
    QString InstalledBin() const { return Prefix() + "/bin"; }
    QString Config() const { return dir_.filePath("config"); }

    static Request Parse(QStringList args, StartOptions::Values& v, QString* error = nullptr)
    {
        args.prepend("orvane");
        return StartOptions::Parse(args, v, error);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        QVERIFY(QDir().mkpath(InstalledBin()));
        QVERIFY(QDir().mkpath(Prefix() + "/share/orvane"));
        TestSupport::WriteFile(Prefix() + "/share/orvane/LED_COMMANDS.TXT", "LED <channel> <value>\n");
        QVERIFY(QDir().mkpath(dir_.filePath("build/bin")));
        qunsetenv("ORVANE_APP_DIR");
    }

    void options()
    {
        StartOptions::Values v;
        QCOMPARE(Parse({"--link-port", "3", "/dev/ttyUSB0", "--app-dir", "/tmp", "--verbose"}, v), Request::Start);
        QCOMPARE(v.linkPort, QString("3"));
        QCOMPARE(v.linkDevice, QString("/dev/ttyUSB0"));
        QCOMPARE(v.appDir, QString("/tmp"));
        QVERIFY(v.verbose && !v.automation && !v.listPorts && v.regServer == 0);
        QCOMPARE(Parse({"--udev-rule"}, v), Request::Start);
        QVERIFY(v.udevRule && v.udevPort.isEmpty() && v.linkPort.isEmpty());
        QCOMPARE(Parse({"--udev-rule", "3", "--app-dir", "/tmp"}, v), Request::Start);
        QVERIFY(v.udevRule && v.udevPort == "3" && v.appDir == "/tmp");
        QCOMPARE(Parse({"--service"}, v), Request::Start);
        QVERIFY(v.service && !v.automation);
        QCOMPARE(Parse({"--automation", "--unregserver"}, v), Request::Start);
        QVERIFY(!v.service && v.automation && v.regServer == -1 && v.appDir.isEmpty() && v.linkPort.isEmpty() && !v.verbose);

        // Qt's own options, in the forms Qt takes them, are left for the application object;
        // those that take a value take the next argument with them.
        for (const QStringList& qt : {QStringList{"-platform", "offscreen"}, {"--platform", "offscreen"},
                                      {"-style=fusion"}, {"-reverse", "-qwindowtitle", "x"},
                                      {"-qwindowgeometry", "--verbose", "-nograb"}}) {
            QVERIFY2(Parse(qt, v) == Request::Start && !v.verbose, qPrintable(qt.join(' ')));
        }

        QCOMPARE(Parse({"--automation", "-h"}, v), Request::Help);
        QCOMPARE(Parse({"-v", "-platform", "offscreen"}, v), Request::Version);

        const QList<QPair<QStringList, QString>> wrong = {
            {{"--automaton"}, "automaton"},
            {{"--app-dir"}, "--app-dir"},
            {{"--link-port", "1"}, "--link-port"},
            {{"--udev-rule", "3", "4"}, "4"},
            {{"-platform"}, "-platform"},
            {{"settings.txt"}, "settings.txt"},
            {{"--regserver", "--unregserver"}, "--unregserver"},
        };
        for (const auto& [args, named] : wrong) {
            QString error;
            QVERIFY2(Parse(args, v, &error) == Request::UsageError, qPrintable(args.join(' ')));
            QVERIFY2(error.contains(named), qPrintable(error));
        }

        // The usage shows every option of ours and none of Qt's.
        const QString usage = StartOptions::Usage();
        for (const char* option : {"--automation", "--service", "--regserver", "--unregserver", "--app-dir DIR", "--list-ports",
                                   "--link-port N DEVICE", "--udev-rule [PORT]", "--verbose", "-h, --help", "-v, --version"})
            QVERIFY2(usage.contains(option), option);
        QVERIFY(!usage.contains("--platform") && !usage.contains("--reverse"));
        for (const QString& line : usage.split('\n'))
            QVERIFY2(line.size() <= 80, qPrintable(line));
    }

    void installedProgramKeepsItsFilesInTheConfigFolder()
    {
        EnvSet config("XDG_CONFIG_HOME", Config().toUtf8());
        QString why;
        // A build tree or a portable copy: the executable's own directory.
        const QString buildBin = dir_.filePath("build/bin");
        QVERIFY(AppPaths::InstalledDataDir(buildBin).isEmpty());
        QCOMPARE(LEDMain::ChooseAppDir({}, &why, buildBin), buildBin);
        QVERIFY(!QFileInfo::exists(Config()));

        // Installed: the config folder, made with port 1 and 500 ms.
        QCOMPARE(AppPaths::InstalledDataDir(InstalledBin()), QFileInfo(Prefix() + "/share/orvane").canonicalFilePath());
        const QString app = Config() + "/orvane";
        QCOMPARE(LEDMain::ChooseAppDir({}, &why, InstalledBin()), app);
        QCOMPARE(TestSupport::ReadFile(app + "/LED_CONFIG.TXT"), QByteArray("\"PORT\",1\r\n\"TIMEOUT\",500\r\n"));
        QVERIFY(!QFileInfo::exists(InstalledBin() + "/LED_CONFIG.TXT"));

        // The user's settings stay; a file missing from an existing folder is not made again.
        TestSupport::WriteFile(app + "/LED_CONFIG.TXT", "\"PORT\",4\r\n");
        QCOMPARE(LEDMain::ChooseAppDir({}, &why, InstalledBin()), app);
        QCOMPARE(TestSupport::ReadFile(app + "/LED_CONFIG.TXT"), QByteArray("\"PORT\",4\r\n"));
        QVERIFY(QFile::remove(app + "/LED_CONFIG.TXT"));
        QCOMPARE(LEDMain::ChooseAppDir({}, &why, InstalledBin()), app);
        QVERIFY(!QFileInfo::exists(app + "/LED_CONFIG.TXT"));

        // The option, then the variable, win over the config folder.
        QTemporaryDir other;
        const QString otherPath = QFileInfo(other.path()).canonicalFilePath();
        QCOMPARE(LEDMain::ChooseAppDir(other.path(), &why, InstalledBin()), otherPath);
        {
            EnvSet appDir("ORVANE_APP_DIR", other.path().toUtf8());
            QCOMPARE(LEDMain::ChooseAppDir({}, &why, InstalledBin()), otherPath);
        }

        // The command reference of an installed program is the shared one, unless the folder has its own.
        QCOMPARE(LEDMain::CommandsFile(InstalledBin()),
                 QFileInfo(Prefix() + "/share/orvane/LED_COMMANDS.TXT").canonicalFilePath());
    }

    void configFolderWhereXdgSaysNothing()
    {
        // A relative XDG_CONFIG_HOME counts as none: ~/.config.
        QTemporaryDir home;
        EnvSet homeVar("HOME", home.path().toUtf8());
        EnvSet relative("XDG_CONFIG_HOME", "relative/config");
        QString why;
        QCOMPARE(LEDMain::ChooseAppDir({}, &why, InstalledBin()),
                 QFileInfo(home.path()).canonicalFilePath() + "/.config/orvane");

        // A folder that cannot be made is said, and nothing is chosen.
        TestSupport::WriteFile(home.filePath("file"), "x");
        EnvSet blocked("XDG_CONFIG_HOME", home.filePath("file").toUtf8());
        why.clear();
        QVERIFY(LEDMain::ChooseAppDir({}, &why, InstalledBin()).isEmpty());
        QVERIFY2(why.contains(home.filePath("file/orvane")), qPrintable(why));
    }

    void harmlessQtTextsAreDroppedRealOnesPass()
    {
        qInstallMessageHandler(Record);
        MessageFilter::Install();
        MessageFilter::Install();  // a second time changes nothing
        g_passed.clear();
        qWarning("This plugin does not support propagateSizeHints()");
        qWarning("QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '/tmp/runtime-orvane'");
        qWarning("QSerialPort: the device is gone");
        qWarning("said: This plugin does not support propagateSizeHints()");
        qCWarning(lcProbe, "QStandardPaths: wrong permissions on runtime directory");
        qInstallMessageHandler(nullptr);
        QCOMPARE(g_passed, QStringList({"QSerialPort: the device is gone",
                                        "said: This plugin does not support propagateSizeHints()",
                                        "QStandardPaths: wrong permissions on runtime directory"}));
    }

    // Where standard error is the journal each line starts with its syslog
    // priority and has no time of ours; elsewhere the lines stay as they were.
    void journalLinesCarryTheirPriority_data()
    {
        QTest::addColumn<bool>("journal");
        QTest::addColumn<bool>("verbose");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("line");
        const QString warning = "orvane: port 1 is gone";
        QTest::newRow("journal warning") << true << false << int(QtWarningMsg) << "<4>" + warning;
        QTest::newRow("journal critical") << true << false << int(QtCriticalMsg) << "<3>" + warning;
        QTest::newRow("journal info") << true << false << int(QtInfoMsg) << "<6>" + warning;
        QTest::newRow("journal debug") << true << true << int(QtDebugMsg) << "<7>orvane.probe: " + warning;
        QTest::newRow("journal, verbose: no time") << true << true << int(QtWarningMsg) << "<4>" + warning;
        QTest::newRow("a terminal") << false << false << int(QtWarningMsg) << warning;
        QTest::newRow("a terminal, debug") << false << false << int(QtDebugMsg) << "orvane.probe: " + warning;
    }
    void journalLinesCarryTheirPriority()
    {
        QFETCH(bool, journal);
        QFETCH(bool, verbose);
        QFETCH(int, type);
        QFETCH(QString, line);
        struct stat st {};
        QCOMPARE(::fstat(2, &st), 0);
        // Another device and inode than standard error's is no journal.
        const QByteArray stream = journal ? QByteArray::number(qulonglong(st.st_dev)) + ':' + QByteArray::number(qulonglong(st.st_ino))
                                          : QByteArray::number(qulonglong(st.st_dev)) + ':' + QByteArray::number(qulonglong(st.st_ino) + 1);
        EnvSet journalStream("JOURNAL_STREAM", stream);
        QCOMPARE(Log::StderrIsJournal(), journal);
        Log::SetUp(verbose);
        const QMessageLogContext context(nullptr, 0, nullptr, "orvane.probe");
        QCOMPARE(qFormatLogMessage(QtMsgType(type), context, "orvane: port 1 is gone"), line);
        Log::SetUp();
    }

    void verboseTurnsTheProgramsDebugOnWithTimes()
    {
        QVERIFY(!lcProbe().isDebugEnabled());
        StartOptions::BeVerbose();
        QVERIFY(lcProbe().isDebugEnabled());
        const QMessageLogContext context(nullptr, 0, nullptr, "orvane.probe");
        const QString line = qFormatLogMessage(QtDebugMsg, context, "port opened");
        static const QRegularExpression timed(
            R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} orvane\.probe: port opened$)");
        QVERIFY2(timed.match(line).hasMatch(), qPrintable(line));
        // A warning keeps reading as its own text, after the time.
        const QString warning = qFormatLogMessage(QtWarningMsg, context, "orvane: port 1 is gone");
        QVERIFY2(QRegularExpression(R"(^[-0-9]{10} [:.0-9]{12} orvane: port 1 is gone$)").match(warning).hasMatch(),
                 qPrintable(warning));
    }
};

QTEST_MAIN(TestStartup)
#include "test_startup.moc"
