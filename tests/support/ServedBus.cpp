#include "tests/support/ServedBus.h"

#include "engine/OrvaneCmd.h"

namespace TestSupport {

bool ServedBus::Serve(Platform::QuitHandler onQuit)
{
    if (!Start())
        return false;
    qputenv("DBUS_SESSION_BUS_ADDRESS", Address().toUtf8());
    Platform::SetQuitHandler(std::move(onQuit));
    return OrvaneCmd::StartService();
}

void ServedBus::EndService()
{
    OrvaneCmd::StopService();
    Platform::SetQuitHandler({});
}

} // namespace TestSupport
