// What every stress case shares: the Concurrent machine, its seed and a
// wall-clock budget. A case prints its seed when it fails; rerun it with
// VXQT70_STRESS_SEED=<seed> (and VXQT70_STRESS_MS=<ms> to run longer).
#pragma once

#include "common/load.h"

#include <chrono>
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
// case (draining, teardown) grows with it, so the busy phase is shorter
// there to keep each case a few seconds long in CI.
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

// splitmix64: small, seedable, and the same on every machine.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n).
    uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
    // Uniform in [lo, hi].
    uint64_t Between(uint64_t lo, uint64_t hi) { return lo + Below(hi - lo + 1); }

private:
    uint64_t state_;
};

// A wall-clock limit, for the suites that run real threads.
class Deadline {
public:
    explicit Deadline(int ms)
        : end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)) {}
    bool Passed() const { return std::chrono::steady_clock::now() >= end_; }

private:
    std::chrono::steady_clock::time_point end_;
};

} // namespace stress
