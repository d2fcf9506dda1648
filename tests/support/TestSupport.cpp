#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>

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
    ran.finished = QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, timeoutMs);
    if (!ran.finished) {
        p.kill();
        p.waitForFinished(3000);
    }
    ran.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    ran.out = QString::fromUtf8(p.readAllStandardOutput());
    ran.err = QString::fromUtf8(p.readAllStandardError());
    return ran;
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

} // namespace TestSupport
