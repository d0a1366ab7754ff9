// The YUV row loops on vectors, written once for every instruction set: `V`
// supplies the register type, kPixels (32-bit pixels per register) and the
// operations below, and each of YuvRows{Sse2,Avx2,Avx512}.cpp instantiates it.
//
// A pixel's 32 bits seen as two 16-bit lanes are (B | G << 8, R | x << 8):
// masked with 0x00ff00ff they give (B, R), shifted right by 8 (G, x), so one
// pmaddwd each gives the weighted sums of the integer formulas in 32 bits per
// pixel, exactly. Packing (32 to 16 to 8 bits) works within 128-bit lanes; V's
// fix-ups put the bytes back in pixel order on the wider registers.
#include "YuvFormulas.h"
#include "YuvRows.h"

namespace vcam::yuv {
namespace {

constexpr int32_t pair16(int lo, int hi)
{
    return int32_t(uint32_t(uint16_t(lo)) | uint32_t(uint16_t(hi)) << 16);
}

template <class V>
struct VectorLoops
{
    using R = typename V::R;
    static constexpr size_t P = V::kPixels;

    // 66 R + 129 G + 25 B + rounding, shifted: the luma without its +16.
    static R luma(R p, R rounding)
    {
        const R br = V::and_(p, V::set32(0x00ff00ff));
        const R gx = V::srli16by8(p);
        const R sum = V::add32(V::madd(br, V::set32(pair16(25, 66))), V::madd(gx, V::set32(pair16(129, 0))));
        return V::srli32by8(V::add32(sum, rounding));
    }

    // A chroma value per pixel, +128 included: (b B + g G + r R + 128) >> 8 + 128.
    static R chroma(R p, R br, R g)
    {
        const R sum = V::add32(V::madd(V::and_(p, V::set32(0x00ff00ff)), br), V::madd(V::srli16by8(p), g));
        return V::add32(V::srai32by8(V::add32(sum, V::set32(128))), V::set32(128));
    }
    static R chromaU(R p) { return chroma(p, V::set32(pair16(112, -38)), V::set32(pair16(-74, 0))); }
    static R chromaV(R p) { return chroma(p, V::set32(pair16(-18, 112)), V::set32(pair16(-94, 0))); }

    // Four registers of 32-bit values (0..255) as bytes, in order.
    static R bytes(R a, R b, R c, R d) { return V::fixPack32(V::packus16(V::packs32(a, b), V::packs32(c, d))); }

    static void lumaRow(const uint8_t* src, uint8_t* y, size_t n)
    {
        const R rounding = V::set32(128), offset = V::set8(16);
        size_t i = 0;
        for (; i + 4 * P <= n; i += 4 * P) {
            const uint8_t* s = src + 4 * i;
            const R packed = bytes(luma(V::load(s), rounding), luma(V::load(s + 4 * P), rounding),
                                   luma(V::load(s + 8 * P), rounding), luma(V::load(s + 12 * P), rounding));
            V::store(y + i, V::add8(packed, offset));
        }
        scalarRows().luma(src + 4 * i, y + i, n - i);
    }

    static void chromaI420Row(const uint8_t* src, uint8_t* u, uint8_t* v, size_t n)
    {
        size_t i = 0;
        for (; i + 4 * P <= n; i += 4 * P) {
            const uint8_t* s = src + 8 * i;
            R even[4];
            for (size_t k = 0; k < 4; ++k)
                even[k] = V::evens32(V::load(s + 8 * P * k), V::load(s + 8 * P * k + 4 * P));
            V::store(u + i, bytes(chromaU(even[0]), chromaU(even[1]), chromaU(even[2]), chromaU(even[3])));
            V::store(v + i, bytes(chromaV(even[0]), chromaV(even[1]), chromaV(even[2]), chromaV(even[3])));
        }
        scalarRows().chromaI420(src + 8 * i, u + i, v + i, n - i);
    }

    // kPixels blocks as dwords U | V << 16.
    static R nv12Blocks(const uint8_t* top, const uint8_t* bottom)
    {
        const R t0 = V::load(top), t1 = V::load(top + 4 * P);
        const R b0 = V::load(bottom), b1 = V::load(bottom + 4 * P);
        const R u0 = V::add32(chromaU(t0), chromaU(b0)), u1 = V::add32(chromaU(t1), chromaU(b1));
        const R v0 = V::add32(chromaV(t0), chromaV(b0)), v1 = V::add32(chromaV(t1), chromaV(b1));
        const R u = V::srli32by2(V::add32(V::evens32(u0, u1), V::odds32(u0, u1)));
        const R v = V::srli32by2(V::add32(V::evens32(v0, v1), V::odds32(v0, v1)));
        return V::or_(u, V::slli32by16(v));
    }

    static void chromaNV12Row(const uint8_t* top, const uint8_t* bottom, uint8_t* uv, size_t n)
    {
        size_t i = 0;
        for (; i + 2 * P <= n; i += 2 * P) {
            const R first = nv12Blocks(top + 8 * i, bottom + 8 * i);
            const R second = nv12Blocks(top + 8 * (i + P), bottom + 8 * (i + P));
            V::store(uv + 2 * i, V::fixPack16(V::packus16(first, second)));
        }
        scalarRows().chromaNV12(top + 8 * i, bottom + 8 * i, uv + 2 * i, n - i);
    }

    // Half a register of pairs: in each 64-bit lane (even pixel, odd pixel)
    // the low 32 bits become Y0 | U << 8 | Y1 << 16 | V << 24.
    static R yuy2Pairs(R p)
    {
        const R y = luma(p, V::set32(0));
        const R y0 = V::add32(y, V::set32(16));
        return V::or_(V::or_(y0, V::slli32by8(chromaU(p))), V::or_(V::srli64by16(y0), V::slli32by24(chromaV(p))));
    }

    static void yuy2Row(const uint8_t* src, uint8_t* dst, size_t n)
    {
        size_t i = 0;
        for (; i + P <= n; i += P) {
            const uint8_t* s = src + 8 * i;
            V::store(dst + 4 * i, V::evens32(yuy2Pairs(V::load(s)), yuy2Pairs(V::load(s + 4 * P))));
        }
        scalarRows().yuy2(src + 8 * i, dst + 4 * i, n - i);
    }

    static constexpr Rows rows = {lumaRow, chromaI420Row, chromaNV12Row, yuy2Row};
};

} // namespace
} // namespace vcam::yuv
