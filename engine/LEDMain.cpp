#include "engine/LEDMain.h"

#include "comm/LEDCOMM.h"
#include "comm/frmComm.h"
#include "comm/SerialDevices.h"
#include "base/Log.h"
#include "base/MessageFilter.h"
#include "base/NumText.h"
#include "base/Platform.h"
#include "base/Posix.h"
#include "engine/OrvaneCmd.h"
#include "engine/OrvaneMqtt.h"
#include "engine/StartOptions.h"
#include "mainwindow/frmVURUruduvo.h"
#include "params/TRAPAR.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPointer>
#include <QSaveFile>
#include <QScrollBar>
#include <QTextStream>
#include <array>

namespace LEDMain {
namespace {

// ---- Program-wide state ----
QString g_appDir;
int16_t g_mainWindowLoaded = 0;
int g_automationObjects = 0;
int16_t g_maxCmdHist = 0;
int g_processHolds = 0;
int64_t g_commandCounter = 0;
uint64_t g_channelFailures = 0;
std::array<bool, 4> g_channelFailed{};
QPointer<frmVURUruduvo> g_mainForm;
bool g_automationGoneSaid = false;
bool g_shutDownRan = false;

constexpr QChar kBlank = QLatin1Char(' ');
const QString kMainFormName = QStringLiteral("frmVURUruduvo");

// Only code 32 counts as a blank.
QStringView TrimBlanks(QStringView s)
{
    qsizetype b = 0;
    qsizetype e = s.size();
    while (b < e && s[b] == kBlank) ++b;
    while (e > b && s[e - 1] == kBlank) --e;
    return s.mid(b, e - b);
}

// Lengths are 16-bit results; a longer piece or word still counts as one.
int16_t Length16(qsizetype n) { return int16_t(std::min<qsizetype>(n, 32767)); }

// SplitFirst over an offset into the script, so a long script is not copied for every piece.
qsizetype SplitAt(QStringView source, qsizetype& pos, QStringView& piece, QStringView separator)
{
    const QStringView rest = source.mid(pos);
    const qsizetype p = rest.indexOf(separator);
    if (p < 0) {
        piece = rest;
        pos = source.size();
        return piece.size();
    }
    piece = rest.left(p);
    pos += p + separator.size();
    return p;
}

int LetterIndex(const QString& letter)
{
    static const QString letters[4] = {"A", "B", "C", "D"};
    for (int i = 0; i < 4; ++i)
        if (letter == letters[i])
            return i;
    return -1;
}

// SIGTERM, SIGINT and SIGHUP end the program. The event loop does not turn
// while a script runs, so a running script looks at Posix::StopSignal itself.
bool g_terminating = false;
// AppShutdown is switching the channels off: its commands go out after a stop signal too.
bool g_switchingOff = false;

// The process ends here, wherever the signal was seen: a modal loop left as if
// answered would let start-up or a settings change carry on after it.
void Terminate()
{
    if (g_terminating)
        return;
    g_terminating = true;
    qCDebug(lcApp).noquote() << "shut-down: stopped by" << Posix::SignalName(Posix::StopSignal());
    // The command that ran took one time-out of the stop budget; four more
    // and a second remain for the channels and both network roads together.
    const QDeadlineTimer budget(4 * LEDCOMM::CommTimeOut() + 1000);
    // Objects of clients may still live; the lights go off all the same.
    if (LEDCOMM::CommFormLoaded() == 1)
        AppShutdown();
    OrvaneMqtt::Stop(int(budget.remainingTime() / 2));
    OrvaneCmd::FlushReplies(int(budget.remainingTime()));
    Posix::ReleaseInstanceLock();
    Platform::Exit(0);
}

// The program's own warnings: users and their scripts read them as "orvane: ..." lines.
using Log::Say;

void Main()
{
    if (Platform::App().PrevInstance) {
        Platform::MsgBox(QStringLiteral("Application is already running."), Platform::vbCritical,
                         QStringLiteral("VURUruduvo"));
        return;
    }
    const int16_t r = AppInit();
    const int startMode = Platform::App().StartMode;
    if (startMode == 0 || r < 0)
        LoadMainForm()->show();
}

} // namespace

// ---- Program-wide state ----
QString AppDir() { return g_appDir; }

QString InstalledDataDir(const QString& exeDir)
{
    const QString data = exeDir + QStringLiteral("/../share/orvane");
    if (!QFileInfo::exists(data + QStringLiteral("/LED_COMMANDS.TXT")))
        return {};
    return QFileInfo(data).canonicalFilePath();
}

QString ChooseAppDir(const QString& option, QString* why, const QString& exeDir)
{
    const QString executableDir =
        exeDir.isEmpty() && QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : exeDir;
    auto fail = [why](const QString& reason) {
        if (why)
            *why = reason;
        return QString();
    };
    QString dir = option;
    if (dir.isEmpty())
        dir = qEnvironmentVariable("ORVANE_APP_DIR");
    if (dir.isEmpty() && !InstalledDataDir(executableDir).isEmpty()) {
        // bin/ of an installation is no place for a user's settings.
        QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
        // A relative XDG_CONFIG_HOME is invalid and ignored.
        if (config.isEmpty() || QDir::isRelativePath(config))
            config = QDir::homePath() + QStringLiteral("/.config");
        dir = config + QStringLiteral("/orvane");
        if (!QFileInfo(dir).isDir()) {
            if (!QDir().mkpath(dir))
                return fail(QStringLiteral("cannot create the application directory %1").arg(dir));
            // A first start gets port 1 and a 500 ms time-out; later ones find what the user made of it.
            QSaveFile settings(dir + QStringLiteral("/LED_CONFIG.TXT"));
            if (settings.open(QIODevice::WriteOnly))
                settings.write("\"PORT\",1\r\n\"TIMEOUT\",500\r\n");
            if (!settings.commit())
                return fail(QStringLiteral("cannot write %1: %2").arg(settings.fileName(), settings.errorString()));
        }
    }
    if (dir.isEmpty())
        return executableDir;
    const QFileInfo fi(dir);
    if (!fi.isDir())
        return fail(QStringLiteral("the application directory %1 does not exist").arg(dir));
    return fi.canonicalFilePath();
}

QString CommandsFile(const QString& executableDir)
{
    const QString own = g_appDir + QStringLiteral("LED_COMMANDS.TXT");
    if (QFileInfo::exists(own) || (executableDir.isEmpty() && !QCoreApplication::instance()))
        return own;
    const QString exeDir = executableDir.isEmpty() ? QCoreApplication::applicationDirPath() : executableDir;
    for (const QString& dir : {InstalledDataDir(exeDir), exeDir}) {
        const QString shared = dir + QStringLiteral("/LED_COMMANDS.TXT");
        if (!dir.isEmpty() && QFileInfo::exists(shared))
            return shared;
    }
    // None there: the editor names the application directory's file as missing.
    return own;
}
int16_t MainWindowLoaded() { return g_mainWindowLoaded; }
int AutomationObjects() { return g_automationObjects; }
int16_t MaxCmdHist() { return g_maxCmdHist; }
int64_t CommandCounter() { return g_commandCounter; }
uint64_t ChannelFailures() { return g_channelFailures; }
bool ChannelFailed(int index) { return index >= 0 && index < 4 && g_channelFailed[size_t(index)]; }

// ---- Start-up and shut-down ----
int Run(int argc, char** argv)
{
    Log::SetUp();
    MessageFilter::Install();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QFile::decodeName(argv[i]);
    StartOptions::Values options;
    QString usageError;
    switch (StartOptions::Parse(arguments, options, &usageError)) {
    case StartOptions::Request::Help:
        QTextStream(stdout) << StartOptions::Usage();
        return 0;
    case StartOptions::Request::Version:
        QTextStream(stdout) << StartOptions::Version() << Qt::endl;
        return 0;
    case StartOptions::Request::UsageError:
        QTextStream(stderr) << "orvane: " << usageError << "\n\n" << StartOptions::Usage();
        return 2;
    case StartOptions::Request::Start:
        break;
    }
    if (options.verbose)
        StartOptions::BeVerbose();
    if (options.regServer != 0 || options.listPorts || !options.linkPort.isEmpty()) {
        QCoreApplication core(argc, argv);
        QString why;
        const QString dir = ChooseAppDir(options.appDir, &why);
        if (dir.isEmpty()) {
            Say(why);
            return 1;
        }
        Platform::App().Path = dir;
        // The settings there may name the controller, and with it the bus name.
        if (options.regServer != 0)
            return OrvaneCmd::RegServer(options.regServer > 0);
        if (options.listPorts) {
            QTextStream out(stdout);
            SerialDevices::PrintList(out, dir);
            return 0;
        }
        bool ok = false;
        const int port = options.linkPort.toInt(&ok);
        const QString error = ok ? SerialDevices::LinkPort(dir, port, options.linkDevice)
                                 : QStringLiteral("port %1 is not a number from 1 to 32767").arg(options.linkPort);
        if (!error.isEmpty()) {
            Say(error);
            return 1;
        }
        const QString entry = QDir(dir).filePath(QStringLiteral("COM") + QString::number(port));
        QTextStream(stdout) << entry << " -> " << QFileInfo(entry).symLinkTarget() << Qt::endl;
        return 0;
    }
    // With no display the program serves headless instead of aborting.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    // The process ends by the program's own rule, not when its last window closes.
    app.setQuitOnLastWindowClosed(false);
    // Desktops find the installed entry and icon by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.orvane.Orvane"));
    {
        QString why;
        Platform::App().Path = ChooseAppDir(options.appDir, &why);
        if (Platform::App().Path.isEmpty()) {
            Say(why);
            return 1;
        }
    }
    Platform::App().StartMode = options.automation ? 1 : 0;
    Platform::App().PrevInstance = !TakeInstanceLock(Platform::App().Path);

    // Before start-up: a signal in one of its message boxes ends the program
    // there, and one during its exchanges as soon as they are done.
    WatchStopSignals(&app);
    Main();
    if (Platform::App().PrevInstance)
        return 0;
    EndIfStopped();
    QString why;
    if (!OrvaneCmd::StartService(&why)) {
        // Started for clients that can never reach it, and nobody sees its window.
        if (Platform::App().StartMode == 1 && (!g_mainForm || !g_mainForm->isVisible() || Platform::IsHeadless())) {
            Say(why + QStringLiteral("; no client can reach this program, so it ends"));
            if (g_mainForm)
                delete g_mainForm.data();
            if (LEDCOMM::CommFormLoaded() == 1)
                AppShutdown();
            return 1;
        }
        Say(why + QStringLiteral("; running without automation"));
    }
    OrvaneMqtt::Start();
    CheckProcessEnd();
    qCDebug(lcApp) << "start-up done; the event loop runs";
    const int code = app.exec();
    qCDebug(lcApp) << "shut-down: the event loop ended with" << code;
    OrvaneCmd::StopService();
    if (g_mainForm)
        delete g_mainForm.data();
    if (LEDCOMM::CommFormLoaded() == 1)
        AppShutdown();
    // After the lights went off, so the last state is theirs.
    OrvaneMqtt::Stop();
    return code;
}

int16_t AppInit()
{
    int16_t result = 1;
    g_shutDownRan = false;
    g_appDir = Platform::App().Path + QLatin1Char('/');
    TRAPAR::SetParDir(g_appDir);
    Platform::StartNotingMsgBoxes();
    if (LEDCOMM::CommReadSettings() < 0)
        result = -1;
    qCDebug(lcApp) << "start-up: settings read," << (result > 0 ? "port" : "failed; port")
                   << LEDCOMM::CommPortNumber() << "time-out" << LEDCOMM::CommTimeOut() << "ms";
    LEDCOMM::SetCommInTerm(13);
    LEDCOMM::SetCommOutTerm(13);
    g_maxCmdHist = 100;
    if (DeviceConnect() < 0)
        result = -1;
    LoadMainForm();
    AllChannelsOff();
    qCDebug(lcApp) << "start-up: main window loaded, channels off," << (result > 0 ? "done" : "failed");
    // The channel-off replies have overwritten the message box: it shows why
    // start-up failed instead, the log's first line (the log was created
    // empty during start-up) or else the first settings message.
    if (result < 0 && g_mainForm) {
        const QString first = LEDCOMM::GetErrLog().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts).value(0);
        g_mainForm->txtMsg->setText(first.isEmpty() ? Platform::FirstNotedMsgBox() : first);
    }
    // After the cause of a failed start, which the message box shows.
    if (const QString why = InstanceLockProblem(); !why.isEmpty())
        LEDCOMM::LogError(why);
    return result;
}

