// The parameter table and the file "LED_CONFIG.TXT".
#include "params/TRAPAR.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

using TestSupport::MsgBoxRecorder;
using TestSupport::ReadFile;
using TestSupport::WriteFile;
using namespace TRAPAR;

namespace {
ParameterTable Read(const QString& path, int16_t* result = nullptr)
{
    ParameterTable t;
    const int16_t r = ReadParFile(path, t);
    if (result)
        *result = r;
    return t;
}
} // namespace

class TestTrapar : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    QString file_;

private slots:
    void init()
    {
        QVERIFY(dir_.isValid());
        SetParDir(dir_.path() + "/");
        SetParFile("LED_CONFIG.TXT");
        file_ = GetParPath();
        QFile::remove(file_);
    }

    void pathIsDirThenFileWithNothingAdded()
    {
        SetParDir("/a/b");
        SetParFile("C.TXT");
        QCOMPARE(GetParPath(), QString("/a/bC.TXT"));
    }

    void readingRules_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("value");
        QTest::newRow("plain") << QByteArray("\"PORT\",2") << "PORT" << "2";
        QTest::newRow("blanks everywhere") << QByteArray("  \" PORT \" ,  2  ") << "PORT" << "2";
        QTest::newRow("third field") << QByteArray("\"PORT\",2,any note") << "PORT" << "2";
        QTest::newRow("comma in name") << QByteArray("\"A,B\",7") << "A,B" << "B\"";
        QTest::newRow("no comma") << QByteArray("\"PORT\" 2") << "PORT" << "\"PORT\" 2";
        QTest::newRow("exactly five") << QByteArray("\"A\",1") << "A" << "1";
        QTest::newRow("tabs kept") << QByteArray("\"\tX\",\t3") << "\tX" << "\t3";
        QTest::newRow("empty value") << QByteArray("\"NAME\",") << "NAME" << "";
        QTest::newRow("latin1 bytes") << QByteArray("\"Gr\xfc\xdf\",\xe9\xff") << QString::fromLatin1("Gr\xfc\xdf")
                                      << QString::fromLatin1("\xe9\xff");
    }
    void readingRules()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, name);
        QFETCH(QString, value);
        WriteFile(file_, line + "\r\n");
        int16_t r = 0;
        const ParameterTable t = Read(file_, &r);
        QCOMPARE(r, int16_t(1));
        QCOMPARE(t.size(), 1);
        QCOMPARE(t[0].ParName, name);
        QCOMPARE(t[0].ParValue.typeId(), int(QMetaType::QString));
        QCOMPARE(t[0].ParValue.toString(), value);
    }

    void skippedLinesKeepIndices()
    {
        // Short lines, blank lines and notes without two quotes add nothing.
        WriteFile(file_, "\"A\",\r\n\r\n\"PORT\",3\r\nabc\r\na free-text note\r\n\"X\r\n"
                         "\"TIMEOUT\",500\r\n");
        const ParameterTable t = Read(file_);
        QCOMPARE(t.size(), 2);
        QCOMPARE(t[0].ParName, QString("PORT"));
        QCOMPARE(t[1].ParName, QString("TIMEOUT"));
    }

    void lineEnds()
    {
        // CR alone, CR LF and LF alone each end a line; a final line needs no end.
        WriteFile(file_, "\"A1\",1\r\"A2\",2\r\n\"A3\",3\n\"A4\",4");
        const ParameterTable t = Read(file_);
        QCOMPARE(t.size(), 4);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(t[i].ParName, QStringLiteral("A%1").arg(i + 1));
            QCOMPARE(t[i].ParValue.toString(), QString::number(i + 1));
        }
    }

    void missingFileLeavesTableAndSays()
    {
        MsgBoxRecorder rec;
        ParameterTable t{{"KEEP", "1"}};
        QCOMPARE(ReadParFile(file_, t), int16_t(-1));
        QCOMPARE(t.size(), 1);
        QCOMPARE(rec.boxes.size(), 1);
        QCOMPARE(rec.boxes[0].text, "File " + file_ + " does not exist");
        QCOMPARE(rec.boxes[0].style, 0);
        QCOMPARE(rec.boxes[0].title, QString("Orvane"));
    }

    void directoryIsNoFile()
    {
        MsgBoxRecorder rec;
        QVERIFY(QDir().mkpath(file_));
        ParameterTable t{{"KEEP", "1"}};
        QCOMPARE(ReadParFile(file_, t), int16_t(-1));
        QCOMPARE(t.size(), 1);
        QCOMPARE(rec.texts(), QStringList{"File " + file_ + " does not exist"});
        QDir(file_).removeRecursively();
    }

    void unreadableFileSaysWhyAndKeepsTable()
    {
        if (geteuid() == 0)
            QSKIP("root reads every file");
        MsgBoxRecorder rec;
        WriteFile(file_, "\"PORT\",1\r\n");
        QVERIFY(chmod(file_.toLocal8Bit().constData(), 0) == 0);
        ParameterTable t{{"KEEP", "1"}};
        QCOMPARE(ReadParFile(file_, t), int16_t(-1));
        QCOMPARE(t.size(), 1);
        QCOMPARE(rec.boxes.size(), 1);
        QVERIFY(rec.boxes[0].text.contains(file_));
        QVERIFY(rec.boxes[0].text.contains("ermission"));
        QCOMPARE(rec.boxes[0].style, 16);
    }

    void duplicatesAndTableOps()
    {
        WriteFile(file_, "\"PORT\",1\r\n\"PORT\",2\r\n\"TIMEOUT\",500\r\n");
        QCOMPARE(LoadPars(), int16_t(1));
        QCOMPARE(ParCount(), int16_t(3));
        QVariant v;
        QCOMPARE(ParAccess("PORT", v, "from"), int16_t(1));
        QCOMPARE(v.toString(), QString("1"));
        v = "9";
        QCOMPARE(ParAccess("PORT", v, "to"), int16_t(1));
        QString name;
        QVariant got;
        GetParByIndex(0, name, got);
        QCOMPARE(got.toString(), QString("9"));
        GetParByIndex(1, name, got);
        QCOMPARE(got.toString(), QString("2"));

        // "to" with a new name appends it last.
        v = 5;
        QCOMPARE(ParAccess("NEW", v, "to"), int16_t(1));
        QCOMPARE(ParCount(), int16_t(4));
        GetParByIndex(3, name, got);
        QCOMPARE(name, QString("NEW"));
        QCOMPARE(got, QVariant(5));

        // Unknown operation words change nothing and say nothing.
        MsgBoxRecorder rec;
        v = "x";
        QCOMPARE(ParAccess("PORT", v, "From"), int16_t(0));
        QCOMPARE(ParAccess("PORT", v, ""), int16_t(0));
        QCOMPARE(v.toString(), QString("x"));
        QVERIFY(rec.boxes.isEmpty());

        // Names are compared exactly.
        QCOMPARE(ParAccess("port", v, "from"), int16_t(-1));
        QCOMPARE(v.toString(), QString("x"));
        QCOMPARE(rec.boxes.size(), 1);
        QCOMPARE(rec.boxes[0].text, "Parameter port not found in " + file_);
        QCOMPARE(rec.boxes[0].style, 16);
        QCOMPARE(rec.boxes[0].title, QString("Orvane"));

        v = "only";
        QCOMPARE(ParAccess("ONE", v, "clear"), int16_t(1));
        QCOMPARE(ParCount(), int16_t(1));
    }

    void indexRange()
    {
        WriteFile(file_, "\"PORT\",1\r\n");
        QCOMPARE(LoadPars(), int16_t(1));
        for (int16_t i : {int16_t(-1), int16_t(1), int16_t(32767)}) {
            QString name = "x";
            QVariant value = "y";
            QCOMPARE(GetParByIndex(i, name, value), int16_t(-1));
            QCOMPARE(name, QString("UNDEFINED"));
            QCOMPARE(value, QVariant(0));
            QCOMPARE(SetParByIndex(i, "z"), int16_t(-1));
        }
        QCOMPARE(SetParByIndex(0, "7"), int16_t(1));
        QString name;
        QVariant value;
        QCOMPARE(GetParByIndex(0, name, value), int16_t(1));
        QCOMPARE(name, QString("PORT"));
        QCOMPARE(value.toString(), QString("7"));
    }

    void writtenFormAndRoundTrip()
    {
        const ParameterTable t{{"PORT", "9600,N"},
                               {"TIMEOUT", " 5"},
                               {"NUM", 12},
                               {"NEG", -3},
                               {"A", ""},
                               {QString::fromLatin1("B\xe4"), QString::fromLatin1("\xff\x01 x")}};
        QCOMPARE(WriteParFile(file_, t), int16_t(1));
        QCOMPARE(ReadFile(file_), QByteArray("\"PORT\",9600,N\r\n\"TIMEOUT\", 5\r\n\"NUM\", 12\r\n"
                                             "\"NEG\",-3\r\n\"A\",\r\n\"B\xe4\",\xff\x01 x\r\n"));
        const ParameterTable back = Read(file_);
        QCOMPARE(back.size(), 5);  // "A" with an empty value is a 4-character line
        QCOMPARE(back[0].ParValue.toString(), QString("9600"));
        QCOMPARE(back[1].ParValue.toString(), QString("5"));
        QCOMPARE(back[2].ParValue.toString(), QString("12"));
        QCOMPARE(back[3].ParValue.toString(), QString("-3"));
        QCOMPARE(back[4].ParName, QString::fromLatin1("B\xe4"));
        QCOMPARE(back[4].ParValue.toString(), QString::fromLatin1("\xff\x01 x"));
    }

    void everyKeptByteSurvivesLoadAndSave()
    {
        QByteArray name, value;
        for (int c = 1; c < 256; ++c) {
            if (c == '"' || c == ',' || c == '\r' || c == '\n' || c == ' ')
                continue;
            (c % 2 ? name : value) += char(c);
        }
        WriteFile(file_, "\"" + name + "\"," + value + "\r\n");
        QCOMPARE(LoadPars(), int16_t(1));
        QCOMPARE(SavePars(), int16_t(1));
        QCOMPARE(ReadFile(file_), "\"" + name + "\"," + value + "\r\n");
    }

    void tooManyLinesLoadsTheFirst32767AndSays()
    {
        QByteArray bytes;
        bytes.reserve(40000 * 12);
        for (int i = 0; i < 32770; ++i)
            bytes += "\"P" + QByteArray::number(i) + "\"," + QByteArray::number(i) + "\r\n";
        WriteFile(file_, bytes);
        MsgBoxRecorder rec;
        QCOMPARE(LoadPars(), int16_t(1));
        QCOMPARE(ParCount(), int16_t(32767));
        QCOMPARE(LastLoadState(), LoadState::Truncated);
        QCOMPARE(rec.boxes.size(), 1);
        QVERIFY(rec.boxes[0].text.contains("32767"));
        QString name;
        QVariant value;
        QCOMPARE(GetParByIndex(32766, name, value), int16_t(1));
        QCOMPARE(name, QString("P32766"));
        // A full table takes no new name rather than overflowing its index.
        QVariant v = "x";
        QCOMPARE(ParAccess("NEW", v, "to"), int16_t(-1));
        QCOMPARE(ParCount(), int16_t(32767));

        WriteFile(file_, "\"PORT\",1\r\n");
        QCOMPARE(LoadPars(), int16_t(1));
        QCOMPARE(LastLoadState(), LoadState::Ok);
    }

    void hugeLineAndBinaryGarbage()
    {
        QByteArray bytes = "\"BIG\"," + QByteArray(10 * 1024 * 1024, 'x') + "\r\n";
        for (int i = 0; i < 4096; ++i)
            bytes += char((i * 131 + 7) & 0xff);
        bytes += "\r\n\"PORT\",4\r\n";
        WriteFile(file_, bytes);
        QCOMPARE(LoadPars(), int16_t(1));
        QVariant v;
        QCOMPARE(ParAccess("PORT", v, "from"), int16_t(1));
        QCOMPARE(v.toString(), QString("4"));
        QCOMPARE(ParAccess("BIG", v, "from"), int16_t(1));
        QCOMPARE(v.toString().size(), 10 * 1024 * 1024);
    }

    void saveThroughSymlinkKeepsLinkAndPermissions()
    {
        const QString real = dir_.path() + "/real.txt";
        WriteFile(real, "\"OLD\",1\r\n");
        QVERIFY(chmod(real.toLocal8Bit().constData(), 0640) == 0);
        QVERIFY(QFile::link(real, file_));
        QCOMPARE(WriteParFile(file_, {{"NEW", "2"}}), int16_t(1));
        QVERIFY(QFileInfo(file_).isSymLink());
        QCOMPARE(ReadFile(real), QByteArray("\"NEW\",2\r\n"));
        struct stat st{};
        QVERIFY(stat(real.toLocal8Bit().constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 0777), 0640);
        QFile::remove(real);
    }

    void failedSaveSaysWhyAndKeepsOldFile()
    {
        MsgBoxRecorder rec;
        const QString bad = dir_.path() + "/no/such/dir/LED_CONFIG.TXT";
        QCOMPARE(WriteParFile(bad, {{"A", "1"}}), int16_t(-1));
        QCOMPARE(rec.boxes.size(), 1);
        QVERIFY(rec.boxes[0].text.contains(bad));
        QCOMPARE(rec.boxes[0].style, 16);

        // A directory in the file's place is not replaced.
        QVERIFY(QDir().mkpath(file_));
        QCOMPARE(WriteParFile(file_, {{"A", "1"}}), int16_t(-1));
        QVERIFY(QFileInfo(file_).isDir());
        QDir(file_).removeRecursively();
    }

    void readOnlyDirectoryFallsBackToWritingInPlace()
    {
        if (geteuid() == 0)
            QSKIP("root writes into read-only directories");
        const QString sub = dir_.path() + "/ro";
        QVERIFY(QDir().mkpath(sub));
        const QString f = sub + "/LED_CONFIG.TXT";
        WriteFile(f, "\"OLD\",1\r\n");
        QVERIFY(chmod(sub.toLocal8Bit().constData(), 0555) == 0);
        QCOMPARE(WriteParFile(f, {{"NEW", "2"}}), int16_t(1));
        QCOMPARE(ReadFile(f), QByteArray("\"NEW\",2\r\n"));
        chmod(sub.toLocal8Bit().constData(), 0755);
    }

    void killedMidSaveLeavesOldOrNew()
    {
        // A child saves a large table again and again; it is killed at random moments.
        const QByteArray oldBytes = "\"OLD\",1\r\n";
        WriteFile(file_, oldBytes);
        ParameterTable big;
        for (int i = 0; i < 20000; ++i)
            big.append({QStringLiteral("NAME%1").arg(i), QStringLiteral("VALUE%1").arg(i)});
        QByteArray newBytes;
        for (const auto& e : big)
            newBytes += "\"" + e.ParName.toLatin1() + "\"," + e.ParValue.toString().toLatin1() + "\r\n";

        for (int round = 0; round < 20; ++round) {
            const pid_t pid = fork();
            if (pid == 0) {
                for (;;)
                    WriteParFile(file_, big);
            }
            QTest::qWait(5 + (round * 7) % 40);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            const QByteArray now = ReadFile(file_);
            QVERIFY2(now == oldBytes || now == newBytes,
                     qPrintable(QStringLiteral("torn file of %1 bytes").arg(now.size())));
        }
    }
};

ORVANE_TEST_MAIN(TestTrapar)
#include "test_trapar.moc"
