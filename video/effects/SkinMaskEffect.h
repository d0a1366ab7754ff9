#pragma once

#include "CustomEffectsBase.h"

// Turns a picture into a grey skin-probability mask: for each premultiplied
// pixel the chroma Cb, Cr decides a probability p (1 inside the skin box
// Cb in [-0.250, 0.025], Cr in [0.025, 0.250], falling off with smoothstep over
// a 0.03 spill), and the output is (p, p, p, alpha).
class SkinMaskEffect : public CustomEffectsBase
{
public:
    SkinMaskEffect();

    static const QUuid& classId();
    // Registers the class under "SkinMaskEffect" (once per process).
    static bool registerClass();
    // p for colour components on the 0..1 scale.
    static float probability(float r, float g, float b);

protected:
    void shadeRow(const unsigned char* const* inputs, unsigned char* out, int width) const override;
};
