// LEDMain's process entry: the command line, the application object, the
// event loop, and the stop signals that end the program wherever they come.
#include "engine/LEDMain.h"

#include "comm/LEDCOMM.h"
#include "base/Log.h"
#include "base/MessageFilter.h"
#include "base/Platform.h"
#include "base/Posix.h"
#include "engine/Roads.h"
#include "engine/Service.h"
#include "engine/StartOptions.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QScopeGuard>
#include <QTextStream>

namespace LEDMain {
namespace {

// SIGTERM, SIGINT and SIGHUP end the program. The event loop does not turn
// while a script runs, so a running script looks at Posix::StopSignal itself.
bool g_terminating = false;

// The stop budget once the command under way has had its time-out: what the
// channels and the roads have, and what standard error gets a tenth of.
int AfterCommandMs() { return Service::StopBudgetMs() - std::max<int>(LEDCOMM::CommTimeOut(), 0); }

// What an ending program gives the lines still waiting for standard error.
int StderrShareMs() { return AfterCommandMs() / 10; }

// The process ends here, wherever the signal was seen: a modal loop left as if
// answered would let start-up or a settings change carry on after it.
void Terminate()
{
    if (g_terminating)
        return;
    g_terminating = true;
    qCDebug(lcApp).noquote() << "shut-down: stopped by" << Posix::SignalName(Posix::StopSignal());
    Service::Stopping();
    // A tenth of what the command that ran has left is kept for standard error's last lines.
    const int stderrShare = StderrShareMs();
    const QDeadlineTimer budget(AfterCommandMs() - stderrShare);
    // Objects of clients may still live; the lights go off all the same.
    if (LEDCOMM::CommFormLoaded() == 1)
        AppShutdown();
    Roads::Stopping(int(budget.remainingTime()));
    Posix::ReleaseInstanceLock();
    Log::FinishStderr(stderrShare);
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
    if ((startMode == 0 || r < 0) && !Service::Active())
        if (ChannelPanel* panel = LoadMainForm())
            panel->SetShown(true);
}

// The command line: -1 to start, else the exit status of what it asked for
// (help, version, a usage error, a task such as --udev-rule).
int HandleCommandLine(int argc, char** argv, StartOptions::Values& options)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QFile::decodeName(argv[i]);
    QString usageError;
    switch (StartOptions::Parse(arguments, options, &usageError)) {
    case StartOptions::Request::Help:
        QTextStream(stdout) << StartOptions::Usage();
        return Service::kEnded;
    case StartOptions::Request::Version:
        QTextStream(stdout) << StartOptions::Version() << Qt::endl;
        return Service::kEnded;
    case StartOptions::Request::UsageError:
        QTextStream(stderr) << "orvane: " << usageError << "\n\n" << StartOptions::Usage();
        return Service::kUsage;
    case StartOptions::Request::Start:
        break;
    }
    if (options.verbose)
        StartOptions::BeVerbose();
    if (StartOptions::IsTask(options))
        return StartOptions::RunTask(options, argc, argv);
    if (options.service)
        Service::Enable();
    // With no display the program serves headless instead of aborting.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    return -1;
}

// The application directory, how the program was started and the instance
// lock. False when no directory can serve (said).
bool TakeAppDir(const StartOptions::Values& options)
{
    QString why;
    Platform::App().Path = ChooseAppDir(options.appDir, &why);
    if (Platform::App().Path.isEmpty()) {
        Say(why);
        return false;
    }
    Platform::App().StartMode = options.automation || options.service ? 1 : 0;
    Platform::App().PrevInstance = !TakeInstanceLock(Platform::App().Path);
    return true;
}

// The roads clients come by. -1 to run on, else the exit status of a program
// started for clients that can never reach it.
int StartRoads()
{
    QString why;
    Roads::Start(&why);
    if (why.isEmpty())
        return -1;
    // Started for clients that can never reach it, and nobody sees its window.
    if (Platform::App().StartMode == 1 && !Roads::AnyConfigured()
        && (!MainForm() || !MainForm()->IsShown() || Platform::IsHeadless())) {
        Say(why + QStringLiteral("; no client can reach this program, so it ends"));
        delete MainForm();
        if (LEDCOMM::CommFormLoaded() == 1)
            AppShutdown();
        return Service::kUnreachable;
    }
    Say(why + QStringLiteral("; running without automation"));
    return -1;
}

// After the event loop: the window and the lights, then the roads, so the
// last state they tell is the lights off.
void ShutDown()
{
    delete MainForm();
    if (LEDCOMM::CommFormLoaded() == 1)
        AppShutdown();
    Roads::Stopping(Roads::kStoppingMs);
}

} // namespace

int Run(int argc, char** argv)
{
    Log::SetUp();
    // What standard error has not taken yet gets a share of the stop, on every way out.
    const auto lastLines = qScopeGuard([] { Log::FinishStderr(StderrShareMs()); });
    MessageFilter::Install();
    StartOptions::Values options;
    if (const int code = HandleCommandLine(argc, argv, options); code >= 0)
        return code;

    QApplication app(argc, argv);
    // The process ends by the program's own rule, not when its last window closes.
    app.setQuitOnLastWindowClosed(false);
    // Desktops find the installed entry and icon by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.orvane.Orvane"));
    if (!TakeAppDir(options))
        return Service::kFailed;

    // Before start-up: a signal in one of its message boxes ends the program
    // there, and one during its exchanges as soon as they are done.
    WatchStopSignals(&app);
    Main();
    if (Platform::App().PrevInstance)
        return Service::kAlreadyRunning;
    EndIfStopped();
    if (const int code = StartRoads(); code >= 0)
        return code;
    Service::Started(&app);
    CheckProcessEnd();
    qCDebug(lcApp) << "start-up done; the event loop runs";
    const int code = app.exec();
    qCDebug(lcApp) << "shut-down: the event loop ended with" << code;
    ShutDown();
    return code;
}

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

} // namespace LEDMain
