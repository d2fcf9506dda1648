#include "fuzz/FuzzSupport.h"

#include "base/Platform.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

namespace FuzzSupport {
namespace {

QTemporaryDir& Dir()
{
    // In memory where there is such a place: saves sync their files to disk.
    static QTemporaryDir dir(QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                                 ? QStringLiteral("/dev/shm/orvane-fuzz-XXXXXX")
                                 : QDir::tempPath() + QStringLiteral("/orvane-fuzz-XXXXXX"));
    return dir;  // removed when the fuzzer exits
}

[[noreturn]] void Fail(const char* what)
{
    std::perror(what);
    std::abort();
}

long long NowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

void Init(const char* argv0)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt keeps references to these for the life of the application.
    static int argc = 1;
    static char* argv[] = {const_cast<char*>(argv0), nullptr};
    static QApplication* app = new QApplication(argc, argv);
    app->setQuitOnLastWindowClosed(false);

    Platform::SetMsgBoxHandler([](const QString&, int, const QString&) { return int(Platform::vbOK); });
    Platform::SetQuitHandler([](int) {});

    if (!Dir().isValid())
        Fail("temporary directory");
    Platform::App().Path = Dir().path();
}

QString AppDir() { return Dir().path(); }

void WriteConfig(const QString& path, int port, int timeOutMs)
{
    QFile config(path);
    const QByteArray text = "\"PORT\"," + QByteArray::number(port) + "\r\n\"TIMEOUT\","
                            + QByteArray::number(timeOutMs) + "\r\n";
    if (!config.open(QIODevice::WriteOnly) || config.write(text) != text.size())
        Fail("write LED_CONFIG.TXT");
}

Terminal AddTerminal(int port)
{
    Terminal t;
    t.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (t.master < 0 || grantpt(t.master) != 0 || unlockpt(t.master) != 0)
        Fail("pseudo-terminal");
    const char* slave = ptsname(t.master);
    t.slave = ::open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (t.slave < 0)
        Fail("open terminal");
    const QString link = Dir().filePath(QStringLiteral("COM%1").arg(port));
    if (::symlink(slave, QFile::encodeName(link).constData()) != 0)
        Fail("link COM port");
    return t;
}

void WriteToProgram(const Terminal& t, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(t.master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n <= 0)
            return;  // the terminal is full: the rest is lost, as on a real line
        done += n;
    }
}

bool WaitUntilReadable(const Terminal& t, int count)
{
    // The terminal hands written bytes to the reading side a moment later.
    const long long end = NowMs() + 1000;
    for (;;) {
        int n = 0;
        if (::ioctl(t.slave, FIONREAD, &n) != 0)
            return false;
        if (n >= count)
            return true;
        if (NowMs() > end)
            return false;
        ::usleep(100);
    }
}

} // namespace FuzzSupport
