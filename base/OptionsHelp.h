#pragma once
// The option list of a program's usage text, made from the options its
// QCommandLineParser knows, so the two never disagree. Header only: the tools
// use it without the program's library.
#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>
#include <algorithm>

namespace OptionsHelp {

// One line per option that is not hidden: "  -h, --help   description".
inline QString Text(const QList<QCommandLineOption>& options)
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
        if (!o.valueName().isEmpty())
            left += QLatin1Char(' ') + o.valueName();
        width = std::max(width, left.size());
        lines.append({left, o.description()});
    }
    QString text;
    for (const auto& [left, description] : std::as_const(lines))
        text += left.leftJustified(width + 2) + description + QLatin1Char('\n');
    return text;
}

} // namespace OptionsHelp
