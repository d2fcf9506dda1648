// The error log ring and the report sink it hands each report to.
#include "base/Log.h"
#include "comm/LEDCOMM.h"
#include "engine/LEDMain.h"
#include "tests/support/TestSupport.h"

#include <QRegularExpression>
#include <QScopeGuard>
#include <QStringList>
#include <sys/stat.h>

class TestErrLog : public QObject {
    Q_OBJECT

    // Expected log text for messages first..last (inclusive).
    static QString Expected(int first, int last)
    {
        QString s;
        for (int i = first; i <= last; ++i)
            s += QStringLiteral("m%1\r\n").arg(i);
        return s;
    }

private slots:
    void init()
    {
        LEDCOMM::ResetErrLog();
        LEDCOMM::SetReportSink({});
    }

    void emptyLogIsEmptyText() { QCOMPARE(LEDCOMM::GetErrLog(), QString()); }

    void threeReportsOldestFirstAndBoxShowsLast()
    {
        QStringList sunk;
        LEDCOMM::SetReportSink([&sunk](const QString& m) { sunk << m; });
        LEDCOMM::ReportError("m1");
        LEDCOMM::ReportError("m2");
        LEDCOMM::ReportError("m3");
        QCOMPARE(sunk, (QStringList{"m1", "m2", "m3"}));
        QVERIFY(LEDCOMM::GetErrLog().endsWith(Expected(1, 3)));
        // Reading leaves the log as it was.
        QCOMPARE(LEDCOMM::GetErrLog(), LEDCOMM::GetErrLog());
        // LogError writes the log only.
        LEDCOMM::LogError("m4");
        QCOMPARE(sunk.size(), 3);
        LEDCOMM::SetReportSink({});
    }

    void wrapAt101And102()
    {
        for (int i = 1; i <= 101; ++i)
            LEDCOMM::ReportError(QStringLiteral("m%1").arg(i));
        // Whatever the position was, 101 reports replace every slot.
        const QString all = LEDCOMM::GetErrLog();
        QCOMPARE(all, Expected(1, 101));
        LEDCOMM::ReportError("m102");
        QCOMPARE(LEDCOMM::GetErrLog(), Expected(2, 102));
    }

    void messageWithLineEndKeptAndOneMoreAdded()
    {
        for (int i = 1; i <= 101; ++i)
            LEDCOMM::LogError(QStringLiteral("x"));
        LEDCOMM::LogError("a\r\nb");
        QVERIFY(LEDCOMM::GetErrLog().endsWith("x\r\na\r\nb\r\n"));
    }

    void sinkOnlyAfterSetAndNeverAfterCleared()
    {
        LEDCOMM::ReportError("before");  // no sink: log only
        QStringList sunk;
        LEDCOMM::SetReportSink([&sunk](const QString& m) { sunk << m; });
        QCOMPARE(sunk, QStringList{});
        LEDCOMM::ReportError("after");
        QCOMPARE(sunk, QStringList{"after"});
        LEDCOMM::SetReportSink({});
        LEDCOMM::ReportError("gone");  // must not reach the cleared sink
        QCOMPARE(sunk, QStringList{"after"});
        QVERIFY(LEDCOMM::GetErrLog().endsWith("before\r\nafter\r\ngone\r\n"));
    }

