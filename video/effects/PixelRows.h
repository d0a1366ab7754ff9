#pragma once

#include <cstdint>

// Row loops over premultiplied B8G8R8A8 pixels that every frame passes through
// several times. Each has a baseline build and wider builds (AVX2, AVX-512)
// with identical results; `pixelrows::rows()` hands out the one for
// simd::level().
namespace pixelrows {

struct Table
{
    // d = s over b for `n` pixels (`b` may be `d` itself), rounded to nearest.
    void (*drawOver)(uint8_t* d, const uint8_t* b, const uint8_t* s, int n);
    // Sets the alpha of `n` pixels of `s` to a[x] and scales their colour by
    // a[x] / 255, truncating; the result goes to `d` and, unless it is null, to
    // `copy` (either may be `s` itself).
    void (*premultiply)(const uint8_t* s, const uint8_t* a, int n, uint8_t* d, uint8_t* copy);
    // out = (a x (16 - weight) + b x weight) / 16, rounded, over `bytes` bytes.
    void (*mix)(const uint8_t* a, const uint8_t* b, int weight, uint8_t* out, int bytes);
    // Averages blocks of factor x factor pixels (factor 2 or 4): `rows` holds
    // `factor` source rows of n x factor pixels; writes n pixels to `out`.
    void (*shrink)(const uint8_t* const* rows, int factor, uint8_t* out, int n);
    // Widens `n` pixels to n x factor (factor 1 to 16) by linear
    // interpolation with pixel centres aligned, rounded half up, the end
    // pixels repeated beyond the row: the same pixels as cv::resize's linear
    // enlargement of one row for factors 1, 2, 4, 8 and 16 (whose weights its
    // fixed point holds exactly), within a level for the others.
    void (*widen)(const uint8_t* s, int n, int factor, uint8_t* out);
    // The two passes of a separable filter over pixel rows, in fixed point.
    // Along a row: out[i] = sum of weights[t] x s[i + 4 t] over `taps` pixels
    // (the weights sum to at most 256, so the sums fit 16 bits), for `values`
    // channel values. Across rows: out[i] = (sum of rows[t][i] x weights[t] /
    // 65536, each product truncated, + 128) / 256, a level again.
    void (*filterRow)(const uint8_t* s, const uint16_t* weights, int taps, uint16_t* out, int values);
    void (*filterColumn)(const uint16_t* const* rows, const uint16_t* weights, int taps, uint8_t* out, int values);
};

const Table& rows();
// The baseline build, for comparing the two.
const Table& baselineRows();

} // namespace pixelrows
