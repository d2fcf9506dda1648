#pragma once
// The names under which the program serves on the session bus. The server,
// orvane-exec, the tests and the benchmarks all take them from here.
#include <QString>
#include <QStringView>

namespace BusNames {

inline const QString kService = QStringLiteral("Orvane.OrvaneCmd");
// The application object; a client's own objects are kRoot + "/<n>".
inline const QString kRoot = QStringLiteral("/OrvaneCmd");
inline const QString kCmdInterface = QStringLiteral("Orvane._OrvaneCmd");
inline const QString kFactoryInterface = QStringLiteral("Orvane.ClassFactory");
inline const QString kInstanceInterface = QStringLiteral("Orvane.Instance");
// A failure that is no response of the command language.
inline const QString kFailed = QStringLiteral("Orvane.Error.Failed");

// A controller's own name (NAME in its settings) is one more element of the
// bus name, so that several programs serve on one bus.
constexpr qsizetype kMaxNameLength = 200;

// Letters, digits and underscores, not starting with a digit, 1 to 200 characters.
inline bool IsControllerName(QStringView name)
{
    if (name.isEmpty() || name.size() > kMaxNameLength || (name[0] >= u'0' && name[0] <= u'9'))
        return false;
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        if (!((u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'_'))
            return false;
    }
    return true;
}

// kService for no name, else kService + "." + name.
inline QString ServiceFor(const QString& name)
{
    return name.isEmpty() ? kService : kService + QLatin1Char('.') + name;
}

} // namespace BusNames
