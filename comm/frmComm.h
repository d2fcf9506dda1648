#pragma once
// The hidden host of the serial port. It is never shown; it owns MSComm1 and
// turns what the port signals into line events for OnComm, delivered from the
// event loop only, so a report never lands in the middle of an exchange.
#include <QObject>
#include <QSerialPort>
#include <array>

class frmComm : public QObject {
    Q_OBJECT
public:
    explicit frmComm(QObject* parent = nullptr);
    ~frmComm() override;

    QSerialPort* const MSComm1;
    // Code of the event OnComm is handling.
    int CommEvent = 0;

    // Queues a line event; OnComm sees it once the event loop runs.
    void PostCommEvent(int code);

    // Fresh state for a port that has just been opened.
    void PortOpened();
    // True once the device has hung up or disappeared while the port was open.
    bool Vanished() const { return vanished_; }
    // Closes a port whose device is gone and raises its line event, once.
    void CloseVanished();
    // Raises events for line errors counted by the driver since the last look.
    void CheckLineCounters();

public slots:
    void OnComm();

private:
    void MSComm1_ErrorOccurred(QSerialPort::SerialPortError error);

    bool vanished_ = false;
    bool vanishReported_ = false;
    bool countersSupported_ = false;
    std::array<int, 5> counters_{};
};
