#pragma once

// The skin-tone pass in one sweep: per pixel the skin probability p (as
// SkinMaskEffect), the hue-rotated colour (as HueRotationEffect, matrix m,
// clamped to [0, alpha]) and their mix input + (rotated - input) x p (as
// MaskBlendingEffect); alpha is passed through. Doing the three in registers
// saves two frame-sized intermediate pictures and their traffic. Uses the
// widest vectors simd::level() allows (AVX2 + FMA, AVX-512).
namespace tonekernel {

void toneRow(const unsigned char* in, unsigned char* out, int width, const float m[9]);
// The same with the baseline instruction set only.
void toneRowBaseline(const unsigned char* in, unsigned char* out, int width, const float m[9]);

} // namespace tonekernel
