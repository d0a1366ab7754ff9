#pragma once

#include "CustomEffectsBase.h"

#include <array>

// Hue rotation by an angle in degrees with the standard luminance-preserving
// colour matrix (luma weights 0.213, 0.715, 0.072), the same matrix as SVG's
// feColorMatrix hueRotate and Direct2D's hue rotation. It is applied to the
// premultiplied colour and the result is clamped to [0, alpha], which equals
// rotating the straight colour, clamping to [0, 1] and premultiplying again.
// Alpha is passed through.
class HueRotationEffect : public CustomEffectsBase
{
public:
    HueRotationEffect();

    void setAngle(float degrees);
    float angle() const { return _angle; }
    const std::array<float, 9>& currentMatrix() const { return _m; }
    // Row-major 3 x 3 matrix taking (R, G, B) to (R', G', B').
    static std::array<float, 9> matrix(float degrees);

protected:
    void shadeRow(const unsigned char* const* inputs, unsigned char* out, int width) const override;

private:
    float _angle = 0.0f;
    std::array<float, 9> _m;
};
