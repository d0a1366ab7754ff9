// The YUV row loops on 128-bit SSE2 registers (4 pixels each).
#include <emmintrin.h>

#include "YuvRowsVector.inl"

namespace vcam::yuv {
namespace {

struct Sse2
{
    using R = __m128i;
    static constexpr size_t kPixels = 4;

    static R load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const R*>(p)); }
    static void store(uint8_t* p, R v) { _mm_storeu_si128(reinterpret_cast<R*>(p), v); }
    static R set32(int32_t v) { return _mm_set1_epi32(v); }
    static R set8(char v) { return _mm_set1_epi8(v); }
    static R and_(R a, R b) { return _mm_and_si128(a, b); }
    static R or_(R a, R b) { return _mm_or_si128(a, b); }
    static R add32(R a, R b) { return _mm_add_epi32(a, b); }
    static R add8(R a, R b) { return _mm_add_epi8(a, b); }
    static R madd(R a, R b) { return _mm_madd_epi16(a, b); }
    static R srli16by8(R a) { return _mm_srli_epi16(a, 8); }
    static R srli32by8(R a) { return _mm_srli_epi32(a, 8); }
    static R srli32by2(R a) { return _mm_srli_epi32(a, 2); }
    static R srai32by8(R a) { return _mm_srai_epi32(a, 8); }
    static R slli32by8(R a) { return _mm_slli_epi32(a, 8); }
    static R slli32by16(R a) { return _mm_slli_epi32(a, 16); }
    static R slli32by24(R a) { return _mm_slli_epi32(a, 24); }
    static R srli64by16(R a) { return _mm_srli_epi64(a, 16); }
    static R packs32(R a, R b) { return _mm_packs_epi32(a, b); }
    static R packus16(R a, R b) { return _mm_packus_epi16(a, b); }
    // One lane: packing keeps the order.
    static R fixPack32(R a) { return a; }
    static R fixPack16(R a) { return a; }
    // The 32-bit values at even (odd) positions of a, then of b.
    static R evens32(R a, R b)
    {
        return _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
    }
    static R odds32(R a, R b)
    {
        return _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), _MM_SHUFFLE(3, 1, 3, 1)));
    }
};

} // namespace

extern const Rows sse2Rows;
const Rows sse2Rows = VectorLoops<Sse2>::rows;

} // namespace vcam::yuv
