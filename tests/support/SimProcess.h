#pragma once
// Runs the virtual controller orvane-sim for a test: starts it with options,
// reads the path of its pseudo-terminal, reads its log of received lines,
// and stops it. Every instance logs into its own temporary directory unless
// the options name a log file.
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

namespace TestSupport {

class SimProcess {
public:
    SimProcess();
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // The orvane-sim executable of this build.
    static QString Program();

    // Starts orvane-sim with the options ("--link", path, "--silent", ...) and
    // waits until it has printed its terminal's path. False (with a warning
    // saying why) when it did not start.
    bool Start(const QStringList& options = {}, int msecs = 5000);
    // SIGTERM, then a kill if it does not end; removes its link. Harmless
    // when it is not running.
    void Stop();

    bool IsRunning() const;
    // Waits for the simulator to end on its own (--close-after).
    bool WaitForFinished(int msecs = 5000);
    qint64 Pid() const;

    QString PtyPath() const { return ptyPath_; }
    QString LogPath() const { return logPath_; }
    // The --link path given to Start, or empty.
    QString LinkPath() const { return linkPath_; }
    // Points a further symbolic link at the terminal, replacing an old link.
    bool Link(const QString& path) const;

    // Received lines so far, as the simulator logs them (bytes outside
    // printable ASCII written as \xNN).
    QStringList LoggedLines() const;
    // Waits until at least count lines are logged.
    bool WaitForLogged(int count, int msecs = 5000) const;
    // What the simulator wrote on its error output.
    QString ErrorOutput();

private:
    QTemporaryDir dir_;
    QProcess process_;
    QString ptyPath_;
    QString logPath_;
    QString linkPath_;
};

} // namespace TestSupport
