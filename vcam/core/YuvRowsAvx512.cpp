// The YUV row loops on 512-bit AVX-512 registers (16 pixels each).
#include <immintrin.h>

#include "YuvRowsVector.inl"

namespace vcam::yuv {
namespace {

struct Avx512
{
    using R = __m512i;
    static constexpr size_t kPixels = 16;

    static R load(const uint8_t* p) { return _mm512_loadu_si512(p); }
    static void store(uint8_t* p, R v) { _mm512_storeu_si512(p, v); }
    static R set32(int32_t v) { return _mm512_set1_epi32(v); }
    static R set8(char v) { return _mm512_set1_epi8(v); }
    static R and_(R a, R b) { return _mm512_and_si512(a, b); }
    static R or_(R a, R b) { return _mm512_or_si512(a, b); }
    static R add32(R a, R b) { return _mm512_add_epi32(a, b); }
    static R add8(R a, R b) { return _mm512_add_epi8(a, b); }
    static R madd(R a, R b) { return _mm512_madd_epi16(a, b); }
    static R srli16by8(R a) { return _mm512_srli_epi16(a, 8); }
    static R srli32by8(R a) { return _mm512_srli_epi32(a, 8); }
    static R srli32by2(R a) { return _mm512_srli_epi32(a, 2); }
    static R srai32by8(R a) { return _mm512_srai_epi32(a, 8); }
    static R slli32by8(R a) { return _mm512_slli_epi32(a, 8); }
    static R slli32by16(R a) { return _mm512_slli_epi32(a, 16); }
    static R slli32by24(R a) { return _mm512_slli_epi32(a, 24); }
    static R srli64by16(R a) { return _mm512_srli_epi64(a, 16); }
    static R packs32(R a, R b) { return _mm512_packs_epi32(a, b); }
    static R packus16(R a, R b) { return _mm512_packus_epi16(a, b); }
    // As for AVX2, with four 128-bit lanes.
    static R fixPack32(R a)
    {
        return _mm512_permutexvar_epi32(_mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15), a);
    }
    static R fixPack16(R a) { return _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7), a); }
    static R evens32(R a, R b)
    {
        return _mm512_permutex2var_epi32(
            a, _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30), b);
    }
    static R odds32(R a, R b)
    {
        return _mm512_permutex2var_epi32(
            a, _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31), b);
    }
};

} // namespace

extern const Rows avx512Rows;
const Rows avx512Rows = VectorLoops<Avx512>::rows;

} // namespace vcam::yuv
