// Frame pacing: sleep until shortly before the deadline, then yield until it
// is reached, so frames follow the nominal interval closely without spinning
// for the whole period.
#pragma once

#include <cstdint>
#include <functional>

namespace vcam {

struct PacerClock
{
    std::function<int64_t()> now;           // 100-ns units
    std::function<void(uint32_t ms)> sleep; // sleep that many milliseconds
    std::function<void()> yield;            // give up the time slice
    // Optional: sleep that many 100-ns units, late by well under a
    // millisecond. With it the wait sleeps to kYieldMargin before the
    // deadline instead of to a whole millisecond before it, and yields (a
    // busy wait) only for that short rest.
    std::function<void(int64_t hundredNs)> sleepPrecisely;
};

// What a precise sleep leaves to yielding: a quarter of a millisecond.
constexpr int64_t kYieldMargin = 2500;

// `count` ticks of a counter running at `frequency` per second, in 100-ns
// units. Whole seconds and the remainder are scaled apart: count x 10^7
// would overflow 64 bits after about a day of a 10 MHz counter.
constexpr int64_t ticksTo100ns(int64_t count, int64_t frequency)
{
    return count / frequency * 10000000 + count % frequency * 10000000 / frequency;
}

// The process's monotonic clock with real sleeping and yielding.
PacerClock systemPacerClock();

// Waits until clock.now() >= deadline. Long sleeps are cut into pieces of at
// most `maxSleepMs` so that `cancelled` is looked at regularly; returns false
// as soon as it reports true.
bool waitUntil(int64_t deadline, const PacerClock& clock, const std::function<bool()>& cancelled,
               uint32_t maxSleepMs = 10);

} // namespace vcam
