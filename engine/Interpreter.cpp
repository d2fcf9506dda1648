// LEDMain's command interpreter: a script of commands separated by ";", each
// a word and its arguments, from ExecScript down to LedSet.
#include "engine/LEDMain.h"

#include "base/Notify.h"
#include "base/NumText.h"
#include "base/Posix.h"
#include "base/Channels.h"

#include <algorithm>
#include <utility>

namespace LEDMain {
namespace {

int64_t g_commandCounter = 0;
constexpr QChar kBlank = QLatin1Char(' ');

// Only code 32 counts as a blank.
QStringView TrimBlanks(QStringView s)
{
    qsizetype b = 0;
    qsizetype e = s.size();
    while (b < e && s[b] == kBlank) ++b;
    while (e > b && s[e - 1] == kBlank) --e;
    return s.mid(b, e - b);
}

// Lengths are 16-bit results; a longer piece or word still counts as one.
int16_t Length16(qsizetype n) { return int16_t(std::min<qsizetype>(n, 32767)); }

// SplitFirst over an offset into the script, so a long script is not copied for every piece.
qsizetype SplitAt(QStringView source, qsizetype& pos, QStringView& piece, QStringView separator)
{
    const QStringView rest = source.mid(pos);
    const qsizetype p = rest.indexOf(separator);
    if (p < 0) {
        piece = rest;
        pos = source.size();
        return piece.size();
    }
    piece = rest.left(p);
    pos += p + separator.size();
    return p;
}

// What the running script's Show and Hide asked of the main window. Each show
// or hide leaves work queued for the window until the event loop turns, and
// each one goes through all that is queued: a script of many slowed down with
// every one and held memory for all. Nothing is painted while a script runs,
// so only the state it ends with can be seen; that is applied once, at its end.
struct WindowWish {
    bool asked = false;
    bool visible = false;
};
WindowWish* g_windowWish = nullptr;

// "On", "Off" or a number, clamped to the channels' range; false for anything else.
bool ParseLevel(const QString& text, int16_t& level)
{
    if (text == QLatin1String("On"))
        level = Channels::kMaxIntensity;
    else if (text == QLatin1String("Off"))
        level = Channels::kMinIntensity;
    else if (NumText::ToInt16(text, level))
        level = std::clamp(level, Channels::kMinIntensity, Channels::kMaxIntensity);
    else
        return false;
    return true;
}
} // namespace

int64_t CommandCounter() { return g_commandCounter; }

QString ExecScript(const QString& script, ScriptFailure* failure)
{
    WindowWish wish;
    WindowWish* const outer = std::exchange(g_windowWish, &wish);
    const auto apply = [&wish, outer] {
        g_windowWish = outer;
        if (ChannelPanel* panel = MainForm(); wish.asked && panel)
            panel->SetShown(wish.visible);
    };
    const QStringView s = TrimBlanks(script);
    const QString separator = QStringLiteral(";");
    QString responses;
    qsizetype pos = 0;
    for (;;) {
        QStringView piece;
        if (SplitAt(s, pos, piece, separator) == 0)
            break;
        Notify::Ping();  // a long script holds the event loop, but the program lives
        ScriptFailure f;
        // A stop signal ends the script before its next command; the process
        // ends once the caller has answered.
        if (const int sig = Posix::StopSignal(); sig != 0)
            f = {sig, QStringLiteral("stopped by %1 before the script ended").arg(Posix::SignalName(sig))};
        const QString response = f.number != 0 ? QString() : ExecCommand(piece.toString(), &f);
        if (f.number != 0) {
            apply();
            if (failure)
                *failure = f;
            return QString();
        }
        responses += response;
        responses += QStringLiteral(" ; ");
    }
    apply();
    return responses;
}

QString ExecCommand(const QString& line, ScriptFailure* failure)
{
    ++g_commandCounter;
    QString l = TrimBlanks(line).toString();
    QString word;
    if (NextToken(l, word) == 0)
        return QString();
    if (word == QLatin1String("LED"))
        return LedCommand(l);
    if (word == QLatin1String("Show") || word == QLatin1String("Hide")) {
        ChannelPanel* form = LoadMainForm();
        if (!form) {
            if (failure)
                *failure = {1, QStringLiteral("The main window could not be loaded")};
            return QString();
        }
        const bool visible = word == QLatin1String("Show");
        if (g_windowWish)
            *g_windowWish = {true, visible};
        else
            form->SetShown(visible);
        return QStringLiteral("OK ");
    }
    if (word == QLatin1String("CommandCount"))
        return kBlank + QString::number(g_commandCounter);
    if (word == QLatin1String("Ver"))
        return QStringLiteral("1.0");
    return QStringLiteral("Error Unknown command");
}

int16_t SplitFirst(QString& source, QString& piece, const QString& separator)
{
    qsizetype pos = 0;
    QStringView view;
    const qsizetype n = SplitAt(source, pos, view, separator);
    piece = view.toString();
    source = source.mid(pos);
    return Length16(n);
}

int16_t NextToken(QString& line, QString& token)
{
    const QStringView t = TrimBlanks(line);
    qsizetype p = t.indexOf(kBlank);
    if (p < 0)
        p = t.size();
    token = t.left(p).toString();
    line = TrimBlanks(t.mid(p)).toString();
    return Length16(p);
}

QString LedCommand(const QString& rest)
{
    QString words = rest;
    QString channel;
    QString value;
    const int16_t n1 = NextToken(words, channel);
    const int16_t n2 = NextToken(words, value);
    if (n1 == 0 || n2 == 0)
        return QStringLiteral("Error Missing Argument ");
    return LedSet(channel, value);
}

QString LedSet(const QString& channel, const QString& valueText)
{
    int16_t v = 0;
    if (!ParseLevel(valueText, v))
        return QStringLiteral("Not a Number ");
    const int index = Channels::ByCommand(channel);
    if (index < 0)
        return QStringLiteral("Bad Value ");
    return SetLevel(index, v) ? QStringLiteral("OK ") : QStringLiteral("Error ");
}

QString LedRequest(int index, const QString& value)
{
    ++g_commandCounter;
    QString rest = value;
    QString word;
    if (NextToken(rest, word) == 0)
        return QStringLiteral("Error Missing Argument ");
    int16_t v = 0;
    if (!ParseLevel(word, v))
        return QStringLiteral("Not a Number ");
    return SetLevel(index, v) ? QStringLiteral("OK ") : QStringLiteral("Error ");
}

void CountCommand() { ++g_commandCounter; }

bool SetLevel(int index, int16_t level)
{
    if (index < 0 || index >= Channels::kCount)
        return false;
    // The bar's handling does the sending; every send of this move must have succeeded.
    if (ChannelPanel* panel = MainForm())
        return panel->MoveBar(index, level);
    return SetChannel(Channels::DeviceLetter<QString>(index), level) > 0;
}

} // namespace LEDMain
