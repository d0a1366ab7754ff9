// The warp's inner loop built with AVX2 (also within the AVX-512 build),
// chosen at run time only on processors that have it. It covers the part of a row whose pixels all have their 2x2
// neighbourhood inside the source, eight target pixels at a time: their source
// positions, gathers of the neighbouring pixel pairs of both source rows, the
// horizontal mix with byte weights (32 - fx, fx) and the vertical one in 16
// bits, which gives exactly the integers of the per-pixel path.
#include "SimdTarget.h"

#include "WarpKernel.inl"

namespace warpkernel {

namespace {

// Bilinear mix of eight pixels whose neighbourhoods are all inside; `offsets`
// are their byte offsets in the source (pixel sx, row sy), fx and fy their
// fractions in 1/32. Pixels 0 1 4 5 and 2 3 6 7 travel together, so that each
// 128-bit lane only ever needs its own pixels' weights and the final pack puts
// the eight back in order.
inline __m256i mixEight(const unsigned char* src, std::size_t step, __m256i offsets, __m256i fx, __m256i fy)
{
    // Each 64 bits: the pixel and its right neighbour, B G R A B G R A.
    const __m256i order = _mm256_permutevar8x32_epi32(offsets, _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7));
    const __m128i offA = _mm256_castsi256_si128(order), offB = _mm256_extracti128_si256(order, 1);
    const auto* row0 = reinterpret_cast<const long long*>(src);
    const auto* row1 = reinterpret_cast<const long long*>(src + step);
    const __m256i a0 = _mm256_i32gather_epi64(row0, offA, 1), b0 = _mm256_i32gather_epi64(row0, offB, 1);
    const __m256i a1 = _mm256_i32gather_epi64(row1, offA, 1), b1 = _mm256_i32gather_epi64(row1, offB, 1);
    // Pair each channel with its right neighbour's: B B G G R R A A.
    const __m256i pairs = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15, 0, 4, 1, 5, 2, 6, 3, 7,
                                           8, 12, 9, 13, 10, 14, 11, 15);
    // A pixel's 16-bit weight, four times (once per channel), for the A and B pixels.
    const __m256i spreadA = _mm256_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 4, 5, 4, 5, 4, 5, 4, 5, 0, 1, 0, 1, 0, 1, 0, 1, 4,
                                             5, 4, 5, 4, 5, 4, 5);
    const __m256i spreadB = _mm256_setr_epi8(8, 9, 8, 9, 8, 9, 8, 9, 12, 13, 12, 13, 12, 13, 12, 13, 8, 9, 8, 9, 8, 9,
                                             8, 9, 12, 13, 12, 13, 12, 13, 12, 13);
    // Byte weights (32 - fx, fx): fx x 256 + 32 - fx.
    const __m256i wx = _mm256_add_epi32(_mm256_sub_epi32(_mm256_slli_epi32(fx, 8), fx), _mm256_set1_epi32(kFracOne));
    const __m256i wxA = _mm256_shuffle_epi8(wx, spreadA), wxB = _mm256_shuffle_epi8(wx, spreadB);
    // Rows mixed horizontally, 16 bits per channel in 1/32 steps.
    const __m256i ha0 = _mm256_maddubs_epi16(_mm256_shuffle_epi8(a0, pairs), wxA);
    const __m256i ha1 = _mm256_maddubs_epi16(_mm256_shuffle_epi8(a1, pairs), wxA);
    const __m256i hb0 = _mm256_maddubs_epi16(_mm256_shuffle_epi8(b0, pairs), wxB);
    const __m256i hb1 = _mm256_maddubs_epi16(_mm256_shuffle_epi8(b1, pairs), wxB);

    // Vertical mix h0 + (h1 - h0) x fy / 32 with the product's floor taken
    // exactly by a high-half multiply, (2 (h1 - h0)) x (fy x 1024) / 65536,
    // and the sum rounded to a level by (v x 1024 + 16384) / 32768. Rounding
    // the sum, not the product, gives the same integers as the 32 x 32
    // bilinear sum of the per-pixel path.
    const __m256i wy = _mm256_slli_epi32(fy, 10);
    const __m256i toLevel = _mm256_set1_epi16(1 << (15 - kFracBits));
    const auto vertical = [&](__m256i h0, __m256i h1, __m256i w) {
        const __m256i part = _mm256_mulhi_epi16(_mm256_slli_epi16(_mm256_sub_epi16(h1, h0), 1), w);
        return _mm256_mulhrs_epi16(_mm256_add_epi16(h0, part), toLevel);
    };
    const __m256i va = vertical(ha0, ha1, _mm256_shuffle_epi8(wy, spreadA));
    const __m256i vb = vertical(hb0, hb1, _mm256_shuffle_epi8(wy, spreadB));
    return _mm256_packus_epi16(va, vb);
}

