#pragma once
// The option list of a program's usage text, made from the options its
// QCommandLineParser knows, so the two never disagree. Header only: the tools
// use it without the program's library.
#include <QCommandLineOption>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <algorithm>

namespace OptionsHelp {

// A terminal's width: no line of a usage text is longer.
constexpr qsizetype kColumns = 80;

// One entry per option that is not hidden: "  -h, --help   description",
// the description wrapped at word boundaries within kColumns. trailing shows
// an optional argument the parser cannot know, taken by hand after a flag:
// {"udev-rule", "[PORT]"} shows "--udev-rule [PORT]".
inline QString Text(const QList<QCommandLineOption>& options, const QHash<QString, QString>& trailing = {})
{
    QList<QPair<QString, QString>> lines;
    qsizetype width = 0;
    for (const QCommandLineOption& o : options) {
        if (o.flags() & QCommandLineOption::HiddenFromHelp)
            continue;
        QStringList names;
        for (const QString& n : o.names())
            names << (n.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + n;
        QString left = QStringLiteral("  ") + names.join(QStringLiteral(", "));
        QString value = o.valueName();
        if (value.isEmpty())
            value = trailing.value(o.names().constLast());
        if (!value.isEmpty())
            left += QLatin1Char(' ') + value;
        width = std::max(width, left.size());
        lines.append({left, o.description()});
    }
    const qsizetype indent = width + 2;
    QString text;
    for (const auto& [left, description] : std::as_const(lines)) {
        QString line = left.leftJustified(indent);
        bool first = true;
        for (const QString& word : description.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            // A word longer than the column gets a line of its own rather than being cut.
            if (!first && line.size() + 1 + word.size() > kColumns) {
                text += line + QLatin1Char('\n');
                line = QString(indent, QLatin1Char(' '));
                first = true;
            }
            line += (first ? QString() : QStringLiteral(" ")) + word;
            first = false;
        }
        text += line + QLatin1Char('\n');
    }
    return text;
}

} // namespace OptionsHelp
