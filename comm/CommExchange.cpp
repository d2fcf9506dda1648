// LEDCOMM's exchange with the controller: one command line out, one reply line in.
#include "comm/LEDCOMM.h"
#include "comm/LEDCOMMState.h"

#include "comm/Delay32.h"
#include "comm/frmComm.h"
#include "base/Log.h"
#include "base/Notify.h"

#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <cstring>

namespace LEDCOMM {
namespace {

const QString kNotOpenText = QStringLiteral("Device is not open");
constexpr qsizetype kDroppedShown = 80;

// Empties the receive side before a command goes out: a reply that came after
// its wait ended would otherwise pass for the answer to this command. What is
// dropped goes into the log, CR shown as \r, at most 80 characters.
void DropWaiting(QSerialPort* port)
{
    QByteArray dropped = port->readAll();
    // Bytes still in the driver reach the serial layer only when asked for.
    if (port->waitForReadyRead(0))
        dropped += port->readAll();
    ClearError(port);
    if (dropped.isEmpty())
        return;
    // A device that floods the line leaves more in the driver: gone too.
    port->clear(QSerialPort::Input);
    ClearError(port);
    QString shown;
    for (const char c : dropped) {
        if (shown.size() >= kDroppedShown)
            break;
        if (c == '\r')
            shown += QStringLiteral("\\r");
        else if (c == '\n')
            shown += QStringLiteral("\\n");
        else
            shown += QChar(char16_t(uchar(c)));
    }
    LogError(QStringLiteral("CommOut dropped: ") + shown.left(kDroppedShown));
}

} // namespace

int16_t CommQuery(const QString& command, QString& reply)
{
    // Timed only while traced: the clock is read twice per exchange then.
    const bool tracing = lcComm().isDebugEnabled();
    QElapsedTimer took;
    if (tracing)
        took.start();
    const int16_t out = CommOut(command);
    const int16_t in = CommIn(reply);
    if (tracing) {
        const qint64 us = took.nsecsElapsed() / 1000;
        // CommIn ends at the terminator or at the time-out, nowhere else.
        if (in > 0)
            qCDebug(lcComm) << "exchange" << command << "-> reply" << reply << "in" << us << "us";
        else
            qCDebug(lcComm) << "exchange" << command << (out > 0 ? "->" : "-> not sent,") << "time-out of"
                            << g_timeOut << "ms, received" << reply << "in" << us << "us";
    }
    return out > 0 && in > 0 ? 1 : -1;
}

int16_t CommOut(const QString& command)
{
    QSerialPort* p = OpenPort();
    if (!p) {
        ReportFailure("CommOut", QSerialPort::NotOpenError, kNotOpenText);
        return -1;
    }
    DropWaiting(p);
    // One byte per character; characters beyond 8 bits go out as "?".
    const QByteArray bytes = (command + QChar(char16_t(g_outTerm))).toLatin1();
    ClearError(p);
    const qint64 written = p->write(bytes);
    if (written == bytes.size())
        p->flush();  // on the line now, whatever the reply wait does
    if (g_form->Vanished()) {
        g_form->CloseVanished();
        ReportFailure("CommOut", QSerialPort::NotOpenError, kNotOpenText);
        return -1;
    }
    if (written != bytes.size() || p->error() != QSerialPort::NoError) {
        ReportFailure("CommOut", p->error(), p->errorString());
        ClearError(p);
        return -1;
    }
    return 1;
}

int16_t CommIn(QString& reply)
{
    QString received;
    int16_t result = -1;
    bool reported = false;  // one report per wait for an error that lasts
    auto lastError = QSerialPort::NoError;
    const uint32_t start = Delay32::TickMs();
    for (;;) {
        Notify::Ping();  // the wait holds the event loop, but the program lives
        const uint32_t elapsed = Delay32::TickMs() - start;  // right across the wrap
        if (int64_t(elapsed) > g_timeOut) {
            ReportError(received + QStringLiteral("-Port TimeOut"));
            result = -1;
            break;
        }
        // Until the wait may end: the first moment elapsed exceeds the time-out.
        const int remaining = int(int64_t(g_timeOut) - int64_t(elapsed) + 1);
        QSerialPort* p = OpenPort();
        if (!p) {
            if (!reported)
                ReportFailure("CommIn", QSerialPort::NotOpenError, kNotOpenText);
            reported = true;
            QThread::msleep(ulong(Notify::WaitSlice(remaining)));  // nothing can arrive: sleep out the wait
            continue;
        }
        if (p->bytesAvailable() == 0) {
            ClearError(p);
            if (!p->waitForReadyRead(Notify::WaitSlice(remaining))) {
                const auto error = p->error();
                ClearError(p);
                if (g_form->Vanished()) {
                    g_form->CloseVanished();  // reported as its line event, not here
                    reported = true;
                    continue;
                }
                if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError)
                    continue;
                if (!reported || error != lastError)
                    ReportFailure("CommIn", error, p->errorString());
                reported = true;
                lastError = error;
                // A failing read returns at once; a lasting failure must not spin.
                QThread::msleep(ulong(std::min(remaining, 10)));
                continue;
            }
        }
        const QByteArray bytes = p->readAll();
        if (CommInFrame(received, bytes.constData(), bytes.size(), g_inTerm) == 1) {
            result = 1;
            break;
        }
    }
    if (g_form)
        g_form->CheckLineCounters();
    reply = received;
    return result;
}

int16_t CommInFrame(QString& received, const char* bytes, qsizetype count, int16_t terminator)
{
    const void* found = terminator >= 0 && terminator <= 0xFF && count > 0
        ? std::memchr(bytes, terminator, size_t(count)) : nullptr;
    // Only the new bytes are searched: what came before holds no terminator.
    const qsizetype take = found ? static_cast<const char*>(found) - bytes : count;
    const qsizetype room = std::max<qsizetype>(0, kCommInMaxReply - received.size());
    received += QLatin1String(bytes, std::min(take, room));
    if (!found)
        return 0;
    // The terminator stays; the rest of the read is dropped.
    if (received.size() >= kCommInMaxReply)
        received.truncate(kCommInMaxReply - 1);
    received += QChar(char16_t(terminator));
    return 1;
}

} // namespace LEDCOMM
