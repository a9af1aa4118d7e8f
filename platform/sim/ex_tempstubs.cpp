// TEMPORARY: weak stand-ins for checks other families have declared but not
// yet defined, so that the pool links meanwhile. Each goes as soon as the
// real one lands.
#include "platform/sim/ex_internal.h"

namespace sim {
__attribute__((weak)) void KeCheckFreedRange(const void*, size_t) {}
} // namespace sim
