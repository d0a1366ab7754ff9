#pragma once

#include "SubProcessor.h"

// The skin-tone stage: rotates the hue of skin only. The picture's hue-rotated
// copy, its skin-probability mask and the mix of the two by that mask are drawn
// into three frame-sized targets that are kept between frames; the last one is
// the stage's output. Non-skin pixels and alpha come through unchanged.
class ImageToneSP : public SubProcessor
{
    Q_OBJECT
public:
    ImageToneSP();
    ~ImageToneSP() override;

    BitmapPtr processImage(BitmapPtr input, float& width, float& height, const CameraSetting& setting) override;

    // Hue angle in degrees: 0 at the middle of the range, +28.6479 at the
    // minimum and -28.6479 at the maximum.
    static float hueAngle(const CameraSetting& setting);

    // The intermediate targets of the last run (for inspection).
    BitmapPtr hueTarget() const;
    BitmapPtr maskTarget() const;
};