    // Every report also goes to standard error as a warning of orvane.comm; a
    // dead controller under a client calling every 20 ms writes two lines a
    // second there, not fifty. The log keeps every report.
    void reportsReachStandardErrorWithRepeatsCollapsed()
    {
        static QStringList written;
        written.clear();
        const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& c, const QString& m) {
            if (type == QtWarningMsg && qstrcmp(c.category, "orvane.comm") == 0)
                written << m;
        });
        // 150 ms and 750 ms stand for the quiet second and the five seconds.
        const std::pair<int, int> windows = Log::SetRepeatWindows(150, 750);
        QCOMPARE(windows, std::pair(1000, 5000));
        LEDMain::ConnectReports();
        LEDCOMM::ReportError("CommOpenPort  2 No such file or directory");
        for (int i = 0; i < 25; ++i) {
            LEDCOMM::ReportError("-Port TimeOut");
            QTest::qWait(2);
        }
        LEDCOMM::ReportError("ERROR # 1100");
        QCOMPARE(written, (QStringList{"orvane.comm: CommOpenPort  2 No such file or directory",
                                       "orvane.comm: -Port TimeOut", "orvane.comm: (-Port TimeOut: 24 more times)",
                                       "orvane.comm: ERROR # 1100"}));
        // The quiet time goes by: the count is written by the event loop, without a further report.
        written.clear();
        LEDCOMM::ReportError("ERROR # 1100");
        LEDCOMM::ReportError("ERROR # 1100");
        QTRY_COMPARE_WITH_TIMEOUT(written, QStringList{"orvane.comm: (ERROR # 1100: 2 more times)"}, 3000);
        // The window after it was last said, the same line is written again, and a lone line has no count.
        QTest::qWait(750);
        LEDCOMM::ReportError("ERROR # 1100");
        Log::FlushRepeats();
        QCOMPARE(written, (QStringList{"orvane.comm: (ERROR # 1100: 2 more times)", "orvane.comm: ERROR # 1100"}));
        qInstallMessageHandler(previous);
        Log::SetRepeatWindows(windows.first, windows.second);
        QCOMPARE(LEDCOMM::GetErrLog().count("-Port TimeOut"), 25);
    }

    // Standard error that stops taking lines ("not now": a reader that does not read; refused: a
    // full disk): each line goes whole or is counted, and the count follows once lines are taken again.
    void stderrCountsEveryLineItCouldNotTake_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("room");  // bytes taken before it stops
        QTest::addColumn<bool>("refuses");  // else "not now"
        QTest::newRow("unread: the queue's bound") << 4000 << 4096 << false;
        QTest::newRow("disk full inside a line, then the queue's bound") << 4000 << 4096 << true;
        QTest::newRow("disk full at a line's end") << 100 << 4000 << true;
    }
    void stderrCountsEveryLineItCouldNotTake()
    {
        QFETCH(int, lines);
        QFETCH(int, room);
        QFETCH(bool, refuses);
        QByteArray taken;
        qint64 left = room;  // -1: no limit
        Log::SetStderrWrite([&](const char* data, qint64 size) -> qint64 {
            const qint64 n = left < 0 ? size : std::min(size, left);
            left -= left < 0 ? 0 : n;
            return n > 0 ? (taken.append(data, qsizetype(n)), n) : refuses ? -1 : 0;
        });
        const auto restore = qScopeGuard([] { Log::SetStderrWrite({}); });
        for (int i = 0; i < lines; ++i)
            Log::ToStderr(QByteArray::number(i).rightJustified(6, '0') + ' ' + QByteArray(92, 'x') + '\n');
        left = -1;
        Log::ToStderr("after\n");
        const QList<QByteArray> got = taken.split('\n');
        QCOMPARE(got.mid(got.size() - 2), (QList<QByteArray>{"after", ""}));
        const QByteArray countLine = got[got.size() - 3];
        const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("orvane: \\((\\d+) lines dropped: standard error did not take them\\)$"))
                                              .match(QString::fromUtf8(countLine));
        QVERIFY2(m.hasMatch(), countLine.constData());
        for (qsizetype i = 0; i < got.size() - 3; ++i)  // whole and in order: none torn, none joined
            QVERIFY(got[i].size() == 99 && (i == 0 || got[i].left(6).toInt() > got[i - 1].left(6).toInt()));
        QCOMPARE(got.size() - 3 + m.captured(1).toInt(), lines);
        QVERIFY(taken.indexOf(countLine) <= room + Log::kStderrQueueBytes);  // the queue's worth waited, no more
    }

    // What a message carries from outside stays on its line, on a terminal as in the journal.
    void stderrLineHoldsNoLineOfItsOwn()
    {
        struct stat st {};
        QVERIFY(::fstat(2, &st) == 0);
        for (const QByteArray& stream : {QByteArray(), QByteArray::number(qulonglong(st.st_dev)) + ':' + QByteArray::number(qulonglong(st.st_ino))}) {
            TestSupport::EnvSet journal("JOURNAL_STREAM", stream);
            QByteArray taken;
            Log::SetStderrWrite([&](const char* data, qint64 size) { return taken.append(data, qsizetype(size)), size; });
            const QtMessageHandler qtTest = qInstallMessageHandler(nullptr);
            Log::SetUp();
            Log::Say(QStringLiteral("held by x\nSTOPPING=1\nx"));
            qInstallMessageHandler(qtTest);
            Log::SetStderrWrite({});
            QCOMPARE(taken, (stream.isNull() ? "" : "<4>") + QByteArray("orvane: held by x\\nSTOPPING=1\\nx\n"));
        }
        qSetMessagePattern(QString());
    }

    // The serial host's creation empties the log; the consumers start-up connected stay.
    void resetEmptiesLogAndKeepsSink()
    {
        QStringList sunk;
        LEDCOMM::SetReportSink([&sunk](const QString& m) { sunk << m; });
        LEDCOMM::ReportError("one");
        LEDCOMM::ResetErrLog();
        // The write position stays where it was, so the slots before it read as empty lines.
        QCOMPARE(LEDCOMM::GetErrLog().remove("\r\n"), QString());
        LEDCOMM::ReportError("two");
        QCOMPARE(sunk, (QStringList{"one", "two"}));
        LEDCOMM::SetReportSink({});
        QVERIFY(LEDCOMM::GetErrLog().endsWith("\r\ntwo\r\n"));
        QCOMPARE(LEDCOMM::GetErrLog().remove("\r\n"), QString("two"));
    }
};

ORVANE_TEST_MAIN(TestErrLog)
#include "test_errlog.moc"
