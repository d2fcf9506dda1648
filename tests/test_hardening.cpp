// Bad input by hand: a controller that floods the line, scripts of a
// megabyte, and settings files that are no settings at start-up.
#include "comm/LEDCOMM.h"
#include "comm/frmComm.h"
#include "engine/LEDMain.h"
#include "mainwindow/frmVURUruduvo.h"
#include "tests/support/ProgramFixture.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSerialPort>

using TestSupport::Config;
using TestSupport::HeapInUse;
using TestSupport::ProgramFixture;

namespace {

// What orvane-sim --flood sends: A..Z, A.. from the first letter on.
QString Letters(qsizetype n)
{
    QString s(n, Qt::Uninitialized);
    for (qsizetype i = 0; i < n; ++i)
        s[i] = QChar(char16_t('A' + i % 26));
    return s;
}

QString LastLogLine()
{
    const QStringList lines = TestSupport::LogLines();
    return lines.isEmpty() ? QString() : lines.last();
}

// The heap may grow by this much while a device floods: a few replies of the
// bound, the serial buffer and the log, far less than the floods themselves.
constexpr qint64 kHeapSlack = 4 * 1024 * 1024;

// A script of a megabyte is answered within this many milliseconds.
constexpr qint64 kMegabyteBoundMs = 20000;

} // namespace

class TestHardening : public QObject {
    Q_OBJECT

    ProgramFixture fx_;

    // The serial link alone, as a client of the automation object uses it:
    // settings read, port 7 open on the simulator, no main window.
    void OpenLink(int timeOutMs, const QStringList& simOptions)
    {
        fx_.WriteConfig(Config(7, timeOutMs));
        QVERIFY(fx_.StartSim(simOptions));
        QVERIFY(fx_.LoadLink());
        QVERIFY(LEDCOMM::CommOpenConfigured());
    }

    // Closes the link without switching the channels off, which a flooding
    // simulator would answer with more floods.
    void CloseLink()
    {
        fx_.sim->Stop();
        LEDCOMM::CommClosePort();
        LEDCOMM::CommFormUnload();
    }

private slots:
    void init() { QVERIFY(fx_.SetUp()); }
    void cleanup() { fx_.TearDown(); }

    // ---- A device that floods the line ----

    void endlessFloodWithoutCrEndsAtTheTimeOut()
    {
        OpenLink(600, {"--flood", "4000000000", "--no-cr"});
        const qint64 heapBefore = HeapInUse();
        QString reply;
        QElapsedTimer t;
        t.start();
        QCOMPARE(LEDCOMM::CommQuery("AVA000", reply), int16_t(-1));
        const qint64 wall = t.elapsed();
        // Incoming characters do not restart the wait; it ends at its time-out.
        QVERIFY2(wall >= 600 && wall < 600 + 10000, qPrintable(QString::number(wall)));
        QCOMPARE(reply.size(), LEDCOMM::kCommInMaxReply);
        QVERIFY(reply == Letters(LEDCOMM::kCommInMaxReply));
        QVERIFY(LastLogLine() == reply + "-Port TimeOut");

        // Between exchanges the flood goes on; the serial layer holds the bound, no more.
        QTest::qWait(300);
        const qint64 buffered = LEDCOMM::CommForm()->MSComm1->bytesAvailable();
        QVERIFY2(buffered > 0 && buffered <= LEDCOMM::kCommInMaxReply, qPrintable(QString::number(buffered)));
        const qint64 grown = HeapInUse() - heapBefore;
        QVERIFY2(grown < kHeapSlack, qPrintable(QString::number(grown)));

        // The next wait starts with what waited and is bounded the same way.
        QCOMPARE(LEDCOMM::CommIn(reply), int16_t(-1));
        QCOMPARE(reply.size(), LEDCOMM::kCommInMaxReply);
        CloseLink();
    }

    void megabytesBeforeTheCrAreCutToTheBound()
    {
        // 8 MB and then a CR, all within one wait: the reply ends at the CR.
        OpenLink(30000, {"--flood", "8000000"});
        const qint64 heapBefore = HeapInUse();
        QString reply;
        QCOMPARE(LEDCOMM::CommQuery("AVB000", reply), int16_t(1));
        QCOMPARE(reply.size(), LEDCOMM::kCommInMaxReply);
        QVERIFY(reply == Letters(LEDCOMM::kCommInMaxReply - 1) + "\r");
        const qint64 grown = HeapInUse() - heapBefore;
        QVERIFY2(grown < kHeapSlack, qPrintable(QString::number(grown)));
        QCOMPARE(fx_.sim->LoggedLines(), QStringList{"AVB000"});
        CloseLink();
    }

    void repliesUpToTheBoundAreKeptWhole_data()
    {
        QTest::addColumn<int>("letters");
        QTest::addColumn<int>("kept");
        // 9600 baud for the longest wait, 32767 ms: what a real device can send.
        QTest::newRow("longest real reply") << 31457 << 31457;
        QTest::newRow("bound with its CR") << 65535 << 65535;
        QTest::newRow("one over") << 65536 << 65535;
        QTest::newRow("two over") << 65537 << 65535;
    }
    void repliesUpToTheBoundAreKeptWhole()
    {
        QFETCH(int, letters);
        QFETCH(int, kept);
        OpenLink(10000, {"--flood", QString::number(letters)});
        QString reply;
        QCOMPARE(LEDCOMM::CommQuery("AVC000", reply), int16_t(1));
        QCOMPARE(reply.size(), qsizetype(kept) + 1);
        QVERIFY(reply == Letters(kept) + "\r");
        CloseLink();
    }

    // ---- Scripts of a megabyte ----

