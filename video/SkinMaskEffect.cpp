#include "SkinMaskEffect.h"

#include "PixelKernels.h"

#include <algorithm>
#include <new>

namespace {

const QUuid& skinShaderId()
{
    static const QUuid id = QUuid::createUuid();
    return id;
}

// Chroma from 0..255 components, on the 0..1 scale.
constexpr float kCbR = -0.1687f / 255.0f, kCbG = -0.3313f / 255.0f, kCbB = 0.5f / 255.0f;
constexpr float kCrR = 0.5f / 255.0f, kCrG = -0.4187f / 255.0f, kCrB = -0.0813f / 255.0f;

// Skin box and spill: each chroma rises over [lower - spill, lower] and falls
// over [upper, upper + spill]. Both ramps are 1 inside the box, so the product
// of the two equals the one ramp that applies on either side.
constexpr float kCbLow = -0.250f, kCbHigh = 0.025f;
constexpr float kCrLow = 0.025f, kCrHigh = 0.250f;
constexpr float kSpill = 0.03f;

inline float smoothstep(float e0, float e1, float x)
{
    const float t = std::clamp((x - e0) / (e1 - e0), 0.0f, 1.0f);
    return t * t * (3.0f - 2.0f * t);
}

inline float skin(float cb, float cr)
{
    const float skinCb = smoothstep(kCbLow - kSpill, kCbLow, cb) * smoothstep(kCbHigh + kSpill, kCbHigh, cb);
    const float skinCr = smoothstep(kCrLow - kSpill, kCrLow, cr) * smoothstep(kCrHigh + kSpill, kCrHigh, cr);
    return std::clamp(skinCb * skinCr, 0.0f, 1.0f);
}

#if CV_SIMD
// smoothstep(e0, e1, x) with inv = 1 / (e1 - e0).
inline cv::v_float32 smoothstepV(const cv::v_float32& x, float e0, float inv)
{
    using namespace cv;
    const v_float32 t = kernels::clamp((x - vx_setall_f32(e0)) * vx_setall_f32(inv), vx_setzero_f32(), vx_setall_f32(1.0f));
    return t * t * (vx_setall_f32(3.0f) - t - t);
}
#endif

} // namespace

SkinMaskEffect::SkinMaskEffect()
    : CustomEffectsBase(skinShaderId(), 1)
{
}

const QUuid& SkinMaskEffect::classId()
{
    static const QUuid id = QUuid::createUuid();
    return id;
}

bool SkinMaskEffect::registerClass()
{
    return registerEffect(QStringLiteral("SkinMaskEffect"), classId(),
                          []() -> CustomEffectsBase* { return new (std::nothrow) SkinMaskEffect; });
}

float SkinMaskEffect::probability(float r, float g, float b)
{
    const float cb = -0.1687f * r - 0.3313f * g + 0.5f * b;
    const float cr = 0.5f * r - 0.4187f * g - 0.0813f * b;
    return skin(cb, cr);
}

void SkinMaskEffect::shadeRow(const unsigned char* const* inputs, unsigned char* out, int width) const
{
    const unsigned char* in = inputs[0];
    int i = 0;
#if CV_SIMD
    using namespace cv;
    const int n = kernels::blockPixels();
    const v_float32 cbR = vx_setall_f32(kCbR), cbG = vx_setall_f32(kCbG), cbB = vx_setall_f32(kCbB);
    const v_float32 crR = vx_setall_f32(kCrR), crG = vx_setall_f32(kCrG), crB = vx_setall_f32(kCrB);
    const v_float32 zero = vx_setzero_f32(), one = vx_setall_f32(1.0f), scale = vx_setall_f32(255.0f);
    const float invSpill = 1.0f / kSpill;
    for (; i + n <= width; i += n) {
        kernels::Block b;
        kernels::load(in + i * 4, b, 3);
        v_float32 p[4];
        for (int q = 0; q < 4; ++q) {
            const v_float32 r = b.f[2][q], g = b.f[1][q], bl = b.f[0][q];
            const v_float32 cb = v_fma(cbR, r, v_fma(cbG, g, cbB * bl));
            const v_float32 cr = v_fma(crR, r, v_fma(crG, g, crB * bl));
            const v_float32 sCb = smoothstepV(cb, kCbLow - kSpill, invSpill) * smoothstepV(cb, kCbHigh + kSpill, -invSpill);
            const v_float32 sCr = smoothstepV(cr, kCrLow - kSpill, invSpill) * smoothstepV(cr, kCrHigh + kSpill, -invSpill);
            p[q] = kernels::clamp(sCb * sCr, zero, one) * scale;
        }
        const v_uint8 grey = kernels::narrow(p);
        kernels::store(out + i * 4, grey, grey, grey, b.raw[3]);
    }
    vx_cleanup();
#endif
    for (; i < width; ++i) {
        const unsigned char* px = in + i * 4;
        const float r = px[2], g = px[1], b = px[0];
        const float cb = kCbR * r + kCbG * g + kCbB * b;
        const float cr = kCrR * r + kCrG * g + kCrB * b;
        const unsigned char grey = kernels::toByte(skin(cb, cr) * 255.0f);
        unsigned char* o = out + i * 4;
        o[0] = o[1] = o[2] = grey;
        o[3] = px[3];
    }
}
