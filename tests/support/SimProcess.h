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
    bool start(const QStringList& options = {}, int msecs = 5000);
    // SIGTERM, then a kill if it does not end; removes its link. Harmless
    // when it is not running.
    void stop();

    bool isRunning() const;
    // Waits for the simulator to end on its own (--close-after).
    bool waitForFinished(int msecs = 5000);
    qint64 pid() const;

    QString ptyPath() const { return ptyPath_; }
    QString logPath() const { return logPath_; }
    // The --link path given to start, or empty.
    QString linkPath() const { return linkPath_; }
    // Points a further symbolic link at the terminal, replacing an old link.
    bool link(const QString& path) const;

    // Received lines so far, as the simulator logs them (bytes outside
    // printable ASCII written as \xNN).
    QStringList loggedLines() const;
    // Waits until at least count lines are logged.
    bool waitForLogged(int count, int msecs = 5000) const;
    // What the simulator wrote on its error output.
    QString errorOutput();

private:
    QTemporaryDir dir_;
    QProcess process_;
    QString ptyPath_;
    QString logPath_;
    QString linkPath_;
};

} // namespace TestSupport
