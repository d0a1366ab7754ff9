#pragma once

#include "SubProcessor.h"

#include <QtGlobal>

// Person segmentation for the background blur: rewrites the frame buffer in place
// into a cut-out of the person (alpha = person mask, colour premultiplied) and
// returns it as a bitmap; limited to 35 runs per second. The pipeline calls it
// through this interface; until a model-backed implementation is built into the
// pipeline, the pipeline holds no instance and leaves the picture as it is.
class PersonSegmentationSP : public SubProcessor
{
public:
    PersonSegmentationSP();
    ~PersonSegmentationSP() override;

    virtual BitmapPtr processFrame(uchar* buffer, float width, float height, bool unused, bool rotated);
};
