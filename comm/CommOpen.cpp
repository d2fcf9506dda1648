// LEDCOMM's open and close of the port, and why an open was refused: who holds
// the device (its serial lock, else a search of /proc on a thread of its own)
// or which group may use it.
#include "comm/LEDCOMM.h"
#include "comm/LEDCOMMState.h"

#include "comm/frmComm.h"
#include "comm/SerialDevices.h"
#include "base/Platform.h"
#include "base/Posix.h"
#include "base/Wire.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace LEDCOMM {
namespace {

QString g_heldBy;  // why the last open found the device busy; empty when it did not

// ---- Who holds a busy device ----
// The /proc scan takes about 0.1 ms a process: a user with thousands of them
// would hold the event loop for seconds at every refused open. It runs on a
// thread of its own, bounded; the open waits for it a little, and what it
// finds after that is reported when it comes.
constexpr int kHolderWaitMs = 100;
constexpr int kHolderScanMs = 5000;
constexpr int kHolderScanProcesses = 65536;
// The last scan is used again for the same device for a while: a device
// refused in a row of reopens is scanned once.
constexpr int kHolderReuseMs = 5000;

struct HolderScan {
    QString device;
    QString failure;  // the open's error text, to report the late names with
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool late = false;  // the open went on without it
    Posix::Openers found;
    QElapsedTimer since;  // started when done
};
std::shared_ptr<HolderScan> g_holderScan;
// Held while the worker posts its result, so that it never posts to an application gone.
std::mutex g_postMutex;
bool g_appGone = false;

void HolderFoundLate(const std::shared_ptr<HolderScan>& scan);

std::shared_ptr<HolderScan> StartHolderScan(const QString& device, const QString& failure)
{
    auto scan = std::make_shared<HolderScan>();
    scan->device = device;
    scan->failure = failure;
    static const bool watched = [] {
        qAddPostRoutine([] {
            std::lock_guard lock(g_postMutex);
            g_appGone = true;
        });
        return true;
    }();
    (void)watched;
    std::thread([scan] {
        const Posix::Openers found = Posix::DeviceOpeners(scan->device, QDeadlineTimer(kHolderScanMs), kHolderScanProcesses);
        bool late = false;
        {
            std::lock_guard lock(scan->mutex);
            scan->found = found;
            scan->done = true;
            scan->since.start();
            late = scan->late;
        }
        scan->finished.notify_all();
        std::lock_guard lock(g_postMutex);
        if (late && !g_appGone && QCoreApplication::instance())
            QMetaObject::invokeMethod(QCoreApplication::instance(), [scan] { HolderFoundLate(scan); }, Qt::QueuedConnection);
    }).detach();
    return scan;
}

// ": <holders>" for device within kHolderWaitMs, else " (looking for which)"
// and the names are reported when found.
QString HolderNames(const QString& device, const QString& failure, bool* pending)
{
    *pending = false;
    std::shared_ptr<HolderScan> scan = g_holderScan;
    const bool reusable = scan && scan->device == device && [&] {
        std::lock_guard lock(scan->mutex);
        return !scan->done || scan->since.elapsed() < kHolderReuseMs;
    }();
    if (!reusable)
        g_holderScan = scan = StartHolderScan(device, failure);
    std::unique_lock lock(scan->mutex);
    if (!scan->finished.wait_for(lock, std::chrono::milliseconds(kHolderWaitMs), [&] { return scan->done; })) {
        scan->late = true;
        *pending = true;
        return QString();
    }
    return scan->found.names;
}

void HolderFoundLate(const std::shared_ptr<HolderScan>& scan)
{
    const QString busy = QStringLiteral("another program holds ") + scan->device;
    // Only while the port is still refused for that device.
    if (scan->found.names.isEmpty() || !g_form || g_form->MSComm1->isOpen() || g_heldBy != busy)
        return;
    g_heldBy += QStringLiteral(": ") + scan->found.names;
    ReportFailure("CommOpenPort", QSerialPort::PermissionError, scan->failure + QStringLiteral(": ") + g_heldBy);
}

// Raises a modem line; a device without modem lines (a pseudo-terminal)
// refuses with "Inappropriate ioctl for device", which is no failure.
bool RaiseLine(QSerialPort* port, bool (QSerialPort::*set)(bool))
{
    ClearError(port);
    if ((port->*set)(true))
        return true;
    if (port->error() == QSerialPort::UnsupportedOperationError) {
        ClearError(port);
        return true;
    }
    return false;
}

} // namespace

QString CommPortHeldBy() { return g_form && !g_form->MSComm1->isOpen() ? g_heldBy : QString(); }

namespace {
// Which group owns a device this process may not use and, when this login
// lacks the group, how to join it.
QString PermissionHint(const QString& device)
{
    const Posix::DeviceRefusal r = Posix::CheckDeviceAccess(device);
    if (!r.refused)
        return QString();
    QString hint = QStringLiteral(": %1 belongs to the group %2").arg(device, r.group);
    if (!r.inGroup)
        hint += QStringLiteral("; add your user to the group %1, then log in again").arg(r.group);
    return hint;
}
} // namespace

