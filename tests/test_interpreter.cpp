// The command language without a controller: splitting, words, responses,
// the counter and every answer that needs no reply from a device.
#include "base/Platform.h"
#include "engine/LEDMain.h"
#include "mainwindow/frmVURUruduvo.h"
#include "tests/support/TestSupport.h"

using namespace LEDMain;

namespace {

// A panel without widgets: records what the interpreter asks of it.
class FakePanel : public ChannelPanel {
public:
    FakePanel() { MainFormLoad(this); }
    ~FakePanel() override { MainFormUnload(this); }
    bool MoveBar(int index, int16_t value) override
    {
        moves << QStringLiteral("%1=%2").arg(index).arg(value);
        return sendsSucceed;
    }
    void ShowChannel(int, int16_t, const QString&) override {}
    void ShowResponse(const QString&) override {}
    void SetShown(bool s) override { shown << s; }
    bool IsShown() const override { return !shown.isEmpty() && shown.last(); }
    void Close() override {}

    QStringList moves;
    QList<bool> shown;
    bool sendsSucceed = true;
};

} // namespace

class TestInterpreter : public QObject {
    Q_OBJECT

    // Runs a script and checks that it counted the given number of commands.
    static QString Run(const QString& script, int counted)
    {
        const int64_t before = CommandCounter();
        const QString r = ExecScript(script);
        if (CommandCounter() - before != counted)
            qWarning() << "script" << script << "counted" << CommandCounter() - before;
        [&] { QCOMPARE(CommandCounter() - before, int64_t(counted)); }();
        return r;
    }

private slots:
    void splitFirst_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("piece");
        QTest::addColumn<QString>("rest");
        QTest::addColumn<int>("result");
        QTest::newRow("none") << "Ver" << "Ver" << "" << 3;
        QTest::newRow("empty") << "" << "" << "" << 0;
        QTest::newRow("first") << "a;b;c" << "a" << "b;c" << 1;
        QTest::newRow("leading") << ";Ver" << "" << "Ver" << 0;
        QTest::newRow("blank piece") << " ;x" << " " << "x" << 1;
        QTest::newRow("trailing") << "Ver;" << "Ver" << "" << 3;
    }
    void splitFirst()
    {
        QFETCH(QString, source);
        QFETCH(QString, piece);
        QFETCH(QString, rest);
        QFETCH(int, result);
        QString got;
        QCOMPARE(int(SplitFirst(source, got, ";")), result);
        QCOMPARE(got, piece);
        QCOMPARE(source, rest);
    }

    void nextToken_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("rest");
        QTest::addColumn<int>("result");
        QTest::newRow("one word") << "Ver" << "Ver" << "" << 3;
        QTest::newRow("blanks only") << "    " << "" << "" << 0;
        QTest::newRow("runs of blanks") << "  R    100  x " << "R" << "100  x" << 1;
        QTest::newRow("tab is no blank") << "R\t100" << "R\t100" << "" << 5;
    }
    void nextToken()
    {
        QFETCH(QString, line);
        QFETCH(QString, token);
        QFETCH(QString, rest);
        QFETCH(int, result);
        QString got;
        QCOMPARE(int(NextToken(line, got)), result);
        QCOMPARE(got, token);
        QCOMPARE(line, rest);
    }

    void longWordsStillCount()
    {
        // Lengths are 16-bit results; a 40,000-character word must not read as "no word".
        QString line(40000, QLatin1Char('x'));
        QString token;
        QVERIFY(NextToken(line, token) > 0);
        QCOMPARE(token.size(), 40000);
        QString script = QString(40000, QLatin1Char('y')) + ";Ver";
        QString piece;
        QVERIFY(SplitFirst(script, piece, ";") > 0);
        QCOMPARE(ExecScript(QString(40000, QLatin1Char('y')) + ";Ver"),
                 QString("Error Unknown command ; 1.0 ; "));
    }

    void scripts_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("responses");
        QTest::addColumn<int>("counted");
        QTest::newRow("ver twice") << "Ver;Ver" << "1.0 ; 1.0 ; " << 2;
        QTest::newRow("empty") << "" << "" << 0;
        QTest::newRow("blanks") << "   " << "" << 0;
        QTest::newRow("leading separator") << "; Ver" << "" << 0;
        QTest::newRow("empty piece ends") << "Ver;;Ver" << "1.0 ; " << 1;
        QTest::newRow("blank piece runs") << "Ver; ;Ver" << "1.0 ;  ; 1.0 ; " << 3;
        QTest::newRow("case matters") << "led R 10" << "Error Unknown command ; " << 1;
        QTest::newRow("bad channel") << "LED r 10" << "Bad Value  ; " << 1;
        QTest::newRow("missing value") << "LED R" << "Error Missing Argument  ; " << 1;
        QTest::newRow("missing both") << "LED" << "Error Missing Argument  ; " << 1;
        QTest::newRow("not a number") << "LED R abc" << "Not a Number  ; " << 1;
        QTest::newRow("too big") << "LED R 32768" << "Not a Number  ; " << 1;
        QTest::newRow("value before channel") << "LED X abc" << "Not a Number  ; " << 1;
        QTest::newRow("bad value") << "LED X 10" << "Bad Value  ; " << 1;
        QTest::newRow("inf") << "LED R inf" << "Not a Number  ; " << 1;
        QTest::newRow("comma") << "LED R 2,5" << "Not a Number  ; " << 1;
        QTest::newRow("on is exact") << "LED R on" << "Not a Number  ; " << 1;
        QTest::newRow("tiny exponent is zero") << "LED X 1e-400" << "Bad Value  ; " << 1;
        QTest::newRow("max below half is a number") << "LED X 32767.4999999999999999"
                                                   << "Bad Value  ; " << 1;
        QTest::newRow("max half is too big") << "LED X 32767.5" << "Not a Number  ; " << 1;
        QTest::newRow("extra words on Ver") << "Ver  what ever " << "1.0 ; " << 1;
        QTest::newRow("tab is a character") << "Ver\t" << "Error Unknown command ; " << 1;
    }
    void scripts()
    {
        QFETCH(QString, script);
        QFETCH(QString, responses);
        QFETCH(int, counted);
        QCOMPARE(Run(script, counted), responses);
    }

    void commandCountCountsItselfAndEmptyLines()
    {
        const int64_t before = CommandCounter();
        const QString r = ExecScript("Ver; CommandCount");
        QCOMPARE(r, QStringLiteral("1.0 ;  %1 ; ").arg(before + 2));
        ExecCommand("");
        ExecCommand("   ");
        QCOMPARE(ExecCommand("CommandCount"), QStringLiteral(" %1").arg(before + 5));
    }

    void callerStringUnchanged()
    {
        const QString script = "  Ver ; Ver  ";
        const QString copy = script;
        ExecScript(script);
        QCOMPARE(script, copy);
    }

    void manyCommandsInOneScript()
    {
        QString script;
        for (int i = 0; i < 100000; ++i)
            script += QStringLiteral("Ver;");
        const QString r = ExecScript(script);
        QCOMPARE(r.size(), qsizetype(100000 * 6));
        QVERIFY(r.startsWith("1.0 ; 1.0 ; "));
    }

    // With a panel loaded, "LED" moves its bar and answers as the bar's sends
    // went; Show and Hide leave it as the script's last one says, once.
    void ledMovesThePanelsBar()
    {
        const Platform::QuitHandler oldQuit = Platform::SetQuitHandler([](int) {});
        FakePanel* made = nullptr;
        SetPanelFactory([&made]() -> ChannelPanel* { return made = new FakePanel; });
        QCOMPARE(Run("Hide;LED G 120;LED R On;Show;LED A 900;Hide", 6), "OK  ; OK  ; OK  ; OK  ; OK  ; OK  ; ");
        QVERIFY(made && MainForm() == made);
        QCOMPARE(made->moves, (QStringList{"1=120", "0=500", "3=500"}));
        QCOMPARE(made->shown, QList<bool>{false});
        made->sendsSucceed = false;
        QCOMPARE(Run("LED B 7;LED X 1", 2), "Error  ; Bad Value  ; ");
        QCOMPARE(made->moves.last(), "2=7");
        delete made;
        QCOMPARE(MainForm(), nullptr);
        QCoreApplication::processEvents();  // the end its unload queued meets the quiet handler
        frmVURUruduvo::RegisterAsPanel();
        Platform::SetQuitHandler(oldQuit);
    }
};

ORVANE_TEST_MAIN(TestInterpreter)
#include "test_interpreter.moc"
