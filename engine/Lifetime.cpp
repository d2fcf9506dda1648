// LEDMain's lifetime rule: the main window's load and unload, automation
// objects and editor windows, and the one place that decides the process ends.
#include "engine/LEDMain.h"

#include "comm/LEDCOMM.h"
#include "base/Log.h"
#include "base/Platform.h"
#include "base/Posix.h"
#include "engine/Roads.h"
#include "engine/Service.h"

#include <QCoreApplication>

namespace LEDMain {
namespace {

// Inside a function, so a factory registered by another file's static initialiser finds it made.
ChannelPanelFactory& PanelFactory()
{
    static ChannelPanelFactory factory;
    return factory;
}
// Set by the window's load handling, cleared by its unload handling, which
// runs before any of its widgets go.
ChannelPanel* g_mainForm = nullptr;
int16_t g_mainWindowLoaded = 0;
int g_automationObjects = 0;
int g_processHolds = 0;
bool g_automationGoneSaid = false;

} // namespace

int16_t MainWindowLoaded() { return g_mainWindowLoaded; }
int AutomationObjects() { return g_automationObjects; }

void SetPanelFactory(ChannelPanelFactory factory) { PanelFactory() = std::move(factory); }

ChannelPanel* MainForm() { return g_mainForm; }

ChannelPanel* LoadMainForm()
{
    if (!g_mainForm && PanelFactory())
        PanelFactory()();  // its load handling registers it
    return g_mainForm;
}

void MainFormLoad(ChannelPanel* form)
{
    g_mainForm = form;
    g_mainWindowLoaded = 1;
}

void MainFormUnload(ChannelPanel* form)
{
    if (LEDCOMM::CommFormLoaded() == 1 && g_automationObjects == 0)
        AppShutdown();
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
    if (g_mainForm && !g_mainForm->IsShown() && !Service::Active()) {
        g_mainForm->Close();
        return;
    }
    if (Service::EndIfUnreachable(g_mainForm && g_mainForm->IsShown() && !Platform::IsHeadless()))
        return;
    if (!g_automationGoneSaid) {
        g_automationGoneSaid = true;
        Log::Say(QStringLiteral("the session bus is gone; automation is no longer available"));
    }
}

void CheckProcessEnd()
{
    // The lights are off and the port is closed; only editor windows remain.
    // Clients and a new start must reach a fresh program, not this one.
    if (ShutDownRan() && g_mainWindowLoaded == 0 && g_automationObjects == 0 && g_processHolds > 0) {
        Roads::Stopping(Roads::kStoppingMs);
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

} // namespace LEDMain
