// Means of 32-bit pixel blocks, shared by the application and the drivers.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace pixelmeans {

// Asks for `bytes` from `p` on to be brought into the cache. A frame another
// thread or process has just written is far from this core's caches, and
// averaging it waits on memory, not arithmetic: asking for the next rows
// while the current ones are averaged halves the time.
inline void prefetch(const void* p, std::size_t bytes)
{
    for (std::size_t line = 0; line < bytes; line += 64)
        __builtin_prefetch(static_cast<const char*>(p) + line);
}

// One row of a shrunk 32-bit picture: out[i] is the mean of the 2 x 2 block at
// a[i * step], a[i * step + 1], b[i * step], b[i * step + 1], per byte, rounded.
// Step 2 halves a picture; a larger step samples a block in each cell.
inline void meanOf2x2(const uint32_t* a, const uint32_t* b, uint32_t* out, int count, int step)
{
    int i = 0;
#ifdef __SSE2__
    // Halving, four output pixels at a time: the two rows' bytes are summed in
    // 16-bit lanes, then each pixel with its right-hand neighbour.
    const __m128i zero = _mm_setzero_si128();
    const __m128i two = _mm_set1_epi16(2);
    const auto sumOfPairs = [&](const uint32_t* pa, const uint32_t* pb) {
        const __m128i ra = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pa));
        const __m128i rb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pb));
        const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(ra, zero), _mm_unpacklo_epi8(rb, zero));
        const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(ra, zero), _mm_unpackhi_epi8(rb, zero));
        // lo holds pixels 0 and 1, hi pixels 2 and 3: the sums of 0+1 and 2+3.
        return _mm_add_epi16(_mm_unpacklo_epi64(lo, hi), _mm_unpackhi_epi64(lo, hi));
    };
    for (; step == 2 && i + 4 <= count; i += 4) {
        const __m128i first = _mm_srli_epi16(_mm_add_epi16(sumOfPairs(a + 2 * i, b + 2 * i), two), 2);
        const __m128i second = _mm_srli_epi16(_mm_add_epi16(sumOfPairs(a + 2 * i + 4, b + 2 * i + 4), two), 2);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(first, second));
    }
#endif
    for (; i < count; ++i) {
        const uint32_t* pa = a + std::intptr_t(i) * step;
        const uint32_t* pb = b + std::intptr_t(i) * step;
        // Two bytes at a time, each in a 16-bit lane with room for the sum.
        const uint32_t even =
            ((pa[0] & 0xff00ff) + (pa[1] & 0xff00ff) + (pb[0] & 0xff00ff) + (pb[1] & 0xff00ff) + 0x20002) >> 2;
        const uint32_t odd = (((pa[0] >> 8) & 0xff00ff) + ((pa[1] >> 8) & 0xff00ff) + ((pb[0] >> 8) & 0xff00ff)
                              + ((pb[1] >> 8) & 0xff00ff) + 0x20002)
                          >> 2;
        out[i] = (even & 0xff00ff) | ((odd & 0xff00ff) << 8);
    }
}

} // namespace pixelmeans
