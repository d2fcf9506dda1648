#include "comm/LEDCOMM.h"

#include <QLineEdit>
#include <QPointer>
#include <array>

namespace LEDCOMM {
namespace {

// ---- Error log state ----
std::array<QString, ErrLogSlots> g_errLog;
int16_t g_errPos = 0;
QPointer<QLineEdit> g_msgBox;

} // namespace

void LogError(const QString& message)
{
    g_errLog[g_errPos] = message;
    if (++g_errPos > ErrLogSlots - 1)
        g_errPos = 0;
}

void ReportError(const QString& message)
{
    LogError(message);
    if (g_msgBox)
        g_msgBox->setText(message);
}

void SetMsgBox(QLineEdit* box) { g_msgBox = box; }

QString GetErrLog()
{
    QString text;
    for (int i = g_errPos; i < ErrLogSlots; ++i) {
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
    g_msgBox = nullptr;
}

} // namespace LEDCOMM