#if defined(VANTOR_SIMD_AVX512)
// Sixteen target pixels whose source rows (sy) lie in [top, bottom] and whose
// neighbourhoods lie in the `count` columns from `left` (at most 32): rows
// top to bottom + 1 are loaded once each and every pixel's four neighbours are
// picked out of them by permutes, for a fraction of the cost of gathers. sx,
// sy are the pixels' source columns and rows, fx, fy their fractions in 1/32.
// The same integers as mixEight.
inline __m512i mixSixteen(const unsigned char* src, std::size_t step, int left, int count, int top, int bottom,
                          __m512i sx, __m512i sy, __m512i fx, __m512i fy)
{
    const __mmask32 columns = count >= 32 ? ~__mmask32(0) : (__mmask32(1) << count) - 1;
    const __m512i idxL = _mm512_sub_epi32(sx, _mm512_set1_epi32(left));
    const __m512i idxR = _mm512_add_epi32(idxL, _mm512_set1_epi32(1));
    // Each pixel's row counted from `top`.
    const __m512i down = _mm512_sub_epi32(sy, _mm512_set1_epi32(top));
    __m512i tl = _mm512_setzero_si512(), tr = tl, bl = tl, br = tl;
    __mmask16 above = 0; // the pixels whose top row is the previous one
    const unsigned char* p = src + std::size_t(top) * step + std::size_t(left) * 4;
    for (int j = 0; j <= bottom + 1 - top; ++j, p += step) {
        const __m512i lo = _mm512_maskz_loadu_epi32(__mmask16(columns), p);
        const __m512i hi = _mm512_maskz_loadu_epi32(__mmask16(columns >> 16), p + 64);
        const __m512i l = _mm512_permutex2var_epi32(lo, idxL, hi), r = _mm512_permutex2var_epi32(lo, idxR, hi);
        // Row j is the top row of the pixels with down = j and the bottom row
        // of those with down = j - 1.
        const __mmask16 here = _mm512_cmpeq_epi32_mask(down, _mm512_set1_epi32(j));
        tl = _mm512_mask_mov_epi32(tl, here, l);
        tr = _mm512_mask_mov_epi32(tr, here, r);
        bl = _mm512_mask_mov_epi32(bl, above, l);
        br = _mm512_mask_mov_epi32(br, above, r);
        above = here;
    }
    // Within each 128-bit lane the byte unpacking pairs each channel with its
    // right neighbour's, pixels 0 and 1 in the low half and 2 and 3 in the
    // high; the final pack puts them back in order.
    const auto spread = [](__m512i words, __m512i& lowHalf, __m512i& highHalf) {
        const __m512i twice = _mm512_or_si512(words, _mm512_slli_epi32(words, 16));
        lowHalf = _mm512_unpacklo_epi32(twice, twice);
        highHalf = _mm512_unpackhi_epi32(twice, twice);
    };
    // Byte weights (32 - fx, fx): fx x 256 + 32 - fx.
    __m512i wxLo, wxHi, wyLo, wyHi;
    spread(_mm512_add_epi32(_mm512_sub_epi32(_mm512_slli_epi32(fx, 8), fx), _mm512_set1_epi32(kFracOne)), wxLo, wxHi);
    spread(_mm512_slli_epi32(fy, 10), wyLo, wyHi);
    const __m512i toLevel = _mm512_set1_epi16(1 << (15 - kFracBits));
    const auto vertical = [&](__m512i h0, __m512i h1, __m512i w) {
        const __m512i part = _mm512_mulhi_epi16(_mm512_slli_epi16(_mm512_sub_epi16(h1, h0), 1), w);
        return _mm512_mulhrs_epi16(_mm512_add_epi16(h0, part), toLevel);
    };
    const __m512i lowPixels = vertical(_mm512_maddubs_epi16(_mm512_unpacklo_epi8(tl, tr), wxLo),
                                       _mm512_maddubs_epi16(_mm512_unpacklo_epi8(bl, br), wxLo), wyLo);
    const __m512i highPixels = vertical(_mm512_maddubs_epi16(_mm512_unpackhi_epi8(tl, tr), wxHi),
                                        _mm512_maddubs_epi16(_mm512_unpackhi_epi8(bl, br), wxHi), wyHi);
    return _mm512_packus_epi16(lowPixels, highPixels);
}
#endif

} // namespace

