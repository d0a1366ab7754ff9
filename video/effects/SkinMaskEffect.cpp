#include "SkinMaskEffect.h"

#include "PixelKernels.h"
#include "SkinTone.h"

#include <new>

namespace {

const QUuid& skinShaderId()
{
    static const QUuid id = QUuid::createUuid();
    return id;
}

} // namespace

SkinMaskEffect::SkinMaskEffect()
    : CustomEffectsBase(skinShaderId(), 1)
{}

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
    return skintone::weight(cb, cr);
}

void SkinMaskEffect::shadeRow(const unsigned char* const* inputs, unsigned char* out, int width) const
{
    const unsigned char* in = inputs[0];
    int i = 0;
#if CV_SIMD
    using namespace cv;
    const int n = kernels::blockPixels();
    const v_float32 scale = vx_setall_f32(255.0f);
    for (; i + n <= width; i += n) {
        kernels::Block b;
        kernels::load(in + i * 4, b, 3);
        v_float32 p[4];
        for (int q = 0; q < 4; ++q)
            p[q] = skintone::weightOfV(b.f[2][q], b.f[1][q], b.f[0][q]) * scale;
        const v_uint8 grey = kernels::narrow(p);
        kernels::store(out + i * 4, grey, grey, grey, b.raw[3]);
    }
    vx_cleanup();
#endif
    for (; i < width; ++i) {
        const unsigned char* px = in + i * 4;
        const unsigned char grey = kernels::toByte(skintone::weightOf(px[2], px[1], px[0]) * 255.0f);
        unsigned char* o = out + i * 4;
        o[0] = o[1] = o[2] = grey;
        o[3] = px[3];
    }
}
