#include "params/TRAPAR.h"

#include "base/ControllerName.h"
#include "base/Platform.h"
#include "base/Posix.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>

namespace TRAPAR {
namespace {

ParameterTable g_table;
QString g_parDir;
QString g_parFile;
LoadState g_lastLoad = LoadState::None;

QString TrimSpaces(QStringView s)
{
    qsizetype b = 0;
    qsizetype e = s.size();
    while (b < e && s[b] == QLatin1Char(' ')) ++b;
    while (e > b && s[e - 1] == QLatin1Char(' ')) --e;
    return s.mid(b, e - b).toString();
}

// Applies the reading rules to one line; false when the line adds no entry.
bool ParseLine(const QString& line, ParameterEntry& entry)
{
    if (line.size() < 5)
        return false;
    const qsizetype q1 = line.indexOf(QLatin1Char('"'));
    const qsizetype q2 = q1 < 0 ? -1 : line.indexOf(QLatin1Char('"'), q1 + 1);
    if (q2 < 0)
        return false;  // no name to cut out: a free-text note
    entry.ParName = TrimSpaces(QStringView(line).mid(q1 + 1, q2 - q1 - 1));
    const qsizetype c1 = line.indexOf(QLatin1Char(','));
    QStringView value(line);
    if (c1 >= 0) {
        const qsizetype c2 = line.indexOf(QLatin1Char(','), c1 + 1);
        value = c2 < 0 ? value.mid(c1 + 1) : value.mid(c1 + 1, c2 - c1 - 1);
    }
    entry.ParValue = TrimSpaces(value);
    return true;
}

bool IsNumber(const QVariant& v)
{
    switch (v.typeId()) {
    case QMetaType::Int: case QMetaType::UInt:
    case QMetaType::Short: case QMetaType::UShort:
    case QMetaType::Long: case QMetaType::ULong:
    case QMetaType::LongLong: case QMetaType::ULongLong:
    case QMetaType::Float: case QMetaType::Double:
        return true;
    default:
        return false;
    }
}

bool IsNegative(const QVariant& v)
{
    switch (v.typeId()) {
    case QMetaType::Float: case QMetaType::Double:
        return v.toDouble() < 0;
    case QMetaType::UInt: case QMetaType::UShort: case QMetaType::ULong:
    case QMetaType::ULongLong:
        return false;
    default:
        return v.toLongLong() < 0;
    }
}

} // namespace

void SetParDir(const QString& dir) { g_parDir = dir; }
void SetParFile(const QString& file) { g_parFile = file; }
QString GetParPath() { return g_parDir + g_parFile; }

int16_t LoadPars() { return ReadParFile(GetParPath(), g_table, &g_lastLoad); }
int16_t SavePars() { return WriteParFile(GetParPath(), g_table); }
int16_t ParCount() { return int16_t(g_table.size()); }
LoadState LastLoadState() { return g_lastLoad; }

QString ValueToText(const QVariant& value)
{
    if (value.typeId() == QMetaType::Float || value.typeId() == QMetaType::Double)
        return QString::number(value.toDouble(), 'g', 15);
    return value.toString();
}

QString ValueToFileText(const QVariant& value)
{
    if (!IsNumber(value))
        return value.toString();
    const QString digits = ValueToText(value);
    return IsNegative(value) ? digits : QLatin1Char(' ') + digits;
}

int16_t ParAccess(const QString& name, QVariant& value, const QString& operation)
{
    const int16_t r = ParTableOp(g_table, name, value, operation);
    if (r == -1 && operation == QLatin1String("from"))
        Platform::MsgBox(QStringLiteral("Parameter ") + name + QStringLiteral(" not found in ")
                             + g_parDir + g_parFile,
                         Platform::vbCritical);
    return r;
}

std::optional<QVariant> Find(const QString& name)
{
    for (const ParameterEntry& e : g_table)
        if (e.ParName == name)
            return e.ParValue;
    return std::nullopt;
}

QString FindText(const QString& name)
{
    const std::optional<QVariant> v = Find(name);
    return v ? ValueToText(*v).trimmed() : QString();
}

QString SettingFile(const QString& value)
{
    return QFileInfo(QFileInfo(GetParPath()).absoluteDir(), value).filePath();
}

QString ConfiguredName(QString* refused)
{
    const QString text = ValueToText(Find(QStringLiteral("NAME")).value_or(QVariant())).trimmed();
    const bool valid = text.isEmpty() || ControllerName::IsValid(text);
    if (refused)
        *refused = valid ? QString() : text;
    return valid ? text : QString();
}

int16_t ParTableOp(ParameterTable& table, const QString& name, QVariant& value,
                   const QString& operation)
{
    auto find = [&]() -> ParameterEntry* {
        for (ParameterEntry& e : table)
            if (e.ParName == name)
                return &e;
        return nullptr;
    };
    if (operation == QLatin1String("to")) {
        if (ParameterEntry* e = find()) {
            e->ParValue = value;
        } else {
            if (table.size() >= kMaxEntries)
                return -1;  // the table is full: refuse rather than overflow the index
            table.append({name, value});
        }
        return 1;
    }
    if (operation == QLatin1String("from")) {
        if (ParameterEntry* e = find()) {
            value = e->ParValue;
            return 1;
        }
        return -1;
    }
    if (operation == QLatin1String("clear")) {
        table = ParameterTable{{name, value}};
        return 1;
    }
    return 0;
}

int16_t GetParByIndex(int16_t index, QString& name, QVariant& value)
{
    if (index < 0 || index >= g_table.size()) {
        name = QStringLiteral("UNDEFINED");
        value = 0;
        return -1;
    }
    name = g_table[index].ParName;
    value = g_table[index].ParValue;
    return 1;
}

int16_t SetParByIndex(int16_t index, const QVariant& value)
{
    if (index < 0 || index >= g_table.size())
        return -1;
    g_table[index].ParValue = value;
    return 1;
}

int16_t ReadParFile(const QString& path, ParameterTable& table, LoadState* state)
{
    auto setState = [&](LoadState s) { if (state) *state = s; };
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile()) {
        Platform::MsgBox(QStringLiteral("File ") + path + QStringLiteral(" does not exist"));
        setState(LoadState::Missing);
        return -1;
    }
    QFile file(path);
    QByteArray bytes;
    // At most one byte past the limit: the size on disk may be out of date or
    // meaningless (a file still growing, a special file reporting 0).
    if (file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        bytes.reserve(qsizetype(std::min(info.size(), kMaxFileBytes)) + 1);
        constexpr qint64 kChunk = 64 * 1024;
        while (bytes.size() <= kMaxFileBytes) {
            const qsizetype had = bytes.size();
            const qint64 want = std::min(kChunk, kMaxFileBytes + 1 - had);
            bytes.resize(had + qsizetype(want));
            const qint64 got = file.read(bytes.data() + had, want);
            bytes.resize(had + qsizetype(std::max<qint64>(got, 0)));
            if (got <= 0)
                break;
        }
    }
    if (file.isOpen() && file.error() == QFileDevice::NoError && bytes.size() > kMaxFileBytes) {
        const qint64 size = file.size();
        Platform::MsgBox(QStringLiteral("Cannot read file ") + path + QStringLiteral(": it is ")
                             + (size > kMaxFileBytes ? QString::number(size)
                                                    : QStringLiteral("more than ")
                                                          + QString::number(kMaxFileBytes))
                             + QStringLiteral(" bytes long; a settings file may hold at most ")
                             + QString::number(kMaxFileBytes) + QStringLiteral(" bytes"),
                         Platform::vbCritical);
        setState(LoadState::Unreadable);
        return -1;
    }
    if (!file.isOpen() || file.error() != QFileDevice::NoError) {
        Platform::MsgBox(QStringLiteral("Cannot read file ") + path + QStringLiteral(": ")
                             + file.errorString(),
                         Platform::vbCritical);
        setState(LoadState::Unreadable);
        return -1;
    }
    file.close();

