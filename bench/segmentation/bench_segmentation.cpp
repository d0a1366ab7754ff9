// Per-frame cost of the effects at 1280 x 720 on one thread (OpenCV and ONNX
// Runtime are set to one thread): the segmentation as the pipeline runs it (the
// 144 x 256 landscape model), with the 256 x 256 model, and with two inference
// threads; a new stage's first frame (the GPU session's attempt, the CPU
// session's load and a run); the network alone under ONNX Runtime and, for
// comparison, under OpenCV's DNN module; the blur at the largest deviation (and
// at a small one, which blurs at full size), tone and fine rotation alone, and
// the whole pipeline with every effect on, also with the square model only.
// Stages run on every frame: the throttle is lifted, and the pipeline gets
// frames 30 ms apart, as a camera delivers them, so its 35-per-second stages
// never skip. Prints medians in milliseconds.
#include "BaseSettings.h"
#include "PictureBench.h"
#include "ImageBlurSP.h"
#include "OnnxSession.h"
#include "PersonSegmentationSP.h"
#include "PostProcessor.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <QThread>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

    const QString landscape = QStringLiteral(VANTOR_MODELS_DIR "/selfie_segmentation_landscape.onnx");
    const QString square = QStringLiteral(VANTOR_MODELS_DIR "/selfie_segmentation.onnx");
    const auto segmentationMs = [&](const QString& model) {
        PersonSegmentationSP stage(model);
        stage.setMaxRate(1000000);
        return medianMs(runs, [&] { stage.cutOut(frame.constBits(), float(kW), float(kH), false); });
    };
    print("segmentation_720p_ms", segmentationMs(landscape));
    print("segmentation_square_model_720p_ms", segmentationMs(square));
    // Fresh stages, each paying for its sessions on its first frame.
    print("segmentation_first_frame_ms", medianMs(5, [&] {
              PersonSegmentationSP stage(landscape);
              stage.cutOut(frame.constBits(), float(kW), float(kH), false);
          }));
    setenv("VANTOR_INFERENCE_THREADS", "2", 1);
    print("segmentation_720p_2_threads_ms", segmentationMs(landscape));
    unsetenv("VANTOR_INFERENCE_THREADS");

    // The landscape network alone, on the same input, under both engines.
    QFile modelFile(landscape);
    modelFile.open(QIODevice::ReadOnly);
    const QByteArray modelBytes = modelFile.readAll();
    OnnxSession session(modelBytes, OnnxSession::Provider::Cpu);
    const int dims[4] = {1, 3, 144, 256};
    cv::Mat blob(4, dims, CV_32F);
    cv::randu(blob, -1.0, 1.0);
    std::memcpy(session.input(), blob.ptr<float>(), blob.total() * sizeof(float));
    print("network_144x256_onnxruntime_ms", medianMs(runs, [&] { session.run(); }));
    cv::dnn::Net net = cv::dnn::readNetFromONNX(modelBytes.constData(), size_t(modelBytes.size()));
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    std::vector<cv::Mat> outputs;
    print("network_144x256_opencv_dnn_ms", medianMs(runs, [&] {
              net.setInput(blob);
              net.forward(outputs);
          }));

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
