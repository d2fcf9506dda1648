#include "base/Log.h"

Q_LOGGING_CATEGORY(lcComm, "orvane.comm", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDbus, "orvane.dbus", QtInfoMsg)
Q_LOGGING_CATEGORY(lcApp, "orvane.app", QtInfoMsg)
Q_LOGGING_CATEGORY(lcMqtt, "orvane.mqtt", QtInfoMsg)

namespace Log {

void SetUp() { qSetMessagePattern(QStringLiteral("%{if-debug}%{category}: %{endif}%{message}")); }

void Say(const QString& line, QMessageLogger::CategoryFunction category)
{
    qCWarning(category, "orvane: %s", qUtf8Printable(line));
}

void EnableTraces(bool on)
{
    QLoggingCategory::setFilterRules(on ? QStringLiteral("orvane.*.debug=true") : QString());
}

} // namespace Log