int16_t DeviceConnect()
{
    LEDCOMM::CommFormLoad();
    // A controller that came back has lost what it was set to: the next bar
    // touch or "LED" on any channel sends, even when it leaves the value as it is.
    frmComm* form = LEDCOMM::CommForm();
    QObject::disconnect(form, &frmComm::Reopened, nullptr, nullptr);
    QObject::connect(form, &frmComm::Reopened, form, [] { g_channelFailed.fill(true); });
    const bool open = LEDCOMM::CommOpenConfigured();
    // With no window to show it, the trace says why.
    const QString why = open ? QString() : LEDCOMM::GetErrLog().split(QStringLiteral("\r\n")).value(0);
    qCDebug(lcApp).noquote() << "start-up: port" << LEDCOMM::CommPortNumber()
                             << (open ? QStringLiteral("open") : QStringLiteral("not open: ") + why);
    return open ? 1 : -1;
}

namespace {
QString g_instanceLockProblem;
} // namespace

void WatchStopSignals(QObject* parent)
{
    g_terminating = false;
    Posix::WatchStopSignals(parent, EndIfStopped);
}

void EndIfStopped()
{
    if (Posix::StopSignal() != 0)
        Terminate();
}

bool TakeInstanceLock(const QString& appPath)
{
    const bool taken = Posix::TakeInstanceLock(appPath, &g_instanceLockProblem);
    if (!g_instanceLockProblem.isEmpty())
        Say(g_instanceLockProblem);
    return taken;
}

