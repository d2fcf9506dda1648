// LEDCOMM's error log, and the report of a failure that goes into it.
#include "comm/LEDCOMM.h"
#include "comm/LEDCOMMState.h"

#include <array>
#include <utility>

namespace LEDCOMM {
namespace {

// ---- Error log state ----
std::array<QString, kErrLogSlots> g_errLog;
int16_t g_errPos = 0;
std::function<void(const QString&)> g_reportSink;

} // namespace

void LogError(const QString& message)
{
    g_errLog[g_errPos] = message;
    if (++g_errPos > kErrLogSlots - 1)
        g_errPos = 0;
}

void ReportError(const QString& message)
{
    LogError(message);
    if (g_reportSink)
        g_reportSink(message);
}

void SetReportSink(std::function<void(const QString& message)> sink) { g_reportSink = std::move(sink); }

QString GetErrLog()
{
    QString text;
    for (int i = g_errPos; i < kErrLogSlots; ++i) {
        if (!g_errLog[i].isEmpty())
            text += g_errLog[i] + QStringLiteral("\r\n");
    }
    for (int i = 0; i < g_errPos; ++i)
        text += g_errLog[i] + QStringLiteral("\r\n");
    return text;
}

void ResetErrLog()
{
    g_errLog.fill(QString());
}

// A number with its sign position: a blank in front unless it is negative.
QString Signed(int n)
{
    return n < 0 ? QString::number(n) : QLatin1Char(' ') + QString::number(n);
}

void ReportFailure(const char* routine, int number, const QString& text)
{
    ReportError(QLatin1String(routine) + QLatin1Char(' ') + Signed(number) + QLatin1Char(' ') + text);
}

} // namespace LEDCOMM
