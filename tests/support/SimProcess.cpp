#include "tests/support/SimProcess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>
#include <QtDebug>

namespace TestSupport {

SimProcess::SimProcess() = default;

SimProcess::~SimProcess() { Stop(); }

QString SimProcess::Program() { return QStringLiteral(ORVANE_BIN_DIR "/orvane-sim"); }

bool SimProcess::Start(const QStringList& options, int msecs)
{
    Stop();
    QStringList args = options;
    const qsizetype logAt = args.indexOf(QStringLiteral("--log"));
    if (logAt >= 0 && logAt + 1 < args.size()) {
        logPath_ = args[logAt + 1];
    } else {
        logPath_ = dir_.filePath(QStringLiteral("sim.log"));
        QFile::remove(logPath_);
        args << QStringLiteral("--log") << logPath_;
    }
    const qsizetype linkAt = args.indexOf(QStringLiteral("--link"));
    linkPath_ = linkAt >= 0 && linkAt + 1 < args.size() ? args[linkAt + 1] : QString();

    process_.setProgram(Program());
    process_.setArguments(args);
    process_.start();
    if (!process_.waitForStarted(msecs)) {
        qWarning() << "orvane-sim did not start:" << process_.errorString();
        return false;
    }
    const QDeadlineTimer deadline(msecs);
    while (!process_.canReadLine()) {
        if (deadline.hasExpired() || process_.state() != QProcess::Running) {
            qWarning() << "orvane-sim printed no path:" << process_.readAllStandardError();
            Stop();
            return false;
        }
        process_.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    ptyPath_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
    return !ptyPath_.isEmpty();
}

void SimProcess::Stop()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.terminate();
        if (!process_.waitForFinished(3000)) {
            process_.kill();
            process_.waitForFinished(3000);
            if (!linkPath_.isEmpty())
                QFile::remove(linkPath_);  // a killed simulator cannot clean up
        }
    }
}

bool SimProcess::IsRunning() const { return process_.state() == QProcess::Running; }

bool SimProcess::WaitForFinished(int msecs)
{
    return process_.state() == QProcess::NotRunning || process_.waitForFinished(msecs);
}

qint64 SimProcess::Pid() const { return process_.processId(); }

bool SimProcess::Link(const QString& path) const
{
    QFile::remove(path);
    return QFile::link(ptyPath_, path);
}

QStringList SimProcess::LoggedLines() const
{
    QFile f(logPath_);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromLatin1(f.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

bool SimProcess::WaitForLogged(int count, int msecs) const
{
    const QDeadlineTimer deadline(msecs);
    while (LoggedLines().size() < count) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}

QString SimProcess::ErrorOutput()
{
    return QString::fromLocal8Bit(process_.readAllStandardError());
}

} // namespace TestSupport
