// Per-pixel part of the warp, compiled into the baseline and the AVX2 build
// alike (with SSE2, which every x86-64 processor has, where the compiler
// offers it). Everything here has internal linkage so the two builds never mix.
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace warpkernel {
namespace {

// Fraction bits of the source position: a 32-step grid, as OpenCV's remap.
constexpr int kFracBits = 5;
constexpr int kFracOne = 1 << kFracBits;
constexpr int kFracMask = kFracOne - 1;
// Bits below the pixel of the positions summed per row and column (1/1024).
constexpr int kPosBits = 10;
static_assert(kPosBits > kFracBits);

struct Source
{
    const unsigned char* data;
    std::size_t step;
    int width, height;
};

// Source position in 1/32 pixels of a target pixel, from its row's start and
// its column's offset in 1/1024 pixels. The sum wraps like OpenCV's int
// arithmetic for absurd matrices instead of overflowing.
inline int fixedAt(int rowStart, int columnDelta)
{
    return int(std::uint32_t(rowStart) + std::uint32_t(columnDelta)) >> (kPosBits - kFracBits);
}

// Writes the bilinear mix at fixed-point source position (X, Y), in 1/32
// pixels, whose 2x2 neighbourhood the caller knows to be inside the source:
// per channel h = left x (32 - fx) + right x fx on both rows, then
// (h0 + floor((h1 - h0) x fy / 32) + 16) / 32, which is the exact bilinear sum
// over 32 x 32 rounded half up (the vector path computes the same integers).
inline void mixPixel(const Source& s, unsigned char* d, int X, int Y)
{
    const int sx = X >> kFracBits, sy = Y >> kFracBits;
    const int fx = X & kFracMask, fy = Y & kFracMask;
    const unsigned char* p0 = s.data + std::size_t(sy) * s.step + std::size_t(sx) * 4;
    const unsigned char* p1 = p0 + s.step;
#if defined(__SSE2__)
    // Both pixels of a row as 16-bit lanes, left then right.
    const __m128i zero = _mm_setzero_si128();
    const __m128i w = _mm_set_epi16(short(fx), short(fx), short(fx), short(fx), short(kFracOne - fx),
                                    short(kFracOne - fx), short(kFracOne - fx), short(kFracOne - fx));
    const auto row = [&](const unsigned char* p) {
        const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
        const __m128i m = _mm_mullo_epi16(_mm_unpacklo_epi8(v, zero), w);
        return _mm_add_epi16(m, _mm_srli_si128(m, 8));
    };
    const __m128i h0 = row(p0), h1 = row(p1);
    const __m128i part = _mm_mulhi_epi16(_mm_slli_epi16(_mm_sub_epi16(h1, h0), 1), _mm_set1_epi16(short(fy << 10)));
    const __m128i v = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(h0, part), _mm_set1_epi16(kFracOne / 2)), kFracBits);
    const int out = _mm_cvtsi128_si32(_mm_packus_epi16(v, v));
    std::memcpy(d, &out, 4);
#else
    for (int c = 0; c < 4; ++c) {
        const int h0 = p0[c] * (kFracOne - fx) + p0[c + 4] * fx;
        const int h1 = p1[c] * (kFracOne - fx) + p1[c + 4] * fx;
        d[c] = (unsigned char)((h0 * (kFracOne - fy) + h1 * fy + kFracOne * kFracOne / 2) >> (2 * kFracBits));
    }
#endif
}

// Part of a target row whose pixels all have their neighbourhood inside.
inline void mixSpan(const Source& s, unsigned char* row, int begin, int end, const int* dx, const int* dy, int x0,
                    int y0)
{
    for (int x = begin; x < end; ++x)
        mixPixel(s, row + std::size_t(x) * 4, fixedAt(x0, dx[x]), fixedAt(y0, dy[x]));
}

// One target row, pixel by pixel; pixels whose neighbourhood is not all
// inside the source (at least 2x2) are left alone.
inline void warpSpan(const Source& s, unsigned char* row, int begin, int end, const int* dx, const int* dy, int x0,
                     int y0)
{
    for (int x = begin; x < end; ++x) {
        const int X = fixedAt(x0, dx[x]), Y = fixedAt(y0, dy[x]);
        if (unsigned(X >> kFracBits) < unsigned(s.width - 1) && unsigned(Y >> kFracBits) < unsigned(s.height - 1))
            mixPixel(s, row + std::size_t(x) * 4, X, Y);
    }
}

} // namespace
} // namespace warpkernel
