#pragma once
// OrvaneCmd's bus names, apart from its object registry (OrvaneCmd.cpp):
// taking them at start-up, giving them up, and the activation file of
// --regserver. The public routines are declared in OrvaneCmd.h.
#include <QDBusConnection>
#include <QString>

namespace OrvaneCmd::Name {

// The names one run of the service holds.
struct Held {
    QString own;         // Orvane.OrvaneCmd, or Orvane.OrvaneCmd.<NAME> with a NAME
    bool plain = false;  // a named program holds the plain name as well
    // From a successful claim until the names are given up or the bus is gone.
    bool held = false;
};

// Takes the program's own name and, for a named program, the plain one when
// it is free. False when the own name is taken; why then says so.
bool Claim(QDBusConnection bus, Held& names, QString* why);
// Gives the names up without waiting for the bus.
void Release(Held& names);
// The settings name another NAME than the one held: its names are given up
// and the new ones taken, and a taken one is said.
void Follow(QDBusConnection bus, Held& names);
// Another program holds the bus name of our NAME now, whatever this program
// holds and whenever it started. A program without NAME does not count a
// plain name that a named program holds besides its own.
bool HeldByOther();

// The running service's names; nullptr when no service runs (OrvaneCmd.cpp).
Held* Current();

} // namespace OrvaneCmd::Name
