// The command interpreter, ExecScript, on arbitrary bytes, against
// controllers on pseudo-terminals inside this process.
//
// The first byte chooses the situation: bit 0 the main window loaded (else
// not loaded: a client of the automation object holds the program, as over
// D-Bus), bit 1 a controller that answers "OK" to every line (port 1, reply
// time-out 1000 ms) or one that stays silent (port 2, time-out 0, so every
// unanswered wait ends at once), bit 2 the script decoded as UTF-8 instead
// of Latin-1. A thread of this harness plays both controllers; the program
// itself runs on the main thread only.
//
// Checked against the language's rules: the number of commands run (and
// counted), one response per command each followed by " ; ", and each
// response as its command's first word decides it.
#include "comm/LEDCOMM.h"
#include "comm/frmComm.h"
#include "engine/LEDMain.h"
#include "fuzz/FuzzSupport.h"
#include "mainwindow/frmVURUruduvo.h"
#include "params/TRAPAR.h"

#include <QApplication>
#include <QDir>
#include <QSerialPort>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

void Check(bool ok, const char* what, const QString& script = QString())
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_interpreter: %s\n  script: %s\n", what,
                     script.toUtf8().left(400).constData());
        std::abort();
    }
}

FuzzSupport::Terminal g_answering;  // port 1
FuzzSupport::Terminal g_silent;     // port 2
QString g_answeringDir, g_silentDir;
int g_port = 0;

// The controllers: every CR on port 1 is answered "OK" CR; port 2 is read and
// never answered.
void Controllers()
{
    char buf[4096];
    for (;;) {
        pollfd fds[2] = {{g_answering.master, POLLIN, 0}, {g_silent.master, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0)
            continue;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(g_answering.master, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i)
                if (buf[i] == '\r')
                    FuzzSupport::WriteToProgram(g_answering, "OK\r");
        }
        if (fds[1].revents & POLLIN)
            [[maybe_unused]] const ssize_t n = ::read(g_silent.master, buf, sizeof buf);
    }
}

// As the "Port" menu does it: settings read again, the port reopened.
void UsePort(int port)
{
    if (g_port == port)
        return;
    TRAPAR::SetParDir((port == 1 ? g_answeringDir : g_silentDir) + QLatin1Char('/'));
    Check(LEDCOMM::CommReadSettings() == 1, "settings");
    LEDCOMM::CommClosePort();
    Check(LEDCOMM::CommOpenConfigured(), "open the port");
    g_port = port;
}

bool IsChannel(const QString& w)
{
    return w == QLatin1String("R") || w == QLatin1String("G") || w == QLatin1String("B")
           || w == QLatin1String("A");
}

bool IsOnOff(const QString& w) { return w == QLatin1String("On") || w == QLatin1String("Off"); }

// Up to four decimal digits: a number by any reading.
bool IsSmallNumber(const QString& w)
{
    if (w.isEmpty() || w.size() > 4)
        return false;
    for (QChar c : w)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    return true;
}

