// Per-frame cost of the picture pipeline at 1280 x 720 on one thread: each stage
// alone (overlays once their picture is built) and the whole pipeline with no
// effect and with tone, rotation and both overlays. Prints the median of many
// frames in milliseconds.
#include "BaseSettings.h"
#include "PictureBench.h"
#include "ImageOverlaySP.h"
#include "PostProcessor.h"
#include "TextOverlaySP.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>

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
    const QImage premultiplied = frame.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    auto input = std::make_shared<cv::Mat>(kH, kW, CV_8UC4);
    auto upload = [&] {
        for (int y = 0; y < kH; ++y)
            std::memcpy(input->ptr(y), premultiplied.constScanLine(y), size_t(kW) * 4);
    };
    upload();
    const int runs = 200;

    print("tone_720p_ms", toneStageMs(input, runs));
    print("rotate_720p_ms", fineRotationMs(input, runs));

    QVariantMap logo = BaseSettings::groupDefaults(BaseSettings::LogoOverlay);
    logo[BaseSettings::keyName(BaseSettings::Enabled)] = true;
    logo[BaseSettings::keyName(BaseSettings::ImageData)] = logoPng();
    logo[BaseSettings::keyName(BaseSettings::LastModified)] = 1;
    {
        ImageOverlaySP overlay;
        overlay.setMaxRate(1000000);
        print("logo_overlay_720p_ms", medianMs(runs, [&] {
                  float w = kW, h = kH;
                  overlay.processImage(input, w, h, logo);
              }));
    }
    upload();
    QVariantMap text = BaseSettings::groupDefaults(BaseSettings::TextOverlay);
    text[BaseSettings::keyName(BaseSettings::Enabled)] = true;
    text[BaseSettings::keyName(BaseSettings::LastModified)] = 1;
    {
        TextOverlaySP overlay;
        overlay.setMaxRate(1000000);
        print("text_overlay_720p_ms", medianMs(runs, [&] {
                  float w = kW, h = kH;
                  overlay.processImage(input, w, h, text);
              }));
    }

    BaseSettings settings;
    {
        PostProcessor pp(&settings);
        QImage work = frame;
        print("pipeline_no_effects_720p_ms", medianMs(2000, [&] { pp.process(work); }));
    }
    settings.setValue("SkinTone", 20);
    settings.setValue("FineCameraRotation", 12);
    settings.setSetting(BaseSettings::LogoOverlay, BaseSettings::ImageData, logoPng());
    settings.setSetting(BaseSettings::LogoOverlay, BaseSettings::Enabled, true);
    settings.setSetting(BaseSettings::TextOverlay, BaseSettings::Enabled, true);
    {
        PostProcessor pp(&settings);
        QImage work;
        print("pipeline_tone_rotate_overlays_720p_ms", medianMs(runs, [&] {
                  work = frame;
                  pp.process(work);
              }));
    }
    return 0;
}
