#pragma once

// Which of the builds made by vantor_add_simd_builds the row loops use.
namespace simd {

enum class Level { Baseline, Avx2, Avx512 };

// The widest instruction set that both this processor and this build have,
// capped by the environment variable VANTOR_SIMD ("baseline" or "avx2"), so
// every build can be checked and timed on one machine. Read once.
Level level();

} // namespace simd
