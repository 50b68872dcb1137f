// The one step that needs a privilege, and giving up every privilege after it. Direct I/O's
// permission must be asked for before anything else; every file named from outside is opened
// after the capabilities are gone, and no thread may exist yet (capabilities belong to threads).
#pragma once

#include "output.h"

namespace platform::port {

struct DirectAccess {
    bool granted = false;
    Outcome refusal; // why not, when it was asked for
};

// Asks for the two addresses a 16-bit write at `base` touches, never iopl's whole I/O space.
DirectAccess requestDirectAccess(quint16 base);
void releaseDirectAccess(quint16 base);

// Gives up every capability (effective, permitted, inheritable). An I/O permission already
// granted stays. Answers the system's error number, 0 when they are gone.
int dropCapabilities();

} // namespace platform::port
