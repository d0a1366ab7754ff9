#include "ImageBlurSP.h"

#include <QDebug>

#include <opencv2/imgproc.hpp>

#include <cmath>

namespace {

// The deviation left after downscaling: wide enough that bilinear upscaling of
// the blurred copy cannot be told from a full-size blur.
constexpr float kSmallSigma = 1.5f;

} // namespace

struct ImageBlurSPOpaque : SubProcessor::OpaqueBase
{
    using OpaqueBase::OpaqueBase;
    ~ImageBlurSPOpaque() override { qDebug() << "ImageBlurSP::Opaque DCTOR!"; }

    BitmapPtr blurTarget; // the frame-sized target the blur is drawn into
    cv::Mat blurred;      // the blurred picture before it is drawn
    cv::Mat scratch;
};

ImageBlurSP::ImageBlurSP()
    : SubProcessor(35)
{
    _opaque = std::make_shared<ImageBlurSPOpaque>(this);
}

ImageBlurSP::~ImageBlurSP()
{
    stopWorker();
}

float ImageBlurSP::sigmaFor(const CameraSetting& setting)
{
    const double sigma = setting.fraction() * 10.0;
    return std::isfinite(sigma) ? float(sigma) : 0.0f;
}

void ImageBlurSP::blur(const cv::Mat& src, cv::Mat& dst, float sigma, cv::Mat& scratch)
{
    if (!(sigma > 0.0f)) {
        src.copyTo(dst);
        return;
    }
    // Outside the frame is transparent black: the border fades out.
    // Powers of two keep the shrinking on OpenCV's fast whole-pixel path.
    int factor = 1;
    while (factor < 16 && float(factor * 2) * kSmallSigma <= sigma)
        factor *= 2;
    if (factor == 1) {
        cv::GaussianBlur(src, dst, cv::Size(), sigma, sigma, cv::BORDER_CONSTANT);
        return;
    }
    const cv::Size small((src.cols + factor - 1) / factor, (src.rows + factor - 1) / factor);
    cv::resize(src, scratch, small, 0, 0, cv::INTER_AREA);
    // Averaging down and interpolating back up add about factor^2 / 4 of
    // variance; the small blur leaves that much out.
    const double f = double(factor);
    const double s = std::sqrt(std::max(double(sigma) * sigma - f * f / 4.0, 1.0)) / f;
    cv::GaussianBlur(scratch, scratch, cv::Size(), s, s, cv::BORDER_CONSTANT);
    cv::resize(scratch, dst, src.size(), 0, 0, cv::INTER_LINEAR);
}

BitmapPtr ImageBlurSP::processImage(BitmapPtr input, float& width, float& height, const CameraSetting& setting)
{
    if (!input)
        return {};
    if (!shouldRun())
        return currentOutput();
    auto& o = static_cast<ImageBlurSPOpaque&>(*_opaque);
    const int w = int(width);
    const int h = int(height);
    if (input->type() != CV_8UC4 || input->cols != w || input->rows != h) {
        qWarning() << "ImageBlurSP::processImage -> input does not match" << width << height;
        return currentOutput();
    }
    if (!bitmap::hasSize(o.blurTarget, w, h))
        o.blurTarget = bitmap::create(w, h, bitmap::opaqueBlack());
    if (!o.blurTarget)
        return currentOutput();
    try {
        blur(*input, o.blurred, sigmaFor(setting), o.scratch);
        bitmap::drawOver(*o.blurTarget, o.blurred);
    } catch (const std::exception& e) {
        qWarning() << "ImageBlurSP::processImage -> blur failed:" << e.what();
        return currentOutput();
    }
    setOutput(o.blurTarget);
    input.reset();
    return currentOutput();
}
