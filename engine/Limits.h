#pragma once
// What one client may ask of the program over a road from outside (the session
// bus, the broker). One bad call must not take the program off the road for everybody.
#include <QString>
#include <QStringView>
#include <cstdint>

namespace Limits {

// A longer script is refused before any command of it runs.
inline constexpr int64_t kMaxScriptBytes = int64_t(4) << 20;   // 4 MiB of UTF-8
// Longer joined responses are never sent: the bus drops a connection that
// sends a message over its own limit, and with it every client's objects.
inline constexpr int64_t kMaxReplyBytes = int64_t(16) << 20;   // 16 MiB of UTF-8

// Broker requests that wait while a script runs, and the bytes of their
// scripts; more are answered with an error at once, so that a flood cannot
// grow the program without end.
inline constexpr int kMaxQueuedRequests = 4096;
inline constexpr int64_t kMaxQueuedBytes = int64_t(64) << 20;   // 64 MiB

// Objects one client connection may hold at once, made by CreateInstance.
inline constexpr int kMaxObjectsPerClient = 4096;
// Objects made by CreateInstance for all clients together.
inline constexpr int kMaxObjects = 65536;

// A size in bytes with its binary unit, as a limit is named to the caller.
inline QString Bytes(int64_t n) { return QStringLiteral("%1 (%2 MiB)").arg(n).arg(n >> 20); }

// Why a script of that many bytes is refused before it runs, and why responses
// of that many are not sent: the words of every road.
inline QString ScriptTooLong(int64_t bytes)
{
    return QStringLiteral("The script is %1 bytes long; at most %2 are accepted").arg(bytes).arg(Bytes(kMaxScriptBytes));
}
inline QString RepliesTooLong(int64_t bytes)
{
    return QStringLiteral("The script ran, but its responses are %1 bytes long; at most %2 are sent back")
        .arg(bytes)
        .arg(Bytes(kMaxReplyBytes));
}

// Bytes of text in UTF-8, without making the copy. A lone surrogate counts as
// the three bytes of the replacement character it becomes.
inline int64_t Utf8Length(QStringView text)
{
    int64_t n = 0;
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t c = text[i].unicode();
        if (c < 0x80) {
            n += 1;
        } else if (c < 0x800) {
            n += 2;
        } else if (QChar::isHighSurrogate(c) && i + 1 < size && QChar::isLowSurrogate(text[i + 1].unicode())) {
            n += 4;
            ++i;
        } else {
            n += 3;
        }
    }
    return n;
}

} // namespace Limits