    ParameterTable read;
    read.reserve(21);
    bool truncated = false;
    qsizetype pos = 0;
    const qsizetype n = bytes.size();
    while (pos < n) {
        // A line ends at CR, CR LF, or a lone LF.
        qsizetype end = pos;
        while (end < n && bytes[end] != '\r' && bytes[end] != '\n')
            ++end;
        const QString line = QString::fromLatin1(bytes.constData() + pos, end - pos);
        if (end < n && bytes[end] == '\r' && end + 1 < n && bytes[end + 1] == '\n')
            pos = end + 2;
        else
            pos = end + 1;
        ParameterEntry entry;
        if (!ParseLine(line, entry))
            continue;
        if (read.size() >= kMaxEntries) {
            truncated = true;
            break;
        }
        read.append(std::move(entry));
    }
    table = std::move(read);
    if (truncated) {
        Platform::MsgBox(QStringLiteral("File ") + path + QStringLiteral(" holds more than ")
                             + QString::number(kMaxEntries)
                             + QStringLiteral(" parameters; only the first ")
                             + QString::number(kMaxEntries) + QStringLiteral(" were loaded"),
                         Platform::vbExclamation);
        setState(LoadState::Truncated);
    } else {
        setState(LoadState::Ok);
    }
    return 1;
}

int16_t WriteParFile(const QString& path, const ParameterTable& table)
{
    QByteArray bytes;
    for (const ParameterEntry& e : table) {
        bytes += '"';
        bytes += e.ParName.toLatin1();
        bytes += "\",";
        bytes += ValueToFileText(e.ParValue).toLatin1();
        bytes += "\r\n";
    }
    // Write beside the file and rename over it, so a crash leaves the old file or the new one.
    const QFileInfo info(path);
    QString target = path;
    if (info.isSymLink()) {
        target = info.canonicalFilePath();
        if (target.isEmpty())
            target = info.symLinkTarget();  // dangling: create the file it names
    }
    QSaveFile file(target);
    file.setDirectWriteFallback(true);
    const bool opened = file.open(QIODevice::WriteOnly);
    // The new file takes the old one's owner when root saves somebody else's file,
    // then its mode exactly: left to itself it gains owner write whenever the saver
    // may write, as root always may.
    if (opened)
        Posix::KeepOwnerAndMode(target, file.handle());
    if (!opened || file.write(bytes) != bytes.size() || !file.commit()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        Platform::MsgBox(QStringLiteral("Cannot write file ") + path + QStringLiteral(": ")
                             + reason,
                         Platform::vbCritical);
        return -1;
    }
    return 1;
}

} // namespace TRAPAR
