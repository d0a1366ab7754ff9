#pragma once

#include "SubProcessor.h"

#include <QString>
#include <QtGlobal>

#include <memory>

// Person segmentation for the background blur. A neural network run by ONNX
// Runtime (a GPU session first, the CPU when the GPU one cannot load or run it)
// finds the person; the frame buffer is rewritten in place into a cut-out of the person
// (alpha = person mask, colour premultiplied) and returned as a bitmap. Limited
// to 35 runs per second. No error ever leaves the stage: without a working model
// the frame stays as it is.
class PersonSegmentationSP : public SubProcessor
{
    Q_OBJECT
public:
    static constexpr const char* kModelResource = ":/assets/models/SINet_Softmax.onnx";
    // The 144 x 256 network for upright landscape frames.
    static constexpr const char* kLandscapeModelResource = ":/assets/models/selfie_segmentation_landscape.onnx";

    // Reads the model from defaultModelPath().
    PersonSegmentationSP();
    // `modelPath` serves every frame. A non-empty `landscapeModelPath` serves
    // frames wider than high that are not turned (falling back to the main model
    // if it cannot load); turned frames always go to the main model.
    explicit PersonSegmentationSP(const QString& modelPath, const QString& landscapeModelPath = QString());

    // The stage the pipeline uses: the built-in landscape model next to the
    // built-in main model; a single model when the default path is overridden.
    static std::shared_ptr<PersonSegmentationSP> createForPipeline();

    // Where stages built without a path read their model: the built-in resource
    // unless set otherwise (tests point it at damaged models).
    static QString defaultModelPath();
    static void setDefaultModelPath(const QString& path);
    ~PersonSegmentationSP() override;

    // `buffer`: width x height B8G8R8A8 pixels, width x 4 bytes per row, changed
    // in place. `rotated`: the coarse camera rotation is on, so the network is
    // shown the frame turned 90 degrees clockwise. Returns the current cut-out.
    virtual BitmapPtr processFrame(uchar* buffer, float width, float height, bool unused, bool rotated);
    // The same, leaving the frame as it is: the cut-out goes to the stage's
    // bitmap only. For a caller that never shows the rewritten frame (the
    // pipeline replaces the whole frame with its result), one frame-sized
    // write less.
    virtual BitmapPtr cutOut(const uchar* frame, float width, float height, bool rotated);

    // The alpha byte for a background probability m: int((1 - m) x 255) held to
    // 0..255 (also for values outside 0..1 and NaN, which give 0).
    static int alphaFor(float backgroundProbability);

    // Which session kinds were tried, and the network's input size (320 x 320
    // until a model is loaded), for the model that ran last.
    bool gpuLoaded() const;
    bool cpuLoaded() const;
    int modelWidth() const;
    int modelHeight() const;

private:
    // `rewrite`, when given, receives the cut-out as well (it may be `frame`).
    BitmapPtr segment(const uchar* frame, uchar* rewrite, float width, float height, bool rotated);
};
