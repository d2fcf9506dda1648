#pragma once
// Helpers shared by the tests.
#include "base/Platform.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <functional>

// Defined in builds under AddressSanitizer, which slows every step down.
#if defined(__SANITIZE_ADDRESS__)
#define ORVANE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVANE_ASAN 1
#endif
#endif

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

// Runs the event loop until done() holds or msecs pass. done() is asked again
// whenever sender emits signal, so the wait ends with the event, not at the
// next poll; a timer of 50 ms catches what no signal announces.
template <typename Sender, typename Signal>
bool Until(const std::function<bool()>& done, int msecs, const Sender* sender, Signal signal)
{
    if (done())
        return true;
    QEventLoop loop;
    QDeadlineTimer deadline(msecs);
    QTimer poll;
    const auto check = [&] {
        if (done() || deadline.hasExpired())
            loop.quit();
    };
    QObject::connect(&poll, &QTimer::timeout, &loop, check);
    QObject::connect(sender, signal, &loop, check);
    poll.start(std::min(msecs, 50));
    loop.exec();
    return done();
}

// Runs a program to its end with the event loop running (it may call a service
// in this process); input, when not null, goes to its standard input. Killed
// after timeoutMs.
Ran RunProcess(const QString& program, const QStringList& args, const QProcessEnvironment& env,
               const QByteArray& input = QByteArray(), int timeoutMs = 30000);

// Starts orvane-exec with env on one script of n channel commands, "LED R 1"
// to "LED R <n>", and leaves it running in client; false when it did not start.
bool StartLedCommands(QProcess& client, int n, const QProcessEnvironment& env);

// env without DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM: a program started
// with it runs headless, whatever the shell had.
QProcessEnvironment Headless(QProcessEnvironment env = QProcessEnvironment::systemEnvironment());

// A copy of the program in appDir, its own application directory (created if
// needed), with that settings file, and a private runtime directory runDir
// (mode 0700) for its single-instance lock. False on any failure.
bool PrepareProgramCopy(const QString& appDir, const QString& runDir, const QByteArray& config);

// Writes bytes to a file, creating or replacing it; fails the test on error.
void WriteFile(const QString& path, const QByteArray& bytes);
QByteArray ReadFile(const QString& path);

// The ordinary settings file: PORT and TIMEOUT, each on a line ended by CR LF.
QByteArray Config(int port, int timeOutMs);

// The error log as lines, without the empty ones.
QStringList LogLines();

// CPU time of this process so far, user and system, in milliseconds.
qint64 CpuMs();
// User and system time of another process, from /proc/<pid>/stat, in
// milliseconds; -1 when it cannot be read.
qint64 ProcessCpuMs(qint64 pid);
// Resident memory of this process in bytes.
qint64 RssBytes();
// The most resident memory of this process since it began or since
// ResetPeakMemory, in kB.
qint64 PeakMemoryKb();
void ResetPeakMemory();
// Heap bytes in use now; under AddressSanitizer its own count, which leaves
// out the freed blocks it holds back.
qint64 HeapInUse();
// Descriptors this process holds open.
int OpenDescriptors();

// Sets an environment variable of this process for one scope (a null value
// unsets it) and puts back what was there.
class EnvSet {
public:
    EnvSet(const char* name, const QByteArray& value)
        : name_(name), old_(qgetenv(name)), had_(qEnvironmentVariableIsSet(name))
    {
        value.isNull() ? qunsetenv(name) : qputenv(name, value);
    }
    ~EnvSet() { had_ ? qputenv(name_, old_) : qunsetenv(name_); }
    EnvSet(const EnvSet&) = delete;
    EnvSet& operator=(const EnvSet&) = delete;

private:
    const char* name_;
    QByteArray old_;
    bool had_;
};

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