    void megabyteScriptIsAnsweredWithinSeconds()
    {
        OpenLink(2000, {});
        // Commands of every kind, a channel command to the controller every 100th.
        const QStringList kinds = {"Ver", "CommandCount", "LED X 5", "led R 1", "LED R", "   ",
                                   "LED B abc", "Ver x", "LED G 1e9"};
        QString script;
        QStringList expected;
        QStringList sent;
        const int64_t before = LEDMain::CommandCounter();
        while (script.size() < 1024 * 1024) {
            const int i = int(expected.size());
            QString line;
            QString response;
            if (i % 100 == 99) {
                const int v = (i / 100) % 501;
                line = QStringLiteral("LED R %1").arg(v);
                response = "OK ";
                sent << QStringLiteral("AVA%1").arg(500 - v, 3, 10, QLatin1Char('0'));
            } else {
                line = kinds[i % kinds.size()];
                if (line == "Ver") response = "1.0";
                else if (line == "CommandCount") response = QStringLiteral(" %1").arg(before + i + 1);
                else if (line == "LED X 5") response = "Bad Value ";
                else if (line == "led R 1") response = "Error Unknown command";
                else if (line == "LED R") response = "Error Missing Argument ";
                else if (line == "   ") response = "";
                else if (line == "LED B abc") response = "Not a Number ";
                else if (line == "Ver x") response = "1.0";
                else if (line == "LED G 1e9") response = "Not a Number ";
            }
            script += line + ";";
            expected << response;
        }
        QString want;
        for (const QString& r : expected)
            want += r + " ; ";

        QElapsedTimer t;
        t.start();
        const QString got = LEDMain::ExecScript(script);
        const qint64 ms = t.elapsed();
        qInfo("a script of %lld bytes, %lld commands, %lld of them to the controller: %lld ms",
              qint64(script.size()), qint64(expected.size()), qint64(sent.size()), ms);
        QVERIFY2(ms < kMegabyteBoundMs, qPrintable(QString::number(ms)));
        QCOMPARE(LEDMain::CommandCounter() - before, int64_t(expected.size()));
        QVERIFY(got == want);
        QVERIFY(fx_.sim->WaitForLogged(int(sent.size())));
        QCOMPARE(fx_.sim->LoggedLines(), sent);
    }

    void megabyteLines_data()
    {
        const qsizetype mb = 1024 * 1024;
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("responses");
        QTest::addColumn<int>("counted");
        QTest::addColumn<QString>("sent");
        QTest::newRow("leading zeros") << "LED R " + QString(mb, '0') + "7" << "OK  ; " << 1 << "AVA493";
        QTest::newRow("a megabyte of digits") << "LED R " + QString(mb, '9') << "Not a Number  ; " << 1 << "";
        QTest::newRow("a megabyte of blanks") << QString(mb, ' ') << "" << 0 << "";
        QTest::newRow("blanks around a command") << QString(mb, ' ') + "Ver" + QString(mb, ' ')
                                                 << "1.0 ; " << 1 << "";
        QTest::newRow("a megabyte of words after Ver") << "Ver" + QString(" x").repeated(mb / 2)
                                                       << "1.0 ; " << 1 << "";
        QTest::newRow("one word of a megabyte") << QString(mb, 'W') << "Error Unknown command ; " << 1 << "";
        QTest::newRow("a megabyte of separators") << QString(mb, ';') << "" << 0 << "";
        QTest::newRow("a channel name of a megabyte") << "LED " + QString(mb, 'R') + " 5"
                                                      << "Bad Value  ; " << 1 << "";
    }
    void megabyteLines()
    {
        QFETCH(QString, script);
        QFETCH(QString, responses);
        QFETCH(int, counted);
        QFETCH(QString, sent);
        OpenLink(2000, {});
        const int64_t before = LEDMain::CommandCounter();
        QElapsedTimer t;
        t.start();
        QCOMPARE(LEDMain::ExecScript(script), responses);
        QVERIFY2(t.elapsed() < kMegabyteBoundMs, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(LEDMain::CommandCounter() - before, int64_t(counted));
        QCOMPARE(fx_.NewLines(sent.isEmpty() ? 0 : 1), sent.isEmpty() ? QStringList() : QStringList{sent});
    }

    // ---- Settings files that hold no settings ----

    void badConfigStillStartsWithTheWindow_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("directory") << "directory" << "does not exist";
        QTest::newRow("binary garbage") << "garbage" << "Parameter PORT not found in ";
        QTest::newRow("10 MB line") << "huge" << "Parameter PORT not found in ";
    }
    void badConfigStillStartsWithTheWindow()
    {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        const QString config = fx_.Path("LED_CONFIG.TXT");
        QFile::remove(config);
        if (kind == "directory") {
            QVERIFY(QDir().mkpath(config));
        } else if (kind == "garbage") {
            QByteArray bytes;
            for (int i = 0; i < 65536; ++i)
                bytes += char((i * 167 + 13) & 0xff);
            TestSupport::WriteFile(config, bytes);
        } else {
            TestSupport::WriteFile(config, "\"TIMEOUT\"," + QByteArray(10 * 1024 * 1024, '7') + "\r\n");
        }
        QCOMPARE(LEDMain::AppInit(), int16_t(-1));
        QVERIFY(!fx_.boxes->boxes.isEmpty());
        QVERIFY2(fx_.boxes->boxes[0].text.contains(message), qPrintable(fx_.boxes->boxes[0].text));
        // Up and serving: the window is loaded and the language answers.
        QVERIFY(frmVURUruduvo::Loaded());
        QCOMPARE(LEDMain::ExecScript("Ver"), QString("1.0 ; "));
    }
};

ORVANE_TEST_MAIN(TestHardening)
#include "test_hardening.moc"
