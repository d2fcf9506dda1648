#include "tests/support/MqttBroker.h"

#include <QDeadlineTimer>
#include <QTest>
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
    config_ = config;
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
    return Launch(QStringLiteral("mosquitto"), {QStringLiteral("-c"), path});
}

bool MqttBroker::AedesInstalled()
{
    return QFile::exists(QStringLiteral(ORVANE_SOURCE_DIR "/tests/support/aedes/node_modules/aedes/package.json"));
}

bool MqttBroker::StartAedes()
{
    if (port_ == 0)
        port_ = FreePort();
    config_ = kAedes;
    const QString dir = QStringLiteral(ORVANE_SOURCE_DIR "/tests/support/aedes");
    if (!QFile::exists(dir + QStringLiteral("/node_modules/aedes/package.json"))) {
        qWarning("MqttBroker: Aedes is not installed: npm ci in %s (CTest's aedes_packages does it)", qPrintable(dir));
        return false;
    }
    process_.setStandardOutputFile(dir_.filePath(QStringLiteral("broker.log")));
    process_.setStandardErrorFile(dir_.filePath(QStringLiteral("broker.out")));
    return Launch(QStringLiteral("node"), {dir + QStringLiteral("/broker.js"), QString::number(port_)});
}

bool MqttBroker::Launch(const QString& program, const QStringList& args)
{
    process_.start(program, args);
    if (!process_.waitForStarted(5000)) {
        qWarning("MqttBroker: %s did not start: %s", qPrintable(program), qPrintable(process_.errorString()));
        return false;
    }
    QDeadlineTimer deadline(5000);
    while (!Accepts(port_)) {
        if (deadline.hasExpired() || process_.state() == QProcess::NotRunning) {
            qWarning("MqttBroker: no broker on port %d: %s%s", port_,
                     ReadFile(dir_.filePath(QStringLiteral("broker.log"))).constData(),
                     ReadFile(dir_.filePath(QStringLiteral("broker.out"))).constData());
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
    static int markers = 0;
    const QByteArray marker = "test/marker/" + QByteArray::number(++markers);
    MqttWatcher w(*this, {topic, marker});
    if (!w.Ready() || !w.Publish(marker, "end") || !w.WaitFor(marker, 1, 5000)) {
        qWarning("MqttBroker: no answer from the broker on port %d", port_);
        return {};
    }
    for (const Mqtt::Message& m : std::as_const(w.messages))
        if (m.topic == topic && m.retained)
            return m.payload;
    return {};
}

QByteArray MqttBroker::RetainedBecomes(const QByteArray& topic, const QByteArray& expected, int msecs) const
{
    const QDeadlineTimer deadline(msecs);
    QByteArray now;
    while ((now = Retained(topic)) != expected && !deadline.hasExpired())
        QTest::qWait(50);
    return now;
}

void MqttBroker::Pause(bool paused)
{
    if (process_.state() != QProcess::NotRunning)
        ::kill(pid_t(process_.processId()), paused ? SIGSTOP : SIGCONT);
}

MqttWatcher::MqttWatcher(const MqttBroker& broker, const QList<QByteArray>& topics)
    : client_(std::make_unique<Mqtt::Client>())
{
    static int watchers = 0;
    Mqtt::Settings s;
    s.host = QStringLiteral("127.0.0.1");
    s.port = broker.Port();
    const QStringList args = broker.ClientArgs();
    if (const qsizetype u = args.indexOf(QStringLiteral("-u")); u >= 0) {
        s.user = args.value(u + 1);
        s.password = args.value(args.indexOf(QStringLiteral("-P")) + 1).toUtf8();
    }
    s.clientId = QStringLiteral("test-watcher-%1-%2").arg(::getpid()).arg(++watchers);
    for (const QByteArray& t : topics)
        client_->AddSubscription(t, 0);
    QObject::connect(client_.get(), &Mqtt::Client::Received, client_.get(),
                     [this](const Mqtt::Message& m) { messages.append(m); });
    if (client_->Start(s))
        (void)Until([this] { return client_->IsSubscribed(); }, 10000, client_.get(), &Mqtt::Client::Subscribed);
}

QList<Mqtt::Message> MqttWatcher::On(const QByteArray& topic) const
{
    QList<Mqtt::Message> found;
    for (const Mqtt::Message& m : messages)
        if (m.topic == topic)
            found.append(m);
    return found;
}

QList<QByteArray> MqttWatcher::Payloads(const QByteArray& topic) const
{
    QList<QByteArray> found;
    for (const Mqtt::Message& m : On(topic))
        found.append(m.payload);
    return found;
}

bool MqttWatcher::WaitFor(const QByteArray& topic, int count, int msecs) const
{
    return Until([&] { return On(topic).size() >= count; }, msecs, client_.get(), &Mqtt::Client::Received);
}

bool MqttWatcher::Publish(const QByteArray& topic, const QByteArray& payload, bool retain,
                          const QByteArray& responseTopic, const QByteArray& correlation)
{
    return client_->Publish(topic, payload, retain, 0, correlation, responseTopic);
}

} // namespace TestSupport
