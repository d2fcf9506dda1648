#include "base/MessageFilter.h"

#include <QtGlobal>
#include <algorithm>
#include <iterator>

namespace MessageFilter {
namespace {

// The one list. Each is how such a message begins.
const char* const kHarmless[] = {
    // Offscreen and minimal platforms: there is no window manager to tell.
    "This plugin does not support propagateSizeHints()",
    "This plugin does not support setParent!",
    "This plugin does not support grabbing the keyboard",
    "This plugin does not support grabbing the mouse",
    // A session without a login (CI as root): Qt makes the folder itself.
    "QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to ",
};

QtMessageHandler g_next = nullptr;

void Filter(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (!IsHarmless(message))
        g_next(type, context, message);
}

} // namespace

bool IsHarmless(const QString& message)
{
    return std::any_of(std::begin(kHarmless), std::end(kHarmless),
                       [&](const char* text) { return message.startsWith(QLatin1String(text)); });
}

void Install()
{
    if (g_next)
        return;
    g_next = qInstallMessageHandler(Filter);
}

} // namespace MessageFilter