QString CommPortDevice(int16_t port)
{
    QString dir = Platform::App().Path;
    if (dir.isEmpty() && QCoreApplication::instance())
        dir = QCoreApplication::applicationDirPath();
    return SerialDevices::PortDevice(dir, port);
}

namespace {

struct OpenFailure {
    int number = 0;
    QString text;
};

// Opens the port with the wire's settings and DTR and RTS raised; false with the failure,
// which is left to the caller to report.
bool TryOpen(int16_t port, OpenFailure& failure, QString* opened = nullptr)
{
    QSerialPort* p = Form()->MSComm1;
    if (p->isOpen()) {
        failure = {QSerialPort::OpenError, QStringLiteral("Device is already open")};
        return false;
    }
    if (port < 1) {
        failure = {QSerialPort::DeviceNotFoundError,
                   QStringLiteral("Port number %1 is not valid: ports are numbered from 1").arg(port)};
        return false;
    }
    // Serial locks go by the device's own name: opened through its link, a device
    // that another program (minicom, screen) holds under that name stays its.
    const QString link = CommPortDevice(port);
    const QString device = QFileInfo(link).canonicalFilePath();
    p->setPortName(device.isEmpty() ? link : device);
    p->setBaudRate(Wire::kBaud);
    p->setParity(Wire::kParity ? QSerialPort::EvenParity : QSerialPort::NoParity);
    p->setDataBits(QSerialPort::DataBits(Wire::kDataBits));
    p->setStopBits(QSerialPort::StopBits(Wire::kStopBits));
    p->setFlowControl(Wire::kFlowControl ? QSerialPort::HardwareControl : QSerialPort::NoFlowControl);
    ClearError(p);
    g_heldBy.clear();
    if (!p->open(QIODevice::ReadWrite)) {
        QString text = p->errorString();
        // The serial layer calls a port that another program holds a permission error; say who.
        // A device that the process may not use is another matter: say how to get the right.
        if (p->error() == QSerialPort::PermissionError) {
            const QString target = device.isEmpty() ? link : device;
            const QString holder = Posix::SerialLockHolder(target);
            if (!holder.isEmpty()) {
                text += QStringLiteral(": the port is in use by ") + holder;
            } else if (text == QString::fromLocal8Bit(std::strerror(EBUSY))) {
                // Exclusive mode without a lock file: a terminal program, or a killed one's leftover.
                g_heldBy = QStringLiteral("another program holds ") + target;
                bool pending = false;
                if (const QString openers = HolderNames(target, text, &pending); !openers.isEmpty())
                    g_heldBy += QStringLiteral(": ") + openers;
                text += QStringLiteral(": ") + g_heldBy + (pending ? QStringLiteral(" (looking for which)") : QString());
            } else {
                text += PermissionHint(target);
            }
        }
        failure = {p->error(), text};
        ClearError(p);
        return false;
    }
    g_form->PortOpened();
    // Qt raises the lines of an open port only.
    if (!RaiseLine(p, &QSerialPort::setRequestToSend) || !RaiseLine(p, &QSerialPort::setDataTerminalReady)) {
        failure = {p->error(), p->errorString()};
        p->close();
        ClearError(p);
        return false;
    }
    g_form->AskLowLatency();
    g_form->DeviceOpened(port, link, device);
    if (opened)
        *opened = device.isEmpty() ? link : device;
    return true;
}

} // namespace

bool CommOpenPort(int16_t port)
{
    OpenFailure failure;
    if (TryOpen(port, failure))
        return true;
    ReportFailure("CommOpenPort", failure.number, failure.text);
    return false;
}

bool CommReopenPort(int16_t port, QString& failure)
{
    OpenFailure f;
    QString device;
    if (!TryOpen(port, f, &device)) {
        failure = QStringLiteral("CommOpenPort ") + Signed(f.number) + QLatin1Char(' ') + f.text;
        return false;
    }
    ReportFailure("CommOpenPort", 0, device + QStringLiteral(" reopened"));
    return true;
}

bool CommOpenConfigured() { return CommOpenPort(g_port); }

bool CommReopenConfigured()
{
    CommClosePort();
    CommReadSettings();
    return CommOpenConfigured();
}

bool CommClosePort()
{
    // Closed on purpose: a vanished device is no longer waited for.
    if (g_form)
        g_form->StopWatching();
    // A port that is not open closes silently: after a failed open every
    // shut-down would otherwise log an error.
    QSerialPort* p = OpenPort();
    if (!p)
        return true;
    g_form->RestoreLowLatency();
    ClearError(p);
    p->close();
    if (p->error() != QSerialPort::NoError) {
        ReportFailure("CommClosePort", p->error(), p->errorString());
        ClearError(p);
        return false;
    }
    return true;
}

} // namespace LEDCOMM
