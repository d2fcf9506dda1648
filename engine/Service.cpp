#include "engine/Service.h"

#include "base/Channels.h"
#include "base/Log.h"
#include "base/Notify.h"
#include "base/Platform.h"
#include "comm/LEDCOMM.h"
#include "comm/frmComm.h"
#include "engine/Roads.h"

#include <QSerialPort>
#include <QTimer>

namespace Service {
namespace {

bool g_active = false;
// How often the status line is looked at: a port that closed or a broker that
// went away shows within this.
constexpr int kStatusPollMs = 1000;

} // namespace

void Enable()
{
    g_active = true;
    // Whatever the session offers: no window is ever shown.
    qputenv("QT_QPA_PLATFORM", "offscreen");
}

bool Active() { return g_active; }

QString StatusLine() { return StatusParts().join(QStringLiteral("; ")); }

QStringList StatusParts()
{
    const frmComm* form = LEDCOMM::CommForm();
    const bool open = form && form->MSComm1->isOpen();
    QStringList parts{QStringLiteral("port %1 %2").arg(LEDCOMM::CommPortNumber()).arg(open ? "open" : "not open")};
    if (const QString heldBy = LEDCOMM::CommPortHeldBy(); !heldBy.isEmpty())
        parts.last() += QStringLiteral(": ") + heldBy;
    parts << Roads::Statuses();
    return parts;
}

void Started(QObject* parent)
{
    Notify::Status(StatusLine());
    Notify::Ready();
    Notify::StartWatchdog(parent);
    auto* poll = new QTimer(parent);
    QObject::connect(poll, &QTimer::timeout, poll, [] { Notify::Status(StatusLine()); });
    poll->start(kStatusPollMs);
}

void SettingsReloaded() { Notify::Status(StatusLine()); }

int StopBudgetMs() { return (Channels::kCount + 1) * std::max<int>(LEDCOMM::CommTimeOut(), 0) + Roads::kStoppingMs; }

void Stopping() { Notify::Stopping(uint64_t(StopBudgetMs()) * 1000); }

bool EndIfUnreachable(bool windowSeen)
{
    if (g_active || Platform::App().StartMode != 1 || windowSeen || Roads::AnyConfigured())
        return false;
    Log::Say(QStringLiteral("the session bus is gone, no window is seen and no MQTT_HOST is set; no client can "
                            "reach this program, so it ends"));
    Platform::Quit(kUnreachable);
    return true;
}

} // namespace Service
