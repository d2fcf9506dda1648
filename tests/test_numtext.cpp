// Number texts from operators and from the settings file.
#include "engine/NumText.h"
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
                              " 5", "5 ", "5\t", "1.2.3", "--1", "１２"})
            QTest::newRow(t) << QString::fromUtf8(t);
    }
    void rejected()
    {
        QFETCH(QString, text);
        int16_t out = 42;
        QVERIFY(!NumText::ToInt16(text, out));
        QCOMPARE(int(out), 42);
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
