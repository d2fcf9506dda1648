#pragma once
// Text from outside the program (process and device names, file names, what a
// broker, a client or a settings file holds) on its way out of the program:
// made fit for where it goes, so that it never starts a line, a message, a
// rule or a terminal sequence of its own there.
#include <QByteArrayView>
#include <QString>

namespace OutsideText {

enum class Target {
    Log,          // a line of standard error or the journal
    NotifyField,  // a field of a message to the service manager
    Terminal,     // a line on a person's terminal
    Page,         // a line of text the web page shows (set as text, never as markup)
    UdevComment,  // a comment line of a udev rule
    UdevValue,    // a value between quotes in a udev rule
};

// Log, NotifyField, Terminal, Page: one line, each control character (C0 with TAB,
// CR and LF, DEL, C1), U+2028, U+2029 and an unpaired surrogate shown escaped
// as \n, \r, \t, \xNN (below U+0080) or \uNNNN; Terminal escapes the
// bidirectional controls too (Page as well: U+061C, U+200E, U+200F, U+202A-U+202E,
// U+2066-U+2069), which reorder what a person reads. A backslash stays as it
// is, so plain text passes unchanged and the rule applied twice is applied once.
// UdevComment: one line, each control character (C0, DEL, C1, U+2028, U+2029) a '?'.
// UdevValue: the text unchanged, or empty when udev would read anything in it as
// more than itself (a quote, a backslash, a pattern character * ? [ ] |, a
// substitution $ or %, a control character): the caller leaves the value out.
QString For(Target target, const QString& text);

// Bytes from outside (a file in /proc or sysfs, a broker's payload): read as
// UTF-8, each byte that is no part of a valid sequence shown as \xNN, then For.
QString ForBytes(Target target, QByteArrayView bytes);

} // namespace OutsideText
