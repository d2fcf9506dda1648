// LEDMain's start-up and shut-down: settings, port, main window, channels off,
// and the lock that lets one copy run per user and application directory.
#include "engine/LEDMain.h"

#include "comm/LEDCOMM.h"
#include "comm/frmComm.h"
#include "base/Log.h"
#include "base/Platform.h"
#include "base/Posix.h"
#include "base/Wire.h"
#include "engine/Roads.h"
#include "engine/Service.h"
#include "params/TRAPAR.h"

namespace LEDMain {
namespace {

QString g_appDir;
int16_t g_maxCmdHist = 0;
bool g_shutDownRan = false;
QString g_instanceLockProblem;

} // namespace

QString AppDir() { return g_appDir; }
int16_t MaxCmdHist() { return g_maxCmdHist; }
bool ShutDownRan() { return g_shutDownRan; }

void ConnectReports()
{
    // Every consumer of the serial link's reports is connected here.
    LEDCOMM::SetReportSink([](const QString& message) {
        Log::Report(message);  // standard error or the journal, repeats collapsed
        if (ChannelPanel* panel = MainForm())
            panel->ShowResponse(message);
    });
}

int16_t AppInit()
{
    int16_t result = 1;
    g_shutDownRan = false;
    g_appDir = Platform::App().Path + QLatin1Char('/');
    ConnectReports();
    TRAPAR::SetParDir(g_appDir);
    Platform::StartNotingMsgBoxes();
    if (LEDCOMM::CommReadSettings() < 0)
        result = -1;
    qCDebug(lcApp) << "start-up: settings read," << (result > 0 ? "port" : "failed; port")
                   << LEDCOMM::CommPortNumber() << "time-out" << LEDCOMM::CommTimeOut() << "ms";
    LEDCOMM::SetCommInTerm(Wire::kLineEnd);
    LEDCOMM::SetCommOutTerm(Wire::kLineEnd);
    g_maxCmdHist = 100;
    if (DeviceConnect() < 0)
        result = -1;
    LoadMainForm();
    AllChannelsOff();
    qCDebug(lcApp) << "start-up: main window loaded, channels off," << (result > 0 ? "done" : "failed");
    // The channel-off replies have overwritten the message box: it shows why
    // start-up failed instead, the log's first line (the log was created
    // empty during start-up) or else the first settings message.
    if (ChannelPanel* panel = MainForm(); result < 0 && panel) {
        const QString first = LEDCOMM::GetErrLog().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts).value(0);
        panel->ShowResponse(first.isEmpty() ? Platform::FirstNotedMsgBox() : first);
    }
    // After the cause of a failed start, which the message box shows.
    if (const QString why = InstanceLockProblem(); !why.isEmpty())
        LEDCOMM::LogError(why);
    return result;
}

int16_t DeviceConnect()
{
    LEDCOMM::CommFormLoad();
    frmComm* form = LEDCOMM::CommForm();
    QObject::disconnect(form, &frmComm::Reopened, nullptr, nullptr);
    QObject::connect(form, &frmComm::Reopened, form, [] { MarkChannelsUnsent(); });
    const bool open = LEDCOMM::CommOpenConfigured();
    // With no window to show it, the trace says why.
    const QString why = open ? QString() : LEDCOMM::GetErrLog().split(QStringLiteral("\r\n")).value(0);
    qCDebug(lcApp).noquote() << "start-up: port" << LEDCOMM::CommPortNumber()
                             << (open ? QStringLiteral("open") : QStringLiteral("not open: ") + why);
    return open ? 1 : -1;
}

void ReloadSettings()
{
    LEDCOMM::CommReopenConfigured();
    Roads::SettingsReloaded();
    Service::SettingsReloaded();
}

bool TakeInstanceLock(const QString& appPath)
{
    const bool taken = Posix::TakeInstanceLock(appPath, &g_instanceLockProblem);
    if (!g_instanceLockProblem.isEmpty())
        Log::Say(g_instanceLockProblem);
    return taken;
}

QString InstanceLockProblem() { return g_instanceLockProblem; }

bool HoldsInstanceLock() { return Posix::HoldsInstanceLock(); }

int16_t AppShutdown()
{
    g_shutDownRan = true;
    AllChannelsOffAtShutDown();
    LEDCOMM::CommClosePort();
    LEDCOMM::CommFormUnload();
    qCDebug(lcApp) << "shut-down: channels off, port closed";
    return 0;
}

} // namespace LEDMain
