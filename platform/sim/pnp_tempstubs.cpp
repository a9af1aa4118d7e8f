// TEMPORARY stand-ins for routines another family of the simulation owns,
// used until theirs land. Weak: the real definition wins. Delete each one as
// soon as its owner's lands.
#include "platform/sim/internal.h"

namespace sim {

// TEMPORARY (owner: Io). Windows counts the file objects opened on a device
// in DEVICE_OBJECT::ReferenceCount; summing it over the stack gives the
// handles that keep a surprise-removed stack from being removed.
__attribute__((weak)) size_t IoOpenFileObjects(PDEVICE_OBJECT device) {
    // The PnP manager passes the PDO, the bottom of the stack.
    size_t count = 0;
    for (PDEVICE_OBJECT p = device; p != nullptr; p = p->AttachedDevice)
        count += p->ReferenceCount > 0 ? static_cast<size_t>(p->ReferenceCount) : 0;
    return count;
}

} // namespace sim
