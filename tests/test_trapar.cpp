// The parameter table and the file "LED_CONFIG.TXT".
#include "params/TRAPAR.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QProcess>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <cstdio>
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
        QTest::newRow("quotes in third field") << QByteArray("\"PORT\",2,note with \"quotes\" inside")
                                               << "PORT" << "2";
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
        QCOMPARE(rec.Texts(), QStringList{"File " + file_ + " does not exist"});
        QDir(file_).removeRecursively();
    }

    void unreadableFileSaysWhyAndKeepsTable()
    {
        // Root reads any file it may open, but no one reads /proc/self/mem from offset 0.
        MsgBoxRecorder rec;
        QVERIFY(QFile::link("/proc/self/mem", file_));
        ParameterTable t{{"KEEP", "1"}};
        LoadState state = LoadState::None;
        QCOMPARE(ReadParFile(file_, t, &state), int16_t(-1));
        QCOMPARE(state, LoadState::Unreadable);
        QCOMPARE(t.size(), 1);
        QCOMPARE(rec.boxes.size(), 1);
        QVERIFY(rec.boxes[0].text.startsWith("Cannot read file " + file_ + ": "));
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
        // Find answers the same without a box.
        QVERIFY(!TRAPAR::Find("port"));
        QCOMPARE(TRAPAR::Find("PORT").value_or(QVariant()).toString(), QString("9"));
        QCOMPARE(rec.boxes.size(), 1);

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

    void sizeLimit_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("refused");
        QTest::newRow("at the limit") << kMaxFileBytes << false;
        QTest::newRow("one byte over") << kMaxFileBytes + 1 << true;
        QTest::newRow("a gigabyte") << (qint64(1) << 30) << true;
    }
    void sizeLimit()
    {
        // Sparse: a PORT line and then holes, which cost no disk and read as zero bytes.
        QFETCH(qint64, size);
        QFETCH(bool, refused);
        WriteFile(file_, "\"PORT\",5\r\n");
        QVERIFY(QFile::resize(file_, size));
        MsgBoxRecorder rec;

        // First in a child with its address space capped: reading a gigabyte whole
        // fails there at once instead of taking this machine's memory.
        QElapsedTimer clock;
        clock.start();
        const pid_t pid = fork();
        if (pid == 0) {
            long pages = 0;
            if (FILE* f = fopen("/proc/self/statm", "r")) {
                if (fscanf(f, "%ld", &pages) != 1)
                    pages = 0;
                fclose(f);
            }
            const rlim_t cap = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(256) << 20);
            const struct rlimit limit{cap, cap};
            if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0)
                _exit(3);
            // Nothing may leave the child: the test runner would go on in it.
            try {
                ParameterTable t;
                _exit(ReadParFile(file_, t) == (refused ? -1 : 1) ? 0 : 1);
            } catch (...) {
                _exit(2);
            }
        }
        int status = 0;
        struct rusage usage {};
        QCOMPARE(wait4(pid, &status, 0, &usage), pid);
        const qint64 childMs = clock.elapsed();
        QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0,
                 qPrintable(QStringLiteral("child status %1").arg(status)));
        qInfo("%lld bytes: %lld ms, peak %ld KiB", size, childMs, usage.ru_maxrss);
        QVERIFY2(childMs < 3000, qPrintable(QString::number(childMs)));

        ParameterTable t{{"KEEP", "1"}};
        LoadState state = LoadState::None;
        if (!refused) {
            QCOMPARE(ReadParFile(file_, t, &state), int16_t(1));
            QCOMPARE(state, LoadState::Ok);
            QCOMPARE(t.size(), 1);
            QCOMPARE(t[0].ParName, QString("PORT"));
            QVERIFY(rec.boxes.isEmpty());
            return;
        }
        QCOMPARE(ReadParFile(file_, t, &state), int16_t(-1));
        QCOMPARE(state, LoadState::Unreadable);
        QCOMPARE(t.size(), 1);
        QCOMPARE(t[0].ParName, QString("KEEP"));
        QCOMPARE(rec.Texts(), QStringList{"Cannot read file " + file_ + ": it is "
                                          + QString::number(size)
                                          + " bytes long; a settings file may hold at most "
                                          + QString::number(kMaxFileBytes) + " bytes"});
        QCOMPARE(rec.boxes[0].style, 16);
    }

    void saveKeepsLinkModeAndOwner()
    {
        // Saved through a link to the real file, and in place of a plain file.
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
        QFile::remove(file_);

        WriteFile(file_, "\"OLD\",1\r\n");
        QVERIFY(chmod(file_.toLocal8Bit().constData(), 0604) == 0);
        // Root saving a file of somebody else's gives the new file to the same owner.
        const bool root = geteuid() == 0;
        if (root)
            QVERIFY(chown(file_.toLocal8Bit().constData(), 65534, 65534) == 0);
        QCOMPARE(WriteParFile(file_, {{"NEW", "3"}}), int16_t(1));
        QCOMPARE(ReadFile(file_), QByteArray("\"NEW\",3\r\n"));
        QVERIFY(lstat(file_.toLocal8Bit().constData(), &st) == 0);
        QVERIFY(S_ISREG(st.st_mode));
        QCOMPARE(int(st.st_mode & 0777), 0604);
        if (root) {
            QCOMPARE(int(st.st_uid), 65534);
            QCOMPARE(int(st.st_gid), 65534);
            // Only the group differs from root's: it is given back all the same.
            QVERIFY(chown(file_.toLocal8Bit().constData(), 0, 65534) == 0);
            QCOMPARE(WriteParFile(file_, {{"NEW", "3"}}), int16_t(1));
            QVERIFY(lstat(file_.toLocal8Bit().constData(), &st) == 0);
            QCOMPARE(int(st.st_uid), 0);
            QCOMPARE(int(st.st_gid), 65534);
        }

        // Root may save a read-only file; it stays read-only.
        if (root) {
            QVERIFY(chmod(file_.toLocal8Bit().constData(), 0444) == 0);
            QCOMPARE(WriteParFile(file_, {{"NEW", "4"}}), int16_t(1));
            QCOMPARE(ReadFile(file_), QByteArray("\"NEW\",4\r\n"));
            QVERIFY(lstat(file_.toLocal8Bit().constData(), &st) == 0);
            QCOMPARE(int(st.st_mode & 07777), 0444);
        }
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

    void killedMidSaveLeavesOneWholeVersion()
    {
        // A child saves two large tables in turn, again and again, and is killed
        // 300 times at moments spread over a save: before its first save ends,
        // between saves and inside them. The file is always one whole version.
        const QByteArray oldBytes = "\"OLD\",1\r\n";
        ParameterTable tables[2];
        QByteArray versions[2];
        for (int t = 0; t < 2; ++t) {
            for (int i = 0; i < 5000; ++i) {
                const QString value = QStringLiteral("V%1_%2").arg(t).arg(i);
                tables[t].append({QStringLiteral("NAME%1").arg(i), value});
                versions[t] += "\"NAME" + QByteArray::number(i) + "\"," + value.toLatin1() + "\r\n";
            }
        }
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 4; ++i)
            QCOMPARE(WriteParFile(file_, tables[i % 2]), int16_t(1));
        const qint64 saveUs = std::max<qint64>(1, clock.nsecsElapsed() / 4000);
        WriteFile(file_, oldBytes);

        int seen[3] = {};
        for (int round = 0; round < 300; ++round) {
            int progress[2];
            QVERIFY(pipe(progress) == 0);
            const pid_t pid = fork();
            if (pid == 0) {
                close(progress[0]);
                for (int i = 0;; ++i) {
                    WriteParFile(file_, tables[i % 2]);
                    const char saved = 1;
                    [[maybe_unused]] const ssize_t n = write(progress[1], &saved, 1);
                }
            }
            close(progress[1]);
            char saved = 0;
            bool told = true;
            for (int done = 0; done < round % 3 && told; ++done)
                told = read(progress[0], &saved, 1) == 1;
            usleep(useconds_t((qint64(round) * 7919) % (saveUs + 1)));
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            close(progress[0]);
            QVERIFY(told);
            const QByteArray now = ReadFile(file_);
            const int which = now == oldBytes ? 0 : now == versions[0] ? 1 : now == versions[1] ? 2 : -1;
            QVERIFY2(which >= 0, qPrintable(QStringLiteral("round %1: torn file of %2 bytes").arg(round).arg(now.size())));
            ++seen[which];
        }
        // Kills fell on both kinds of save.
        QVERIFY(seen[1] > 0 && seen[2] > 0);
        qInfo("300 kills, one save %lld us: old %d, first %d, second %d", saveUs, seen[0], seen[1], seen[2]);
        // A killed save leaves its unfinished temporary file beside the real one.
    }
};

ORVANE_TEST_MAIN(TestTrapar)
#include "test_trapar.moc"
