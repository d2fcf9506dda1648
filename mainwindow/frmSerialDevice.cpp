#include "mainwindow/frmSerialDevice.h"

#include "base/Platform.h"
#include "comm/SerialDevices.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {

QString DeviceText(const SerialDevices::Device& d)
{
    QStringList parts{d.path};
    QStringList about;
    for (const QString& s : {d.description, d.manufacturer})
        if (!s.isEmpty())
            about << s;
    if (!d.serialNumber.isEmpty())
        about << QStringLiteral("serial ") + d.serialNumber;
    if (d.vendorId >= 0 && d.productId >= 0)
        about << QStringLiteral("%1:%2").arg(d.vendorId, 4, 16, QLatin1Char('0')).arg(d.productId, 4, 16, QLatin1Char('0'));
    if (!about.isEmpty())
        parts << about.join(QStringLiteral(", "));
    if (const QString driver = SerialDevices::DriverText(d); !driver.isEmpty())
        parts << driver;
    if (!d.byId.isEmpty())
        parts << d.byId;
    return parts.join(QStringLiteral("  "));
}

} // namespace

frmSerialDevice::frmSerialDevice(const QString& appDir, int port, QWidget* parent)
    : QDialog(parent), appDir_(appDir), port_(port), refresh_(new QTimer(this))
{
    setObjectName(QStringLiteral("frmSerialDevice"));
    setWindowTitle(QStringLiteral("Serial Device"));
    lblTarget = new QLabel(this);
    lblTarget->setObjectName(QStringLiteral("lblTarget"));
    lstDevices = new QListWidget(this);
    lstDevices->setObjectName(QStringLiteral("lstDevices"));
    lstDevices->setAccessibleName(QStringLiteral("Serial devices"));
    cmdLink = new QPushButton(QStringLiteral("Link COM%1").arg(port), this);
    cmdLink->setObjectName(QStringLiteral("cmdLink"));
    cmdLink->setDefault(true);
    cmdClose = new QPushButton(QStringLiteral("Close"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdLink);
    buttons->addWidget(cmdClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblTarget);
    layout->addWidget(lstDevices);
    layout->addLayout(buttons);
    resize(640, 240);

    connect(cmdLink, &QPushButton::clicked, this, &frmSerialDevice::cmdLink_Click);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::reject);
    connect(lstDevices, &QListWidget::itemActivated, this, &frmSerialDevice::cmdLink_Click);
    // Only while the window shows: a device plugged in or out appears or goes.
    connect(refresh_, &QTimer::timeout, this, &frmSerialDevice::Refresh);
    refresh_->start(kRefreshMs);
    Refresh();
}

void frmSerialDevice::Refresh()
{
    lblTarget->setText(SerialDevices::PortText(appDir_, port_));

    const QList<SerialDevices::Device> devices = SerialDevices::List();
    QStringList texts;
    for (const SerialDevices::Device& d : devices)
        texts << DeviceText(d);
    if (texts == shown_)
        return;
    // Redrawn only on a change, so the selection stays while nothing is plugged.
    const QString selected = lstDevices->currentItem() ? lstDevices->currentItem()->data(Qt::UserRole).toString()
                                                       : QString();
    shown_ = texts;
    lstDevices->clear();
    for (qsizetype i = 0; i < devices.size(); ++i) {
        const SerialDevices::Device& d = devices[i];
        auto* item = new QListWidgetItem(texts[i], lstDevices);
        item->setData(Qt::UserRole, d.path);
        if (d.path == selected)
            lstDevices->setCurrentItem(item);
    }
}

void frmSerialDevice::cmdLink_Click()
{
    const QListWidgetItem* item = lstDevices->currentItem();
    if (!item) {
        Platform::MsgBox(QStringLiteral("Choose a device first."), Platform::vbExclamation);
        return;
    }
    const QString error = SerialDevices::LinkPort(appDir_, port_, item->data(Qt::UserRole).toString());
    if (!error.isEmpty()) {
        Platform::MsgBox(QStringLiteral("COM%1 is not linked: %2").arg(port_).arg(error), Platform::vbCritical);
        Refresh();
        return;
    }
    accept();
}
