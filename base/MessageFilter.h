#pragma once
// Qt prints some texts with no category on every headless start (the offscreen
// platform cannot do what a window manager would). They say nothing about the
// program, so they are dropped; every other message goes on as before.
#include <QString>

namespace MessageFilter {

// True when the message begins with one of the known harmless texts.
bool IsHarmless(const QString& message);
// Puts the filter in front of the message handler installed now. Installing it
// again changes nothing.
void Install();

} // namespace MessageFilter
