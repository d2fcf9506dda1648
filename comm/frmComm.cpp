#include "comm/frmComm.h"

#include "base/Log.h"
#include "base/Platform.h"
#include "base/Posix.h"
#include "comm/LEDCOMM.h"

#include <QTimer>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

frmComm::Intervals g_intervals;

// The line events of the driver's counters, in the order Posix::LineErrorCounts gives them.
constexpr std::array<int, 5> kLineCodes = {
    LEDCOMM::comEventBreak, LEDCOMM::comEventFrame, LEDCOMM::comEventOverrun,
    LEDCOMM::comEventRxParity, LEDCOMM::comEventRxOver,
};

// The serial layer names a device under /dev without that directory.
QString DevicePath(const QSerialPort* port)
{
    const QString name = port->portName();
    return name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
}

} // namespace

frmComm::Intervals frmComm::SetIntervals(const Intervals& intervals)
{
    return std::exchange(g_intervals, intervals);
}

frmComm::frmComm(QObject* parent)
    : QObject(parent), MSComm1(new QSerialPort(this)), returnTimer_(new QTimer(this))
{
    setObjectName(QStringLiteral("frmComm"));
    Platform::RegisterForm(this);
    MSComm1->setObjectName(QStringLiteral("MSComm1"));
    // Between exchanges a flooding device fills this much and then waits in the driver.
    MSComm1->setReadBufferSize(LEDCOMM::kCommInMaxReply);
    connect(MSComm1, &QSerialPort::errorOccurred, this, &frmComm::MSComm1_ErrorOccurred);
    connect(MSComm1, &QSerialPort::readyRead, this, &frmComm::CheckLineCounters);
    returnTimer_->setTimerType(Qt::CoarseTimer);
    connect(returnTimer_, &QTimer::timeout, this, &frmComm::CheckReturn);
}

frmComm::~frmComm()
{
    if (MSComm1->isOpen())
        RestoreLowLatency();
    Platform::UnregisterForm(this);
}

void frmComm::PostCommEvent(int code)
{
    QMetaObject::invokeMethod(
        this,
        [this, code] {
            CommEvent = code;
            OnComm();
        },
        Qt::QueuedConnection);
}

void frmComm::OnComm()
{
    // Codes up to 1000 are ordinary traffic; above are always positive, so
    // the sign position is a blank.
    if (CommEvent > 1000)
        LEDCOMM::ReportError(QStringLiteral("ERROR # ") + QString::number(CommEvent));
}

void frmComm::PortOpened()
{
    vanished_ = false;
    vanishReported_ = false;
    countersSupported_ = Posix::LineErrorCounts(MSComm1->handle(), counters_);
}

void frmComm::CheckLineCounters()
{
    if (!countersSupported_ || !MSComm1->isOpen())
        return;
    std::array<int, 5> now{};
    if (!Posix::LineErrorCounts(MSComm1->handle(), now))
        return;
    for (size_t i = 0; i < now.size(); ++i) {
        if (now[i] != counters_[i])
            PostCommEvent(kLineCodes[i]);
    }
    counters_ = now;
}

void frmComm::AskLowLatency()
{
    savedSerialFlags_.reset();
    int previous = 0;
    const int error = Posix::AskLowLatency(int(MSComm1->handle()), &previous);
    if (error == 0) {
        savedSerialFlags_ = previous;
        qCDebug(lcComm).noquote() << "low-latency mode on for" << DevicePath(MSComm1);
    } else if (error == ENOTTY) {
        qCDebug(lcComm).noquote() << DevicePath(MSComm1) << "has no serial driver to ask for low-latency mode";
    } else {
        qCInfo(lcComm).noquote() << QStringLiteral("the driver of %1 refused low-latency mode (%2): a reply may "
                                                   "wait for the adapter's latency timer")
                                        .arg(DevicePath(MSComm1), QString::fromLocal8Bit(std::strerror(error)));
    }
}

void frmComm::RestoreLowLatency()
{
    const std::optional<int> flags = std::exchange(savedSerialFlags_, std::nullopt);
    if (!flags || !MSComm1->isOpen())
        return;
    if (const int error = Posix::RestoreSerialFlags(int(MSComm1->handle()), *flags); error != 0)
        qCDebug(lcComm).noquote() << "low-latency mode of" << DevicePath(MSComm1)
                                  << "not given back:" << std::strerror(error);
}

void frmComm::MSComm1_ErrorOccurred(QSerialPort::SerialPortError error)
{
    if (vanished_ || !MSComm1->isOpen())
        return;
    const bool gone = error == QSerialPort::ResourceError
        || ((error == QSerialPort::ReadError || error == QSerialPort::WriteError) && Posix::HungUp(int(MSComm1->handle())));
    if (!gone)
        return;
    // Mend: Qt leaves a vanished device open and signals it again on every
    // pass of the event loop. Close it, but not from inside Qt's own read
    // handling, which is where this signal comes from.
    vanished_ = true;
    savedSerialFlags_.reset();  // the mode went with the device
    QMetaObject::invokeMethod(this, &frmComm::CloseVanished, Qt::QueuedConnection);
}

void frmComm::CloseVanished()
{
    if (!vanished_)
        return;
    if (MSComm1->isOpen())
        MSComm1->close();
    MSComm1->clearError();
    if (!vanishReported_) {
        vanishReported_ = true;
        PostCommEvent(LEDCOMM::comEventDeviceGone);
    }
    // A file watcher cannot watch a dangling link: a look once a second costs nothing.
    if (openedPort_ > 0 && !returnTimer_->isActive())
        returnTimer_->start(g_intervals.returnCheckMs);
}

void frmComm::DeviceOpened(int16_t port, const QString& link, const QString& device)
{
    StopWatching();
    openedPort_ = port;
    openedLink_ = link;
    // Taken now: once the device is gone its vendor, product and serial number are too.
    identity_ = SerialDevices::Find(device.isEmpty() ? link : device);
}

void frmComm::StopWatching()
{
    returnTimer_->stop();
    refusing_ = false;
}

bool frmComm::Watching() const { return returnTimer_->isActive(); }

void frmComm::CheckReturn()
{
    if (MSComm1->isOpen()) {
        StopWatching();
        return;
    }
    if (!Posix::IsCharDevice(openedLink_)) {
        // Still gone, or a plain file in its place, which is never opened.
        if (refusing_) {
            refusing_ = false;
            returnTimer_->start(g_intervals.returnCheckMs);
        }
        return;
    }
    // A USB adapter must be the one that left: a swapped ttyUSB0 and ttyUSB1 never cross.
    if (identity_ && identity_->vendorId >= 0) {
        const auto now = SerialDevices::Find(openedLink_);
        if (!now || !identity_->SameAs(*now))
            return;
    }
    QString failure;
    if (LEDCOMM::CommReopenPort(openedPort_, failure)) {
        StopWatching();
        emit Reopened();
        return;
    }
    if (!refusing_) {
        refusing_ = true;
        refusedSince_.start();
        returnTimer_->start(g_intervals.refusedRetryMs);
    }
    if (refusedSince_.elapsed() < g_intervals.refusedForMs)
        return;
    StopWatching();
    LEDCOMM::ReportError(failure);
}
