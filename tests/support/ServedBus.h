#pragma once
// A private bus made this process's session bus, with the automation object
// of the program's modules in this process served on it.
#include "base/Platform.h"
#include "tests/support/PrivateBus.h"

namespace TestSupport {

class ServedBus : public PrivateBus {
public:
    // Starts the bus, makes it the session bus (the service takes it from the
    // environment on first use), sends quits to onQuit instead of ending the
    // test, and starts the service. False when the bus or the service did not start.
    bool Serve(Platform::QuitHandler onQuit = [](int) {});
    // Stops the service and gives quits back to the application.
    void EndService();
};

} // namespace TestSupport
