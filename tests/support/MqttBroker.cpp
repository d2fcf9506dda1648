#include "tests/support/MqttBroker.h"

#include <QDeadlineTimer>
#include <QThread>
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace TestSupport {
namespace {

// A port nobody listens on now: the kernel's pick for a socket bound to port 0.
int FreePort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
        && ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

bool Accepts(int port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

} // namespace

bool MqttBroker::Start(const QByteArray& config)
{
    if (port_ == 0)
        port_ = FreePort();
    const passwd* me = ::getpwuid(::geteuid());
    // A broker started as root drops to this user: then it still reads its files.
    QByteArray text = "listener " + QByteArray::number(port_) + " 127.0.0.1\n"
        + "user " + QByteArray(me ? me->pw_name : "root") + "\n"
        + "persistence false\n"
        + "log_dest file " + QFile::encodeName(dir_.filePath(QStringLiteral("broker.log"))) + "\n"
        + config;
    const QString path = dir_.filePath(QStringLiteral("broker.conf"));
    WriteFile(path, text);
    // Its warning about running as root is no news to a test.
    process_.setStandardOutputFile(dir_.filePath(QStringLiteral("broker.out")));
    process_.setStandardErrorFile(dir_.filePath(QStringLiteral("broker.out")), QIODevice::Append);
    process_.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), path});
    if (!process_.waitForStarted(5000)) {
        qWarning("MqttBroker: mosquitto did not start: %s", qPrintable(process_.errorString()));
        return false;
    }
    QDeadlineTimer deadline(5000);
    while (!Accepts(port_)) {
        if (deadline.hasExpired() || process_.state() == QProcess::NotRunning) {
            qWarning("MqttBroker: no broker on port %d: %s", port_,
                     ReadFile(dir_.filePath(QStringLiteral("broker.log"))).constData());
            Stop();
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

void MqttBroker::Stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(process_.processId()), SIGTERM);
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

QByteArray MqttBroker::PasswordConfig(const QString& user, const QString& password)
{
    const QString file = dir_.filePath(QStringLiteral("passwords"));
    QProcess p;
    p.start(QStringLiteral("mosquitto_passwd"), {QStringLiteral("-b"), QStringLiteral("-c"), file, user, password});
    if (!p.waitForFinished(10000) || p.exitCode() != 0)
        qWarning("MqttBroker: mosquitto_passwd failed: %s", p.readAllStandardError().constData());
    QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
    login_ = QStringList{"-u", user, "-P", password};
    return "allow_anonymous false\npassword_file " + QFile::encodeName(file) + "\n";
}

QStringList MqttBroker::ClientArgs() const
{
    return QStringList{"-h", "127.0.0.1", "-p", QString::number(port_)} + login_;
}

Ran MqttBroker::Client(const QString& tool, const QStringList& args, int timeoutMs) const
{
    return RunProcess(tool, ClientArgs() + args,
                      QProcessEnvironment::systemEnvironment(), QByteArray(), timeoutMs);
}

QByteArray MqttBroker::Retained(const QByteArray& topic) const
{
    const Ran r = Client(QStringLiteral("mosquitto_sub"),
                         {"-t", QString::fromUtf8(topic), "-C", "1", "-W", "1", "--retained-only"});
    return r.out.trimmed().toUtf8();
}

} // namespace TestSupport
