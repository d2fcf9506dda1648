// The serial link against the real QSerialPort and orvane-sim on a
// pseudo-terminal: settings, open and close, the exchange, line events.
#include "comm/Delay32.h"
#include "comm/LEDCOMM.h"
#include "comm/SerialDevices.h"
#include "comm/UdevRule.h"
#include "comm/frmComm.h"
#include "base/Log.h"
#include "base/Platform.h"
#include "base/Posix.h"
#include "params/TRAPAR.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QLineEdit>
#include <QSet>
#include <QTextStream>
#include <cerrno>
#include <linux/serial.h>
#include <sys/ioctl.h>

using namespace LEDCOMM;
using TestSupport::Config;
using TestSupport::CpuMs;
using TestSupport::LogLines;
using TestSupport::SimProcess;

Q_DECLARE_METATYPE(SerialDevices::Device)

namespace {

// Wall times are whole milliseconds cut short, so a wait that ended only
// after more than T ms may read as exactly T.

// A spinning wait burns about as much CPU as it takes wall time; a blocking
// one next to nothing. Anything under a fifth of the wall time is no spin.
constexpr int kSpinLimitPercent = 20;

// A vanished device looked for every 50 ms: a wait of three looks proves none opened it.
constexpr frmComm::Intervals kQuickChecks{50, 50, 500};
constexpr int kChecksMissed = 3 * kQuickChecks.returnCheckMs;

// The info lines and warnings on orvane.comm while a case runs.
QStringList g_commSaid;
QtMessageHandler g_previousHandler = nullptr;
void RecordComm(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type != QtDebugMsg && context.category && QLatin1String(context.category) == QLatin1String("orvane.comm"))
        g_commSaid << message;
    g_previousHandler(type, context, message);
}

// One tty in a sysfs tree under root, laid out as the kernel does: class/tty/<tty>
// leads to devices/<devicePath>/tty/<tty>, whose `device` is devicePath; the
// driver is a link to its directory; files are written below devices/.
void FakeTty(const QString& root, const QString& tty, const QString& devicePath, const QString& driver,
             const QList<QPair<QString, QByteArray>>& files)
{
    const QString device = root + "/devices/" + devicePath;
    const QString node = device + "/tty/" + tty;
    QVERIFY(QDir().mkpath(node) && QDir().mkpath(root + "/class/tty"));
    QVERIFY(QFile::link(node, root + "/class/tty/" + tty));
    QVERIFY(QFile::link(device, node + "/device"));
    if (!driver.isEmpty()) {
        QVERIFY(QDir().mkpath(root + "/bus/usb-serial/drivers/" + driver));
        QVERIFY(QFile::link(root + "/bus/usb-serial/drivers/" + driver, device + "/driver"));
    }
    for (const auto& [file, bytes] : files)
        TestSupport::WriteFile(root + "/devices/" + file, bytes);
}

SerialDevices::Device Adapter(const QString& path, const QString& product, const QString& maker, const QString& serial,
                              int vendor, int productId, const QString& driver, const QString& usbPath)
{
    SerialDevices::Device d{path, {}, product, maker, serial, vendor, productId};
    d.driver = driver;
    d.usbPath = usbPath;
    return d;
}

// A serial driver as the ioctl sees it: its flags, and the errno it answers
// each request with (0 for none).
struct FakeDriver {
    int flags = 0;
    int getError = 0;
    int setError = 0;
    int sets = 0;
    QSet<int> fds{};
    int Ioctl(int fd, unsigned long request, serial_struct* info)
    {
        fds << fd;
        const int error = request == TIOCGSERIAL ? getError : setError;
        if (error != 0) {
            errno = error;
            return -1;
        }
        if (request == TIOCGSERIAL) {
            *info = serial_struct{};
            info->flags = flags;
        } else {
            ++sets;
            flags = info->flags;
        }
        return 0;
    }
};

} // namespace

class TestComm : public QObject {
    Q_OBJECT

    QTemporaryDir app_;
    TestSupport::MsgBoxRecorder boxes_;

    QString Com(int port) const { return app_.filePath(QStringLiteral("COM%1").arg(port)); }

    void WriteConfig(const QByteArray& text)
    {
        TestSupport::WriteFile(app_.filePath(QStringLiteral("LED_CONFIG.TXT")), text);
    }

    // Port 40 and the given time-out, read the way start-up reads them.
    void UseTimeOut(int ms)
    {
        WriteConfig(Config(40, ms));
        QCOMPARE(CommReadSettings(), int16_t(1));
        QCOMPARE(CommTimeOut(), int16_t(ms));
    }

    // A simulator behind <app>/COM40, and the port opened on it.
    void OpenOnSim(SimProcess& sim, const QStringList& options = {})
    {
        QVERIFY(sim.Start(QStringList{QStringLiteral("--link"), Com(40)} + options));
        QVERIFY(CommOpenPort(40));
        QVERIFY(CommForm()->MSComm1->isOpen());
        QCOMPARE(LogLines(), QStringList());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(app_.isValid());
        QVERIFY(QFileInfo::exists(SimProcess::Program()));
        // Port numbers here fall back to devices that do not exist.
        QVERIFY(!QFileInfo::exists("/dev/ttyS39") && !QFileInfo::exists("/dev/ttyS76"));
        Platform::App().Path = app_.path();
        TRAPAR::SetParDir(app_.path() + "/");
        frmComm::SetIntervals(kQuickChecks);
        QCOMPARE(CommFormLoaded(), int16_t(0));  // nothing has created the host yet
        QCOMPARE(CommForm(), nullptr);
    }

    void init()
    {
        CommFormLoad();
        SetCommInTerm(13);
        SetCommOutTerm(13);
        boxes_.Clear();
    }

    void cleanup()
    {
        Delay32::SetClock({});
        SetReportSink({});
        CommClosePort();
        CommFormUnload();
        QFile::remove(Com(40));
        QFile::remove(Com(77));
        QFile::remove(Com(3));
        QFile::remove(Com(4));
        QFile::remove(app_.filePath("usb-Lab_LED_0042-if00"));
    }

    // ---- Settings ----

    void settingsPortAndTimeOutOpenAt9600_8N1()
    {
        WriteConfig(Config(3, 500));
        QCOMPARE(CommReadSettings(), int16_t(1));
        QCOMPARE(CommPortNumber(), int16_t(3));
        QCOMPARE(CommTimeOut(), int16_t(500));
        QVERIFY(boxes_.boxes.isEmpty());

        SimProcess sim;
        QVERIFY(sim.Start({"--link", Com(3)}));
        QVERIFY(CommOpenConfigured());
        QSerialPort* p = CommForm()->MSComm1;
        QVERIFY(p->isOpen());
        // By the name of the device the link leads to, which its serial lock goes by.
        QCOMPARE(QStringLiteral("/dev/") + p->portName(), sim.PtyPath());
        QCOMPARE(p->baudRate(), 9600);
        QCOMPARE(p->dataBits(), QSerialPort::Data8);
        QCOMPARE(p->parity(), QSerialPort::NoParity);
        QCOMPARE(p->stopBits(), QSerialPort::OneStop);
        // The pseudo-terminal has no modem lines: skipped, not an error.
        QCOMPARE(LogLines(), QStringList());
    }

