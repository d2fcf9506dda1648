#pragma once
// The serial link: error log, port settings, open and close, and the exchange
// of one command line and one reply line with the controller.
#include <QList>
#include <QString>
#include <cstdint>

class QLineEdit;
class frmComm;

namespace LEDCOMM {

// ---- Error reporting and log ----
// Logs the message and shows it in the attached message box.
void ReportError(const QString& message);
void LogError(const QString& message);
// Attaches the box that ReportError writes to (nullptr detaches). A box that
// is destroyed later is simply no longer written.
void SetMsgBox(QLineEdit* box);
// The log, oldest first, each message followed by CR LF.
QString GetErrLog();
constexpr int ErrLogSlots = 101;

// Empties the log and detaches the box; the write position stays. Used when
// the serial host is created.
void ResetErrLog();

// ---- Port settings, open and close ----
int16_t CommReadSettings();
void CommFormLoad();
void CommFormUnload();
int16_t CommFormLoaded();
void SetCommOutTerm(int16_t code);
void SetCommInTerm(int16_t code);
bool CommOpenPort(int16_t port);
bool CommOpenConfigured();
bool CommClosePort();

// ---- Device exchange ----
int16_t CommQuery(const QString& command, QString& reply);
int16_t CommOut(const QString& command);
int16_t CommIn(QString& reply);

// The most of one reply that CommIn keeps, and the bound of the serial layer's
// read buffer between exchanges. At 9600 baud the longest wait (32767 ms)
// brings about 31 KiB, so a real device is never cut; a flooding one cannot
// exhaust memory.
constexpr qsizetype CommInMaxReply = 64 * 1024;
// One read of CommIn: appends the bytes to the reply received so far (which
// holds no terminator yet), one character per byte. Returns 1 once the reply
// holds the terminator, cut right after it; else 0. Characters beyond
// CommInMaxReply are dropped; a terminator that comes after such a cut takes
// the last place, so a finished reply always ends in it.
int16_t CommInFrame(QString& received, const char* bytes, qsizetype count, int16_t terminator);

// ---- Line events ----
// Codes above 1000 are the line errors that OnComm reports as "ERROR #" + code;
// the first five keep the numbers the Windows comm control gave them.
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
int16_t CommTimeOut();
// The device a port number opens: <application directory>/COM<n> when that
// entry exists (a dangling link too), else /dev/ttyS<n-1>.
QString CommPortDevice(int16_t port);
// The serial host, or nullptr while none exists.
frmComm* CommForm();

} // namespace LEDCOMM
