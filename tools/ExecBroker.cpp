// orvane-exec on the broker: requests on orvane/<NAME>/exec answered on a
// response topic of this client's own (over MQTT 3.1.1, which has none, on
// exec/<a tag of ours> answered on result/<that tag>), the programs' retained
// status watched throughout, and the retained status and state of every
// program for --list.
#include "tools/ExecRoads.h"

#include "base/ControllerName.h"
#include "mqtt/Topics.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QTimer>
#include <functional>
#include <unistd.h>

namespace Exec {
namespace {

QString Where(const Mqtt::Settings& s)
{
    return (s.host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2")).arg(s.host).arg(s.port);
}

// Letters, digits, - and _ only: the id is a level of our response topic.
QString ClientId()
{
    QString host = QSysInfo::machineHostName();
    for (QChar& c : host)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != u'-' && c != u'_')
            c = u'_';
    return QStringLiteral("orvane-exec-%1-%2").arg(host.left(40)).arg(::getpid());
}

// One connection to the broker for one run: connects within the connect
// time-out, subscribes to the topics given and then to its response topic,
// and says Ready once every retained message of those subscriptions is in.
// That moment is found without a guess: a marker published to a topic of its
// own comes back behind the retained messages the broker queued before it;
// it is sent once every SUBACK is in, and only when they are not all in yet.
class Session : public QObject {
    Q_OBJECT
public:
    Session(const Mqtt::Settings& settings, const QList<QByteArray>& topics) : settings_(settings)
    {
        settings_.clientId = ClientId();
        settings_.ackAtOnce = true;
        // Answers come where this client never publishes, under a level no
        // other client can guess; the marker goes where no answer may.
        reply_ = Topics::ExecReplies(settings_.clientId) + QByteArray::number(QRandomGenerator::system()->generate64(), 36);
        readyTopic_ = Topics::ExecReady(settings_.clientId);
        for (const QByteArray& t : topics)
            client_.AddSubscription(t, 0);
        client_.AddSubscription(reply_, 0);
        client_.AddSubscription(readyTopic_, 0);
        connect(&client_, &Mqtt::Client::Subscribed, this, [this] {
            // The broker sends a subscription's retained messages before the
            // next SUBACK, so what the caller waits for is often in already.
            if (settled_ && settled_())
                BeReady();
            else
                client_.Publish(readyTopic_, kMarker, false);
        });
        connect(&client_, &Mqtt::Client::Failed, this, [this](const QString& why) {
            Finish(kNoBroker, QStringLiteral("MQTT broker %1: %2").arg(Where(settings_), why));
        });
        connect(&client_, &Mqtt::Client::Received, this, [this](const Mqtt::Message& m) {
            if (m.topic == readyTopic_ && m.payload == kMarker) {
                BeReady();
            } else {
                emit Received(m);
            }
        });
        connectWait_.setSingleShot(true);
        connect(&connectWait_, &QTimer::timeout, this, [this] {
            Finish(kNoBroker, QStringLiteral("MQTT broker %1: not reached, or it did not serve us, within %2 s")
                                  .arg(Where(settings_))
                                  .arg(Mqtt::Client::kConnectWaitMs / 1000));
        });
    }

    // Says whether every retained message the caller needs is in, so that
    // Ready need not wait for the marker.
    void SetSettled(std::function<bool()> settled) { settled_ = std::move(settled); }
    QByteArray ReplyTopic() const { return reply_; }
    bool Is311() const { return client_.ProtocolInUse() == Mqtt::Protocol::V311; }
    Mqtt::Client& Client() { return client_; }

    // Connects and runs until Finish; returns its status.
    int Run()
    {
        QString why;
        if (!client_.Start(settings_, &why)) {
            Say(QStringLiteral("MQTT broker %1: %2").arg(Where(settings_), why));
            return kFailed;
        }
        connectWait_.start(Mqtt::Client::kConnectWaitMs);
        const int status = loop_.exec();
        client_.Stop();
        return status;
    }

