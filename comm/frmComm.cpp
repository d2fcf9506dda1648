#include "comm/frmComm.h"

#include "base/Platform.h"

#include "comm/LEDCOMM.h"

#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>

namespace {

// Driver counters in the order of kLineCodes.
constexpr std::array<int, 5> kLineCodes = {
    LEDCOMM::comEventBreak, LEDCOMM::comEventFrame, LEDCOMM::comEventOverrun,
    LEDCOMM::comEventRxParity, LEDCOMM::comEventRxOver,
};

bool ReadCounters(int fd, std::array<int, 5>& out)
{
    serial_icounter_struct ic{};
    if (fd < 0 || ::ioctl(fd, TIOCGICOUNT, &ic) != 0)
        return false;  // pseudo-terminals and many adapters keep no counters
    out = {ic.brk, ic.frame, ic.overrun, ic.parity, ic.buf_overrun};
    return true;
}

} // namespace

frmComm::frmComm(QObject* parent) : QObject(parent), MSComm1(new QSerialPort(this))
{
    setObjectName(QStringLiteral("frmComm"));
    Platform::RegisterForm(this);
    MSComm1->setObjectName(QStringLiteral("MSComm1"));
    // Between exchanges a flooding device fills this much and then waits in the driver.
    MSComm1->setReadBufferSize(LEDCOMM::kCommInMaxReply);
    connect(MSComm1, &QSerialPort::errorOccurred, this, &frmComm::MSComm1_ErrorOccurred);
    connect(MSComm1, &QSerialPort::readyRead, this, &frmComm::CheckLineCounters);
}

frmComm::~frmComm() { Platform::UnregisterForm(this); }

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
    countersSupported_ = ReadCounters(MSComm1->handle(), counters_);
}

void frmComm::CheckLineCounters()
{
    if (!countersSupported_ || !MSComm1->isOpen())
        return;
    std::array<int, 5> now{};
    if (!ReadCounters(MSComm1->handle(), now))
        return;
    for (size_t i = 0; i < now.size(); ++i) {
        if (now[i] != counters_[i])
            PostCommEvent(kLineCodes[i]);
    }
    counters_ = now;
}

bool frmComm::HungUp() const
{
    pollfd p{int(MSComm1->handle()), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

void frmComm::MSComm1_ErrorOccurred(QSerialPort::SerialPortError error)
{
    if (vanished_ || !MSComm1->isOpen())
        return;
    const bool gone = error == QSerialPort::ResourceError
        || ((error == QSerialPort::ReadError || error == QSerialPort::WriteError) && HungUp());
    if (!gone)
        return;
    // Mend: Qt leaves a vanished device open and signals it again on every
    // pass of the event loop. Close it, but not from inside Qt's own read
    // handling, which is where this signal comes from.
    vanished_ = true;
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
}
