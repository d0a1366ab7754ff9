#include "Pacer.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace vcam {

PacerClock systemPacerClock()
{
    PacerClock clock;
#ifdef _WIN32
    // The performance counter, as the rest of the system's media timing.
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return int64_t(f.QuadPart);
    }();
    clock.now = [] {
        LARGE_INTEGER count;
        QueryPerformanceCounter(&count);
        return ticksTo100ns(count.QuadPart, frequency);
    };
#else
    clock.now = [] {
        using namespace std::chrono;
        return int64_t(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100);
    };
#endif
    clock.sleep = [](uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    clock.yield = [] { std::this_thread::sleep_for(std::chrono::milliseconds(0)); };
#ifdef _WIN32
    // Sleep() counts in timer ticks; a waitable timer (high resolution where
    // the system has them) wakes within a fraction of a millisecond. One
    // timer per clock: a clock belongs to one pacing thread.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif
    HANDLE created = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (!created)
        created = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    if (created) {
        const std::shared_ptr<void> timer(created, CloseHandle);
        clock.sleepPrecisely = [timer](int64_t hundredNs) {
            LARGE_INTEGER due;
            due.QuadPart = -hundredNs; // relative
            if (SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE))
                WaitForSingleObject(timer.get(), INFINITE);
            else
                Sleep(DWORD(hundredNs / 10000));
        };
    }
#else
    clock.sleepPrecisely = [](int64_t hundredNs) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(hundredNs * 100));
    };
#endif
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
        if (clock.sleepPrecisely && deadline - now > kYieldMargin) {
            clock.sleepPrecisely(std::min<int64_t>(deadline - now - kYieldMargin, int64_t(maxSleepMs) * 10000));
            continue;
        }
        const int64_t ms = (deadline - now) / 10000;
        if (ms > 1)
            clock.sleep(uint32_t(ms - 1 < int64_t(maxSleepMs) ? ms - 1 : maxSleepMs));
        else
            clock.yield();
    }
}

} // namespace vcam