QString InstanceLockProblem() { return g_instanceLockProblem; }

bool HoldsInstanceLock() { return Posix::HoldsInstanceLock(); }

int16_t AppShutdown()
{
    g_shutDownRan = true;
    g_switchingOff = true;
    AllChannelsOff();
    g_switchingOff = false;
    LEDCOMM::CommClosePort();
    LEDCOMM::CommFormUnload();
    qCDebug(lcApp) << "shut-down: channels off, port closed";
    return 0;
}

frmVURUruduvo* MainForm() { return g_mainForm.data(); }

frmVURUruduvo* LoadMainForm()
{
    if (!g_mainForm) {
        new frmVURUruduvo;  // its load handling registers it
        LEDCOMM::SetMsgBox(g_mainForm->txtMsg);
    }
    return g_mainForm.data();
}

void MainFormLoad(frmVURUruduvo* form)
{
    g_mainForm = form;
    Platform::RegisterForm(form);
    g_mainWindowLoaded = 1;
}

void MainFormUnload(frmVURUruduvo* form)
{
    if (LEDCOMM::CommFormLoaded() == 1 && g_automationObjects == 0)
        AppShutdown();
    Platform::UnregisterForm(form);
    if (g_mainForm == form)
        g_mainForm = nullptr;
    g_mainWindowLoaded = 0;
    CheckProcessEnd();
}

