// LEDCOMM's serial host and the line events. Its other jobs lie beside it:
// CommLog.cpp, CommSettings.cpp, CommOpen.cpp, CommExchange.cpp.
#include "comm/LEDCOMM.h"
#include "comm/LEDCOMMState.h"

#include "comm/frmComm.h"

namespace LEDCOMM {

frmComm* g_form = nullptr;

namespace {

int16_t g_formLoaded = 0;

} // namespace

// The serial host, created on first use with a closed port.
frmComm* Form()
{
    if (!g_form)
        g_form = new frmComm;
    return g_form;
}

QSerialPort* OpenPort()
{
    return g_form && g_form->MSComm1->isOpen() ? g_form->MSComm1 : nullptr;
}

// Clearing signals errorOccurred and fetches a translated text: only when needed.
void ClearError(QSerialPort* port)
{
    if (port->error() != QSerialPort::NoError)
        port->clearError();
}

void CommFormLoad()
{
    Form();
    ResetErrLog();
    g_formLoaded = 1;
}

void CommFormUnload()
{
    delete g_form;  // closes the port
    g_form = nullptr;
    g_formLoaded = 0;
}

int16_t CommFormLoaded() { return g_formLoaded; }
frmComm* CommForm() { return g_form; }

// ---- Line events ----

const QList<CommEventInfo>& CommEventTable()
{
    static const QList<CommEventInfo> table = {
        {comEventBreak, "comEventBreak", "a break condition was received"},
        {comEventFrame, "comEventFrame", "framing error"},
        {comEventOverrun, "comEventOverrun", "the UART lost a character (hardware overrun)"},
        {comEventRxOver, "comEventRxOver", "the receive buffer overflowed"},
        {comEventRxParity, "comEventRxParity", "parity error"},
        {comEventDeviceGone, "comEventDeviceGone",
         "the device hung up or disappeared; the port was closed"},
    };
    return table;
}

} // namespace LEDCOMM
