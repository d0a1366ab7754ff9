/* Noise suppression on 480-sample frames of 48 kHz mono audio (RNNoise).
 *
 * The library is the RNNoise WebAssembly module of @jitsi/rnnoise-wasm,
 * translated to C at build time and run in a bounds-checked sandbox. A fault
 * inside the module never reaches the caller: the damaged instance is thrown
 * away, a fresh one takes its place and the frame passes through unchanged.
 *
 * Samples are floats in the 16-bit range (-32768..32767), not -1..1. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef struct DenoiseState DenoiseState;
typedef struct RNNModel RNNModel;

/* Samples per frame (480, 10 ms at 48 kHz). */
int rnnoise_get_frame_size(void);

/* Creates a denoiser. Only the built-in model is available: `model` must be
 * null. Returns null when `model` is not null or the module cannot start. */
DenoiseState* rnnoise_create(RNNModel* model);

/* Denoises one frame of rnnoise_get_frame_size() samples from `in` into `out`
 * (they may be the same buffer) and returns the voice probability 0..1. */
float rnnoise_process_frame(DenoiseState* st, float* out, const float* in);

void rnnoise_destroy(DenoiseState* st);

#ifdef __cplusplus
}
#endif
