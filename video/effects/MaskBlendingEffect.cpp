#include "MaskBlendingEffect.h"

#include "PixelKernels.h"

#include <new>

namespace {

const QUuid& blendShaderId()
{
    static const QUuid id = QUuid::createUuid();
    return id;
}

} // namespace

MaskBlendingEffect::MaskBlendingEffect()
    : CustomEffectsBase(blendShaderId(), 3)
{}

const QUuid& MaskBlendingEffect::classId()
{
    static const QUuid id = QUuid::createUuid();
    return id;
}

bool MaskBlendingEffect::registerClass()
{
    return registerEffect(QStringLiteral("MaskBlendingEffect"), classId(),
                          []() -> CustomEffectsBase* { return new (std::nothrow) MaskBlendingEffect; });
}

void MaskBlendingEffect::shadeRow(const unsigned char* const* inputs, unsigned char* out, int width) const
{
    const unsigned char* image1 = inputs[0];
    const unsigned char* image2 = inputs[1];
    const unsigned char* weight = inputs[2];
    int i = 0;
#if CV_SIMD
    using namespace cv;
    const int n = kernels::blockPixels();
    const v_float32 inv255 = vx_setall_f32(1.0f / 255.0f);
    for (; i + n <= width; i += n) {
        kernels::Block a, b, wt;
        kernels::load(image1 + i * 4, a, 3);
        kernels::load(image2 + i * 4, b, 3);
        cv::v_load_deinterleave(weight + i * 4, wt.raw[0], wt.raw[1], wt.raw[2], wt.raw[3]);
        v_float32 w[4];
        kernels::widen(wt.raw[2], w);
        v_float32 res[3][4];
        for (int q = 0; q < 4; ++q) {
            const v_float32 k = w[q] * inv255;
            for (int c = 0; c < 3; ++c)
                res[c][q] = v_fma(b.f[c][q] - a.f[c][q], k, a.f[c][q]);
        }
        kernels::store(out + i * 4, kernels::narrow(res[0]), kernels::narrow(res[1]), kernels::narrow(res[2]),
                       a.raw[3]);
    }
    vx_cleanup();
#endif
    for (; i < width; ++i) {
        const unsigned char* p1 = image1 + i * 4;
        const unsigned char* p2 = image2 + i * 4;
        const float k = weight[i * 4 + 2] / 255.0f;
        unsigned char* o = out + i * 4;
        for (int c = 0; c < 3; ++c)
            o[c] = kernels::toByte(float(p1[c]) + (float(p2[c]) - float(p1[c])) * k);
        o[3] = p1[3];
    }
}
