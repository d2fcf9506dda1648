#pragma once
// The program as a child process: a copy of the executable in an application
// directory of its own, with a private runtime and data directory, started
// headless and without the session bus unless a test gives it one.
// (ProgramFixture is the other way: the program's modules in the test process.)
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <csignal>
#include <memory>

namespace TestSupport {

class ChildProgram {
public:
    // A fresh temporary directory holding the application directory (appName;
    // a name with a blank checks quoting), run/ and data/, and the copy of the
    // program with that settings file. False when the copy could not be made.
    bool Prepare(const QByteArray& config, const QString& appName = QStringLiteral("app"));

    // A path in the temporary directory, beside the application directory.
    QString Path(const QString& name) const { return dir_->filePath(name); }
    // The application directory, or a file in it.
    QString App(const QString& name = QString()) const;
    QString Program() const { return App(QStringLiteral("orvane")); }
    QString RunDir() const { return Path(QStringLiteral("run")); }
    QString DataHome() const { return Path(QStringLiteral("data")); }

    // What the copy runs with: base (this process's environment by default)
    // without a display or a session bus, XDG_RUNTIME_DIR and XDG_DATA_HOME
    // private. A test that gives it a bus adds the bus's address afterwards.
    QProcessEnvironment Env(QProcessEnvironment base = QProcessEnvironment::systemEnvironment()) const;

    // Starts the copy (in workingDir when given) with Env() unless env is
    // given: nullptr when it did not start.
    std::unique_ptr<QProcess> Start(const QStringList& args = {}, const QProcessEnvironment& env = {},
                                    const QString& workingDir = QString()) const;
    // The same in a process the caller holds; false when it did not start.
    bool StartIn(QProcess& p, const QStringList& args = {}, const QProcessEnvironment& env = {},
                 const QString& workingDir = QString()) const;
    // Env() with extra's variables added or replaced.
    QProcessEnvironment EnvWith(const QProcessEnvironment& extra) const;
    // A file in the application directory that only its owner may read (a password file).
    void AddPrivateFile(const QString& name, const QByteArray& bytes) const;

    // Sends sig and waits: true when the process ended normally with code 0.
    static bool Stop(QProcess& p, int sig = SIGTERM, int timeoutMs = 15000);

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString appName_;
};

} // namespace TestSupport
