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

    // Outside bytes as each target shows them: a line of standard error, a terminal's line, a udev comment.
    void outsideTextByTarget_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("terminal");
        QTest::addColumn<QString>("comment");
        QTest::newRow("plain, a backslash kept") << QByteArray("lab1 C:\\x") << "lab1 C:\\x" << "lab1 C:\\x" << "lab1 C:\\x";
        QTest::newRow("a process name of three lines") << QByteArray("x\nSTOPPING=1\nx") << "x\\nSTOPPING=1\\nx"
                                                       << "x\\nSTOPPING=1\\nx" << "x?STOPPING=1?x";
        QTest::newRow("CR, TAB, NUL, DEL") << QByteArray("a\rb\tc\0d\x7f", 8) << "a\\rb\\tc\\x00d\\x7f"
                                          << "a\\rb\\tc\\x00d\\x7f" << "a?b?c?d?";
        QTest::newRow("a terminal's escapes") << QByteArray("\x1b]52;c;cm0=\a\x1b[2J") << "\\x1b]52;c;cm0=\\x07\\x1b[2J"
                                             << "\\x1b]52;c;cm0=\\x07\\x1b[2J" << "?]52;c;cm0=??[2J";
        QTest::newRow("C1 control and line separators") << QByteArray("a\xc2\x9b" "b\xe2\x80\xa8" "c\xe2\x80\xa9")
                                                        << "a\\u009bb\\u2028c\\u2029" << "a\\u009bb\\u2028c\\u2029" << "a?b?c?";
        QTest::newRow("bidirectional controls") << QByteArray("lab\xe2\x80\xae" "1\xe2\x81\xa6" "2\xd8\x9c" "3\xe2\x80\x8f")
                                                << QString::fromUtf8("lab\u202e1\u20662\u061c3\u200f")
                                                << "lab\\u202e1\\u20662\\u061c3\\u200f"
                                                << QString::fromUtf8("lab\u202e1\u20662\u061c3\u200f");
        QTest::newRow("euro, emoji") << QByteArray("\xe2\x82\xac \xf0\x9f\x92\xa1") << QString::fromUtf8("€ 💡")
                                     << QString::fromUtf8("€ 💡") << QString::fromUtf8("€ 💡");
        QTest::newRow("invalid UTF-8") << QByteArray("a\xff" "b\xc0\x8a" "c\xe2\x82" "d\xed\xa0\x80")
                                       << "a\\xffb\\xc0\\x8ac\\xe2\\x82d\\xed\\xa0\\x80"
                                       << "a\\xffb\\xc0\\x8ac\\xe2\\x82d\\xed\\xa0\\x80"
                                       << "a\\xffb\\xc0\\x8ac\\xe2\\x82d\\xed\\xa0\\x80";
    }
    void outsideTextByTarget()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, line);
        QFETCH(QString, terminal);
        QFETCH(QString, comment);
        using OutsideText::Target;
        QCOMPARE(OutsideText::ForBytes(Target::Log, bytes), line);
        QCOMPARE(OutsideText::ForBytes(Target::NotifyField, bytes), line);
        QCOMPARE(OutsideText::ForBytes(Target::Terminal, bytes), terminal);
        QCOMPARE(OutsideText::ForBytes(Target::UdevComment, bytes), comment);
        // Shown once is shown for good.
        QCOMPARE(OutsideText::For(Target::Terminal, terminal), terminal);
        QCOMPARE(OutsideText::For(Target::Log, QString::fromUtf8(bytes)).contains(QLatin1Char('\n')), false);
        // A value udev would misread is none.
        const bool plainValue = !line.contains(QLatin1Char('\\')) && line == comment;
        QCOMPARE(OutsideText::ForBytes(Target::UdevValue, bytes).isEmpty(), !plainValue);
    }

    // UTF-16 from outside may hold a surrogate without its pair.
    void outsideTextLoneSurrogate()
    {
        const QString lone = QStringLiteral("a") + QChar(0xd83d) + QStringLiteral("b") + QChar(0xdca1);
        QCOMPARE(OutsideText::For(OutsideText::Target::Log, lone), QStringLiteral("a\\ud83db\\udca1"));
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
