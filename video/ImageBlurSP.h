#pragma once

#include "SubProcessor.h"

// Gaussian blur of the whole frame for the background blur, limited to 35 runs
// per second (processImage with the BackgroundBlur setting). Like the
// segmentation stage, the pipeline holds an instance only once one is built in.
class ImageBlurSP : public SubProcessor
{
public:
    ImageBlurSP();
    ~ImageBlurSP() override;

    BitmapPtr processImage(BitmapPtr input, float& width, float& height, const CameraSetting& setting) override;
};
