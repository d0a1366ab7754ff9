#include "Pacer.h"

#include <chrono>
#include <thread>

namespace vcam {

PacerClock systemPacerClock()
{
    PacerClock clock;
    clock.now = [] {
        using namespace std::chrono;
        return int64_t(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100);
    };
    clock.sleep = [](uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    clock.yield = [] { std::this_thread::sleep_for(std::chrono::milliseconds(0)); };
    return clock;
}

bool waitUntil(int64_t deadline, const PacerClock& clock, const std::function<bool()>& cancelled, uint32_t maxSleepMs)
{
    if (maxSleepMs == 0)
        maxSleepMs = 1;
    for (;;) {
        if (cancelled && cancelled())
            return false;
        const int64_t now = clock.now();
        if (now >= deadline)
            return true;
        const int64_t ms = (deadline - now) / 10000;
        if (ms > 1)
            clock.sleep(uint32_t(ms - 1 < int64_t(maxSleepMs) ? ms - 1 : maxSleepMs));
        else
            clock.yield();
    }
}

} // namespace vcam
