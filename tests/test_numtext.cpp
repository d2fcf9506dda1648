// Number texts from operators and from the settings file, and outside text on its way out.
#include "base/NumText.h"
#include "base/OutsideText.h"
#include "tests/support/TestSupport.h"

#include <clocale>

class TestNumText : public QObject {
    Q_OBJECT
private slots:
    void accepted_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value");
        QTest::newRow("plain") << "100" << 100;
        QTest::newRow("half to even down") << "2.5" << 2;
        QTest::newRow("half to even up") << "3.5" << 4;
        QTest::newRow("negative half") << "-2.5" << -2;
        QTest::newRow("plus sign") << "+7" << 7;
        QTest::newRow("exponent") << "1e2" << 100;
        QTest::newRow("exponent signed") << "25E-1" << 2;
        QTest::newRow("leading dot") << ".6" << 1;
        QTest::newRow("trailing dot") << "5." << 5;
        QTest::newRow("max") << "32767" << 32767;
        QTest::newRow("min") << "-32768" << -32768;
        QTest::newRow("min half rounds to even inside") << "-32768.5" << -32768;
        QTest::newRow("leading zeros") << "000123" << 123;
        QTest::newRow("many leading zeros") << "000000000000000000000001" << 1;
        QTest::newRow("zero half to even") << "0.5" << 0;
        QTest::newRow("negative zero half") << "-0.5" << 0;
        QTest::newRow("just below half") << "1.4999999999999999" << 1;
        QTest::newRow("just above half") << "2.50000000000000001" << 3;
        QTest::newRow("negative just above half") << "-2.50000000000000001" << -3;
        QTest::newRow("half after many digits") << "12.50000000000000000000000000000" << 12;
        QTest::newRow("max just below half") << "32767.4999999999999999" << 32767;
        QTest::newRow("tiny fraction") << "0." + QString(400, QLatin1Char('0')) + "1" << 0;
        QTest::newRow("tiny exponent") << "1e-400" << 0;
        QTest::newRow("huge negative exponent") << "-1e-99999999999999999999" << 0;
        QTest::newRow("zero with huge exponent") << "0e99999999999999999999" << 0;
        QTest::newRow("zero digits with huge exponent") << "-000.000e+99999999999999999999" << 0;
        QTest::newRow("exponent moves the point right") << "0.0000325e6" << 32;
        QTest::newRow("exponent moves the point left") << "35000e-4" << 4;
        QTest::newRow("leading zeros before exponent") << "00000000000000000000032767e0" << 32767;
        QTest::newRow("exponent with leading zeros") << "1e0000000000000000000000004" << 10000;
        QTest::newRow("digits past the exponent") << "123456e-5" << 1;
        QTest::newRow("min half from above") << "-32767.5" << -32768;
        QTest::newRow("exponent past 64 bits") << "7e-18446744073709551617" << 0;
        QTest::newRow("million digits") << "3." + QString(1000000, QLatin1Char('9')) << 4;
    }
    void accepted()
    {
        QFETCH(QString, text);
        QFETCH(int, value);
        int16_t out = 999;
        QVERIFY(NumText::ToInt16(text, out));
        QCOMPARE(int(out), value);
    }

    void rejected_data()
    {
        QTest::addColumn<QString>("text");
        for (const char* t : {"", "abc", "inf", "nan", "Infinity", "0x10", "2,5", "32768",
                              "-32769", "32767.5", "1e5", "1e400", "1e", "+", "-", ".", "e5",
                              " 5", "5 ", "5\t", "1.2.3", "--1", "１２",
                              "32767.50000000000000000001", "-32768.50001", "-32768.6",
                              "1e99999999999999999999", "0.00001e99999999999999999999",
                              "327680e-1", "3276750e-2", "1e+5", "1e18446744073709551616"})
            QTest::newRow(t) << QString::fromUtf8(t);
    }
    void rejected()
    {
        QFETCH(QString, text);
        int16_t out = 42;
        QVERIFY(!NumText::ToInt16(text, out));
        QCOMPARE(int(out), 42);
    }

    // Outside bytes as a log line and a udev comment show them; a terminal as a log line.
    void outsideTextByTarget_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("comment");
        QTest::newRow("plain, a backslash kept") << QByteArray("lab1 C:\\x \xe2\x82\xac") << QString::fromUtf8("lab1 C:\\x €")
                                                 << QString::fromUtf8("lab1 C:\\x €");
        QTest::newRow("three lines") << QByteArray("x\nSTOPPING=1\r\tx") << "x\\nSTOPPING=1\\r\\tx" << "x?STOPPING=1??x";
        QTest::newRow("NUL, DEL, ESC, C1, U+2028") << QByteArray("\0\x7f\x1b[2J\xc2\x9b" "a\xe2\x80\xa8", 12)
                                                   << "\\x00\\x7f\\x1b[2J\\u009ba\\u2028" << "???[2J?a?";
        const QString escaped = "a\\xffb\\xc0\\x8ac\\xe2\\x82d\\xed\\xa0\\x80";
        QTest::newRow("invalid UTF-8") << QByteArray("a\xff" "b\xc0\x8a" "c\xe2\x82" "d\xed\xa0\x80") << escaped << escaped;
    }
    void outsideTextByTarget()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, line);
        QFETCH(QString, comment);
        using OutsideText::Target;
        for (const Target t : {Target::Log, Target::NotifyField, Target::Terminal})
            QCOMPARE(OutsideText::ForBytes(t, bytes), line);
        QCOMPARE(OutsideText::ForBytes(Target::UdevComment, bytes), comment);
        QCOMPARE(OutsideText::For(Target::Log, line), line);  // shown once is shown for good
        QCOMPARE(OutsideText::ForBytes(Target::UdevValue, bytes).isEmpty(), line.contains(QLatin1Char('\\')) || line != comment);
    }

    // Bidirectional controls turn a terminal's line around; UTF-16 may hold a surrogate without its pair.
    void outsideTextBidiAndSurrogates()
    {
        const QString text = QString::fromUtf8("lab\u202e1\u2066\u061c\u200f") + QChar(0xd83d);
        QCOMPARE(OutsideText::For(OutsideText::Target::Terminal, text), QStringLiteral("lab\\u202e1\\u2066\\u061c\\u200f\\ud83d"));
        QCOMPARE(OutsideText::For(OutsideText::Target::Log, text), QString::fromUtf8("lab\u202e1\u2066\u061c\u200f\\ud83d"));
    }

    void independentOfLocale()
    {
        // A German locale reads "2.5" as 25 or 2 in locale-aware conversions.
        const QLocale saved;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        std::setlocale(LC_ALL, "de_DE.UTF-8");
        int16_t out = 0;
        QVERIFY(NumText::ToInt16("2.5", out));
        QCOMPARE(int(out), 2);
        QVERIFY(!NumText::ToInt16("2,5", out));
        std::setlocale(LC_ALL, "C");
        QLocale::setDefault(saved);
    }
};

ORVANE_TEST_MAIN(TestNumText)
#include "test_numtext.moc"
