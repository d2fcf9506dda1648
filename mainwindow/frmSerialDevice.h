#pragma once
// Configuration > Serial Device: the machine's serial devices and where
// COM<PORT> of the application directory leads; choosing a device links
// COM<PORT> to it. The list follows devices plugged in or out while it shows.
#include <QDialog>

class QLabel;
class QListWidget;
class QPushButton;
class QTimer;

class frmSerialDevice : public QDialog {
    Q_OBJECT
public:
    // appDir without a trailing separator; port is the configured PORT.
    frmSerialDevice(const QString& appDir, int port, QWidget* parent = nullptr);

    QListWidget* lstDevices = nullptr;
    QLabel* lblTarget = nullptr;
    QPushButton* cmdLink = nullptr;
    QPushButton* cmdClose = nullptr;

    // How often the list is read again while the window shows.
    static constexpr int kRefreshMs = 1000;

public slots:
    // Reads the device list and COM<PORT>'s target again.
    void Refresh();
    // Links COM<PORT> to the selected device and closes with Accepted; a
    // refusal is said in a message box and the window stays.
    void cmdLink_Click();

private:
    QString appDir_;
    int port_;
    QTimer* refresh_;
    QStringList shown_;  // the lines listed, to redraw only on a change (a latency timer that moved counts)
};
