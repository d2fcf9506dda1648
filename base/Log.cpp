#include "base/Log.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <sys/stat.h>
#include <vector>

Q_LOGGING_CATEGORY(lcComm, "orvane.comm", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDbus, "orvane.dbus", QtInfoMsg)
Q_LOGGING_CATEGORY(lcApp, "orvane.app", QtInfoMsg)
Q_LOGGING_CATEGORY(lcMqtt, "orvane.mqtt", QtInfoMsg)

namespace Log {
namespace {

// ---- Reports already said ----
// A report written less than kSaidWindowMs before is counted instead, whatever
// came between: a closed port's three lines per command would otherwise
// alternate and each be new.
constexpr qint64 kSaidWindowMs = 5000;
constexpr qint64 kQuietMs = 1000;
constexpr qsizetype kMaxRemembered = 64;
struct Said {
    QString line;
    qint64 at = 0;  // ms on g_clock when the line or its count was last written
    int held = 0;   // reports counted since
};
std::vector<Said> g_said;  // in the order first said, so counts come out in that order
QElapsedTimer g_clock;
QTimer* g_quietTimer = nullptr;

qint64 NowMs()
{
    if (!g_clock.isValid())
        g_clock.start();
    return g_clock.elapsed();
}

void Write(const QString& line) { qCWarning(lcComm, "orvane.comm: %s", qUtf8Printable(line)); }

void WriteCount(Said& s, qint64 now)
{
    Write(QStringLiteral("(%1: %2 more time%3)").arg(s.line).arg(s.held).arg(s.held == 1 ? "" : "s"));
    s.held = 0;
    s.at = now;
}

// Every count held back, then lines said too long ago to matter are forgotten.
void WriteCounts(qint64 now)
{
    for (Said& s : g_said)
        if (s.held > 0)
            WriteCount(s, now);
    std::erase_if(g_said, [now](const Said& s) { return now - s.at >= kSaidWindowMs; });
}

// A quiet second lets the counts out, though no report follows.
void ArmQuiet()
{
    if (!QCoreApplication::instance())
        return;
    if (!g_quietTimer) {
        g_quietTimer = new QTimer(QCoreApplication::instance());
        qAddPostRoutine(FlushRepeats);  // counts still held when the program ends
        g_quietTimer->setSingleShot(true);
        QObject::connect(g_quietTimer, &QTimer::timeout, [] { WriteCounts(NowMs()); });
        QObject::connect(g_quietTimer, &QObject::destroyed, [] { g_quietTimer = nullptr; });
    }
    g_quietTimer->start(int(kQuietMs));
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
    const auto it = std::find_if(g_said.begin(), g_said.end(), [&line](const Said& s) { return s.line == line; });
    if (it != g_said.end() && (now - it->at < kSaidWindowMs || it->held > 0)) {
        ++it->held;
        if (now - it->at < kSaidWindowMs) {
            ArmQuiet();
            return;
        }
        // Said long enough ago: its count, this one included, stands for it.
        WriteCounts(now);
        return;
    }
    WriteCounts(now);
    Write(line);
    if (qsizetype(g_said.size()) >= kMaxRemembered)
        g_said.clear();
    g_said.push_back({line, now, 0});
    ArmQuiet();
}

void FlushRepeats() { WriteCounts(NowMs()); }

void EnableTraces(bool on)
{
    QLoggingCategory::setFilterRules(on ? QStringLiteral("orvane.*.debug=true") : QString());
}

} // namespace Log
