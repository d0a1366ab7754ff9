#include "HueRotationEffect.h"

#include "PixelKernels.h"

#include <cmath>

namespace {

const QUuid& hueShaderId()
{
    static const QUuid id = QUuid::createUuid();
    return id;
}

} // namespace

HueRotationEffect::HueRotationEffect()
    : CustomEffectsBase(hueShaderId(), 1)
    , _m(matrix(0.0f))
{
    initialize();
}

std::array<float, 9> HueRotationEffect::matrix(float degrees)
{
    const double rad = double(degrees) * 3.141592653589793 / 180.0;
    const double c = std::cos(rad);
    const double s = std::sin(rad);
    return {
        float(0.213 + c * 0.787 - s * 0.213), float(0.715 - c * 0.715 - s * 0.715),
        float(0.072 - c * 0.072 + s * 0.928), float(0.213 - c * 0.213 + s * 0.143),
        float(0.715 + c * 0.285 + s * 0.140), float(0.072 - c * 0.072 - s * 0.283),
        float(0.213 - c * 0.213 - s * 0.787), float(0.715 - c * 0.715 + s * 0.715),
        float(0.072 + c * 0.928 + s * 0.072),
    };
}

void HueRotationEffect::setAngle(float degrees)
{
    if (!std::isfinite(degrees))
        degrees = 0.0f;
    _angle = degrees;
    _m = matrix(degrees);
}

void HueRotationEffect::shadeRow(const unsigned char* const* inputs, unsigned char* out, int width) const
{
    const unsigned char* in = inputs[0];
    const std::array<float, 9>& m = _m;
    int i = 0;
#if CV_SIMD
    using namespace cv;
    const int n = kernels::blockPixels();
    const v_float32 zero = vx_setzero_f32();
    v_float32 mm[9];
    for (int k = 0; k < 9; ++k)
        mm[k] = vx_setall_f32(m[k]);
    for (; i + n <= width; i += n) {
        kernels::Block b;
        kernels::load(in + i * 4, b, 4);
        v_float32 res[3][4];
        for (int q = 0; q < 4; ++q) {
            const v_float32 r = b.f[2][q], g = b.f[1][q], bl = b.f[0][q], a = b.f[3][q];
            res[2][q] = kernels::clamp(v_fma(mm[0], r, v_fma(mm[1], g, mm[2] * bl)), zero, a);
            res[1][q] = kernels::clamp(v_fma(mm[3], r, v_fma(mm[4], g, mm[5] * bl)), zero, a);
            res[0][q] = kernels::clamp(v_fma(mm[6], r, v_fma(mm[7], g, mm[8] * bl)), zero, a);
        }
        kernels::store(out + i * 4, kernels::narrow(res[0]), kernels::narrow(res[1]), kernels::narrow(res[2]),
                       b.raw[3]);
    }
    vx_cleanup();
#endif
    for (; i < width; ++i) {
        const unsigned char* p = in + i * 4;
        const float b = p[0], g = p[1], r = p[2], a = p[3];
        unsigned char* o = out + i * 4;
        o[2] = kernels::toByte(std::clamp(m[0] * r + m[1] * g + m[2] * b, 0.0f, a));
        o[1] = kernels::toByte(std::clamp(m[3] * r + m[4] * g + m[5] * b, 0.0f, a));
        o[0] = kernels::toByte(std::clamp(m[6] * r + m[7] * g + m[8] * b, 0.0f, a));
        o[3] = p[3];
    }
}
