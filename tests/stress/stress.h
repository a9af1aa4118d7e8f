// What every stress case shares: the Concurrent machine, its seed and a
// wall-clock budget. A case prints its seed when it fails; rerun it with
// VXQT70_STRESS_SEED=<seed> (and VXQT70_STRESS_MS=<ms> to run longer).
#pragma once

#include "common/load.h"

#include <cstdlib>

namespace stress {

inline uint64_t Seed() {
    if (const char* text = std::getenv("VXQT70_STRESS_SEED"))
        return std::strtoull(text, nullptr, 0);
    return 0x5EED0001;
}

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define VXQT70_STRESS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define VXQT70_STRESS_SANITIZED 1
#endif
#endif

// How long each case keeps its threads busy, in milliseconds of real time.
// Under a sanitizer everything runs several times slower and the tail of a
// case (draining, the overflow burst, teardown) grows with it, so the busy
// phase is shorter there to keep each case a few seconds long in CI.
inline int RunMs() {
    if (const char* text = std::getenv("VXQT70_STRESS_MS"))
        return std::atoi(text);
#ifdef VXQT70_STRESS_SANITIZED
    return 500;
#else
    return 1500;
#endif
}

inline sim::Options ConcurrentOptions() {
    sim::Options options;
    options.mode = sim::Mode::Concurrent;
    options.seed = Seed();
    return options;
}

} // namespace stress
