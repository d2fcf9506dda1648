#include "comm/LEDCOMM.h"

#include "comm/Delay32.h"
#include "comm/frmComm.h"
#include "comm/SerialDevices.h"
#include "base/Log.h"
#include "base/Notify.h"
#include "base/NumText.h"
#include "base/Platform.h"
#include "base/Posix.h"
#include "base/Wire.h"
#include "params/TRAPAR.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <array>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace LEDCOMM {
namespace {

// ---- Error log state ----
std::array<QString, kErrLogSlots> g_errLog;
int16_t g_errPos = 0;
std::function<void(const QString&)> g_reportSink;

} // namespace

void LogError(const QString& message)
{
    g_errLog[g_errPos] = message;
    if (++g_errPos > kErrLogSlots - 1)
        g_errPos = 0;
}

void ReportError(const QString& message)
{
    LogError(message);
    if (g_reportSink)
        g_reportSink(message);
}

void SetReportSink(std::function<void(const QString& message)> sink) { g_reportSink = std::move(sink); }

QString GetErrLog()
{
    QString text;
    for (int i = g_errPos; i < kErrLogSlots; ++i) {
        if (!g_errLog[i].isEmpty())
            text += g_errLog[i] + QStringLiteral("\r\n");
    }
    for (int i = 0; i < g_errPos; ++i)
        text += g_errLog[i] + QStringLiteral("\r\n");
    return text;
}

void ResetErrLog()
{
    g_errLog.fill(QString());
}

// ---- Port settings, open and close ----

