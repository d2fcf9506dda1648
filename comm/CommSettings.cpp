// LEDCOMM's port settings: PORT and TIMEOUT from LED_CONFIG.TXT, and the
// terminators of a command and of a reply.
#include "comm/LEDCOMM.h"
#include "comm/LEDCOMMState.h"

#include "base/NumText.h"
#include "base/Platform.h"
#include "params/TRAPAR.h"

#include <QVariant>

namespace LEDCOMM {

int16_t g_port = 0;
int16_t g_timeOut = 0;
int16_t g_outTerm = 0;
int16_t g_inTerm = 0;

namespace {

// A parameter value as a 16-bit number; false for text that is no number and
// for numbers out of range.
bool ValueToInt16(const QVariant& value, int16_t& out)
{
    switch (value.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
        return NumText::ToInt16(QString::number(value.toDouble(), 'g', 17), out);
    default:
        return NumText::ToInt16(value.toString(), out);
    }
}

// Reads one setting; 1 found and stored, -1 missing, 0 not a 16-bit number
// (said in a message box).
int16_t ReadSetting(const char* name, int16_t& target)
{
    QVariant value;
    if (TRAPAR::ParAccess(QLatin1String(name), value, QStringLiteral("from")) != 1)
        return -1;
    int16_t n = 0;
    if (!ValueToInt16(value, n)) {
        // Start-up goes on without this setting; the user must learn why.
        Platform::MsgBox(QStringLiteral("Parameter %1 in %2 is not a whole number from -32768 to 32767: \"%3\"")
                             .arg(QLatin1String(name), TRAPAR::GetParPath(), value.toString().left(40)),
                         Platform::vbCritical);
        return 0;
    }
    target = n;
    return 1;
}

} // namespace

int16_t CommReadSettings()
{
    TRAPAR::SetParFile(kSettingsFile);
    if (TRAPAR::LoadPars() == -1)
        return -1;
    int16_t result = 1;
    switch (ReadSetting(kPortSetting, g_port)) {
    case 0: return -1;
    case -1: result = -1; break;
    }
    switch (ReadSetting("TIMEOUT", g_timeOut)) {
    case 0: return -1;
    case -1: result = -1; break;
    }
    return result;
}

void SetCommOutTerm(int16_t code) { g_outTerm = code; }
void SetCommInTerm(int16_t code) { g_inTerm = code; }
int16_t CommPortNumber() { return g_port; }
int16_t CommTimeOut() { return g_timeOut; }

} // namespace LEDCOMM
