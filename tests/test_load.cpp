// Load: the program hosted here, with its window loaded and orvane-sim as the
// controller, serving outside clients on a private bus. Four clients at once
// while the bars move, scripts of a megabyte and of 100,000 commands, calls
// that are wrong, and a soak of exchanges watched for memory and descriptors.
#include "comm/LEDCOMM.h"
#include "dbus/BusNames.h"
#include "engine/LEDMain.h"
#include "engine/OrvaneCmd.h"
#include "mainwindow/frmVURUruduvo.h"
#include "tests/support/ServedBus.h"
#include "tests/support/ProgramFixture.h"
#include "tests/support/TestSupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QCheckBox>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScrollBar>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <memory>
#include <unistd.h>

using TestSupport::Call;
using TestSupport::Config;
using TestSupport::HeapInUse;
using TestSupport::OpenDescriptors;
using TestSupport::ProgramFixture;
using TestSupport::RssBytes;

namespace {

constexpr int kClients = 4;
constexpr int kScriptsPerClient = 1000;
// Bounds: the load and each long script must be served within these.
constexpr int kLoadBoundMs = 120000;
constexpr int kLongScriptBoundMs = 30000;

using BusNames::kRoot;
using BusNames::kService;
const QString kCmd = BusNames::kCmdInterface;

QString Level(int intensity) { return QStringLiteral("%1").arg(500 - intensity, 3, 10, QLatin1Char('0')); }

// The scripts of one client and what they must answer. A client sets only its
// own channel, always to an even intensity other than the one before, so every
// "LED" it sends moves the bar and puts exactly one command on the wire; the
// test's own moves are odd.
struct ClientPlan {
    QString name;    // channel in the command language
    QString letter;  // device channel
    QStringList scripts;
    QStringList patterns;             // one anchored expression per script; (\d+) for a count
    QList<QList<int>> countPositions;  // index of each "CommandCount" in its script
    QStringList wire;                 // channel commands its scripts send, in order
    qint64 commands = 0;

    void Make(int index, quint32 seed)
    {
        name = QString(QLatin1Char("RGBA"[index]));
        letter = QString(QLatin1Char("ABCD"[index]));
        QRandomGenerator rng(seed);
        int last = 0;  // the bars start at 0
        for (int s = 0; s < kScriptsPerClient; ++s) {
            const int n = 1 + int(rng.bounded(6));
            QStringList pieces;
            QString pattern;
            QList<int> counts;
            for (int i = 0; i < n; ++i) {
                QString piece;
                QString answer;
                bool count = false;
                switch (rng.bounded(11)) {
                case 0: case 1: case 2: case 3: {
                    int v = 2 * int(rng.bounded(251));
                    if (v == last)
                        v = (v + 2) % 502;
                    QString text = QString::number(v);
                    if (v == 500)
                        text = rng.bounded(2) ? QStringLiteral("On") : QStringLiteral("900");
                    else if (v == 0)
                        text = rng.bounded(2) ? QStringLiteral("Off") : QStringLiteral("-5");
                    else if (rng.bounded(4) == 0)
                        text += QStringLiteral(".2 extra words");
                    piece = QStringLiteral("LED %1  %2").arg(name, text);
                    answer = QStringLiteral("OK ");
                    wire << QStringLiteral("AV") + letter + Level(v);
                    last = v;
                    break;
                }
                case 4: piece = QStringLiteral(" Ver"); answer = QStringLiteral("1.0"); break;
                case 5: piece = QStringLiteral("CommandCount"); count = true; break;
                case 6:  // a blank piece runs and answers nothing, but not first or last
                    if (i > 0 && i < n - 1) {
                        piece = QStringLiteral("   ");
                    } else {
                        piece = QStringLiteral("Ver");
                        answer = QStringLiteral("1.0");
                    }
                    break;
                case 7: piece = QStringLiteral("led %1 5").arg(name); answer = QStringLiteral("Error Unknown command"); break;
                case 8: piece = QStringLiteral("LED X 10"); answer = QStringLiteral("Bad Value "); break;
                case 9: piece = QStringLiteral("LED %1 abc").arg(name); answer = QStringLiteral("Not a Number "); break;
                default: piece = QStringLiteral("LED %1").arg(name); answer = QStringLiteral("Error Missing Argument "); break;
                }
                if (count)
                    counts << i;
                pieces << piece;
                pattern += count ? QStringLiteral(" (\\d+)") : QRegularExpression::escape(answer);
                pattern += QStringLiteral(" ; ");
            }
            QString script = pieces.join(QLatin1Char(';'));
            // After an empty piece nothing more runs.
            if (rng.bounded(8) == 0)
                script += QStringLiteral(";;LED %1 1;Ver").arg(name);
            scripts << script;
            patterns << QLatin1Char('^') + pattern + QLatin1Char('$');
            countPositions << counts;
            commands += n;
        }
    }
};

} // namespace

