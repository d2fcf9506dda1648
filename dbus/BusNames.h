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

// kService for no name, else kService + "." + name.
inline QString ServiceFor(const QString& name)
{
    return name.isEmpty() ? kService : kService + QLatin1Char('.') + name;
}

} // namespace BusNames
