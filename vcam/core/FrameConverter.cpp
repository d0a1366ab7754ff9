#include "FrameConverter.h"

#include <cstring>

namespace vcam {

namespace {

inline int lumaRounded(int r, int g, int b)
{
    return ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
}
inline int lumaPlain(int r, int g, int b)
{
    return ((66 * r + 129 * g + 25 * b) >> 8) + 16;
}
inline int chromaU(int r, int g, int b)
{
    return ((112 * b - 74 * g - 38 * r + 128) >> 8) + 128;
}
inline int chromaV(int r, int g, int b)
{
    return ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
}

// One row of luma; a plain loop the compiler vectorises.
void lumaRow(const uint8_t* __restrict src, uint8_t* __restrict y, size_t width)
{
    for (size_t x = 0; x < width; ++x)
        y[x] = uint8_t(lumaRounded(src[4 * x + 2], src[4 * x + 1], src[4 * x]));
}

void toI420(const uint8_t* src, uint8_t* dst, uint32_t w, uint32_t h)
{
    uint8_t* yPlane = dst;
    uint8_t* uPlane = dst + size_t(w) * h;
    uint8_t* vPlane = uPlane + size_t(w) * h / 4;
    const size_t stride = size_t(w) * 4;
    for (uint32_t row = 0; row < h; ++row)
        lumaRow(src + row * stride, yPlane + size_t(row) * w, w);
    const size_t cw = w / 2;
    for (uint32_t row = 0; row < h / 2; ++row) {
        const uint8_t* __restrict s = src + size_t(2 * row) * stride;
        uint8_t* __restrict u = uPlane + size_t(row) * cw;
        uint8_t* __restrict v = vPlane + size_t(row) * cw;
        for (size_t x = 0; x < cw; ++x) {
            const int b = s[8 * x], g = s[8 * x + 1], r = s[8 * x + 2];
            u[x] = uint8_t(chromaU(r, g, b));
            v[x] = uint8_t(chromaV(r, g, b));
        }
    }
}

void toNV12(const uint8_t* src, uint8_t* dst, uint32_t w, uint32_t h)
{
    uint8_t* yPlane = dst;
    uint8_t* uvPlane = dst + size_t(w) * h;
    const size_t stride = size_t(w) * 4;
    for (uint32_t row = 0; row < h; ++row)
        lumaRow(src + row * stride, yPlane + size_t(row) * w, w);
    // The chroma of all four pixels of a block, averaged with truncation;
    // computed per block instead of through a whole-picture scratch pass,
    // with identical results.
    for (uint32_t row = 0; row < h / 2; ++row) {
        const uint8_t* __restrict a = src + size_t(2 * row) * stride;
        const uint8_t* __restrict c = a + stride;
        uint8_t* __restrict uv = uvPlane + size_t(row) * w;
        const size_t cw = w / 2;
        for (size_t x = 0; x < cw; ++x) {
            const uint8_t* p0 = a + 8 * x;
            const uint8_t* p1 = a + 8 * x + 4;
            const uint8_t* p2 = c + 8 * x;
            const uint8_t* p3 = c + 8 * x + 4;
            const int u = chromaU(p0[2], p0[1], p0[0]) + chromaU(p1[2], p1[1], p1[0]) + chromaU(p2[2], p2[1], p2[0])
                        + chromaU(p3[2], p3[1], p3[0]);
            const int v = chromaV(p0[2], p0[1], p0[0]) + chromaV(p1[2], p1[1], p1[0]) + chromaV(p2[2], p2[1], p2[0])
                        + chromaV(p3[2], p3[1], p3[0]);
            uv[2 * x] = uint8_t(u >> 2);
            uv[2 * x + 1] = uint8_t(v >> 2);
        }
    }
}

void toYUY2(const uint8_t* src, uint8_t* dst, uint32_t w, uint32_t h)
{
    const size_t pairs = size_t(w) * h / 2; // rows have no padding and w is even
    const uint8_t* __restrict s = src;
    uint8_t* __restrict d = dst;
    for (size_t i = 0; i < pairs; ++i) {
        const int b0 = s[8 * i], g0 = s[8 * i + 1], r0 = s[8 * i + 2];
        const int b1 = s[8 * i + 4], g1 = s[8 * i + 5], r1 = s[8 * i + 6];
        d[4 * i] = uint8_t(lumaPlain(r0, g0, b0));
        d[4 * i + 1] = uint8_t(chromaU(r0, g0, b0));
        d[4 * i + 2] = uint8_t(lumaPlain(r1, g1, b1));
        d[4 * i + 3] = uint8_t(chromaV(r0, g0, b0));
    }
}

} // namespace

void FrameConverter::reset(uint32_t srcWidth, uint32_t srcHeight, uint32_t dstWidth, uint32_t dstHeight)
{
    _kind = Copy;
    _srcWidth = srcWidth;
    _srcHeight = srcHeight;
    _dstWidth = dstWidth;
    _dstHeight = dstHeight;
}

// 65536 x 65536 x 4 bytes is 2^34: it must not wrap to 0 on 32-bit builds
// (and 40000 x 40000 x 4 must not wrap to a small size).
static_assert(FrameConverter::requiredBytes(FrameConverter::Copy, 40000, 40000)
              == (sizeof(size_t) == 4 ? 0 : size_t(6400000000ull)));
static_assert(FrameConverter::requiredBytes(FrameConverter::I420, 1280, 720) == 1382400);

bool FrameConverter::convert(const uint8_t* src, size_t srcBytes, uint8_t* dst, size_t dstBytes) const
{
    if (!src || !dst || !sizesMatch())
        return false;
    const size_t need = requiredBytes(_kind, _dstWidth, _dstHeight);
    if (need == 0 || dstBytes < need || srcBytes < requiredBytes(Copy, _srcWidth, _srcHeight))
        return false;
    switch (_kind) {
    case Copy:
        std::memcpy(dst, src, need);
        return true;
    case I420:
        toI420(src, dst, _dstWidth, _dstHeight);
        return true;
    case NV12:
        toNV12(src, dst, _dstWidth, _dstHeight);
        return true;
    case YUY2:
        toYUY2(src, dst, _dstWidth, _dstHeight);
        return true;
    }
    return false;
}

} // namespace vcam
