#pragma once
// The serial link: error log, port settings, open and close, and the exchange
// of one command line and one reply line with the controller.
#include <QString>
#include <cstdint>

class QLineEdit;

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

} // namespace LEDCOMM
