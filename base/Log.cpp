#include "base/Log.h"

#include "base/OutsideText.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

Q_LOGGING_CATEGORY(lcComm, "orvane.comm", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDbus, "orvane.dbus", QtInfoMsg)
Q_LOGGING_CATEGORY(lcApp, "orvane.app", QtInfoMsg)
Q_LOGGING_CATEGORY(lcMqtt, "orvane.mqtt", QtInfoMsg)

namespace Log {
namespace {

// ---- Reports already said ----
// A report written less than g_saidWindowMs before is counted instead, whatever
// came between: a closed port's three lines per command would otherwise
// alternate and each be new.
qint64 g_saidWindowMs = 5000;
qint64 g_quietMs = 1000;
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
    std::erase_if(g_said, [now](const Said& s) { return now - s.at >= g_saidWindowMs; });
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
    g_quietTimer->start(int(g_quietMs));
}

// ---- Standard error ----
// How a write reaches standard error without waiting: a regular file is
// written as it is; a socket (the journal) with a send that does not wait; a
// pipe, FIFO or terminal through a non-blocking descriptor of its own (fd 2
// stays as the parent gave it, shared with others); where none can be opened,
// only what poll says fits.
enum class ErrWay { Unknown, File, Socket, Own, Polled };
// Recursive: a warning Qt gives while a line is handed over comes back here.
std::recursive_mutex g_errMutex;
ErrWay g_errWay = ErrWay::Unknown;
int g_errFd = 2;
std::deque<QByteArray> g_errQueue;
bool g_errFrontStarted = false;  // the front is the unwritten rest of a line begun
qsizetype g_errQueued = 0;
qint64 g_errDropped = 0;
QSocketNotifier* g_errNotifier = nullptr;
StderrWrite g_errWrite;

void ChooseErrWay()
{
    struct stat st {};
    if (::fstat(2, &st) != 0 || S_ISREG(st.st_mode)) {
        g_errWay = ErrWay::File;
    } else if (S_ISSOCK(st.st_mode)) {
        g_errWay = ErrWay::Socket;
    } else if (const int fd = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY); fd >= 0) {
        g_errWay = ErrWay::Own;
        g_errFd = fd;
    } else {
        g_errWay = ErrWay::Polled;
    }
}

