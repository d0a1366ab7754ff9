// Frame pacing: sleep until one millisecond before the deadline, then yield
// until it is reached, so frames follow the nominal interval closely without
// spinning for the whole period.
#pragma once

#include <cstdint>
#include <functional>

namespace vcam {

struct PacerClock
{
    std::function<int64_t()> now;           // 100-ns units
    std::function<void(uint32_t ms)> sleep; // sleep that many milliseconds
    std::function<void()> yield;            // give up the time slice
};

// The process's monotonic clock with real sleeping and yielding.
PacerClock systemPacerClock();

// Waits until clock.now() >= deadline. Long sleeps are cut into pieces of at
// most `maxSleepMs` so that `cancelled` is looked at regularly; returns false
// as soon as it reports true.
bool waitUntil(int64_t deadline, const PacerClock& clock, const std::function<bool()>& cancelled,
               uint32_t maxSleepMs = 10);

} // namespace vcam
