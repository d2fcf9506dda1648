#pragma once
// OrvaneCmd's bus names, apart from its object registry (OrvaneCmd.cpp):
// taking them at start-up, giving them up, and the activation file of
// --regserver. The public routines are declared in OrvaneCmd.h.
#include <QDBusConnection>
#include <QString>

namespace OrvaneCmd::Name {

// Takes the program's own name (Orvane.OrvaneCmd, or Orvane.OrvaneCmd.<NAME>
// with a NAME) and, for a named program, the plain one when it is free. False
// when the own name is taken; why then says so.
bool Claim(QDBusConnection bus, QString* why);
// The bus went away and took the names with it: nothing is left to give up.
void Forget();

} // namespace OrvaneCmd::Name
