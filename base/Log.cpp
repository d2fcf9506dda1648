#include "base/Log.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <sys/stat.h>

Q_LOGGING_CATEGORY(lcComm, "orvane.comm", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDbus, "orvane.dbus", QtInfoMsg)
Q_LOGGING_CATEGORY(lcApp, "orvane.app", QtInfoMsg)
Q_LOGGING_CATEGORY(lcMqtt, "orvane.mqtt", QtInfoMsg)

namespace Log {
namespace {

// ---- Repeated reports ----
constexpr qint64 kRepeatWindowMs = 1000;
QString g_lastLine;
qint64 g_lastWritten = 0;  // ms on g_clock when g_lastLine was written
int g_repeats = 0;
bool g_anyWritten = false;
QElapsedTimer g_clock;
QTimer* g_flushTimer = nullptr;

qint64 NowMs()
{
    if (!g_clock.isValid())
        g_clock.start();
    return g_clock.elapsed();
}

void Write(const QString& line) { qCWarning(lcComm, "orvane.comm: %s", qUtf8Printable(line)); }

void WriteRepeats()
{
    if (g_repeats > 0)
        Write(QStringLiteral("(repeated %1 times)").arg(g_repeats));
    g_repeats = 0;
}

// The loop writes the count when the second is over, though no report follows.
void ArmFlush(qint64 dueInMs)
{
    if (!QCoreApplication::instance())
        return;
    if (!g_flushTimer) {
        g_flushTimer = new QTimer(QCoreApplication::instance());
        qAddPostRoutine(FlushRepeats);  // a count still held when the program ends
        g_flushTimer->setSingleShot(true);
        QObject::connect(g_flushTimer, &QTimer::timeout, [] {
            const qint64 left = g_lastWritten + kRepeatWindowMs - NowMs();
            if (g_repeats == 0)
                return;
            if (left <= 0)
                WriteRepeats();
            else
                g_flushTimer->start(int(left));  // a window begun after this timer was set
        });
        QObject::connect(g_flushTimer, &QObject::destroyed, [] { g_flushTimer = nullptr; });
    }
    g_flushTimer->start(int(std::max<qint64>(dueInMs, 0)));
}

} // namespace

bool StderrIsJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const qsizetype colon = stream.indexOf(':');
    if (colon <= 0)
        return false;
    bool okDev = false;
    bool okIno = false;
    const qulonglong dev = stream.left(colon).toULongLong(&okDev);
    const qulonglong ino = stream.mid(colon + 1).toULongLong(&okIno);
    struct stat st {};
    return okDev && okIno && ::fstat(2, &st) == 0 && qulonglong(st.st_dev) == dev && qulonglong(st.st_ino) == ino;
}

void SetUp(bool withTimes)
{
    static const QString own = QStringLiteral("%{if-debug}%{category}: %{endif}%{message}");
    if (StderrIsJournal())
        qSetMessagePattern(QStringLiteral("%{if-debug}<7>%{endif}%{if-info}<6>%{endif}%{if-warning}<4>%{endif}"
                                          "%{if-critical}<3>%{endif}%{if-fatal}<3>%{endif}")
                           + own);
    else if (withTimes)
        qSetMessagePattern(QStringLiteral("%{time yyyy-MM-dd hh:mm:ss.zzz} ") + own);
    else
        qSetMessagePattern(own);
}

void Say(const QString& line, QMessageLogger::CategoryFunction category)
{
    qCWarning(category, "orvane: %s", qUtf8Printable(line));
}

void Report(const QString& line)
{
    const qint64 now = NowMs();
    const bool windowOver = now - g_lastWritten >= kRepeatWindowMs;
    if (g_anyWritten && line == g_lastLine && !windowOver) {
        if (++g_repeats == 1)
            ArmFlush(g_lastWritten + kRepeatWindowMs - now);
        return;
    }
    WriteRepeats();
    Write(line);
    g_anyWritten = true;
    g_lastLine = line;
    g_lastWritten = now;
}

void FlushRepeats() { WriteRepeats(); }

void EnableTraces(bool on)
{
    QLoggingCategory::setFilterRules(on ? QStringLiteral("orvane.*.debug=true") : QString());
}

} // namespace Log
