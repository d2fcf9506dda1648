#pragma once
// The hidden host of the serial port. It is never shown; it owns MSComm1 (the
// port itself, a QSerialPort, named as the design names it) and
// turns what the port signals into line events for OnComm, delivered from the
// event loop only, so a report never lands in the middle of an exchange.
#include "comm/SerialDevices.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <array>
#include <optional>

class QTimer;

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

    // Asks the driver of the port just opened for low-latency mode. A line
    // without a serial driver (a pseudo-terminal) is no refusal; any other
    // refusal is one info line on orvane.comm.
    void AskLowLatency();
    // Gives the driver back the mode it had before AskLowLatency: called before
    // the port closes, as the mode would otherwise outlast the program.
    void RestoreLowLatency();

    // The port opened `device` through `link` (the COM<n> entry or /dev/ttyS<n-1>):
    // kept so that a vanished device is reopened only when it is the same one.
    void DeviceOpened(int16_t port, const QString& link, const QString& device);
    // Stops waiting for a vanished device to come back.
    void StopWatching();
    // True while a vanished device is waited for.
    bool Watching() const;

    // Once a second while waiting; shorter while a returned device refuses the open.
    static constexpr int kReturnCheckMs = 1000;
    static constexpr int kRefusedRetryMs = 250;
    // udev sets a new device's group just after it appears: a refused open is
    // tried again for this long before it is reported.
    static constexpr int kRefusedForMs = 5000;
    struct Intervals {
        int returnCheckMs = kReturnCheckMs;
        int refusedRetryMs = kRefusedRetryMs;
        int refusedForMs = kRefusedForMs;
    };
    // The waits above, for every form; tests shorten them. Returns the previous ones.
    static Intervals SetIntervals(const Intervals& intervals);

signals:
    // The port opened again by itself after its device came back.
    void Reopened();

public slots:
    void OnComm();

private:
    void MSComm1_ErrorOccurred(QSerialPort::SerialPortError error);
    void CheckReturn();

    QTimer* const returnTimer_;
    int16_t openedPort_ = 0;  // 0: nothing opened yet, nothing to wait for
    QString openedLink_;
    std::optional<SerialDevices::Device> identity_;
    bool refusing_ = false;
    QElapsedTimer refusedSince_;

    bool vanished_ = false;
    bool vanishReported_ = false;
    bool countersSupported_ = false;
    std::array<int, 5> counters_{};
    std::optional<int> savedSerialFlags_;  // the driver's flags before AskLowLatency (any bit may be set)
};