void VANTOR_SIMD_NAME(warpRow)(const unsigned char* src, std::size_t srcStep, unsigned char* row, int begin, int end,
                               const int* dx, const int* dy, int x0, int y0)
{
    const __m256i vx0 = _mm256_set1_epi32(x0), vy0 = _mm256_set1_epi32(y0);
    const __m256i mask = _mm256_set1_epi32(kFracMask);
    // sx x 4 + sy x step in one multiply-add of 16-bit pairs.
    const __m256i scale = _mm256_set1_epi32(int(srcStep << 16) | 4);
    // Eight target pixels from column `at`, their neighbours gathered.
    const auto eight = [&](int at) {
        const __m256i X = _mm256_srai_epi32(
            _mm256_add_epi32(vx0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dx + at))), kPosBits - kFracBits);
        const __m256i Y = _mm256_srai_epi32(
            _mm256_add_epi32(vy0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dy + at))), kPosBits - kFracBits);
        const __m256i sxsy =
            _mm256_or_si256(_mm256_srli_epi32(X, kFracBits), _mm256_slli_epi32(_mm256_srli_epi32(Y, kFracBits), 16));
        const __m256i offsets = _mm256_madd_epi16(sxsy, scale);
        const __m256i out = mixEight(src, srcStep, offsets, _mm256_and_si256(X, mask), _mm256_and_si256(Y, mask));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + std::size_t(at) * 4), out);
    };
    int x = begin;
#if defined(VANTOR_SIMD_AVX512)
    // Sixteen at a time where their neighbourhoods fit in five rows and 32
    // columns: any turn of up to about 10 degrees, so every fine tilt. Other
    // groups (a camera turned sideways) take the gathers.
    const __m512i wx0 = _mm512_set1_epi32(x0), wy0 = _mm512_set1_epi32(y0);
    const __m512i wmask = _mm512_set1_epi32(kFracMask);
    for (; x + 16 <= end; x += 16) {
        const int firstX = fixedAt(x0, dx[x]) >> kFracBits, lastX = fixedAt(x0, dx[x + 15]) >> kFracBits;
        const int firstY = fixedAt(y0, dy[x]) >> kFracBits, lastY = fixedAt(y0, dy[x + 15]) >> kFracBits;
        // Positions run monotonically along a row, so the ends bound the group.
        const int left = firstX < lastX ? firstX : lastX, right = firstX < lastX ? lastX : firstX;
        const int top = firstY < lastY ? firstY : lastY, bottom = firstY < lastY ? lastY : firstY;
        if (right - left > 30 || bottom - top > 3) {
            eight(x);
            eight(x + 8);
            continue;
        }
        const __m512i X = _mm512_srai_epi32(_mm512_add_epi32(wx0, _mm512_loadu_si512(dx + x)), kPosBits - kFracBits);
        const __m512i Y = _mm512_srai_epi32(_mm512_add_epi32(wy0, _mm512_loadu_si512(dy + x)), kPosBits - kFracBits);
        const __m512i sx = _mm512_srai_epi32(X, kFracBits), sy = _mm512_srai_epi32(Y, kFracBits);
        const __m512i fx = _mm512_and_si512(X, wmask), fy = _mm512_and_si512(Y, wmask);
        const int count = right + 2 - left;
        const __m512i out = mixSixteen(src, srcStep, left, count, top, bottom, sx, sy, fx, fy);
        _mm512_storeu_si512(row + std::size_t(x) * 4, out);
    }
#endif
    for (; x + 8 <= end; x += 8)
        eight(x);
    mixSpan(Source {src, srcStep, 0, 0}, row, x, end, dx, dy, x0, y0);
}

} // namespace warpkernel
