#pragma once

#include "SubProcessor.h"

// Gaussian blur of the whole frame for the background blur, limited to 35 runs
// per second. The standard deviation follows the BackgroundBlur setting (0 to 10
// pixels over its range). The border is soft: outside the frame counts as
// transparent, so the edges fade and the target's previous content shows
// through there (the target is never cleared). Large deviations blur a
// downscaled copy, which looks the same and costs a fraction.
class ImageBlurSP : public SubProcessor
{
    Q_OBJECT
public:
    ImageBlurSP();
    ~ImageBlurSP() override;

    BitmapPtr processImage(BitmapPtr input, float& width, float& height, const CameraSetting& setting) override;

    // Standard deviation in pixels: (value - minimum) / (maximum - minimum) x 10,
    // held to 0..10 for values outside the range.
    static float sigmaFor(const CameraSetting& setting);
    // Blurs premultiplied B8G8R8A8 `src` into `dst` (same size) with a soft
    // border; `scratch` holds the downscaled copy between calls.
    static void blur(const cv::Mat& src, cv::Mat& dst, float sigma, cv::Mat& scratch);
    // The Gaussian the downscaled copy gets: B8G8R8A8 `picture` in place,
    // transparent black outside, in fixed point; as close to the exact filter
    // as cv::GaussianBlur with the same deviation, in a fraction of its time.
    // A deviation that is not positive, or beyond 1000, leaves it as it is.
    static void gaussian(cv::Mat& picture, double sigma);
};