void HoldProcess() { ++g_processHolds; }

void ReleaseProcess()
{
    if (g_processHolds > 0)
        --g_processHolds;
    CheckProcessEnd();
}

void AutomationObjectCreated() { ++g_automationObjects; }

void AutomationObjectDestroyed()
{
    if (g_automationObjects > 0)
        --g_automationObjects;
    // Counted, so one client's departure never shuts the port under another's feet.
    if (g_automationObjects == 0 && LEDCOMM::CommFormLoaded() == 1 && g_mainWindowLoaded == 0)
        AppShutdown();
    CheckProcessEnd();
}

void AutomationGone()
{
    if (g_mainForm && !g_mainForm->isVisible()) {
        g_mainForm->close();
        return;
    }
    if (!g_automationGoneSaid) {
        g_automationGoneSaid = true;
        Say(QStringLiteral("the session bus is gone; automation is no longer available"));
    }
}

void CheckProcessEnd()
{
    // The lights are off and the port is closed; only editor windows remain.
    // Clients and a new start must reach a fresh program, not this one.
    if (g_shutDownRan && g_mainWindowLoaded == 0 && g_automationObjects == 0 && g_processHolds > 0) {
        OrvaneCmd::ReleaseName();
        Posix::ReleaseInstanceLock();
    }
    if (g_mainWindowLoaded == 0 && g_automationObjects == 0 && g_processHolds == 0)
        QMetaObject::invokeMethod(QCoreApplication::instance(), [] {
            // Re-checked when the loop gets to it: something may have been loaded meanwhile.
            if (g_mainWindowLoaded == 0 && g_automationObjects == 0 && g_processHolds == 0) {
                qCDebug(lcApp) << "shut-down: no window, object or editor holds the program";
                Platform::Quit(0);
            }
        }, Qt::QueuedConnection);
}

