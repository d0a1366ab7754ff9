#pragma once

#include "SubProcessor.h"

#include <opencv2/core/matx.hpp>

// Turns a sideways-mounted camera's picture upright and applies the user's fine
// tilt: the picture is scaled about the centre (zooming so no empty corners
// show) and rotated about the centre, bilinear, into a kept target that is not
// cleared between frames. In mode 1 ("fit") black side bars are drawn on top.
class ImageRotateSP : public SubProcessor
{
    Q_OBJECT
public:
    // The single-precision value of 3.14 / 180 the angles are scaled with.
    static constexpr float kDegree = 0.0174444448f;

    ImageRotateSP();
    ~ImageRotateSP() override;

    using SubProcessor::processImage;
    virtual BitmapPtr processImage(BitmapPtr input, float& width, float& height, const CameraSetting& rotation,
                                   const CameraSetting& fine);

    // Fine angle f in degrees (half the setting's value).
    static float fineAngle(const CameraSetting& fine);
    static float scaleFor(float width, float height, int rotation, float fineAngle);
    // Clockwise rotation on screen, in degrees.
    static float angleFor(int rotation, float fineAngle);
    // Width of each side bar in mode 1.
    static float barWidth(float width, float height, float scale, float fineAngle);
    // Forward matrix (source to target pixel coordinates) of the scale by s
    // about the centre followed by the clockwise rotation about the centre.
    static cv::Matx23f transform(float width, float height, float scale, float angleDegrees);
};
