#pragma once
// LEDCOMM's state and helpers that several of its files use: LEDCOMM.cpp (the
// serial host), CommLog.cpp, CommSettings.cpp, CommOpen.cpp, CommExchange.cpp.
// Only these include it.
#include <QString>
#include <cstdint>

class QSerialPort;
class frmComm;

namespace LEDCOMM {

// The port settings, kept by CommSettings.cpp.
extern int16_t g_port;
extern int16_t g_timeOut;
extern int16_t g_outTerm;
extern int16_t g_inTerm;

// The serial host, kept by LEDCOMM.cpp; nullptr while none exists.
extern frmComm* g_form;
frmComm* Form();
QSerialPort* OpenPort();
void ClearError(QSerialPort* port);

// Failure reports, in CommLog.cpp.
QString Signed(int n);
void ReportFailure(const char* routine, int number, const QString& text);

} // namespace LEDCOMM
