#include "YuvRows.h"

#include "YuvFormulas.h"

namespace vcam::yuv {

#if defined(VANTOR_YUV_SSE2)
extern const Rows sse2Rows;
#endif
#if defined(VANTOR_YUV_AVX2)
extern const Rows avx2Rows;
#endif
#if defined(VANTOR_YUV_AVX512)
extern const Rows avx512Rows;
#endif

namespace {

void lumaScalar(const uint8_t* src, uint8_t* y, size_t n)
{
    for (size_t x = 0; x < n; ++x)
        y[x] = uint8_t(lumaRounded(src[4 * x + 2], src[4 * x + 1], src[4 * x]));
}

void chromaI420Scalar(const uint8_t* src, uint8_t* u, uint8_t* v, size_t n)
{
    for (size_t x = 0; x < n; ++x) {
        const int b = src[8 * x], g = src[8 * x + 1], r = src[8 * x + 2];
        u[x] = uint8_t(chromaU(r, g, b));
        v[x] = uint8_t(chromaV(r, g, b));
    }
}

void chromaNV12Scalar(const uint8_t* top, const uint8_t* bottom, uint8_t* uv, size_t n)
{
    for (size_t x = 0; x < n; ++x) {
        const uint8_t* p[4] = {top + 8 * x, top + 8 * x + 4, bottom + 8 * x, bottom + 8 * x + 4};
        int u = 0, v = 0;
        for (const uint8_t* q : p) {
            u += chromaU(q[2], q[1], q[0]);
            v += chromaV(q[2], q[1], q[0]);
        }
        uv[2 * x] = uint8_t(u >> 2);
        uv[2 * x + 1] = uint8_t(v >> 2);
    }
}

void yuy2Scalar(const uint8_t* src, uint8_t* dst, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* s = src + 8 * i;
        uint8_t* d = dst + 4 * i;
        d[0] = uint8_t(lumaPlain(s[2], s[1], s[0]));
        d[1] = uint8_t(chromaU(s[2], s[1], s[0]));
        d[2] = uint8_t(lumaPlain(s[6], s[5], s[4]));
        d[3] = uint8_t(chromaV(s[2], s[1], s[0]));
    }
}

const Rows kScalar = {lumaScalar, chromaI420Scalar, chromaNV12Scalar, yuy2Scalar};

#if defined(VANTOR_YUV_SSE2)
bool hasSse2()
{
#if defined(__x86_64__)
    return true;
#elif defined(__i386__) && defined(__GNUC__)
    static const bool present = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse2") != 0;
    }();
    return present;
#else
    return false;
#endif
}
#endif

} // namespace

const Rows& scalarRows()
{
    return kScalar;
}

const Rows* vectorRows(simd::Level level)
{
    // simd::level() is the widest level this processor runs; a level above it
    // is not offered.
    if (int(level) > int(simd::level()))
        return nullptr;
    switch (level) {
    case simd::Level::Baseline:
#if defined(VANTOR_YUV_SSE2)
        return hasSse2() ? &sse2Rows : nullptr;
#else
        return nullptr;
#endif
    case simd::Level::Avx2:
#if defined(VANTOR_YUV_AVX2)
        return &avx2Rows;
#else
        return nullptr;
#endif
    case simd::Level::Avx512:
#if defined(VANTOR_YUV_AVX512)
        return &avx512Rows;
#else
        return nullptr;
#endif
    }
    return nullptr;
}

const Rows& rows()
{
    static const Rows* best =
        simd::pick(vectorRows(simd::Level::Baseline), vectorRows(simd::Level::Avx2), vectorRows(simd::Level::Avx512));
    return best ? *best : kScalar;
}

} // namespace vcam::yuv
