// Linked into every test: the engine loads the real main window when it needs
// one, as in the program. A test that wants another panel registers its own.
#include "mainwindow/frmVURUruduvo.h"

namespace {
[[maybe_unused]] const bool g_registered = (frmVURUruduvo::RegisterAsPanel(), true);
} // namespace
