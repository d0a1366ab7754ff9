#pragma once

#include "CustomEffectsBase.h"

// Mixes two pictures by a mask: colour = image1 + (image2 - image1) x weight.r,
// alpha = image1's alpha. Inputs: image1, image2, weight.
class MaskBlendingEffect : public CustomEffectsBase
{
public:
    MaskBlendingEffect();

    static const QUuid& classId();
    // Registers the class under "MaskBlendingEffect" (once per process).
    static bool registerClass();

protected:
    void shadeRow(const unsigned char* const* inputs, unsigned char* out, int width) const override;
};