    // Ends the run with status; a why is said first. Only the first end counts.
    void Finish(int status, const QString& why = QString())
    {
        if (done_)
            return;
        done_ = true;
        if (!why.isEmpty())
            Say(why);
        loop_.exit(status);
    }

signals:
    void Ready();
    void Received(const Mqtt::Message& m);

private:
    void BeReady()
    {
        if (ready_)
            return;
        ready_ = true;
        connectWait_.stop();
        emit Ready();
    }

    static inline const QByteArray kMarker = "orvane-exec-ready";
    Mqtt::Settings settings_;
    Mqtt::Client client_;
    QByteArray reply_;
    QByteArray readyTopic_;
    QTimer connectWait_;
    QEventLoop loop_;
    std::function<bool()> settled_;
    bool ready_ = false;
    bool done_ = false;
};

QByteArray StatusTopic(const QString& name) { return Topics::Prefix(name) + Topics::kStatus; }

// Over 3.1.1 a request goes to exec/<tag> and its answer comes on
// result/<tag>: the tag, our client id and the request's correlation, is ours alone.
QByteArray Tag(const QByteArray& correlation) { return ClientId().toUtf8() + '/' + correlation; }

} // namespace

int RunOnBroker(const Mqtt::Settings& settings, const QStringList& names, Lines& lines)
{
    QList<QByteArray> topics;
    for (const QString& n : names)
        topics << StatusTopic(n);
    if (settings.protocol != Mqtt::Protocol::V5)
        topics << Topics::Tagged(Topics::Prefix(QStringLiteral("+")), Topics::kResult, Tag("+"));
    Session session(settings, topics);
    const QString where = Where(settings);

    QMap<QByteArray, QByteArray> status;          // by status topic, the last payload seen
    QList<int> failed(names.size(), kServed);     // each NAME's status
    QList<std::optional<QString>> answers;        // of the line that runs
    QList<bool> waiting(names.size(), false);
    int sequence = 0;
    bool checked = false;
    auto correlation = [&](qsizetype i) { return QByteArray::number(i) + '.' + QByteArray::number(sequence); };
    auto base = [&](qsizetype i) { return Topics::Prefix(names[i]); };

    auto fail = [&](qsizetype i, int why, const QString& text) {
        failed[i] = why;
        waiting[i] = false;
        Say(text);
    };
    auto firstFailure = [&] {
        for (int f : std::as_const(failed))
            if (f != kServed)
                return f;
        return int(kServed);
    };
    // The line is done when no NAME still owes its answer.
    auto lineDone = [&] {
        if (std::find(waiting.cbegin(), waiting.cend(), true) != waiting.cend())
            return;
        PrintAnswers(names, answers);
        if (std::find(failed.cbegin(), failed.cend(), int(kServed)) == failed.cend())
            session.Finish(firstFailure());
        else
            lines.Next();
    };

    QObject::connect(&lines, &Lines::Line, &session, [&](const QString& script) {
        ++sequence;
        answers = QList<std::optional<QString>>(names.size());
        for (qsizetype i = 0; i < names.size(); ++i) {
            if (failed[i] != kServed)
                continue;
            waiting[i] = session.Is311()
                             ? session.Client().Publish(Topics::Tagged(base(i), Topics::kExec, Tag(correlation(i))),
                                                        script.toUtf8(), false)
                             : session.Client().Publish(base(i) + Topics::kExec, script.toUtf8(), false, 0,
                                                        correlation(i), session.ReplyTopic());
            if (!waiting[i])
                fail(i, kNoBroker, QStringLiteral("%1: the request could not be sent to MQTT broker %2")
                                       .arg(names[i], where));
        }
        lineDone();
    });
    QObject::connect(&lines, &Lines::End, &session, [&] { session.Finish(firstFailure()); });

    session.SetSettled([&] {
        for (const QString& n : names)
            if (!status.contains(StatusTopic(n)))
                return false;
        return true;
    });
    QObject::connect(&session, &Session::Ready, &session, [&] {
        checked = true;
        for (qsizetype i = 0; i < names.size(); ++i) {
            const auto s = status.constFind(StatusTopic(names[i]));
            if (s == status.constEnd())
                fail(i, kNotOnline, QStringLiteral("%1: no program with this NAME has been on MQTT broker %2")
                                        .arg(names[i], where));
            else if (*s != Topics::kOnline)
                fail(i, kNotOnline, QStringLiteral("%1: the program is %2 on MQTT broker %3")
                                        .arg(names[i], QString::fromUtf8(s->left(40)), where));
        }
        if (firstFailure() != kServed && std::find(failed.cbegin(), failed.cend(), int(kServed)) == failed.cend())
            session.Finish(firstFailure());
        else
            lines.Next();
    });
    auto answered = [&](qsizetype i, const QByteArray& payload) {
        waiting[i] = false;
        answers[i] = QString::fromUtf8(payload);
        lineDone();
    };
    QObject::connect(&session, &Session::Received, &session, [&](const Mqtt::Message& m) {
        if (m.topic == session.ReplyTopic()) {
            const qsizetype dot = m.correlation.indexOf('.');
            const qsizetype i = m.correlation.left(dot).toInt();
            if (dot > 0 && i >= 0 && i < names.size() && waiting[i] && m.correlation == correlation(i))
                answered(i, m.payload);
            return;
        }
        if (!m.topic.endsWith(QByteArray("/") + Topics::kStatus)) {  // a tagged answer, perhaps to an earlier line
            for (qsizetype i = 0; i < names.size(); ++i)
                if (waiting[i] && m.topic == Topics::Tagged(base(i), Topics::kResult, Tag(correlation(i))))
                    return answered(i, m.payload);
            return;
        }
        status.insert(m.topic, m.payload);
        if (!checked || m.payload == Topics::kOnline)
            return;
        // Its will, or its own goodbye: no answer is coming.
        for (qsizetype i = 0; i < names.size(); ++i)
            if (waiting[i] && m.topic == StatusTopic(names[i])) {
                fail(i, kWentOffline, QStringLiteral("%1: the program went %2 on MQTT broker %3 before it answered")
                                          .arg(names[i], QString::fromUtf8(m.payload.left(40)), where));
                lineDone();
            }
    });
    return session.Run();
}

int ListOnBroker(const Mqtt::Settings& settings, bool json)
{
    const QByteArray any = Topics::Prefix(QStringLiteral("+"));
    Session session(settings, {any + Topics::kStatus, any + Topics::kState});
    QMap<QString, Listed> seen;
    QObject::connect(&session, &Session::Received, &session, [&](const Mqtt::Message& m) {
        const QList<QByteArray> levels = m.topic.split('/');
        // A topic level is anything a client published; a NAME is only what a program can hold.
        if (levels.size() != 3 || !ControllerName::IsValid(QString::fromUtf8(levels[1])))
            return;
        Listed& c = seen[QString::fromUtf8(levels[1])];
        c.name = QString::fromUtf8(levels[1]);
        c.road = QStringLiteral("broker");
        if (levels[2] == Topics::kStatus) {
            c.online = m.payload == Topics::kOnline;
            return;
        }
        const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
        std::array<int, Channels::kCount> v{};
        for (int i = 0; i < Channels::kCount; ++i) {
            const QJsonValue x = o.value(QString(QLatin1Char(Channels::kAll[size_t(i)].command)));
            if (!x.isDouble())
                return;
            v[size_t(i)] = x.toInt();
        }
        c.levels = v;
    });
    QObject::connect(&session, &Session::Ready, &session, [&] {
        PrintList(seen.values(), json);
        session.Finish(kServed);
    });
    return session.Run();
}

} // namespace Exec

#include "ExecBroker.moc"
