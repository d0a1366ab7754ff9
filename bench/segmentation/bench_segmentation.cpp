// Per-frame cost of the effects at 1280 x 720 on one thread (OpenCV, and with it
// OpenCV DNN, is set to one thread): the segmentation with the 256 x 256 model and
// with the 144 x 256 landscape model, the blur at the largest deviation (and at a
// small one, which blurs at full size), tone and fine rotation alone, and the
// whole pipeline with every effect on (upright landscape frames: the landscape
// model), also with the square model only, for comparison. Stages run on every
// frame: the throttle is lifted, and the pipeline gets frames 30 ms apart, as a
// camera delivers them, so its 35-per-second stages never skip. Prints medians
// in milliseconds.
#include "BaseSettings.h"
#include "PictureBench.h"
#include "ImageBlurSP.h"
#include "PersonSegmentationSP.h"
#include "PostProcessor.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QPainter>
#include <QTemporaryDir>
#include <QThread>

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

using namespace bench;

int main(int argc, char** argv)
{
    const auto config = bench::isolate();
    QApplication app(argc, argv);
    cv::setNumThreads(1);

    const QImage frame = cameraFrame();
    const int runs = 100;

    const struct
    {
        const char* figure;
        QString model;
    } models[] = {
        {"segmentation_720p_ms", QString::fromLatin1(PersonSegmentationSP::kModelResource)},
        {"segmentation_144x256_model_720p_ms", QStringLiteral(VANTOR_MODELS_DIR "/selfie_segmentation_landscape.onnx")},
    };
    for (const auto& m : models) {
        PersonSegmentationSP stage(m.model);
        stage.setMaxRate(1000000);
        QImage work = frame;
        work.detach();
        print(m.figure, medianMs(
                            runs, [&] { stage.processFrame(work.bits(), float(kW), float(kH), true, false); },
                            [&] { std::memcpy(work.bits(), frame.constBits(), size_t(frame.sizeInBytes())); }));
    }

    const BitmapPtr input = premultipliedFrame(frame);
    for (int value : {100, 30}) {
        ImageBlurSP blur;
        blur.setMaxRate(1000000);
        const CameraSetting s {value, 1, 100, 0, 0, false, false};
        print(value == 100 ? "blur_sigma10_720p_ms" : "blur_sigma3_720p_ms", medianMs(runs, [&] {
                  float w = kW, h = kH;
                  blur.processImage(input, w, h, s);
              }));
    }

    // The stages after the blur, alone, with the pipeline's settings below.
    print("tone_skin20_720p_ms", toneStageMs(input, runs));
    print("rotation_fine_720p_ms", fineRotationMs(input, runs));

    BaseSettings settings;
    settings.setValue("BackgroundBlur", 100);
    settings.setValue("SkinTone", 20);
    settings.setValue("FineCameraRotation", 12);
    settings.setSetting(BaseSettings::LogoOverlay, BaseSettings::ImageData, logoPng());
    settings.setSetting(BaseSettings::LogoOverlay, BaseSettings::Enabled, true);
    settings.setSetting(BaseSettings::TextOverlay, BaseSettings::Enabled, true);
    // Each frame arrives as from the camera grabber.
    Camera camera(frame);
    QImage work;
    const auto fresh = [&] { camera.deliver(work); };
    {
        PostProcessor pp(&settings);
        print("pipeline_all_effects_720p_ms", medianMs(
                                                  runs, [&] { pp.process(work); }, fresh, 30));
    }
    // The same with the square model for every frame, for comparison.
    PersonSegmentationSP::setDefaultModelPath(QStringLiteral(VANTOR_MODELS_DIR "/selfie_segmentation.onnx"));
    {
        PostProcessor pp(&settings);
        print("pipeline_all_effects_square_model_720p_ms", medianMs(
                                                               runs, [&] { pp.process(work); }, fresh, 30));
    }
    return 0;
}
