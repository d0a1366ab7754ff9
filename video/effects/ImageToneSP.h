#pragma once

#include "SubProcessor.h"

// The skin-tone stage: rotates the hue of skin only. It wires three effects
// together: the hue rotation, the skin-probability mask and the blending of the
// rotated picture over the input by that mask. The three run fused in one sweep
// per pixel into a frame-sized target kept between frames, the stage's output.
// Non-skin pixels and alpha come through unchanged.
class ImageToneSP : public SubProcessor
{
    Q_OBJECT
public:
    ImageToneSP();
    ~ImageToneSP() override;

    BitmapPtr processImage(BitmapPtr input, float& width, float& height, const CameraSetting& setting) override;
    // The same for `above` drawn over `below` (source-over, premultiplied), as
    // if composed into a picture first: the pipeline's sharp person over the
    // blurred frame. Each row is composed on the way into the tone pass, so no
    // frame-sized picture is written and read back in between.
    BitmapPtr processComposite(BitmapPtr below, BitmapPtr above, float& width, float& height,
                               const CameraSetting& setting);

    // Hue angle in degrees: 0 at the middle of the range, +28.6479 at the
    // minimum and -28.6479 at the maximum.
    static float hueAngle(const CameraSetting& setting);

private:
    BitmapPtr run(BitmapPtr input, BitmapPtr above, float width, float height, const CameraSetting& setting);
};
