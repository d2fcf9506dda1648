#pragma once
// Helpers shared by the tests.
#include "engine/Platform.h"

#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>
#include <QtTest>

namespace TestSupport {

// Records every message box while alive and answers each at once with OK.
class MsgBoxRecorder {
public:
    struct Box {
        QString text;
        int style;
        QString title;
    };
    MsgBoxRecorder();
    ~MsgBoxRecorder();
    MsgBoxRecorder(const MsgBoxRecorder&) = delete;
    MsgBoxRecorder& operator=(const MsgBoxRecorder&) = delete;

    QList<Box> boxes;
    QStringList Texts() const;
    void Clear() { boxes.clear(); }

private:
    Platform::MsgBoxHandler previous_;
};

// What a child process did.
struct Ran {
    bool finished = false;
    int code = -1;  // -1 when it crashed or was killed
    QString out;
    QString err;
};

// Runs a program to its end with the event loop running (it may call a service
// in this process); input, when not null, goes to its standard input. Killed
// after timeoutMs.
Ran RunProcess(const QString& program, const QStringList& args, const QProcessEnvironment& env,
               const QByteArray& input = QByteArray(), int timeoutMs = 30000);

// A copy of the program in appDir, its own application directory (created if
// needed), with that settings file, and a private runtime directory runDir
// (mode 0700) for its single-instance lock. False on any failure.
bool PrepareProgramCopy(const QString& appDir, const QString& runDir, const QByteArray& config);

// Writes bytes to a file, creating or replacing it; fails the test on error.
void WriteFile(const QString& path, const QByteArray& bytes);
QByteArray ReadFile(const QString& path);

} // namespace TestSupport

// Like QTEST_MAIN, but every test runs on the offscreen platform, whatever the shell says.
#define ORVANE_TEST_MAIN(TestObject)                                        \
    int main(int argc, char** argv)                                         \
    {                                                                       \
        qputenv("QT_QPA_PLATFORM", "offscreen");                            \
        QApplication app(argc, argv);                                       \
        app.setAttribute(Qt::AA_Use96Dpi, true);                            \
        TestObject tc;                                                      \
        QTEST_SET_MAIN_SOURCE_PATH                                          \
        return QTest::qExec(&tc, argc, argv);                               \
    }
