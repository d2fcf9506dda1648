#include "tests/support/ChildProgram.h"

#include "tests/support/TestSupport.h"

#include <signal.h>
#include <sys/types.h>

namespace TestSupport {

bool ChildProgram::Prepare(const QByteArray& config, const QString& appName)
{
    dir_ = std::make_unique<QTemporaryDir>();
    appName_ = appName;
    return dir_->isValid() && PrepareProgramCopy(App(), RunDir(), config);
}

QString ChildProgram::App(const QString& name) const
{
    const QString app = dir_->filePath(appName_);
    return name.isEmpty() ? app : app + QLatin1Char('/') + name;
}

QProcessEnvironment ChildProgram::Env(QProcessEnvironment base) const
{
    QProcessEnvironment env = Headless(std::move(base));
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), RunDir());
    env.insert(QStringLiteral("XDG_DATA_HOME"), DataHome());
    return env;
}

std::unique_ptr<QProcess> ChildProgram::Start(const QStringList& args, const QProcessEnvironment& env,
                                              const QString& workingDir) const
{
    auto p = std::make_unique<QProcess>();
    if (!StartIn(*p, args, env, workingDir))
        return nullptr;
    return p;
}

bool ChildProgram::StartIn(QProcess& p, const QStringList& args, const QProcessEnvironment& env,
                           const QString& workingDir) const
{
    p.setProcessEnvironment(env.isEmpty() ? Env() : env);
    if (!workingDir.isEmpty())
        p.setWorkingDirectory(workingDir);
    p.start(Program(), args);
    return p.waitForStarted(5000);
}

QProcessEnvironment ChildProgram::EnvWith(const QProcessEnvironment& extra) const
{
    QProcessEnvironment env = Env();
    env.insert(extra);
    return env;
}

void ChildProgram::AddPrivateFile(const QString& name, const QByteArray& bytes) const
{
    WriteFile(App(name), bytes);
    QFile::setPermissions(App(name), QFile::ReadOwner | QFile::WriteOwner);
}

bool ChildProgram::Stop(QProcess& p, int sig, int timeoutMs)
{
    ::kill(pid_t(p.processId()), sig);
    return p.waitForFinished(timeoutMs) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace TestSupport
