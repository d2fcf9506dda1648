#pragma once
// The user's D-Bus activation file: the bus starts the program it names when a
// client calls a bus name that nobody owns.
#include <QString>
#include <QStringList>

namespace Activation {

// $XDG_DATA_HOME/dbus-1/services/<service>.service; ~/.local/share in place of
// an unset or relative XDG_DATA_HOME.
QString FilePath(const QString& service);
// The Exec= line for program and its arguments, each quoted where the bus,
// which splits the line like a shell, would cut it.
QString ExecLine(const QString& program, const QStringList& args);
// Writes the file that starts exec for service, replacing it whole: true when
// done; false with why ("cannot create <dir>", "cannot write <file>: <reason>").
// A systemd unit, when given, is what a bus managed by systemd starts instead
// (SystemdService=); other buses run exec.
bool Write(const QString& file, const QString& service, const QString& exec, QString* why,
           const QString& systemdUnit = QString());
// The program the file's Exec= line starts, its quoting undone; empty when the
// file cannot be read or has no Exec= line.
QString ExecProgram(const QString& file);
// Removes the file: true when done; false with why ("cannot remove <file>: <reason>").
bool Remove(const QString& file, QString* why);

} // namespace Activation
