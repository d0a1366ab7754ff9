// The YUV row loops on 256-bit AVX2 registers (8 pixels each).
#include <immintrin.h>

#include "YuvRowsVector.inl"

namespace vcam::yuv {
namespace {

struct Avx2
{
    using R = __m256i;
    static constexpr size_t kPixels = 8;

    static R load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const R*>(p)); }
    static void store(uint8_t* p, R v) { _mm256_storeu_si256(reinterpret_cast<R*>(p), v); }
    static R set32(int32_t v) { return _mm256_set1_epi32(v); }
    static R set8(char v) { return _mm256_set1_epi8(v); }
    static R and_(R a, R b) { return _mm256_and_si256(a, b); }
    static R or_(R a, R b) { return _mm256_or_si256(a, b); }
    static R add32(R a, R b) { return _mm256_add_epi32(a, b); }
    static R add8(R a, R b) { return _mm256_add_epi8(a, b); }
    static R madd(R a, R b) { return _mm256_madd_epi16(a, b); }
    static R srli16by8(R a) { return _mm256_srli_epi16(a, 8); }
    static R srli32by8(R a) { return _mm256_srli_epi32(a, 8); }
    static R srli32by2(R a) { return _mm256_srli_epi32(a, 2); }
    static R srai32by8(R a) { return _mm256_srai_epi32(a, 8); }
    static R slli32by8(R a) { return _mm256_slli_epi32(a, 8); }
    static R slli32by16(R a) { return _mm256_slli_epi32(a, 16); }
    static R slli32by24(R a) { return _mm256_slli_epi32(a, 24); }
    static R srli64by16(R a) { return _mm256_srli_epi64(a, 16); }
    static R packs32(R a, R b) { return _mm256_packs_epi32(a, b); }
    static R packus16(R a, R b) { return _mm256_packus_epi16(a, b); }
    // Packing four registers leaves lane l's dwords as (r0, r1, r2, r3) of
    // that lane; two registers, lane l's qwords as (r0, r1).
    static R fixPack32(R a) { return _mm256_permutevar8x32_epi32(a, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)); }
    static R fixPack16(R a) { return _mm256_permute4x64_epi64(a, _MM_SHUFFLE(3, 1, 2, 0)); }
    static R evens32(R a, R b)
    {
        const __m256 picked =
            _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(2, 0, 2, 0));
        return _mm256_permute4x64_epi64(_mm256_castps_si256(picked), _MM_SHUFFLE(3, 1, 2, 0));
    }
    static R odds32(R a, R b)
    {
        const __m256 picked =
            _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(3, 1, 3, 1));
        return _mm256_permute4x64_epi64(_mm256_castps_si256(picked), _MM_SHUFFLE(3, 1, 2, 0));
    }
};

} // namespace

extern const Rows avx2Rows;
const Rows avx2Rows = VectorLoops<Avx2>::rows;

} // namespace vcam::yuv