class TestLoad : public QObject {
    Q_OBJECT

    TestSupport::ServedBus bus_;
    ProgramFixture fx_;
    qsizetype wireMark_ = 0;

    frmVURUruduvo* Form() { return frmVURUruduvo::Loaded(); }

    // Channel commands the simulator received since the last call.
    QStringList NewWire(int expected)
    {
        fx_.sim->WaitForLogged(int(wireMark_) + expected, 10000);
        const QStringList all = fx_.sim->LoggedLines();
        const QStringList fresh = all.mid(wireMark_);
        wireMark_ = all.size();
        return fresh;
    }

    std::unique_ptr<QProcess> StartClient(const QByteArray& input)
    {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(bus_.Environment());
        p->start(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"), {QStringLiteral("-")});
        if (!p->waitForStarted(5000))
            return nullptr;
        p->write(input);
        p->closeWriteChannel();
        return p;
    }

    // Runs one script through an outside client while this process serves it;
    // the answer without its line end, and the time the call took.
    QString ExecOutside(const QString& script, qint64* ms)
    {
        QElapsedTimer t;
        t.start();
        auto p = StartClient(script.toUtf8() + '\n');
        if (!p)
            return QStringLiteral("<no client>");
        const bool done = QTest::qWaitFor([&] { return p->state() == QProcess::NotRunning; }, kLongScriptBoundMs + 10000);
        *ms = t.elapsed();
        if (!done) {
            p->kill();
            p->waitForFinished(3000);
            return QStringLiteral("<unanswered>");
        }
        const QByteArray err = p->readAllStandardError();
        if (p->exitCode() != 0 || !err.isEmpty())
            return QStringLiteral("<failed: %1>").arg(QString::fromUtf8(err));
        QString out = QString::fromUtf8(p->readAllStandardOutput());
        if (out.endsWith(QLatin1Char('\n')))
            out.chop(1);
        return out;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(fx_.SetUp(Config(7, 2000)));
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        QCOMPARE(NewWire(4).size(), 4);
        QVERIFY(bus_.Serve());
    }

    void cleanupTestCase()
    {
        bus_.EndService();
        fx_.TearDown();
    }

    void fourClientsAtOnceWhileTheBarsMove()
    {
        QVERIFY(!Form()->chkTie->isChecked());
        QList<ClientPlan> plans(kClients);
        qint64 commands = 0;
        int clientSends = 0;
        for (int k = 0; k < kClients; ++k) {
            plans[k].Make(k, 7001u + quint32(k));
            commands += plans[k].commands;
            clientSends += int(plans[k].wire.size());
        }
        const int64_t countBefore = LEDMain::CommandCounter();
        const uint64_t failuresBefore = LEDMain::ChannelFailures();
        const int objectsBefore = LEDMain::AutomationObjects();

        // What every bar move sends, in the order the moves happen.
        QStringList moved;
        QList<QMetaObject::Connection> watches;
        for (int i = 0; i < 4; ++i) {
            QScrollBar* bar = Form()->Bar(i);
            watches << connect(bar, &QScrollBar::valueChanged, this, [&moved, i](int v) {
                moved << QStringLiteral("AV") + QLatin1Char("ABCD"[i]) + Level(v);
            });
        }
        // The test's own moves: odd intensities, one bar after another, between calls.
        QList<QStringList> testWire(4);
        int testMoves = 0;
        QRandomGenerator rng(99);
        QTimer mover;
        mover.setInterval(2);
        connect(&mover, &QTimer::timeout, this, [&] {
            const int i = testMoves % 4;
            QScrollBar* bar = Form()->Bar(i);
            int v = 2 * int(rng.bounded(250)) + 1;
            if (v == bar->value())
                v = v == 499 ? 1 : v + 2;
            bar->setValue(v);
            testWire[i] << QStringLiteral("AV") + QLatin1Char("ABCD"[i]) + Level(v);
            ++testMoves;
        });

        QElapsedTimer wall;
        wall.start();
        std::vector<std::unique_ptr<QProcess>> clients;
        for (const ClientPlan& plan : std::as_const(plans)) {
            clients.push_back(StartClient((plan.scripts.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8()));
            QVERIFY(clients.back());
        }
        // Served from a plain event loop, as the program serves: no polling pauses.
        QEventLoop loop;
        int running = kClients;
        for (const auto& c : clients)
            connect(c.get(), &QProcess::finished, &loop, [&] {
                if (--running == 0)
                    loop.quit();
            });
        QTimer::singleShot(kLoadBoundMs, &loop, &QEventLoop::quit);
        mover.start();
        loop.exec();
        const bool served = running == 0;
        mover.stop();
        const qint64 took = wall.elapsed();
        for (const auto& w : std::as_const(watches))
            disconnect(w);
        QVERIFY2(served, "the clients were not all served within the bound");

        // Every call answered, every answer well formed, and each script ran whole, alone.
        int64_t lastCount = countBefore;
        for (int k = 0; k < kClients; ++k) {
            QProcess& c = *clients[size_t(k)];
            QCOMPARE(c.exitStatus(), QProcess::NormalExit);
            QCOMPARE(c.exitCode(), 0);
            QCOMPARE(c.readAllStandardError(), QByteArray());
            const QStringList lines = QString::fromUtf8(c.readAllStandardOutput()).split(QLatin1Char('\n'));
            QCOMPARE(lines.size(), kScriptsPerClient + 1);
            QCOMPARE(lines.last(), QString());
            int64_t previous = countBefore;
            for (int s = 0; s < kScriptsPerClient; ++s) {
                const QRegularExpressionMatch m = QRegularExpression(plans[k].patterns[s]).match(lines[s]);
                QVERIFY2(m.hasMatch(), qPrintable(QStringLiteral("client %1, script %2: \"%3\" answered \"%4\"")
                                                      .arg(k).arg(s).arg(plans[k].scripts[s], lines[s])));
                const QList<int>& at = plans[k].countPositions[s];
                for (int j = 0; j < at.size(); ++j) {
                    const int64_t n = m.captured(j + 1).toLongLong();
                    QVERIFY(n > previous);
                    if (j > 0)
                        QCOMPARE(n - m.captured(j).toLongLong(), int64_t(at[j] - at[j - 1]));
                    previous = n;
                }
            }
            lastCount = std::max(lastCount, previous);
        }
        QCOMPARE(LEDMain::CommandCounter() - countBefore, commands);
        QVERIFY(lastCount <= LEDMain::CommandCounter());
        QCOMPARE(LEDMain::ChannelFailures(), failuresBefore);

        // The wire holds exactly what the moves sent, in their order; each client's
        // commands are there in its own order, and the test's in its.
        const QStringList wire = NewWire(clientSends + testMoves);
        QCOMPARE(wire.size(), qsizetype(clientSends + testMoves));
        QCOMPARE(wire, moved);
        for (int i = 0; i < 4; ++i) {
            QStringList even, odd;
            for (const QString& line : wire) {
                if (line[2] != QLatin1Char("ABCD"[i]))
                    continue;
                (line.right(3).toInt() % 2 == 0 ? even : odd) << line;
            }
            QCOMPARE(even, plans[i].wire);
            QCOMPARE(odd, testWire[i]);
        }
        QTRY_COMPARE_WITH_TIMEOUT(LEDMain::AutomationObjects(), objectsBefore, 10000);
        qInfo("%d clients x %d scripts: %lld commands (%d channel commands) and %d bar moves in %lld ms, "
              "%.0f scripts/s",
              kClients, kScriptsPerClient, commands, clientSends, testMoves, took,
              kClients * kScriptsPerClient * 1000.0 / double(std::max<qint64>(took, 1)));
    }

    void longScriptsOverTheBus()
    {
        // A megabyte of mixed commands; without other callers the counts are known.
        const QString block = QStringLiteral("Ver;CommandCount;LED G 7 ;Bogus word;LED X 1;   ;LED R abc;");
        const QStringList blockAnswers = {QStringLiteral("1.0"), QString(), QStringLiteral("OK "),
                                          QStringLiteral("Error Unknown command"), QStringLiteral("Bad Value "),
                                          QString(), QStringLiteral("Not a Number ")};
        const int blocks = int((1 << 20) / block.size()) + 1;
        const QString mixed = block.repeated(blocks);
        QVERIFY(mixed.size() >= (1 << 20));
        QString expected;
        qint64 count = LEDMain::CommandCounter();
        for (int b = 0; b < blocks; ++b) {
            for (int i = 0; i < blockAnswers.size(); ++i) {
                ++count;
                expected += (i == 1 ? QLatin1Char(' ') + QString::number(count) : blockAnswers[i]) + QStringLiteral(" ; ");
            }
        }
        qint64 ms = 0;
        QCOMPARE(ExecOutside(mixed, &ms), expected);
        QVERIFY2(ms < kLongScriptBoundMs, qPrintable(QString::number(ms)));
        qInfo("script of %lld bytes, %d commands: %lld ms", qint64(mixed.size()), blocks * 7, ms);

        // One word of a megabyte.
        QCOMPARE(ExecOutside(QString(1 << 20, QLatin1Char('x')), &ms), QStringLiteral("Error Unknown command ; "));
        QVERIFY2(ms < kLongScriptBoundMs, qPrintable(QString::number(ms)));
        qInfo("one word of %d bytes: %lld ms", 1 << 20, ms);

        // 100,000 commands, each of which moves the red bar and so is an exchange.
        NewWire(0);
        const int n = 100000;
        QStringList pieces;
        QStringList sent;
        int v = Form()->scrRed->value();
        for (int i = 0; i < n; ++i) {
            v = (v + 1 + i % 3) % 501;
            pieces << QStringLiteral("LED R %1").arg(v);
            sent << QStringLiteral("AVA") + Level(v);
        }
        const QString script = pieces.join(QLatin1Char(';'));
        QCOMPARE(ExecOutside(script, &ms), QStringLiteral("OK  ; ").repeated(n));
        QVERIFY2(ms < kLongScriptBoundMs, qPrintable(QString::number(ms)));
        QCOMPARE(NewWire(n), sent);
        qInfo("script of %d LED commands (%lld bytes): %lld ms", n, qint64(script.size()), ms);
    }

    void wrongCallsGetErrorsAndTheServiceGoesOn()
    {
        const QString clientName = QStringLiteral("wrong-caller");
        QDBusConnection c = QDBusConnection::connectToBus(bus_.Address(), clientName);
        QVERIFY(c.isConnected());
        const int64_t countBefore = LEDMain::CommandCounter();
        const int objectsBefore = LEDMain::AutomationObjects();
        const QString invalidArgs = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");
        const QString props = QStringLiteral("org.freedesktop.DBus.Properties");
        struct Case {
            const char* what;
            QString path;
            QString interface;
            QString member;
            QVariantList args;
            QString error;
        };
        const Case cases[] = {
            {"Exec with two strings", kRoot, kCmd, "Exec", {"Ver", "Ver"}, invalidArgs},
            {"Exec with nothing", kRoot, kCmd, "Exec", {}, invalidArgs},
            {"Exec with a list", kRoot, kCmd, "Exec", {QStringList{"Ver"}}, invalidArgs},
            {"Exec with bytes", kRoot, kCmd, "Exec", {QByteArray("Ver")}, invalidArgs},
            {"Exec with a variant", kRoot, kCmd, "Exec", {QVariant::fromValue(QDBusVariant("Ver"))}, invalidArgs},
            {"Exec with a double", kRoot, QString(), "Exec", {2.5}, invalidArgs},
            {"CreateInstance with an argument", kRoot, BusNames::kFactoryInterface, "CreateInstance", {"x"}, invalidArgs},
            {"Get with one argument", kRoot, props, "Get", {kCmd}, invalidArgs},
            {"GetAll with a number", kRoot, props, "GetAll", {7}, invalidArgs},
            {"unknown method", kRoot, kCmd, "Exek", {"Ver"}, "org.freedesktop.DBus.Error.UnknownMethod"},
            {"unknown method, no interface", kRoot, QString(), "Exek", {"Ver"}, "org.freedesktop.DBus.Error.UnknownMethod"},
            {"unknown properties method", kRoot, props, "Delete", {kCmd}, "org.freedesktop.DBus.Error.UnknownMethod"},
            {"unknown interface", kRoot, "Orvane.Nothing", "Exec", {"Ver"}, "org.freedesktop.DBus.Error.UnknownInterface"},
            {"unknown object", "/Elsewhere", kCmd, "Exec", {"Ver"}, "org.freedesktop.DBus.Error.UnknownObject"},
        };
        for (const Case& k : cases) {
            const QDBusMessage r = Call(c, k.path, k.interface, k.member, k.args);
            QVERIFY2(r.type() == QDBusMessage::ErrorMessage, k.what);
            QVERIFY2(r.errorName() == k.error, qPrintable(QStringLiteral("%1: %2 %3").arg(QLatin1String(k.what), r.errorName(), r.errorMessage())));
            QVERIFY2(!r.errorMessage().isEmpty(), k.what);
        }
        // From a separate program, as bytes on the wire.
        for (const QString& arg : {QStringLiteral("int32:5"), QStringLiteral("array:string:Ver,Ver")}) {
            QProcess send;
            send.setProcessEnvironment(bus_.Environment());
            send.start(QStringLiteral("dbus-send"), {"--session", "--print-reply", "--dest=" + kService, kRoot,
                                                     kCmd + ".Exec", arg});
            QVERIFY(QTest::qWaitFor([&] { return send.state() == QProcess::NotRunning; }, 20000));
            QCOMPARE(send.exitCode(), 1);
            QVERIFY2(send.readAllStandardError().contains(invalidArgs.toLatin1()), qPrintable(arg));
        }
        // No script ran, no object was made, and the service answers.
        QCOMPARE(LEDMain::CommandCounter(), countBefore);
        QCOMPARE(LEDMain::AutomationObjects(), objectsBefore);
        const QDBusMessage ok = Call(c, kRoot, kCmd, QStringLiteral("Exec"), {QStringLiteral("Ver")});
        QCOMPARE(ok.arguments().value(0).toString(), QStringLiteral("1.0 ; "));
        c = QDBusConnection(QString());
        QDBusConnection::disconnectFromBus(clientName);
        QTRY_COMPARE_WITH_TIMEOUT(LEDMain::AutomationObjects(), objectsBefore, 10000);
    }

    void burstOfPendingCallsIsAllAnswered()
    {
        // 100 MB of calls pending at once from one client, more than the 63 MiB
        // a bus connection holds before it stops reading; less under the sanitizers.
#ifdef ORVANE_ASAN
        const int calls = 20;
#else
        const int calls = 100;
#endif
        const QString clientName = QStringLiteral("burst");
        QDBusConnection c = QDBusConnection::connectToBus(bus_.Address(), clientName);
        QVERIFY(c.isConnected());
        const int objectsBefore = LEDMain::AutomationObjects();
        const QString script(1 << 20, QLatin1Char('x'));
        const QString answer = QStringLiteral("Error Unknown command ; ");

        QElapsedTimer t;
        t.start();
        QList<QDBusPendingCall> pending;
        for (int i = 0; i < calls; ++i) {
            QDBusMessage m = QDBusMessage::createMethodCall(kService, kRoot, kCmd, QStringLiteral("Exec"));
            m << script;
            pending << c.asyncCall(m, INT_MAX);
        }
        // The program is busy while the burst comes in, as a long script keeps it.
        QThread::msleep(1000);
        const bool allAnswered = QTest::qWaitFor(
            [&] { return std::all_of(pending.cbegin(), pending.cend(), [](const QDBusPendingCall& p) { return p.isFinished(); }); },
            30000);
        const qint64 answeredMs = t.elapsed();

        // Peer.Ping is answered by the connection itself: only a connection that
        // still reads its socket answers it.
        QDBusPendingCall ping = c.asyncCall(QDBusMessage::createMethodCall(
                                                kService, kRoot, QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping")),
                                            1000);
        QElapsedTimer p;
        p.start();
        QVERIFY(QTest::qWaitFor([&] { return ping.isFinished(); }, 5000));
        const qint64 pingMs = p.elapsed();
        int answers = 0;
        for (const QDBusPendingCall& call : std::as_const(pending))
            if (call.isFinished() && call.reply().arguments().value(0).toString() == answer)
                ++answers;
        qInfo("%d calls of 1 MiB at once: %d answered in %lld ms; Ping then answered in %lld ms", calls, answers,
              answeredMs, pingMs);
        QVERIFY2(allAnswered, "calls of the burst were never answered");
        QCOMPARE(answers, calls);
        QCOMPARE(ping.reply().type(), QDBusMessage::ReplyMessage);
        QVERIFY2(pingMs < 1000, qPrintable(QString::number(pingMs)));

        c = QDBusConnection(QString());
        QDBusConnection::disconnectFromBus(clientName);
        QTRY_COMPARE_WITH_TIMEOUT(LEDMain::AutomationObjects(), objectsBefore, 10000);
    }

    void showAndHideManyTimesInOneScript()
    {
        // A smaller script under the sanitizers, which slow every step down.
#ifdef ORVANE_ASAN
        const int pairs = 5000;
#else
        const int pairs = 20000;
#endif
        const QString clientName = QStringLiteral("show-hide");
        QDBusConnection c = QDBusConnection::connectToBus(bus_.Address(), clientName);
        QVERIFY(c.isConnected());
        auto exec = [&c](const QString& script) {
            return Call(c, kRoot, kCmd, QStringLiteral("Exec"), {script}).arguments().value(0).toString();
        };
        // The window ends as the script's last Show or Hide leaves it.
        QCOMPARE(exec(QStringLiteral("Hide;Show;Ver")), QStringLiteral("OK  ; OK  ; 1.0 ; "));
        QVERIFY(Form()->isVisible());
        QCOMPARE(exec(QStringLiteral("Show;Hide")), QStringLiteral("OK  ; OK  ; "));
        QVERIFY(!Form()->isVisible());
        QTest::qWait(50);

        const qint64 heapBefore = HeapInUse();
        const int64_t countBefore = LEDMain::CommandCounter();
        QElapsedTimer t;
        t.start();
        const bool answered = exec(QStringLiteral("Show;Hide;").repeated(pairs)) == QStringLiteral("OK  ; ").repeated(2 * pairs);
        const qint64 ms = t.elapsed();
        QVERIFY(answered);
        QCOMPARE(LEDMain::CommandCounter() - countBefore, int64_t(2 * pairs));
        QVERIFY(!Form()->isVisible());
        // The event loop turns: whatever the script left queued runs now.
        QTest::qWait(50);
        const qint64 grown = HeapInUse() - heapBefore;
        qInfo("%d x \"Show;Hide\": %lld ms; heap in use after it %+lld bytes", pairs, ms, grown);
        // Each pair used to cost more than the one before: 20,000 took seconds.
        QVERIFY2(ms < 2000, qPrintable(QString::number(ms)));
        QVERIFY2(grown < (1 << 20), qPrintable(QString::number(grown)));
        QCOMPARE(exec(QStringLiteral("Ver")), QStringLiteral("1.0 ; "));
        c = QDBusConnection(QString());
        QDBusConnection::disconnectFromBus(clientName);
    }

    void soakOfExchanges()
    {
        // ORVANE_SOAK_EXCHANGES sets another length.
        const int total = qEnvironmentVariableIsSet("ORVANE_SOAK_EXCHANGES")
            ? qEnvironmentVariableIntValue("ORVANE_SOAK_EXCHANGES") : 100000;
        QVERIFY(total > 1000);
        NewWire(0);
        // Half straight exchanges (one in ten a line the controller does not know),
        // half "LED" through the interpreter and the bars.
        int failures = 0;
        qint64 rss = 0;
        int fds = 0;
        QElapsedTimer wall;
        wall.start();
        QString reply;
        for (int i = 0; i < total; ++i) {
            if (i == 1000) {
                rss = RssBytes();
                fds = OpenDescriptors();
            }
            if (i % 2 == 0) {
                const bool known = i % 20 != 0;
                const QString command = known
                    ? QStringLiteral("AV") + QLatin1Char("ABCD"[(i / 2) % 4]) + Level(i % 501)
                    : QStringLiteral("XY%1").arg(i);
                if (LEDCOMM::CommQuery(command, reply) != 1 || reply != (known ? QStringLiteral("OK\r") : QStringLiteral("?\r")))
                    ++failures;
            } else {
                const int channel = (i / 2) % 4;
                const int v = (Form()->Bar(channel)->value() + 1 + i % 7) % 501;
                const QString script = QStringLiteral("LED %1 %2").arg(QLatin1Char("RGBA"[channel])).arg(v);
                if (LEDMain::ExecScript(script) != QStringLiteral("OK  ; "))
                    ++failures;
            }
            if (i % 5000 == 0)
                QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
        const qint64 took = wall.elapsed();
        const qint64 rssEnd = RssBytes();
        const int fdsEnd = OpenDescriptors();
        QCOMPARE(failures, 0);
        QCOMPARE(NewWire(total).size(), qsizetype(total));
        qInfo("%d exchanges in %lld ms (%.0f/s); RSS after 1000: %lld KiB, at the end: %lld KiB (%+.2f%%); "
              "descriptors %d and %d",
              total, took, total * 1000.0 / double(std::max<qint64>(took, 1)), rss / 1024, rssEnd / 1024,
              (rssEnd - rss) * 100.0 / double(rss), fds, fdsEnd);
        QVERIFY2(rssEnd * 100 <= rss * 105, "memory grew by more than 5%");
        QVERIFY2(fdsEnd <= fds, "descriptors leaked");
    }
};

ORVANE_TEST_MAIN(TestLoad)
#include "test_load.moc"