// ---- Channel output ----
int16_t SetChannel(const QString& letter, int16_t intensity)
{
    const int16_t v = std::clamp<int16_t>(intensity, 0, 500);
    const int index = LetterIndex(letter);
    if (index < 0)
        return -1;
    // After a stop signal only the shut-down sends: a move of tied bars ends
    // with the command already on the wire.
    if (Posix::StopSignal() != 0 && !g_switchingOff) {
        ++g_channelFailures;
        g_channelFailed[size_t(index)] = true;
        return -1;
    }
    const QString command = QStringLiteral("AV") + letter
                            + QStringLiteral("%1").arg(500 - v, 3, 10, QLatin1Char('0'));
    QString reply;
    const int16_t r = LEDCOMM::CommQuery(command, reply);
    if (r < 0)
        ++g_channelFailures;
    else
        OrvaneMqtt::ChannelConfirmed(index, v);
    g_channelFailed[size_t(index)] = r < 0;
    if (IsFormLoaded(kMainFormName) > 0 && g_mainForm) {
        g_mainForm->txtVal[index]->setText(QString::number(v));
        g_mainForm->txtMsg->setText(reply);
    }
    return r;
}

int16_t AllChannelsOff()
{
    for (const char* letter : {"A", "B", "C", "D"})
        SetChannel(QString::fromLatin1(letter), 0);
    return 0;
}

int16_t IsFormLoaded(const QString& name)
{
    for (const QObject* f : Platform::Forms())
        if (f->objectName() == name)
            return 1;
    return 0;
}

// ---- Command interpreter ----
namespace {
// What the running script's Show and Hide asked of the main window. Each show
// or hide leaves work queued for the window until the event loop turns, and
// each one goes through all that is queued: a script of many slowed down with
// every one and held memory for all. Nothing is painted while a script runs,
// so only the state it ends with can be seen; that is applied once, at its end.
struct WindowWish {
    bool asked = false;
    bool visible = false;
};
WindowWish* g_windowWish = nullptr;
} // namespace