// A reader that went away must not end the program: this write's SIGPIPE is
// held and taken back, and the write fails with EPIPE.
ssize_t WriteWithoutSigpipe(int fd, const char* data, size_t size)
{
    sigset_t pipe;
    sigset_t old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    const ssize_t n = ::write(fd, data, size);
    const int saved = errno;
    if (n < 0 && saved == EPIPE) {
        const timespec none{};
        sigtimedwait(&pipe, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
    return n;
}

// Bytes written, 0 when nothing fits now, -1 when standard error takes nothing.
qint64 WriteSome(const QByteArray& bytes)
{
    ssize_t n = -1;
    do {
        switch (g_errWay) {
        case ErrWay::Socket:
            n = ::send(g_errFd, bytes.constData(), size_t(bytes.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
            break;
        case ErrWay::Polled: {
            pollfd p{g_errFd, POLLOUT, 0};
            if (::poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT))
                return 0;
            // A pipe with room takes up to PIPE_BUF bytes without waiting.
            n = WriteWithoutSigpipe(g_errFd, bytes.constData(), size_t(std::min<qsizetype>(bytes.size(), PIPE_BUF)));
            break;
        }
        default:
            n = WriteWithoutSigpipe(g_errFd, bytes.constData(), size_t(bytes.size()));
        }
    } while (n < 0 && errno == EINTR);
    if (n >= 0)
        return n;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
}

void PopFront()
{
    g_errQueued -= g_errQueue.front().size();
    g_errQueue.pop_front();
    g_errFrontStarted = false;
}

QByteArray CountLine()
{
    return qFormatLogMessage(QtWarningMsg, QMessageLogContext(nullptr, 0, nullptr, "orvane.app"),
                             QStringLiteral("orvane: (%1 lines dropped: standard error did not take them)")
                                 .arg(g_errDropped))
               .toUtf8()
        + '\n';
}

// Writes what waits, as far as it goes now, then the count of lines dropped;
// with g_errMutex held. A line goes whole or is counted: the rest of one begun
// is kept until standard error takes it.
enum class Flush { Done, Wait, Refused };
Flush FlushQueue()
{
    for (;;) {
        const bool count = g_errQueue.empty();
        if (count) {
            if (g_errDropped == 0)
                return Flush::Done;
            QByteArray line = CountLine();
            g_errQueued += line.size();
            g_errQueue.push_back(std::move(line));
        }
        QByteArray& front = g_errQueue.front();
        const qint64 n = g_errWrite ? g_errWrite(front.constData(), front.size()) : WriteSome(front);
        if (n > 0 && count)
            g_errDropped = 0;
        if (n >= front.size()) {
            PopFront();
        } else if (n > 0) {
            front.remove(0, qsizetype(n));
            g_errQueued -= qsizetype(n);
            g_errFrontStarted = true;
        } else if (g_errFrontStarted || (n == 0 && !count)) {
            return n == 0 ? Flush::Wait : Flush::Refused;
        } else {
            // Refused whole (no space left, a reader gone): counted, never half written.
            // A count not taken is made again later, with what it then counts.
            PopFront();
            if (count)
                return n == 0 ? Flush::Wait : Flush::Refused;
            ++g_errDropped;
        }
    }
}

void OnErrWritable();

// The loop writes the rest when standard error takes it again, though no line follows.
void WatchErrWritable(bool on)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread() || g_errWay == ErrWay::File || g_errWrite)
        return;
    if (!g_errNotifier && on) {
        g_errNotifier = new QSocketNotifier(qintptr(g_errFd), QSocketNotifier::Write, app);
        QObject::connect(g_errNotifier, &QSocketNotifier::activated, g_errNotifier, OnErrWritable);
        QObject::connect(g_errNotifier, &QObject::destroyed, [] { g_errNotifier = nullptr; });
    }
    if (g_errNotifier)
        g_errNotifier->setEnabled(on);
}

void OnErrWritable()
{
    std::lock_guard lock(g_errMutex);
    WatchErrWritable(FlushQueue() == Flush::Wait);
}

void Handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    // Whatever a message carries from outside, it stays one line: a line break
    // would start a line, or a journal entry of any priority, of its own.
    ToStderr(qFormatLogMessage(type, context, OutsideText::For(OutsideText::Target::Log, message)).toUtf8() + '\n');
    if (type == QtFatalMsg)
        FinishStderr(100);
}

} // namespace

void ToStderr(const QByteArray& line)
{
    std::lock_guard lock(g_errMutex);
    if (g_errWay == ErrWay::Unknown)
        ChooseErrWay();
    FlushQueue();
    if (g_errQueued + line.size() > kStderrQueueBytes) {
        ++g_errDropped;
        return;
    }
    g_errQueue.push_back(line);
    g_errQueued += line.size();
    WatchErrWritable(FlushQueue() == Flush::Wait);
}

void FinishStderr(int ms)
{
    std::lock_guard lock(g_errMutex);
    const QDeadlineTimer deadline(std::max(ms, 0));
    // Standard error that refuses lines is not waited for.
    for (Flush f = FlushQueue(); f == Flush::Wait && !deadline.hasExpired(); f = FlushQueue()) {
        pollfd p{g_errFd, POLLOUT, 0};
        ::poll(&p, 1, int(std::min<qint64>(deadline.remainingTime(), 50)));
    }
}

void SetStderrWrite(StderrWrite write)
{
    std::lock_guard lock(g_errMutex);
    g_errWrite = std::move(write);
    g_errQueue.clear();
    g_errQueued = 0;
    g_errDropped = 0;
    g_errFrontStarted = false;
    WatchErrWritable(false);
}

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
    qInstallMessageHandler(Handler);
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
    if (it != g_said.end() && (now - it->at < g_saidWindowMs || it->held > 0)) {
        ++it->held;
        if (now - it->at < g_saidWindowMs) {
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

std::pair<int, int> SetRepeatWindows(int quietMs, int saidMs)
{
    const std::pair<int, int> old{int(g_quietMs), int(g_saidWindowMs)};
    g_quietMs = quietMs;
    g_saidWindowMs = saidMs;
    return old;
}

void EnableTraces(bool on)
{
    QLoggingCategory::setFilterRules(on ? QStringLiteral("orvane.*.debug=true") : QString());
}

} // namespace Log
