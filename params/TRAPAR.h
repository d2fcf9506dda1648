#pragma once
// TRAPAR, the parameter table and its file "LED_CONFIG.TXT": one ordered list of
// named values, looked up by name or by index.
#include <QList>
#include <QString>
#include <QVariant>
#include <cstdint>
#include <optional>

namespace TRAPAR {

struct ParameterEntry {
    QString ParName;
    QVariant ParValue;  // text, or a number
};
using ParameterTable = QList<ParameterEntry>;

// Indices and counts are 16-bit: this many entries at most.
constexpr int kMaxEntries = 32767;
// A settings file holds a few lines; a larger one is refused unread rather than
// taking the program's memory and start-up time.
constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;

// How the last read of a file ended.
enum class LoadState {
    None,        // nothing read yet
    Ok,
    Missing,     // no file: the table was left as it was
    Unreadable,  // the file exists but could not be read, or is larger than
                 // kMaxFileBytes: table left as it was
    Truncated,   // more entries than fit; the first kMaxEntries were loaded
};

void SetParDir(const QString& dir);
void SetParFile(const QString& file);
QString GetParPath();

int16_t LoadPars();
int16_t SavePars();
int16_t ParCount();

// "to", "from", "clear" on the module's table; "from" on a missing name shows a message.
int16_t ParAccess(const QString& name, QVariant& value, const QString& operation);
// The value of name in the module's table, without a message box: for the
// settings that may be absent (NAME, the MQTT keys, the udev rule's PORT).
std::optional<QVariant> Find(const QString& name);
// A setting that may be absent, as trimmed text: empty when it is not set.
QString FindText(const QString& name);
// A file a setting names: a relative one lies in the settings file's folder.
QString SettingFile(const QString& value);
// NAME of the module's table, trimmed, when it is a valid controller name;
// otherwise empty, which every road takes as no name of its own. refused gets
// the text of a NAME that is no name (empty when there is none).
QString ConfiguredName(QString* refused = nullptr);
int16_t ParTableOp(ParameterTable& table, const QString& name, QVariant& value,
                   const QString& operation);

int16_t GetParByIndex(int16_t index, QString& name, QVariant& value);
int16_t SetParByIndex(int16_t index, const QVariant& value);

// 1 after loading; -1 when the file is missing, unreadable or larger than
// kMaxFileBytes (said in a message box; table unchanged).
int16_t ReadParFile(const QString& path, ParameterTable& table, LoadState* state = nullptr);
// 1 after writing; -1 when the file could not be written (old file unchanged).
int16_t WriteParFile(const QString& path, const ParameterTable& table);

// State of the module table's last load: a window must not save a table
// that failed to load from an existing file or was cut short.
LoadState LastLoadState();

// The value as the file writes it: text unchanged, numbers with a sign position.
QString ValueToFileText(const QVariant& value);
// The value as a grid shows it: text unchanged, numbers in plain decimal.
QString ValueToText(const QVariant& value);

} // namespace TRAPAR