QString ExecScript(const QString& script, ScriptFailure* failure)
{
    WindowWish wish;
    WindowWish* const outer = std::exchange(g_windowWish, &wish);
    const auto apply = [&wish, outer] {
        g_windowWish = outer;
        if (wish.asked && g_mainForm)
            g_mainForm->setVisible(wish.visible);
    };
    const QStringView s = TrimBlanks(script);
    const QString separator = QStringLiteral(";");
    QString responses;
    qsizetype pos = 0;
    for (;;) {
        QStringView piece;
        if (SplitAt(s, pos, piece, separator) == 0)
            break;
        ScriptFailure f;
        // A stop signal ends the script before its next command; the process
        // ends once the caller has answered.
        if (const int sig = Posix::StopSignal(); sig != 0)
            f = {sig, QStringLiteral("stopped by %1 before the script ended").arg(Posix::SignalName(sig))};
        const QString response = f.number != 0 ? QString() : ExecCommand(piece.toString(), &f);
        if (f.number != 0) {
            apply();
            if (failure)
                *failure = f;
            return QString();
        }
        responses += response;
        responses += QStringLiteral(" ; ");
    }
    apply();
    return responses;
}

QString ExecCommand(const QString& line, ScriptFailure* failure)
{
    ++g_commandCounter;
    QString l = TrimBlanks(line).toString();
    QString word;
    if (NextToken(l, word) == 0)
        return QString();
    if (word == QLatin1String("LED"))
        return LedCommand(l);
    if (word == QLatin1String("Show") || word == QLatin1String("Hide")) {
        frmVURUruduvo* form = LoadMainForm();
        if (!form) {
            if (failure)
                *failure = {1, QStringLiteral("The main window could not be loaded")};
            return QString();
        }
        const bool visible = word == QLatin1String("Show");
        if (g_windowWish)
            *g_windowWish = {true, visible};
        else
            form->setVisible(visible);
        return QStringLiteral("OK ");
    }
    if (word == QLatin1String("CommandCount"))
        return kBlank + QString::number(g_commandCounter);
    if (word == QLatin1String("Ver"))
        return QStringLiteral("1.0");
    return QStringLiteral("Error Unknown command");
}

int16_t SplitFirst(QString& source, QString& piece, const QString& separator)
{
    qsizetype pos = 0;
    QStringView view;
    const qsizetype n = SplitAt(source, pos, view, separator);
    piece = view.toString();
    source = source.mid(pos);
    return Length16(n);
}

int16_t NextToken(QString& line, QString& token)
{
    const QStringView t = TrimBlanks(line);
    qsizetype p = t.indexOf(kBlank);
    if (p < 0)
        p = t.size();
    token = t.left(p).toString();
    line = TrimBlanks(t.mid(p)).toString();
    return Length16(p);
}

QString LedCommand(const QString& rest)
{
    QString words = rest;
    QString channel;
    QString value;
    const int16_t n1 = NextToken(words, channel);
    const int16_t n2 = NextToken(words, value);
    if (n1 == 0 || n2 == 0)
        return QStringLiteral("Error Missing Argument ");
    return LedSet(channel, value);
}

QString LedSet(const QString& channel, const QString& valueText)
{
    int16_t v = 0;
    if (valueText == QLatin1String("On")) {
        v = 500;
    } else if (valueText == QLatin1String("Off")) {
        v = 0;
    } else {
        if (!NumText::ToInt16(valueText, v))
            return QStringLiteral("Not a Number ");
        v = std::clamp<int16_t>(v, 0, 500);
    }
    static const QString names[4] = {"R", "G", "B", "A"};
    static const QString letters[4] = {"A", "B", "C", "D"};
    int index = -1;
    for (int i = 0; i < 4; ++i)
        if (channel == names[i])
            index = i;
    if (index < 0)
        return QStringLiteral("Bad Value ");

    if (IsFormLoaded(kMainFormName) > 0 && g_mainForm) {
        QScrollBar* bar = g_mainForm->Bar(index);
        if (!bar)
            return QStringLiteral("Error ");
        // The bar's handling does the sending; every send of this move must have succeeded.
        const uint64_t before = g_channelFailures;
        g_mainForm->SetBar(index, v);
        return g_channelFailures == before ? QStringLiteral("OK ") : QStringLiteral("Error ");
    }
    return SetChannel(letters[index], v) > 0 ? QStringLiteral("OK ") : QStringLiteral("Error ");
}

} // namespace LEDMain
