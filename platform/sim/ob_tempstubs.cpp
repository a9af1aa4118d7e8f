// Stand-ins for routines another family of the simulation is to supply. Each
// is weak, so the real one replaces it as soon as it is linked in.
#include "platform/sim/ob_internal.h"

namespace sim {

// TEMPORARY until the Ex family supplies ExAllocateForDriver: the block is
// made outside any driver's attribution (so the driver's required tag does
// not apply) and the driver frees it as usual. A leak then shows only at the
// end of the run, not at the driver's unload.
__attribute__((weak)) PVOID ExAllocateForDriver(PDRIVER_OBJECT owner, POOL_TYPE type, SIZE_T bytes,
                                                ULONG tag) {
    (void)owner;
    DriverScope kernel(nullptr);
    return ExAllocatePoolWithTag(type, bytes, tag);
}

} // namespace sim