    void settingsRoundHalvesToEven_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("port");
        QTest::newRow("2.5") << QByteArray("2.5") << 2;
        QTest::newRow("3.5") << QByteArray("3.5") << 4;
        QTest::newRow("4.5") << QByteArray("4.5") << 4;
        QTest::newRow("2.6") << QByteArray("2.6") << 3;
        QTest::newRow("-0.5") << QByteArray("-0.5") << 0;
        QTest::newRow("1e1") << QByteArray("1e1") << 10;
        // Decided on the digits, not on a binary double.
        QTest::newRow("just above half") << QByteArray("2.50000000000000001") << 3;
        QTest::newRow("tiny exponent") << QByteArray("1e-400") << 0;
    }
    void settingsRoundHalvesToEven()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, port);
        WriteConfig("\"PORT\"," + text + "\r\n\"TIMEOUT\",2.5\r\n");
        QCOMPARE(CommReadSettings(), int16_t(1));
        QCOMPARE(CommPortNumber(), int16_t(port));
        QCOMPARE(CommTimeOut(), int16_t(2));
    }

    void settingsMissingTimeOutTakesPort()
    {
        WriteConfig(Config(5, 321));
        QCOMPARE(CommReadSettings(), int16_t(1));
        WriteConfig("\"PORT\",6\r\n");
        QCOMPARE(CommReadSettings(), int16_t(-1));
        QCOMPARE(CommPortNumber(), int16_t(6));
        QCOMPARE(CommTimeOut(), int16_t(321));
        // The parameter table names the missing one itself.
        QCOMPARE(boxes_.boxes.size(), 1);
        QVERIFY(boxes_.boxes[0].text.contains("TIMEOUT"));
        // Names are matched as written, case included.
        WriteConfig("\"port\",9\r\n\"TIMEOUT\",400\r\n");
        QCOMPARE(CommReadSettings(), int16_t(-1));
        QCOMPARE(CommPortNumber(), int16_t(6));
        QCOMPARE(CommTimeOut(), int16_t(400));
    }

    void settingsNonNumericPortStopsBeforeTimeOut()
    {
        WriteConfig(Config(5, 321));
        QCOMPARE(CommReadSettings(), int16_t(1));
        for (const QByteArray& bad : {QByteArray("abc"), QByteArray("COM3"), QByteArray("")}) {
            WriteConfig("\"PORT\"," + bad + "\r\n\"TIMEOUT\",999\r\n");
            QCOMPARE(CommReadSettings(), int16_t(-1));
            QCOMPARE(CommPortNumber(), int16_t(5));
            QCOMPARE(CommTimeOut(), int16_t(321));  // not read in that call
            QCOMPARE(boxes_.Texts().last(), "Parameter PORT in " + app_.filePath("LED_CONFIG.TXT")
                                                + " is not a whole number from -32768 to 32767: \"" + bad + '"');
            QCOMPARE(boxes_.boxes.last().style, int(Platform::vbCritical));
        }
        QCOMPARE(boxes_.boxes.size(), 3);
        // The value as written, cut to 40 characters.
        WriteConfig("\"PORT\",5\r\n\"TIMEOUT\"," + QByteArray(50, '9') + "\r\n");
        QCOMPARE(CommReadSettings(), int16_t(-1));
        QVERIFY(boxes_.Texts().last().endsWith("TIMEOUT in " + app_.filePath("LED_CONFIG.TXT")
                                               + " is not a whole number from -32768 to 32767: \""
                                               + QByteArray(40, '9') + '"'));
    }

    void settingsOutOfRangeKeepsOldValue()
    {
        WriteConfig(Config(5, 321));
        QCOMPARE(CommReadSettings(), int16_t(1));
        WriteConfig("\"PORT\",40000\r\n\"TIMEOUT\",999\r\n");
        QCOMPARE(CommReadSettings(), int16_t(-1));
        QCOMPARE(CommPortNumber(), int16_t(5));
        QCOMPARE(CommTimeOut(), int16_t(321));
        WriteConfig("\"PORT\",32767.5\r\n\"TIMEOUT\",999\r\n");  // rounds to 32768
        QCOMPARE(CommReadSettings(), int16_t(-1));
        QCOMPARE(CommPortNumber(), int16_t(5));
        // A value stored before the error stays.
        WriteConfig("\"PORT\",-32768\r\n\"TIMEOUT\",32768\r\n");
        QCOMPARE(CommReadSettings(), int16_t(-1));
        QCOMPARE(CommPortNumber(), int16_t(-32768));
        QCOMPARE(CommTimeOut(), int16_t(321));
    }

    void settingsMissingFileReadsNothing()
    {
        WriteConfig(Config(5, 321));
        QCOMPARE(CommReadSettings(), int16_t(1));
        QFile::remove(app_.filePath("LED_CONFIG.TXT"));
        QCOMPARE(CommReadSettings(), int16_t(-1));
        QCOMPARE(CommPortNumber(), int16_t(5));
        QCOMPARE(CommTimeOut(), int16_t(321));
    }

    // ---- The host, open and close ----

    void formLoadedFlagAndFreshLog()
    {
        QCOMPARE(CommFormLoaded(), int16_t(1));
        QVERIFY(CommForm());
        QCOMPARE(CommForm()->objectName(), QString("frmComm"));
        QCOMPARE(CommForm()->MSComm1->objectName(), QString("MSComm1"));
        QVERIFY(!CommForm()->MSComm1->isOpen());
        CommFormUnload();
        QCOMPARE(CommFormLoaded(), int16_t(0));
        QCOMPARE(CommForm(), nullptr);

        QLineEdit box;
        SetReportSink([&box](const QString& m) { box.setText(m); });
        ReportError("old");
        CommFormLoad();
        QCOMPARE(CommFormLoaded(), int16_t(1));
        QCOMPARE(LogLines(), QStringList());  // created empty
        ReportError("new");
        QCOMPARE(box.text(), QString("new"));  // the sink stays
        QCOMPARE(LogLines(), QStringList{"new"});
    }

    void unloadClosesThePort()
    {
        SimProcess sim;
        OpenOnSim(sim);
        QPointer<QSerialPort> port = CommForm()->MSComm1;
        CommFormUnload();
        QVERIFY(port.isNull());
        // A later use works on a fresh host with a closed port, silently.
        QVERIFY(CommClosePort());
        QVERIFY(CommOpenPort(40));
        QCOMPARE(CommFormLoaded(), int16_t(0));
        QVERIFY(CommClosePort());
        QCOMPARE(LogLines(), QStringList());
    }

    void portNumbersMapToAppDirEntriesFirst()
    {
        QCOMPARE(SerialDevices::PortText(app_.path(), 77), QString("COM77 -> no link; port 77 opens /dev/ttyS76"));
        QCOMPARE(CommPortDevice(77), QString("/dev/ttyS76"));
        QCOMPARE(CommPortDevice(1), QString("/dev/ttyS0"));
        QVERIFY(QFile::link(app_.filePath("nowhere"), Com(77)));  // dangling
        QCOMPARE(CommPortDevice(77), Com(77));
        TestSupport::WriteFile(Com(3), "not a device");
        QCOMPARE(CommPortDevice(3), Com(3));
    }

    // orvane-sim --link makes the link's missing folders, as a config folder
    // is before the program's first run; one it cannot make is named.
    void simLinkMakesMissingFolders()
    {
        const QString link = app_.filePath("new/orvane/COM1");
        const auto removeNew = qScopeGuard([this] { QDir(app_.filePath("new")).removeRecursively(); });
        SimProcess sim;
        QVERIFY(sim.Start({"--link", link, "--no-show"}));
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.PtyPath());
        TestSupport::WriteFile(Com(3), "not a folder");
        const TestSupport::Ran r = TestSupport::RunProcess(
            SimProcess::Program(), {"--link", Com(3) + "/COM1", "--no-show"}, QProcessEnvironment::systemEnvironment());
        QCOMPARE(r.code, 1);
        QCOMPARE(r.err, "orvane-sim: cannot make the folder " + Com(3) + " for the link " + Com(3) + "/COM1: File exists\n");
    }

    void linkPortRefusesBadInputAndReplacesLinks()
    {
        SimProcess sim;
        QVERIFY(sim.Start({"--no-show"}));
        const QString pty = sim.PtyPath();
        const QString appDir = app_.path();
        // Refused, and the entry stays as it was.
        TestSupport::WriteFile(Com(3), "not a link");
        QVERIFY(SerialDevices::LinkPort(appDir, 3, pty).contains("not a link"));
        QCOMPARE(TestSupport::ReadFile(Com(3)), QByteArray("not a link"));
        QVERIFY(SerialDevices::LinkPort(appDir, 0, pty).contains("1 to 32767"));
        QVERIFY(SerialDevices::LinkPort(appDir, 32768, pty).contains("1 to 32767"));
        // Only a device that is not there gets the caller's hint.
        QCOMPARE(SerialDevices::LinkPort(appDir, 4, Com(3), "hint"), Com(3) + " is not a character device");
        QCOMPARE(SerialDevices::LinkPort(appDir, 4, Com(5), "hint"), Com(5) + " does not exist; hint");
        QCOMPARE(SerialDevices::LinkPort(appDir, 4, Com(3) + "/tty"), Com(3) + "/tty does not exist");
        QVERIFY(!QFileInfo(Com(4)).isSymLink());

        // A dangling link is replaced; the by-id name wins when the list has one.
        QVERIFY(QFile::link(app_.filePath("gone"), Com(4)));
        QCOMPARE(SerialDevices::LinkPort(appDir, 4, pty), QString());
        QCOMPARE(QFileInfo(Com(4)).symLinkTarget(), pty);
        const QString byId = app_.filePath("usb-Lab_LED_0042-if00");
        QVERIFY(QFile::link(pty, byId));
        SerialDevices::SetSource([&] {
            return QList<SerialDevices::Device>{{pty, byId, "LED", "Lab", "0042", 0x0403, 0x6001}};
        });
        QCOMPARE(SerialDevices::LinkPort(appDir, 4, pty), QString());
        QCOMPARE(QFileInfo(Com(4)).symLinkTarget(), byId);
        // A /dev/orvane-* name, made by the program's own udev rule, is kept as
        // given. Only where /dev may be written (the CI runs as root).
        const QString named = QStringLiteral("/dev/orvane-test%1").arg(QCoreApplication::applicationPid());
        if (QFile::link(pty, named)) {
            const QString error = SerialDevices::LinkPort(appDir, 4, named);
            const QString target = QFileInfo(Com(4)).symLinkTarget();
            QFile::remove(named);
            QCOMPARE(error, QString());
            QCOMPARE(target, named);
            QCOMPARE(SerialDevices::LinkPort(appDir, 4, pty), QString());
        }
        SerialDevices::SetSource({});
        QCOMPARE(QFileInfo(Com(4)).symLinkTarget(), byId);
        QVERIFY(!QFileInfo::exists(Com(4) + ".new"));

        const auto entries = SerialDevices::ComEntries(appDir);
        QCOMPARE(entries.size(), 2);
        QVERIFY(!entries[0].isLink);
        QCOMPARE(entries[1].port, 4);
        QVERIFY(!entries[1].dangling);

        // A device named relative to the working directory is linked by where it is.
        const QString cwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(QFileInfo(pty).absolutePath()));
        const QString relative = SerialDevices::LinkPort(appDir, 5, QFileInfo(pty).fileName());
        QVERIFY(QDir::setCurrent(cwd));
        QCOMPARE(relative, QString());
        QCOMPARE(QFileInfo(Com(5)).symLinkTarget(), pty);
        QFile::remove(Com(5));
    }

    // What sysfs says of a tty, from trees laid out as the kernel lays them out
    // for each kind of device (this machine has no USB adapter to read).
    void sysfsNamesDriverUsbPathAndLatency_data()
    {
        QTest::addColumn<QString>("tty");
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("usbPath");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<int>("latency");
        QTest::newRow("FTDI") << "ttyUSB0" << "ftdi_sio" << "1-2.2:1.0" << "A1*B 7" << 16;
        QTest::newRow("CDC-ACM") << "ttyACM0" << "cdc_acm" << "3-1:1.2" << "0042" << -1;
        // 270 bytes of UTF-8: a USB string may take up to 378.
        QTest::newRow("serial number of 90 euro signs") << "ttyUSB1" << "cp210x" << "1-3:1.0" << QString(90, QChar(0x20ac)) << -1;
        QTest::newRow("built-in UART") << "ttyS0" << "serial" << "" << "" << -1;
        QTest::newRow("not in sysfs (pseudo-terminal)") << "pts" << "" << "" << "" << -1;
        QTest::newRow("a path, not a name") << "../ttyUSB0" << "" << "" << "" << -1;
    }

    void sysfsNamesDriverUsbPathAndLatency()
    {
        QFETCH(QString, tty);
        QFETCH(QString, driver);
        QFETCH(QString, usbPath);
        QFETCH(QString, serial);
        QFETCH(int, latency);
        QTemporaryDir sys;
        const QString root = sys.path();
        const QString usb = "pci0000:00/0000:00:14.0/usb1/";
        FakeTty(root, "ttyUSB0", usb + "1-2/1-2.2/1-2.2:1.0/ttyUSB0", "ftdi_sio",
                {{usb + "1-2/1-2.2/serial", "A1*B 7\n"}, {usb + "1-2/1-2.2/1-2.2:1.0/ttyUSB0/latency_timer", "16\n"}});
        FakeTty(root, "ttyACM0", "pci0000:00/0000:00:14.0/usb3/3-1/3-1:1.2", "cdc_acm",
                {{"pci0000:00/0000:00:14.0/usb3/3-1/serial", "0042\n"}});
        FakeTty(root, "ttyS0", "pnp0/00:00/00:00:0/00:00:0.0", "serial", {});
        FakeTty(root, "ttyUSB1", usb + "1-3/1-3:1.0/ttyUSB1", "cp210x", {{usb + "1-3/serial", QString(90, QChar(0x20ac)).toUtf8() + "\n"}});
        Posix::SetSysfsRoot(root);
        const auto restore = qScopeGuard([] { Posix::SetSysfsRoot({}); });
        const Posix::TtyInfo t = Posix::TtyInSysfs(tty);
        QCOMPARE(t.driver, driver);
        QCOMPARE(t.usbPath, usbPath);
        QCOMPARE(t.usbSerial, serial);
        QCOMPARE(t.latencyTimer, latency);
        // Listed with udev's cleaned serial number: sysfs's own wins, and a UART names no driver.
        SerialDevices::Device d;
        d.serialNumber = "A1_B_7";
        SerialDevices::AddSysfs(d, t);
        QCOMPARE(d.serialNumber, serial.isEmpty() ? "A1_B_7" : serial);
        QCOMPARE(d.driver, usbPath.isEmpty() ? QString() : driver);
    }

    // --list-ports and the Serial Device window say what sysfs adds.
    void listShowsDriverUsbPathAndLatency()
    {
        SerialDevices::Device ftdi = Adapter("/dev/ttyUSB0", "FT232R USB UART", "FTDI", "A1", 0x0403, 0x6001,
                                             "ftdi_sio", "1-2.2:1.0");
        ftdi.latencyTimer = 1;
        SerialDevices::Device uart;
        uart.path = "/dev/ttyS0";
        SerialDevices::SetSource([&] { return QList<SerialDevices::Device>{ftdi, uart}; });
        const auto restore = qScopeGuard([] { SerialDevices::SetSource({}); });
        QString text;
        QTextStream out(&text);
        SerialDevices::PrintList(out, app_.path());
        out.flush();
        QVERIFY2(text.startsWith("Serial devices:\n  /dev/ttyUSB0\n    description:  FT232R USB UART\n"
                                 "    manufacturer: FTDI\n    serial:       A1\n    USB id:       0403:6001\n"
                                 "    driver:       ftdi_sio\n    USB path:     1-2.2:1.0\n    latency:      1 ms\n"
                                 "  /dev/ttyS0\nPorts of "),
                 qPrintable(text));
        QCOMPARE(SerialDevices::DriverText(ftdi), QString("ftdi_sio at USB 1-2.2:1.0, latency timer 1 ms"));
        QCOMPARE(SerialDevices::DriverText(uart), QString());

        // Strings a device reports make up no entry and no terminal sequence.
        ftdi.serialNumber = QString::fromUtf8("A1\n  /dev/ttyUSB9\x1b[1A\u202e");
        ftdi.description = QStringLiteral("FT232R\r") + QChar(0x9b) + QStringLiteral("2J");
        text.clear();
        SerialDevices::PrintList(out, app_.path());
        out.flush();
        QVERIFY2(text.startsWith("Serial devices:\n  /dev/ttyUSB0\n    description:  FT232R\\r\\u009b2J\n"
                                 "    manufacturer: FTDI\n    serial:       A1\\n  /dev/ttyUSB9\\x1b[1A\\u202e\n"),
                 qPrintable(text));
    }

    // The rule's own lines (comments apart) for each kind of adapter, and
    // the devices no rule can name.
    void udevRuleText_data()
    {
        QTest::addColumn<SerialDevices::Device>("device");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("rules");
        QTest::addColumn<QString>("said");  // a comment line the rule must hold, or why there is none
        const QString own = "SYMLINK+=\"orvane-lab1\", TAG+=\"uaccess\", OWNER=\"alice\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
        const QString ftdi = "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", "
                             "ATTRS{serial}==\"A10K3L2X\", ENV{ID_USB_INTERFACE_NUM}==\"00\"";
        QTest::newRow("FTDI with a serial number")
            << Adapter("/dev/ttyUSB0", "FT232R USB UART", "FTDI", "A10K3L2X", 0x0403, 0x6001, "ftdi_sio", "1-2.2:1.0")
            << 1 << "lab1"
            << QStringList{ftdi + ", " + own, ftdi + ", ATTR{device/latency_timer}=\"1\""}
            << "# /etc/udev/rules.d/70-orvane-lab1.rules, made by orvane --udev-rule for port 1 of lab1:";
        QTest::newRow("CP210x, no NAME")
            << Adapter("/dev/ttyUSB1", "CP2102 USB to UART Bridge Controller", "Silicon Labs", "0001", 0x10c4,
                       0xea60, "cp210x", "3-1:1.0")
            << 2 << ""
            << QStringList{"SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"10c4\", ATTRS{idProduct}==\"ea60\", "
                           "ATTRS{serial}==\"0001\", ENV{ID_USB_INTERFACE_NUM}==\"00\", SYMLINK+=\"orvane-com2\", "
                           "TAG+=\"uaccess\", OWNER=\"alice\", ENV{ID_MM_DEVICE_IGNORE}=\"1\""}
            << "# /etc/udev/rules.d/70-orvane-com2.rules, made by orvane --udev-rule for port 2:";
        QTest::newRow("CH340 without a serial number: its USB port")
            << Adapter("/dev/ttyUSB2", "USB2.0-Serial", "", "", 0x1a86, 0x7523, "ch341-uart", "1-4.3:1.0")
            << 1 << "lab1"
            << QStringList{"SUBSYSTEM==\"tty\", KERNELS==\"1-4.3\", ATTRS{idVendor}==\"1a86\", ATTRS{idProduct}==\"7523\", "
                           "ENV{ID_USB_INTERFACE_NUM}==\"00\", " + own}
            << "# The adapter has no serial number, so this rule matches the USB port 1-4.3 instead: keep the "
               "adapter in that port.";
        const QString second = "SUBSYSTEM==\"tty\", KERNELS==\"1-1\", ATTRS{idVendor}==\"0403\", "
                               "ATTRS{idProduct}==\"6010\", ENV{ID_USB_INTERFACE_NUM}==\"01\"";
        QTest::newRow("a serial number with * in it: its USB port")
            << Adapter("/dev/ttyUSB3", "Dual RS232", "FTDI", "FT*2232", 0x0403, 0x6010, "ftdi_sio", "1-1:1.1")
            << 1 << "lab1" << QStringList{second + ", " + own, second + ", ATTR{device/latency_timer}=\"1\""}
            << "# The serial number holds characters udev reads as a pattern, so this rule matches the USB port "
               "1-1 instead: keep the adapter in that port.";
        SerialDevices::Device uart;
        uart.path = "/dev/ttyS0";
        uart.driver = "serial";
        QTest::newRow("not USB: refused") << uart << 1 << "lab1" << QStringList()
                                          << "/dev/ttyS0 is not a USB device; a udev rule is made for USB adapters only";
        QTest::newRow("no serial number, no USB path: refused")
            << Adapter("/dev/ttyUSB4", "", "", "", 0x1a86, 0x7523, "", "") << 1 << "lab1" << QStringList()
            << "/dev/ttyUSB4 has no serial number a rule can match, and sysfs names no USB path for it";
    }

    void udevRuleText()
    {
        QFETCH(SerialDevices::Device, device);
        QFETCH(int, port);
        QFETCH(QString, name);
        QFETCH(QStringList, rules);
        QFETCH(QString, said);
        QString why;
        const QString text = UdevRule::Text(device, port, name, "alice", &why);
        if (rules.isEmpty()) {
            QCOMPARE(text, QString());
            QCOMPARE(why, said);
            return;
        }
        QVERIFY(text.endsWith('\n'));
        const QStringList lines = text.split('\n', Qt::SkipEmptyParts);
        QStringList own;
        for (const QString& line : lines)
            if (!line.startsWith('#'))
                own << line;
        QCOMPARE(own, rules);
        QVERIFY2(lines.contains(said), qPrintable(text));
        QVERIFY2(lines.contains("# /dev/" + UdevRule::LinkName(name, port)
                                + " stays the same whatever ttyUSB number the adapter gets: orvane --link-port "
                                + QString::number(port) + " /dev/" + UdevRule::LinkName(name, port)),
                 qPrintable(text));
    }

    void udevRuleSerialsAndNames()
    {
        for (const char* usable : {"A10K3L2X", "0001", "FT 2232-A", "a.b_c:d=e@f"})
            QVERIFY2(UdevRule::SerialUsable(usable), usable);
        for (const char* unusable : {"", "A*", "A?", "[A]", "A|B", "A\"B", "A\\", "A\tB", "A%k", "A$kernel", "A\x7f"})
            QVERIFY2(!UdevRule::SerialUsable(unusable), unusable);
        QCOMPARE(UdevRule::FilePath("", 12), QString("/etc/udev/rules.d/70-orvane-com12.rules"));
        QCOMPARE(UdevRule::LinkName("bench_2", 1), QString("orvane-bench_2"));
    }

    // Whatever the adapter, sysfs, the user database or the settings hold, every
    // line of the rule is a comment or one of the rule's own.
    void udevRuleHoldsNoOutsideLine()
    {
        const QRegularExpression line(QStringLiteral("^(# [^\\x00-\\x1f\\x7f\\x{2028}]*|SUBSYSTEM==\"tty\"(, [A-Za-z_{}/]+(==|\\+?=)\"[^\"\\\\$%\\x00-\\x1f\\x7f]*\")+)$"));
        const QString nul = QStringLiteral("a") + QChar(0) + QStringLiteral("\nRUN+=\"/bin/true\"");
        for (const QString& bad : {QStringLiteral("\nSUBSYSTEM==\"tty\", RUN+=\"/bin/sh -c id\""), QStringLiteral("\r\nRUN+=\"x\""),
                                   nul, QStringLiteral("\x1b\v\f\x7f\u2028x"), QStringLiteral("\""), QStringLiteral("\\"),
                                   QStringLiteral("$kernel"), QStringLiteral("%k")}) {
            for (int field = 0; field < 6; ++field) {
                SerialDevices::Device d = Adapter("/dev/ttyUSB0", "FT232R", "FTDI", "A10K", 0x0403, 0x6001, "ftdi_sio", "1-2:1.0");
                QString name = "lab1", owner = "alice", why;
                QString* into[] = {&d.manufacturer, &d.description, &d.serialNumber, &d.usbPath, &owner, &name};
                into[field]->insert(1, bad);
                const QString text = UdevRule::Text(d, 1, name, owner, &why);
                QVERIFY2(!text.isEmpty(), qPrintable(why));
                for (const QString& l : text.split('\n', Qt::SkipEmptyParts))
                    QVERIFY2(line.match(l).hasMatch(), qPrintable(QStringLiteral("field %1: %2").arg(field).arg(l)));
            }
        }
    }

    // --udev-rule as the program runs it: the port's link, the settings' PORT
    // and NAME, and the refusals, with the device list supplied.
    void udevRuleForAPort()
    {
        SimProcess sim;
        QVERIFY(sim.Start({"--link", Com(40), "--no-show"}));
        QList<SerialDevices::Device> listed{
            Adapter(sim.PtyPath(), "FT232R USB UART", "FTDI", "A10K3L2X", 0x0403, 0x6001, "ftdi_sio", "1-2:1.0")};
        SerialDevices::SetSource([&listed] { return listed; });
        const auto restore = qScopeGuard([] { SerialDevices::SetSource({}); });
        auto print = [&](const QString& port, QString* text = nullptr) {
            QString out, why;
            QTextStream stream(&out);
            const int code = UdevRule::Print(stream, app_.path(), port, &why);
            if (text)
                *text = out;
            return code == 0 ? QString() : why;
        };
        const QString config = app_.filePath("LED_CONFIG.TXT");
        QString text;

        // No port given: the configured one, and the link named after NAME.
        WriteConfig(Config(40, 500) + "\"NAME\",lab1\r\n");
        QCOMPARE(print({}, &text), QString());
        QVERIFY2(text.contains("ATTRS{serial}==\"A10K3L2X\", ENV{ID_USB_INTERFACE_NUM}==\"00\", SYMLINK+=\"orvane-lab1\""
                               ", TAG+=\"uaccess\", OWNER=\"" + Posix::UserName() + "\""),
                 qPrintable(text));
        // A NAME the bus would refuse names no link either.
        WriteConfig(Config(40, 500) + "\"NAME\",\"lab 1\"\r\n");
        QCOMPARE(print({}, &text), QString());
        QVERIFY(text.startsWith("# /etc/udev/rules.d/70-orvane-com40.rules"));

        // The refusals.
        listed.clear();
        QCOMPARE(print({}), "COM40 -> " + sim.PtyPath() + ": " + sim.PtyPath()
                                 + " is not a USB device; a udev rule is made for USB adapters only");
        QVERIFY(QFile::link(app_.filePath("gone"), Com(77)));
        QCOMPARE(print("77"), "COM77 -> " + app_.filePath("gone")
                                  + " (missing): it leads nowhere; plug the adapter in, or link the port to it with "
                                    "orvane --link-port 77 DEVICE");
        QVERIFY(print("76").startsWith("COM76 -> no link; port 76 opens /dev/ttyS75: it leads nowhere"));
        QCOMPARE(print("0"), QString("port 0 is not a number from 1 to 32767"));
        WriteConfig(Config(0, 500));
        QCOMPARE(print({}), "PORT in " + config + " is not a port number: \"0\"; give it: orvane --udev-rule PORT");
        WriteConfig("\"TIMEOUT\",500\r\n");
        QCOMPARE(print({}), config + " names no PORT; give it: orvane --udev-rule PORT");
        QVERIFY(QFile::remove(config));
        QCOMPARE(print({}), "no readable settings file " + config + " names the port; give it: orvane --udev-rule PORT");
        QVERIFY(boxes_.boxes.isEmpty());
    }

    void sameDeviceIsTheSameAdapter()
    {
        const SerialDevices::Device usb0{"/dev/ttyUSB0", {}, {}, {}, "A1", 0x0403, 0x6001};
        SerialDevices::Device back = usb0;
        back.path = "/dev/ttyUSB1";
        QVERIFY(usb0.SameAs(back));  // came back under another number
        back.serialNumber = "A2";
        QVERIFY(!usb0.SameAs(back));  // another adapter of the same kind
        SerialDevices::Device s0, s1;
        s0.path = "/dev/ttyS0";
        s1.path = "/dev/ttyS1";
        QVERIFY(s0.SameAs(s0) && !s0.SameAs(s1) && !s0.SameAs(usb0));
    }

    void openFailuresReportAndReturnFalse()
    {
        QLineEdit box;
        SetReportSink([&box](const QString& m) { box.setText(m); });
        QVERIFY(!CommOpenPort(0));
        QVERIFY(!CommOpenPort(-3));
        QVERIFY(!CommOpenPort(77));  // no entry: /dev/ttyS76, which does not exist
        QVERIFY(QFile::link(app_.filePath("nowhere"), Com(77)));
        QVERIFY(!CommOpenPort(77));  // dangling link: taken, and fails
        TestSupport::WriteFile(Com(3), "not a device");
        QVERIFY(!CommOpenPort(3));
        const QStringList log = LogLines();
        QCOMPARE(log.size(), 5);
        QCOMPARE(log[0], QString("CommOpenPort  1 Port number 0 is not valid: ports are numbered from 1"));
        QCOMPARE(log[1], QString("CommOpenPort  1 Port number -3 is not valid: ports are numbered from 1"));
        QCOMPARE(log[2], QString("CommOpenPort  1 No such file or directory"));
        QCOMPARE(log[3], QString("CommOpenPort  1 No such file or directory"));
        QCOMPARE(log[4], QString("CommOpenPort  7 Inappropriate ioctl for device"));
        QCOMPARE(box.text(), log[4]);
        QVERIFY(!CommForm()->MSComm1->isOpen());
    }

    void openTwiceKeepsTheOpenPort()
    {
        SimProcess sim;
        OpenOnSim(sim);
        QVERIFY(!CommOpenPort(77));
        QCOMPARE(LogLines(), QStringList{"CommOpenPort  3 Device is already open"});
        QVERIFY(CommForm()->MSComm1->isOpen());
        QCOMPARE(QStringLiteral("/dev/") + CommForm()->MSComm1->portName(), sim.PtyPath());
    }

    void closeIsSilentWhenNotOpen()
    {
        QVERIFY(CommClosePort());
        QVERIFY(!CommOpenPort(77));
        QVERIFY(CommClosePort());
        QVERIFY(CommClosePort());
        QCOMPARE(LogLines().size(), 1);  // the failed open only

        SimProcess sim;
        QVERIFY(sim.Start({"--link", Com(40)}));
        QVERIFY(CommOpenPort(40));
        QVERIFY(CommClosePort());
        QVERIFY(!CommForm()->MSComm1->isOpen());
        QCOMPARE(LogLines().size(), 1);
        // The simulator outlives the program's close and serves the next open.
        UseTimeOut(1000);
        QVERIFY(CommOpenPort(40));
        QString reply;
        QCOMPARE(CommQuery("AVB250", reply), int16_t(1));
        QCOMPARE(reply, QString("OK\r"));
    }

    // ---- Low latency ----

    // Through a fake of the driver's ioctl, but the first row: a
    // pseudo-terminal's own answer (ENOTTY) is the only real one a machine
    // without adapters gives.
    void lowLatencyAskedAndGivenBack_data()
    {
        QTest::addColumn<bool>("fake");
        QTest::addColumn<int>("getError");
        QTest::addColumn<int>("setError");
        QTest::addColumn<int>("flagsBefore");
        QTest::addColumn<bool>("unload");      // closed by unloading the host, not CommClosePort
        QTest::addColumn<int>("flagsOpen");
        QTest::addColumn<int>("sets");          // TIOCSSERIAL calls in all
        QTest::addColumn<QString>("said");
        constexpr int low = ASYNC_LOW_LATENCY;
        constexpr int other = ASYNC_SKIP_TEST;
        QTest::newRow("pseudo-terminal, real driver") << false << 0 << 0 << 0 << false << 0 << 0 << QString();
        QTest::newRow("asked and granted") << true << 0 << 0 << 0 << false << low << 2 << QString();
        QTest::newRow("granted, given back at unload") << true << 0 << 0 << other << true << (low | other) << 2
                                                       << QString();
        constexpr int top = static_cast<int>(0x80000000u);  // a UART's driver sets flags up to bit 31
        QTest::newRow("granted over the top bit") << true << 0 << 0 << top << false << (low | top) << 2 << QString();
        QTest::newRow("already on: left on") << true << 0 << 0 << low << false << low << 0 << QString();
        QTest::newRow("no serial driver (ENOTTY)") << true << ENOTTY << 0 << 0 << false << 0 << 0 << QString();
        QTest::newRow("refused (EPERM)") << true << 0 << EPERM << 0 << false << 0 << 0
                                         << "refused low-latency mode (Operation not permitted): a reply may wait "
                                            "for the adapter's latency timer";
        QTest::newRow("not read (EIO)") << true << EIO << 0 << 0 << false << 0 << 0
                                        << "refused low-latency mode (Input/output error)";
    }

    void lowLatencyAskedAndGivenBack()
    {
        QFETCH(bool, fake);
        QFETCH(int, getError);
        QFETCH(int, setError);
        QFETCH(int, flagsBefore);
        QFETCH(bool, unload);
        QFETCH(int, flagsOpen);
        QFETCH(int, sets);
        QFETCH(QString, said);
        FakeDriver driver{flagsBefore, getError, setError};
        if (fake)
            Posix::SetSerialIoctl([&driver](int fd, unsigned long request, serial_struct* info) {
                return driver.Ioctl(fd, request, info);
            });
        g_commSaid.clear();
        g_previousHandler = qInstallMessageHandler(RecordComm);
        const auto restore = qScopeGuard([] {
            qInstallMessageHandler(g_previousHandler);
            Posix::SetSerialIoctl({});
        });
        SimProcess sim;
        OpenOnSim(sim);
        const int fd = int(CommForm()->MSComm1->handle());
        QCOMPARE(driver.flags, fake ? flagsOpen : 0);
        // Another program changes a flag meanwhile: the close gives back ours only.
        const int meanwhile = fake ? ASYNC_SAK : 0;
        driver.flags ^= meanwhile;
        if (said.isEmpty()) {
            QCOMPARE(g_commSaid, QStringList());
        } else {
            QCOMPARE(g_commSaid.size(), 1);
            QVERIFY2(g_commSaid[0].startsWith("the driver of " + sim.PtyPath() + " " + said), qPrintable(g_commSaid[0]));
        }
        if (unload)
            CommFormUnload();
        else
            QVERIFY(CommClosePort());
        QCOMPARE(driver.flags, flagsBefore ^ meanwhile);
        QCOMPARE(driver.sets, sets);
        QVERIFY(driver.fds.isEmpty() || driver.fds == QSet<int>{fd});
        QCOMPARE(g_commSaid.size(), said.isEmpty() ? 0 : 1);  // nothing more at close
        QCOMPARE(LogLines(), QStringList());
        if (unload)
            CommFormLoad();  // for cleanup
    }

    // ---- The exchange ----

    void replyWithinTimeOut()
    {
        UseTimeOut(1000);
        SimProcess sim;
        OpenOnSim(sim);
        QString reply = "stale";
        QCOMPARE(CommQuery("AVA400", reply), int16_t(1));
        QCOMPARE(reply, QString("OK\r"));
        QCOMPARE(CommQuery("AVE400", reply), int16_t(1));  // content is not examined
        QCOMPARE(reply, QString("?\r"));
        // The command went out as its six characters and one CR, nothing else.
        QCOMPARE(sim.LoggedLines(), (QStringList{"AVA400", "AVE400"}));
        QCOMPARE(LogLines(), QStringList());

        // Warnings and info print by default, the traces only once turned on.
        for (const QLoggingCategory* c : {&lcComm(), &lcDbus(), &lcApp(), &lcMqtt()})
            QVERIFY2(c->isWarningEnabled() && c->isInfoEnabled() && !c->isDebugEnabled(), c->categoryName());
        Log::EnableTraces();
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(R"(^exchange "AVA400" -> reply "OK\\r" in \d+ us$)"));
        QCOMPARE(CommQuery("AVA400", reply), int16_t(1));
        Log::EnableTraces(false);
        QVERIFY(!lcComm().isDebugEnabled() && lcComm().isInfoEnabled());
    }

    void replyInTwoPiecesIsJoined()
    {
        UseTimeOut(2000);
        SimProcess sim;
        OpenOnSim(sim, {"--split", "--pause", "150"});
        QString reply;
        QElapsedTimer t;
        t.start();
        QCOMPARE(CommQuery("AVC123", reply), int16_t(1));
        QVERIFY2(t.elapsed() >= 140, "the second piece came after the pause");
        QCOMPARE(reply, QString("OK\r"));
        QCOMPARE(LogLines(), QStringList());
    }

    void twoLinesInOneReadKeepTheFirst()
    {
        UseTimeOut(1000);
        SimProcess sim;
        OpenOnSim(sim, {"--double"});
        QString reply;
        QCOMPARE(CommQuery("AVA100", reply), int16_t(1));
        QCOMPARE(reply, QString("OK\r"));
        // The second line of that read is gone: the next reply is the next answer.
        QCOMPARE(CommQuery("XYZ", reply), int16_t(1));
        QCOMPARE(reply, QString("?\r"));
    }

    void lateReplyIsDroppedBeforeTheNext()
    {
        UseTimeOut(250);
        SimProcess sim;
        OpenOnSim(sim, {"--delay", "300"});
        QString reply = "x";
        QCOMPARE(CommQuery("AVA100", reply), int16_t(-1));
        QCOMPARE(reply, QString());
        QThread::msleep(200);  // the late "OK" is waiting now
        // It is no answer to the next command, which gets its own.
        UseTimeOut(1000);
        QCOMPARE(CommQuery("XYZ", reply), int16_t(1));
        QCOMPARE(reply, QString("?\r"));
        QCOMPARE(LogLines(), (QStringList{"-Port TimeOut", "CommOut dropped: OK\\r"}));
    }

    void silenceTimesOut()
    {
        UseTimeOut(150);
        SimProcess sim;
        OpenOnSim(sim, {"--silent"});
        QLineEdit box;
        SetReportSink([&box](const QString& m) { box.setText(m); });
        QString reply = "x";
        QElapsedTimer t;
        t.start();
        const qint64 cpu = CpuMs();
        QCOMPARE(CommQuery("AVA000", reply), int16_t(-1));
        const qint64 wall = t.elapsed();
        QVERIFY2(wall >= 150, qPrintable(QString::number(wall)));
        QVERIFY2((CpuMs() - cpu) * 100 < wall * kSpinLimitPercent, "the wait blocks");
        QCOMPARE(reply, QString());
        QCOMPARE(LogLines(), QStringList{"-Port TimeOut"});
        QCOMPARE(box.text(), QString("-Port TimeOut"));
        QVERIFY(sim.WaitForLogged(1));

        // Traced, a time-out says so with what came and how long it took.
        Log::EnableTraces();
        QTest::ignoreMessage(QtDebugMsg,
                             QRegularExpression(R"(^exchange "AVA000" -> time-out of 150 ms, received "" in \d+ us$)"));
        QCOMPARE(CommQuery("AVA000", reply), int16_t(-1));
        Log::EnableTraces(false);
    }

    void charactersWithoutCrTimeOut()
    {
        UseTimeOut(200);
        SimProcess sim;
        OpenOnSim(sim, {"--reply", "AB", "--no-cr"});
        QString reply;
        QCOMPARE(CommQuery("AVA000", reply), int16_t(-1));
        QCOMPARE(reply, QString("AB"));
        QCOMPARE(LogLines(), QStringList{"AB-Port TimeOut"});
    }

    void portNotOpenStillWaitsOutTheTimeOut()
    {
        UseTimeOut(200);
        QVERIFY(!CommOpenPort(77));
        ResetErrLog();
        QString reply = "x";
        QElapsedTimer t;
        t.start();
        const qint64 cpu = CpuMs();
        QCOMPARE(CommQuery("AVA000", reply), int16_t(-1));
        const qint64 wall = t.elapsed();
        QVERIFY2(wall >= 200, qPrintable(QString::number(wall)));
        QVERIFY2((CpuMs() - cpu) * 100 < wall * kSpinLimitPercent, "the wait sleeps");
        QCOMPARE(reply, QString());
        QCOMPARE(LogLines(), (QStringList{"CommOut  10 Device is not open",
                                          "CommIn  10 Device is not open", "-Port TimeOut"}));
        // Also without any host at all.
        CommFormUnload();
        QCOMPARE(CommQuery("AVA000", reply), int16_t(-1));
        QCOMPARE(LogLines().size(), 6);
    }

    // A client polling a closed port: its three reports take turns, yet standard
    // error says each about once in the window (900 ms here for five seconds),
    // with counts; the log keeps all.
    void closedPortUnderAPollingClientIsCounted()
    {
        UseTimeOut(20);
        QVERIFY(!CommOpenPort(77));
        ResetErrLog();
        SetReportSink([](const QString& m) { Log::Report(m); });
        const std::pair<int, int> windows = Log::SetRepeatWindows(200, 900);
        g_commSaid.clear();
        g_previousHandler = qInstallMessageHandler(RecordComm);
        QString reply;
        for (int i = 0; i < 20; ++i, QTest::qWait(40))
            CommQuery("AVA000", reply);
        Log::FlushRepeats();  // the counts the quiet time would let out
        qInstallMessageHandler(g_previousHandler);
        Log::SetRepeatWindows(windows.first, windows.second);
        int reports = 0;
        static const QRegularExpression count(QStringLiteral(": (\\d+) more times?\\)$"));
        for (const QString& line : std::as_const(g_commSaid))
            reports += count.match(line).hasMatch() ? count.match(line).captured(1).toInt() : 1;
        QVERIFY2(g_commSaid.size() <= 12, qPrintable(g_commSaid.join('\n')));
        QCOMPARE(reports, 60);
        QCOMPARE(LogLines().size(), 60);
    }

    void negativeTimeOutEndsBeforeReading()
    {
        UseTimeOut(-1);
        SimProcess sim;
        OpenOnSim(sim);
        QString reply = "x";
        QElapsedTimer t;
        t.start();
        QCOMPARE(CommQuery("AVA000", reply), int16_t(-1));
        QCOMPARE(reply, QString());
        QVERIFY(sim.WaitForLogged(1));
        QThread::msleep(100);  // the answer is waiting now
        QCOMPARE(CommIn(reply), int16_t(-1));
        QCOMPARE(reply, QString());
        QVERIFY(t.elapsed() < 1000);
        QCOMPARE(LogLines(), (QStringList{"-Port TimeOut", "-Port TimeOut"}));
        UseTimeOut(1000);
        QCOMPARE(CommIn(reply), int16_t(1));
        QCOMPARE(reply, QString("OK\r"));
    }

    void timeOutAcrossTheClockWrap()
    {
        // The clock reads 20 ms short of its wrap when the wait starts.
        QElapsedTimer real;
        real.start();
        Delay32::SetClock([&real] { return uint32_t(0xFFFFFFFFu - 20u + uint32_t(real.elapsed())); });
        UseTimeOut(150);
        SimProcess sim;
        OpenOnSim(sim, {"--silent"});
        QString reply;
        QElapsedTimer t;
        t.start();
        QCOMPARE(CommQuery("AVA000", reply), int16_t(-1));
        QVERIFY2(t.elapsed() >= 150 && t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(LogLines(), QStringList{"-Port TimeOut"});
        // Port not open: the sleep also ends right across the wrap.
        CommClosePort();
        real.restart();
        t.restart();
        QCOMPARE(CommIn(reply), int16_t(-1));
        QVERIFY2(t.elapsed() >= 150 && t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
    }

    void zeroTimeOutWaitsWhileTheClockStands()
    {
        // The wait ends only once more than the time-out has passed: with 0 and a
        // clock that does not move, the reply is still read.
        QElapsedTimer real;
        real.start();
        Delay32::SetClock([&real] { return real.elapsed() < 3000 ? 7u : uint32_t(real.elapsed()); });
        UseTimeOut(0);
        SimProcess sim;
        OpenOnSim(sim, {"--delay", "50"});
        real.restart();
        QString reply;
        QCOMPARE(CommQuery("AVB500", reply), int16_t(1));
        QCOMPARE(reply, QString("OK\r"));
    }

    void replyAcrossTheClockWrap()
    {
        QElapsedTimer real;
        real.start();
        Delay32::SetClock([&real] { return uint32_t(0xFFFFFFFFu - 50u + uint32_t(real.elapsed())); });
        UseTimeOut(2000);
        SimProcess sim;
        OpenOnSim(sim, {"--delay", "100"});
        real.restart();
        QString reply;
        QCOMPARE(CommQuery("AVD500", reply), int16_t(1));
        QCOMPARE(reply, QString("OK\r"));
    }

    void terminatorsAreTheStoredCodes()
    {
        UseTimeOut(1000);
        SimProcess sim;
        OpenOnSim(sim);
        SetCommInTerm('K');
        QString reply;
        QCOMPARE(CommQuery("AVA000", reply), int16_t(1));
        QCOMPARE(reply, QString("OK"));
        // The CR after the "K" came in the same read and was dropped with it.
        SetCommInTerm(13);
        UseTimeOut(150);
        QCOMPARE(CommIn(reply), int16_t(-1));
        QCOMPARE(reply, QString());
        QCOMPARE(sim.LoggedLines().size(), 1);
        UseTimeOut(1000);

        SetCommOutTerm(10);
        QCOMPARE(CommOut("AVB000"), int16_t(1));
        SetCommOutTerm(13);
        QCOMPARE(CommQuery("", reply), int16_t(1));
        QCOMPARE(sim.LoggedLines(), (QStringList{"AVA000", "AVB000\\x0A"}));
        QCOMPARE(reply, QString("?\r"));
    }

    void oneByteIsOneCharacter()
    {
        UseTimeOut(1000);
        SimProcess sim;
        OpenOnSim(sim, {"--reply", "\\xE9t\\xE9 \\xFF"});
        QString reply;
        QCOMPARE(CommQuery(QString::fromUtf8("AV\u00e9\u20ac"), reply), int16_t(1));
        QCOMPARE(reply, QString::fromLatin1("\xE9t\xE9 \xFF\r"));  // never decoded as UTF-8
        QCOMPARE(reply.size(), 6);
        QCOMPARE(sim.LoggedLines(), QStringList{"AV\\xE9?"});
    }

    // ---- Line events and a vanishing device ----

    void lineEventsFromTheEventLoopOnly()
    {
        frmComm* form = CommForm();
        for (int code : {1001, 1000, 2, -5, int(comEventDeviceGone)})
            form->PostCommEvent(code);
        QCOMPARE(LogLines(), QStringList());  // queued, not reported yet
        QCoreApplication::processEvents();
        QCOMPARE(LogLines(), (QStringList{"ERROR # 1001", "ERROR # 1100"}));
        form->CommEvent = 1004;
        form->OnComm();
        QCOMPARE(LogLines().last(), QString("ERROR # 1004"));

        // An event raised before an exchange is reported after it.
        ResetErrLog();
        UseTimeOut(100);
        SimProcess sim;
        OpenOnSim(sim, {"--silent"});
        form->PostCommEvent(comEventFrame);
        QString reply;
        QCOMPARE(CommQuery("AVA000", reply), int16_t(-1));
        QCOMPARE(LogLines(), QStringList{"-Port TimeOut"});
        QCoreApplication::processEvents();
        QCOMPARE(LogLines(), (QStringList{"-Port TimeOut", "ERROR # 1004"}));
    }

    void lineEventTable()
    {
        const QList<CommEventInfo>& table = CommEventTable();
        QSet<int> codes;
        int previous = 1000;
        for (const CommEventInfo& e : table) {
            QVERIFY(e.code > previous);
            previous = e.code;
            codes.insert(e.code);
            QVERIFY(qstrlen(e.name) > 0 && qstrlen(e.meaning) > 0);
        }
        for (int code : {comEventBreak, comEventFrame, comEventOverrun, comEventRxOver,
                         comEventRxParity, comEventDeviceGone})
            QVERIFY(codes.contains(code));
        QCOMPARE(codes.size(), 6);
    }

    void deviceVanishesMidExchange()
    {
        UseTimeOut(400);
        SimProcess sim;
        OpenOnSim(sim, {"--close-after", "2"});
        QString reply;
        QCOMPARE(CommQuery("AVA100", reply), int16_t(1));

        QElapsedTimer t;
        t.start();
        const qint64 cpu = CpuMs();
        QCOMPARE(CommQuery("AVA200", reply), int16_t(-1));  // the simulator leaves on this line
        const qint64 wall = t.elapsed();
        QVERIFY(sim.WaitForFinished());
        QVERIFY2(wall >= 400, qPrintable(QString::number(wall)));
        QVERIFY2((CpuMs() - cpu) * 100 < wall * kSpinLimitPercent, "no spin after the hang-up");
        QCOMPARE(reply, QString());
        QVERIFY(!CommForm()->MSComm1->isOpen());
        QCOMPARE(LogLines(), QStringList{"-Port TimeOut"});

        // Reported once, from the event loop, and nothing keeps signalling.
        const qint64 cpu2 = CpuMs();
        t.restart();
        QTest::qWait(200);
        QVERIFY2((CpuMs() - cpu2) * 100 < t.elapsed() * kSpinLimitPercent, "an idle event loop");
        QCOMPARE(LogLines(), (QStringList{"-Port TimeOut", "ERROR # 1100"}));

        // The next exchange fails as with a port that is not open.
        ResetErrLog();
        QCOMPARE(CommQuery("AVA300", reply), int16_t(-1));
        QCOMPARE(LogLines(), (QStringList{"CommOut  10 Device is not open",
                                          "CommIn  10 Device is not open", "-Port TimeOut"}));
        QTest::qWait(50);
        QCOMPARE(LogLines().size(), 3);
    }

    void deviceVanishesBetweenExchanges()
    {
        UseTimeOut(1000);
        SimProcess sim;
        OpenOnSim(sim);
        QLineEdit box;
        SetReportSink([&box](const QString& m) { box.setText(m); });
        QString reply;
        QCOMPARE(CommQuery("AVA100", reply), int16_t(1));
        sim.Stop();
        QVERIFY(!QFileInfo(Com(40)).isSymLink());  // the simulator took its link away

        // Waiting for it costs a look now and then, no more.
        const qint64 cpu = CpuMs();
        QElapsedTimer t;
        t.start();
        QTest::qWait(kChecksMissed);
        const qint64 burnt = CpuMs() - cpu;
        QVERIFY2(burnt * 100 < t.elapsed() * kSpinLimitPercent, "no spin in the event loop");
        qInfo("waiting for the device: %lld ms CPU in %lld ms", burnt, t.elapsed());
        QCOMPARE(LogLines(), QStringList{"ERROR # 1100"});
        QVERIFY(!CommForm()->MSComm1->isOpen());
        QVERIFY(CommForm()->Watching());

        // A new device behind the same name: the port opens by itself and works again.
        SimProcess sim2;
        QVERIFY(sim2.Start({"--link", Com(40)}));
        t.restart();
        QTRY_VERIFY_WITH_TIMEOUT(CommForm()->MSComm1->isOpen(), 5000);
        qInfo("device back to port open: %lld ms", t.elapsed());
        const QString reopened = "CommOpenPort  0 " + sim2.PtyPath() + " reopened";
        QCOMPARE(LogLines(), (QStringList{"ERROR # 1100", reopened}));
        QCOMPARE(box.text(), reopened);
        QVERIFY(!CommForm()->Watching());
        QCOMPARE(CommQuery("AVA100", reply), int16_t(1));
        QCOMPARE(reply, QString("OK\r"));
        sim2.Stop();
        QTRY_COMPARE(LogLines(), (QStringList{"ERROR # 1100", reopened, "ERROR # 1100"}));

        // Closed on purpose while the device was gone: it stays closed when it comes back.
        QVERIFY(CommClosePort());
        QVERIFY(!CommForm()->Watching());
        SimProcess sim3;
        QVERIFY(sim3.Start({"--link", Com(40)}));
        QTest::qWait(kChecksMissed);
        QVERIFY(!CommForm()->MSComm1->isOpen());
        QCOMPARE(LogLines().size(), 3);
    }

    // Only the device that left is opened again: no plain file, and for a USB
    // adapter the same vendor, product and serial number (the list is supplied
    // here, as the test machines have no adapters).
    void onlyTheSameDeviceIsReopened()
    {
        UseTimeOut(1000);
        SimProcess sim;
        QVERIFY(sim.Start({"--link", Com(40)}));
        auto adapter = [](const QString& path, const QString& serial) {
            SerialDevices::Device d;
            d.path = path;
            d.vendorId = 0x0403;
            d.productId = 0x6001;
            d.serialNumber = serial;
            return d;
        };
        QList<SerialDevices::Device> listed{adapter(sim.PtyPath(), "A1")};
        SerialDevices::SetSource([&listed] { return listed; });
        const auto restore = qScopeGuard([] { SerialDevices::SetSource({}); });
        QVERIFY(CommOpenPort(40));
        sim.Stop();
        // Every try to open names the port first: an unchanged name means none was made.
        const QString tried = CommForm()->MSComm1->portName();

        // A plain file where the device was is never opened.
        QVERIFY(!QFileInfo(Com(40)).isSymLink());  // the simulator took its link away
        TestSupport::WriteFile(Com(40), "AVA100\r");
        QTest::qWait(kChecksMissed);
        QVERIFY(!CommForm()->MSComm1->isOpen());
        QCOMPARE(CommForm()->MSComm1->portName(), tried);
        QVERIFY(CommForm()->Watching());
        QFile::remove(Com(40));

        // Another adapter behind the same name: left alone.
        SimProcess other;
        QVERIFY(other.Start({"--link", Com(40)}));
        listed = {adapter(other.PtyPath(), "B2")};
        QTest::qWait(kChecksMissed);
        QVERIFY(!CommForm()->MSComm1->isOpen());
        QCOMPARE(CommForm()->MSComm1->portName(), tried);
        QCOMPARE(LogLines(), QStringList{"ERROR # 1100"});

        // The one that left, under another device name: opened.
        listed = {adapter(other.PtyPath(), "A1")};
        QTRY_VERIFY_WITH_TIMEOUT(CommForm()->MSComm1->isOpen(), 5000);
        QCOMPARE(LogLines(), (QStringList{"ERROR # 1100", "CommOpenPort  0 " + other.PtyPath() + " reopened"}));
        QString reply;
        QCOMPARE(CommQuery("AVB000", reply), int16_t(1));
        QCOMPARE(other.LoggedLines(), QStringList{"AVB000"});
    }
};

ORVANE_TEST_MAIN(TestComm)
#include "test_comm.moc"
