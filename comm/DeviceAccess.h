#pragma once
// Why this process may not read and write a device: the group that owns it
// and whether the process is in that group now. The system calls of the
// serial link's permission hint live here.
#include <QString>

namespace DeviceAccess {

struct Refusal {
    bool refused = false;    // the device's mode refuses this process reading and writing it
    QString group;           // the group that owns the device (its number when it has no name)
    bool inGroup = false;    // the process holds that group now (effective or supplementary)
};

// Checks the device with the process's effective ids. A device that does not
// exist or is not refused gives refused == false.
Refusal Check(const QString& device);

// The hint that follows "Permission denied" for a refused device, empty when
// it is not refused: which group owns it and, when this login lacks the
// group, how to join it.
QString Hint(const QString& device);

} // namespace DeviceAccess
