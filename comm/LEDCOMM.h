#pragma once
// LEDCOMM, the serial link: error log, port settings, open and close, and the
// exchange of one command line and one reply line with the controller.
// One module over several files: LEDCOMM.cpp (the serial host, line events),
// CommLog.cpp, CommSettings.cpp, CommOpen.cpp (with why an open was refused),
// CommExchange.cpp; what they share is in LEDCOMMState.h.
#include <QList>
#include <QString>
#include <cstdint>
#include <functional>

// frmComm: the hidden host of the serial port; MSComm1 on it is the port itself (a QSerialPort).
class frmComm;

namespace LEDCOMM {

// ---- Error reporting and log ----
// Logs the message, then hands it to the report sink when one is set.
void ReportError(const QString& message);
void LogError(const QString& message);
// Where ReportError's messages go besides the log: start-up shows them in the
// Response box. An empty function sets none.
void SetReportSink(std::function<void(const QString& message)> sink);
// The log, oldest first, each message followed by CR LF.
QString GetErrLog();
constexpr int kErrLogSlots = 101;

// Empties the log; the write position and the report sink stay. Used when
// the serial host is created.
void ResetErrLog();

// ---- Port settings, open and close ----
// The settings file in the application directory.
inline const QString kSettingsFile = QStringLiteral("LED_CONFIG.TXT");
// The settings that say which port and how long to wait, read here and by the udev rule's task.
inline constexpr char kPortSetting[] = "PORT";
// Loads LED_CONFIG.TXT and takes PORT and TIMEOUT: 1 when both were read; -1
// when the file could not be loaded, a name is missing (the old value stays),
// or a value is no 16-bit number (said in a message box; TIMEOUT is then not
// read when PORT was the bad one).
int16_t CommReadSettings();
// Creates the serial host with a closed port and an empty error log.
void CommFormLoad();
// Removes the serial host, closing its port.
void CommFormUnload();
// 1 while the serial host exists, else 0.
int16_t CommFormLoaded();
void SetCommOutTerm(int16_t code);
void SetCommInTerm(int16_t code);
// Opens the port with the wire's line settings (base/Wire.h) and DTR and RTS
// raised: true when open; false with "CommOpenPort <n> <text>" logged (an
// open port is left open).
bool CommOpenPort(int16_t port);
bool CommOpenConfigured();
// After the settings changed: the port closed, the settings read again and the
// configured port opened. True when it opened.
bool CommReopenConfigured();
// CommOpenPort for a device that came back after it vanished: true when open,
// with "CommOpenPort  0 <device> reopened" logged and shown; false with the
// failure's log line in failure, not logged.
bool CommReopenPort(int16_t port, QString& failure);
// True when closed (or not open); false with "CommClosePort <n> <text>" logged.
// A vanished device is no longer waited for.
bool CommClosePort();

// ---- Device exchange ----
// CommOut, then CommIn even when CommOut failed: 1 when both succeeded, else -1.
int16_t CommQuery(const QString& command, QString& reply);
// Drops (and logs as "CommOut dropped: ...") whatever waits, then writes the
// command and the terminator: 1, or -1 with "CommOut <n> <text>" logged.
int16_t CommOut(const QString& command);
// Waits for one reply up to the time-out: 1 with the reply and its terminator;
// -1 after the time-out (logged as what came + "-Port TimeOut") or a read
// error (logged as "CommIn <n> <text>"). The reply holds what came in every case.
int16_t CommIn(QString& reply);

// The most of one reply that CommIn keeps, and the bound of the serial layer's
// read buffer between exchanges. At 9600 baud the longest wait (32767 ms)
// brings about 31 KiB, so a real device is never cut; a flooding one cannot
// exhaust memory.
constexpr qsizetype kCommInMaxReply = 64 * 1024;
// One read of CommIn: appends the bytes to the reply received so far (which
// holds no terminator yet), one character per byte. Returns 1 once the reply
// holds the terminator, cut right after it; else 0. Characters beyond
// kCommInMaxReply are dropped; a terminator that comes after such a cut takes
// the last place, so a finished reply always ends in it.
int16_t CommInFrame(QString& received, const char* bytes, qsizetype count, int16_t terminator);

// ---- Line events ----
// Codes above 1000 are the line errors that OnComm reports as "ERROR #" + code;
// the first five keep the numbers that users and their logs already know.
enum CommEventCode : int16_t {
    comEventBreak = 1001,       // a break condition was received
    comEventFrame = 1004,       // framing error
    comEventOverrun = 1006,     // the UART lost a character (hardware overrun)
    comEventRxOver = 1008,      // the driver's receive buffer overflowed
    comEventRxParity = 1009,    // parity error
    comEventDeviceGone = 1100,  // the device hung up or disappeared; the port is closed
};
struct CommEventInfo {
    int16_t code;
    const char* name;
    const char* meaning;
};
// Every code above 1000 that the port raises, in ascending order.
const QList<CommEventInfo>& CommEventTable();

// ---- State, for the program's other parts and for tests ----
int16_t CommPortNumber();
// While the port is closed after an open found the device busy (another
// program holds it in exclusive mode): "another program holds <device>",
// with ": <name> (process <n>)" for each holder found; else empty.
QString CommPortHeldBy();
int16_t CommTimeOut();
// The device a port number opens: <application directory>/COM<n> when that
// entry exists (a dangling link too), else /dev/ttyS<n-1>.
QString CommPortDevice(int16_t port);
// The serial host, or nullptr while none exists.
frmComm* CommForm();

} // namespace LEDCOMM
