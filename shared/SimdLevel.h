// Which vector instruction set the picture loops use: the widest that this
// processor (and its operating system) supports, capped by the environment
// variable VANTOR_SIMD ("baseline" or "avx2") so that every build of a loop
// can be checked and timed on one machine. Plain C++, no Qt: the virtual camera
// drivers use it as well as the control application.
#pragma once

namespace simd {

enum class Level { Baseline, Avx2, Avx512 };

// Read once per process.
Level level();

// The entry point for level(): `avx512` or `avx2` where allowed and present
// (null where a build has none), else `baseline`.
template <typename Entry>
Entry pick(Entry baseline, Entry avx2, Entry avx512)
{
    const Level allowed = level();
    if (allowed == Level::Avx512 && avx512)
        return avx512;
    if (allowed != Level::Baseline && avx2)
        return avx2;
    return baseline;
}

} // namespace simd
