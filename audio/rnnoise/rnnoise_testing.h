/* Hooks for tests of the RNNoise sandbox; not for production code. */
#pragma once

#include "rnnoise.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Points the instance's state at an address outside its memory, so that the
 * next rnnoise_process_frame traps inside the module. */
void rnnoise_testing_corrupt(DenoiseState* st);

/* How many times this denoiser's module instance trapped and was replaced. */
unsigned rnnoise_testing_restart_count(const DenoiseState* st);

#ifdef __cplusplus
}
#endif