// Checks one response against its command line.
void CheckResponse(const QString& line, const QString& r, int64_t count, bool& windowLoaded,
                   bool answering, const QString& script)
{
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return Check(r.isEmpty(), "a line of blanks answers nothing", script);
    const QString& w = words[0];
    if (w == QLatin1String("Show") || w == QLatin1String("Hide")) {
        windowLoaded = true;
        return Check(r == QLatin1String("OK "), "Show and Hide answer OK", script);
    }
    if (w == QLatin1String("Ver"))
        return Check(r == QLatin1String("1.0"), "Ver answers 1.0", script);
    if (w == QLatin1String("CommandCount"))
        return Check(r == QLatin1Char(' ') + QString::number(count), "CommandCount counts", script);
    if (w != QLatin1String("LED"))
        return Check(r == QLatin1String("Error Unknown command"), "unknown command", script);
    if (words.size() < 3)
        return Check(r == QLatin1String("Error Missing Argument "), "missing argument", script);
    Check(r != QLatin1String("Error Missing Argument "), "both arguments are there", script);
    const QString& channel = words[1];
    const QString& value = words[2];
    if (r == QLatin1String("Not a Number "))
        return Check(!IsOnOff(value) && !IsSmallNumber(value), "a number read as none", script);
    if (r == QLatin1String("Bad Value "))
        return Check(!IsChannel(channel), "a channel read as none", script);
    Check(IsChannel(channel), "a bad channel accepted", script);
    Check(r == QLatin1String("OK ") || r == QLatin1String("Error "), "LED answers", script);
    if (!windowLoaded)
        Check(r == (answering ? QLatin1String("OK ") : QLatin1String("Error ")),
              "LED straight to the controller answers as the controller did", script);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv)
{
    FuzzSupport::Init((*argv)[0]);
    g_answering = FuzzSupport::AddTerminal(1);
    g_silent = FuzzSupport::AddTerminal(2);
    const QDir app(FuzzSupport::AppDir());
    app.mkdir(QStringLiteral("answering"));
    app.mkdir(QStringLiteral("silent"));
    g_answeringDir = app.filePath(QStringLiteral("answering"));
    g_silentDir = app.filePath(QStringLiteral("silent"));
    FuzzSupport::WriteConfig(g_answeringDir + QStringLiteral("/LED_CONFIG.TXT"), 1, 1000);
    FuzzSupport::WriteConfig(g_silentDir + QStringLiteral("/LED_CONFIG.TXT"), 2, 0);
    FuzzSupport::WriteConfig(app.filePath(QStringLiteral("LED_CONFIG.TXT")), 1, 1000);
    std::thread(Controllers).detach();

    frmVURUruduvo::RegisterAsPanel();
    LEDMain::AutomationObjectCreated();
    Check(LEDMain::AppInit() == 1, "start-up");
    g_port = 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const bool window = data[0] & 1;
    const bool answering = data[0] & 2;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const QString script = (data[0] & 4) ? QString::fromUtf8(text, qsizetype(size - 1))
                                         : QString::fromLatin1(text, qsizetype(size - 1));

    UsePort(answering ? 1 : 2);
    if (window)
        frmVURUruduvo::Load();
    else
        delete frmVURUruduvo::Loaded();  // unloads it; the client keeps the program
    Check(LEDMain::MainWindowLoaded() == (window ? 1 : 0), "window state");

    const int64_t before = LEDMain::CommandCounter();
    LEDMain::ScriptFailure failure;
    const QString responses = LEDMain::ExecScript(script, &failure);
    Check(failure.number == 0, "no command fails the script", script);

    // The commands run: pieces of the trimmed script up to the first empty one.
    QString trimmed = script;
    while (trimmed.startsWith(QLatin1Char(' ')))
        trimmed.remove(0, 1);
    while (trimmed.endsWith(QLatin1Char(' ')))
        trimmed.chop(1);
    QStringList lines;
    for (const QString& piece : trimmed.split(QLatin1Char(';'))) {
        if (piece.isEmpty())
            break;
        lines << piece;
    }
    Check(LEDMain::CommandCounter() - before == lines.size(), "every command run is counted once", script);

    // No response holds ";": each one is followed by " ; ".
    QStringView rest(responses);
    bool windowLoaded = window;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const qsizetype at = rest.indexOf(QLatin1Char(';'));
        Check(at >= 1 && rest[at - 1] == QLatin1Char(' ') && at + 1 < rest.size()
                  && rest[at + 1] == QLatin1Char(' '),
              "each response is followed by \" ; \"", script);
        CheckResponse(lines[i], rest.left(at - 1).toString(), before + i + 1, windowLoaded,
                      answering, script);
        rest = rest.mid(at + 2);
    }
    Check(rest.isEmpty(), "one response per command", script);

    // Queued events (deferred deletes, line events) run between scripts, as in the program.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
