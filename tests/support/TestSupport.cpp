#include "tests/support/TestSupport.h"

#include "comm/LEDCOMM.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <sys/resource.h>
#include <unistd.h>

#ifdef ORVANE_ASAN
// The sanitizer runtime's own count; g++ ships no header for it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace TestSupport {

MsgBoxRecorder::MsgBoxRecorder()
{
    previous_ = Platform::SetMsgBoxHandler([this](const QString& text, int style, const QString& title) {
        boxes.append({text, style, title});
        return int(Platform::vbOK);
    });
}

MsgBoxRecorder::~MsgBoxRecorder() { Platform::SetMsgBoxHandler(std::move(previous_)); }

QStringList MsgBoxRecorder::Texts() const
{
    QStringList out;
    for (const Box& b : boxes)
        out << b.text;
    return out;
}

Ran RunProcess(const QString& program, const QStringList& args, const QProcessEnvironment& env,
               const QByteArray& input, int timeoutMs)
{
    Ran ran;
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForStarted(5000))
        return ran;
    if (!input.isNull())
        p.write(input);
    p.closeWriteChannel();
    ran.finished = Until([&] { return p.state() == QProcess::NotRunning; }, timeoutMs, &p, &QProcess::finished);
    if (!ran.finished) {
        p.kill();
        p.waitForFinished(3000);
    }
    ran.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    ran.out = QString::fromUtf8(p.readAllStandardOutput());
    ran.err = QString::fromUtf8(p.readAllStandardError());
    return ran;
}

bool StartLedCommands(QProcess& client, int n, const QProcessEnvironment& env)
{
    QStringList commands;
    for (int i = 1; i <= n; ++i)
        commands << QStringLiteral("LED R %1").arg(i);
    client.setProcessEnvironment(env);
    client.start(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"), {commands.join(QLatin1Char(';'))});
    return client.waitForStarted(5000);
}

QProcessEnvironment Headless(QProcessEnvironment env)
{
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(v));
    return env;
}

bool PrepareProgramCopy(const QString& appDir, const QString& runDir, const QByteArray& config)
{
    if (!QDir().mkpath(appDir) || !QDir().mkpath(runDir))
        return false;
    QFile::setPermissions(runDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (!QFile::copy(QStringLiteral(ORVANE_BIN_DIR "/orvane"), appDir + QStringLiteral("/orvane")))
        return false;
    WriteFile(appDir + QStringLiteral("/LED_CONFIG.TXT"), config);
    return true;
}

void WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s: %s", qPrintable(path), qPrintable(f.errorString()));
    f.write(bytes);
}

QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

QByteArray Config(int port, int timeOutMs)
{
    return "\"PORT\"," + QByteArray::number(port) + "\r\n\"TIMEOUT\"," + QByteArray::number(timeOutMs) + "\r\n";
}

QStringList LogLines() { return LEDCOMM::GetErrLog().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts); }

qint64 CpuMs()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return qint64(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000
        + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000;
}

qint64 ProcessCpuMs(qint64 pid)
{
    const QByteArray stat = ReadFile(QStringLiteral("/proc/%1/stat").arg(pid));
    // The command name may hold blanks; the fields after it do not.
    const QList<QByteArray> f = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (f.size() < 13)
        return -1;
    return (f[11].toLongLong() + f[12].toLongLong()) * 1000 / sysconf(_SC_CLK_TCK);
}

qint64 RssBytes()
{
    const QList<QByteArray> f = ReadFile(QStringLiteral("/proc/self/statm")).split(' ');
    return f.value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

qint64 PeakMemoryKb()
{
    const QByteArray status = ReadFile(QStringLiteral("/proc/self/status"));
    const qsizetype at = status.indexOf("VmHWM:");
    return at < 0 ? -1 : status.mid(at + 6, status.indexOf('\n', at) - at - 6).trimmed().split(' ').value(0).toLongLong();
}

void ResetPeakMemory() { WriteFile(QStringLiteral("/proc/self/clear_refs"), "5"); }

qint64 HeapInUse()
{
#ifdef ORVANE_ASAN
    return qint64(__sanitizer_get_current_allocated_bytes());
#else
    const struct mallinfo2 m = mallinfo2();
    return qint64(m.uordblks + m.hblkhd);
#endif
}

int OpenDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System | QDir::AllEntries | QDir::NoDotAndDotDot).size());
}

} // namespace TestSupport