namespace {

int16_t g_port = 0;
int16_t g_timeOut = 0;
int16_t g_outTerm = 0;
int16_t g_inTerm = 0;
int16_t g_formLoaded = 0;
frmComm* g_form = nullptr;
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

const QString kNotOpenText = QStringLiteral("Device is not open");
constexpr qsizetype kDroppedShown = 80;

// A number with its sign position: a blank in front unless it is negative.
QString Signed(int n)
{
    return n < 0 ? QString::number(n) : QLatin1Char(' ') + QString::number(n);
}

void ReportFailure(const char* routine, int number, const QString& text)
{
    ReportError(QLatin1String(routine) + QLatin1Char(' ') + Signed(number) + QLatin1Char(' ') + text);
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

// The serial host, created on first use with a closed port.
frmComm* Form()
{
    if (!g_form)
        g_form = new frmComm;
    return g_form;
}

QSerialPort* OpenPort()
{
    return g_form && g_form->MSComm1->isOpen() ? g_form->MSComm1 : nullptr;
}

// Clearing signals errorOccurred and fetches a translated text: only when needed.
void ClearError(QSerialPort* port)
{
    if (port->error() != QSerialPort::NoError)
        port->clearError();
}

// A parameter value as a 16-bit number; false for text that is no number and
// for numbers out of range.
bool ValueToInt16(const QVariant& value, int16_t& out)
{
    switch (value.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
        return NumText::ToInt16(QString::number(value.toDouble(), 'g', 17), out);
    default:
        return NumText::ToInt16(value.toString(), out);
    }
}

// Reads one setting; 1 found and stored, -1 missing, 0 not a 16-bit number
// (said in a message box).
int16_t ReadSetting(const char* name, int16_t& target)
{
    QVariant value;
    if (TRAPAR::ParAccess(QLatin1String(name), value, QStringLiteral("from")) != 1)
        return -1;
    int16_t n = 0;
    if (!ValueToInt16(value, n)) {
        // Start-up goes on without this setting; the user must learn why.
        Platform::MsgBox(QStringLiteral("Parameter %1 in %2 is not a whole number from -32768 to 32767: \"%3\"")
                             .arg(QLatin1String(name), TRAPAR::GetParPath(), value.toString().left(40)),
                         Platform::vbCritical);
        return 0;
    }
    target = n;
    return 1;
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

// Empties the receive side before a command goes out: a reply that came after
// its wait ended would otherwise pass for the answer to this command. What is
// dropped goes into the log, CR shown as \r, at most 80 characters.
void DropWaiting(QSerialPort* port)
{
    QByteArray dropped = port->readAll();
    // Bytes still in the driver reach the serial layer only when asked for.
    if (port->waitForReadyRead(0))
        dropped += port->readAll();
    ClearError(port);
    if (dropped.isEmpty())
        return;
    // A device that floods the line leaves more in the driver: gone too.
    port->clear(QSerialPort::Input);
    ClearError(port);
    QString shown;
    for (const char c : dropped) {
        if (shown.size() >= kDroppedShown)
            break;
        if (c == '\r')
            shown += QStringLiteral("\\r");
        else if (c == '\n')
            shown += QStringLiteral("\\n");
        else
            shown += QChar(char16_t(uchar(c)));
    }
    LogError(QStringLiteral("CommOut dropped: ") + shown.left(kDroppedShown));
}

} // namespace

int16_t CommReadSettings()
{
    TRAPAR::SetParFile(kSettingsFile);
    if (TRAPAR::LoadPars() == -1)
        return -1;
    int16_t result = 1;
    switch (ReadSetting("PORT", g_port)) {
    case 0: return -1;
    case -1: result = -1; break;
    }
    switch (ReadSetting("TIMEOUT", g_timeOut)) {
    case 0: return -1;
    case -1: result = -1; break;
    }
    return result;
}

void CommFormLoad()
{
    Form();
    ResetErrLog();
    g_formLoaded = 1;
}

void CommFormUnload()
{
    delete g_form;  // closes the port
    g_form = nullptr;
    g_formLoaded = 0;
}

int16_t CommFormLoaded() { return g_formLoaded; }
void SetCommOutTerm(int16_t code) { g_outTerm = code; }
void SetCommInTerm(int16_t code) { g_inTerm = code; }
int16_t CommPortNumber() { return g_port; }
QString CommPortHeldBy() { return g_form && !g_form->MSComm1->isOpen() ? g_heldBy : QString(); }
int16_t CommTimeOut() { return g_timeOut; }
frmComm* CommForm() { return g_form; }

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

// ---- Device exchange ----

int16_t CommQuery(const QString& command, QString& reply)
{
    // Timed only while traced: the clock is read twice per exchange then.
    const bool tracing = lcComm().isDebugEnabled();
    QElapsedTimer took;
    if (tracing)
        took.start();
    const int16_t out = CommOut(command);
    const int16_t in = CommIn(reply);
    if (tracing) {
        const qint64 us = took.nsecsElapsed() / 1000;
        // CommIn ends at the terminator or at the time-out, nowhere else.
        if (in > 0)
            qCDebug(lcComm) << "exchange" << command << "-> reply" << reply << "in" << us << "us";
        else
            qCDebug(lcComm) << "exchange" << command << (out > 0 ? "->" : "-> not sent,") << "time-out of"
                            << g_timeOut << "ms, received" << reply << "in" << us << "us";
    }
    return out > 0 && in > 0 ? 1 : -1;
}

int16_t CommOut(const QString& command)
{
    QSerialPort* p = OpenPort();
    if (!p) {
        ReportFailure("CommOut", QSerialPort::NotOpenError, kNotOpenText);
        return -1;
    }
    DropWaiting(p);
    // One byte per character; characters beyond 8 bits go out as "?".
    const QByteArray bytes = (command + QChar(char16_t(g_outTerm))).toLatin1();
    ClearError(p);
    const qint64 written = p->write(bytes);
    if (written == bytes.size())
        p->flush();  // on the line now, whatever the reply wait does
    if (g_form->Vanished()) {
        g_form->CloseVanished();
        ReportFailure("CommOut", QSerialPort::NotOpenError, kNotOpenText);
        return -1;
    }
    if (written != bytes.size() || p->error() != QSerialPort::NoError) {
        ReportFailure("CommOut", p->error(), p->errorString());
        ClearError(p);
        return -1;
    }
    return 1;
}

int16_t CommIn(QString& reply)
{
    QString received;
    int16_t result = -1;
    bool reported = false;  // one report per wait for an error that lasts
    auto lastError = QSerialPort::NoError;
    const uint32_t start = Delay32::TickMs();
    for (;;) {
        Notify::Ping();  // the wait holds the event loop, but the program lives
        const uint32_t elapsed = Delay32::TickMs() - start;  // right across the wrap
        if (int64_t(elapsed) > g_timeOut) {
            ReportError(received + QStringLiteral("-Port TimeOut"));
            result = -1;
            break;
        }
        // Until the wait may end: the first moment elapsed exceeds the time-out.
        const int remaining = int(int64_t(g_timeOut) - int64_t(elapsed) + 1);
        QSerialPort* p = OpenPort();
        if (!p) {
            if (!reported)
                ReportFailure("CommIn", QSerialPort::NotOpenError, kNotOpenText);
            reported = true;
            QThread::msleep(ulong(Notify::WaitSlice(remaining)));  // nothing can arrive: sleep out the wait
            continue;
        }
        if (p->bytesAvailable() == 0) {
            ClearError(p);
            if (!p->waitForReadyRead(Notify::WaitSlice(remaining))) {
                const auto error = p->error();
                ClearError(p);
                if (g_form->Vanished()) {
                    g_form->CloseVanished();  // reported as its line event, not here
                    reported = true;
                    continue;
                }
                if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError)
                    continue;
                if (!reported || error != lastError)
                    ReportFailure("CommIn", error, p->errorString());
                reported = true;
                lastError = error;
                // A failing read returns at once; a lasting failure must not spin.
                QThread::msleep(ulong(std::min(remaining, 10)));
                continue;
            }
        }
        const QByteArray bytes = p->readAll();
        if (CommInFrame(received, bytes.constData(), bytes.size(), g_inTerm) == 1) {
            result = 1;
            break;
        }
    }
    if (g_form)
        g_form->CheckLineCounters();
    reply = received;
    return result;
}

int16_t CommInFrame(QString& received, const char* bytes, qsizetype count, int16_t terminator)
{
    const void* found = terminator >= 0 && terminator <= 0xFF && count > 0
        ? std::memchr(bytes, terminator, size_t(count)) : nullptr;
    // Only the new bytes are searched: what came before holds no terminator.
    const qsizetype take = found ? static_cast<const char*>(found) - bytes : count;
    const qsizetype room = std::max<qsizetype>(0, kCommInMaxReply - received.size());
    received += QLatin1String(bytes, std::min(take, room));
    if (!found)
        return 0;
    // The terminator stays; the rest of the read is dropped.
    if (received.size() >= kCommInMaxReply)
        received.truncate(kCommInMaxReply - 1);
    received += QChar(char16_t(terminator));
    return 1;
}

// ---- Line events ----

const QList<CommEventInfo>& CommEventTable()
{
    static const QList<CommEventInfo> table = {
        {comEventBreak, "comEventBreak", "a break condition was received"},
        {comEventFrame, "comEventFrame", "framing error"},
        {comEventOverrun, "comEventOverrun", "the UART lost a character (hardware overrun)"},
        {comEventRxOver, "comEventRxOver", "the receive buffer overflowed"},
        {comEventRxParity, "comEventRxParity", "parity error"},
        {comEventDeviceGone, "comEventDeviceGone",
         "the device hung up or disappeared; the port was closed"},
    };
    return table;
}

} // namespace LEDCOMM
