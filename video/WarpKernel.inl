// Per-pixel part of the warp, compiled into the baseline and the AVX2 build
// alike. Everything here has internal linkage so the two builds never mix.
#include <cstddef>
#include <cstdint>

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
// pixels, whose 2x2 neighbourhood the caller knows to be inside the source.
inline void mixPixel(const Source& s, unsigned char* d, int X, int Y)
{
    const int sx = X >> kFracBits, sy = Y >> kFracBits;
    const int fx = X & kFracMask, fy = Y & kFracMask;
    const unsigned char* p0 = s.data + std::size_t(sy) * s.step + std::size_t(sx) * 4;
    const unsigned char* p1 = p0 + s.step;
    for (int c = 0; c < 4; ++c) {
        const int h0 = p0[c] * (kFracOne - fx) + p0[c + 4] * fx;
        const int h1 = p1[c] * (kFracOne - fx) + p1[c + 4] * fx;
        // Exact bilinear sum over 32 x 32, rounded half up.
        d[c] = (unsigned char)((h0 * (kFracOne - fy) + h1 * fy + kFracOne * kFracOne / 2) >> (2 * kFracBits));
    }
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
