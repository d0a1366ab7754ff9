#include "ImageRotateSP.h"

#include "WarpKernel.h"

#include <QDebug>
#include <QImage>
#include <QPainter>

#include <cmath>

struct ImageRotateSPOpaque : SubProcessor::OpaqueBase
{
    using OpaqueBase::OpaqueBase;
    ~ImageRotateSPOpaque() override { qDebug() << "ImageRotateSPOpaque::Opaque DCTOR!"; }

    BitmapPtr pillarBitmap;
    BitmapPtr rotateTarget;
    float pillarAngle = 0.0f;
    int barPixels = 0; // columns of each side that the bars touch
};

ImageRotateSP::ImageRotateSP()
{
    _opaque = std::make_shared<ImageRotateSPOpaque>(this);
}

ImageRotateSP::~ImageRotateSP()
{
    stopWorker();
}

float ImageRotateSP::fineAngle(const CameraSetting& fine)
{
    return float(fine.value) * 0.5f;
}

float ImageRotateSP::scaleFor(float width, float height, int rotation, float f)
{
    const double a = std::fabs(double(f)) * double(kDegree);
    double s;
    if (rotation == 2)
        s = (a * 0.4 + 1.0) * (double(width) / double(height));
    else if (rotation == 1)
        s = (double(height) / double(width)) * 1.75;
    else
        s = a * 1.35 + 1.0;
    return float(s);
}

float ImageRotateSP::angleFor(int rotation, float f)
{
    return rotation == 0 ? f : f + 90.0f;
}

float ImageRotateSP::barWidth(float width, float height, float scale, float f)
{
    return std::max(0.0f, (width - height * scale) * 0.5f) * (std::fabs(f) * kDegree + 1.0f);
}

cv::Matx23f ImageRotateSP::transform(float width, float height, float scale, float angleDegrees)
{
    const double rad = double(angleDegrees) * 3.141592653589793 / 180.0;
    const double c = std::cos(rad) * scale;
    const double s = std::sin(rad) * scale;
    const double cx = width / 2.0;
    const double cy = height / 2.0;
    // y grows downwards, so this turns clockwise on screen for a positive angle.
    return cv::Matx23f(float(c), float(-s), float(cx - c * cx + s * cy), float(s), float(c),
                       float(cy - s * cx - c * cy));
}

BitmapPtr ImageRotateSP::processImage(BitmapPtr input, float& width, float& height, const CameraSetting& rotation,
                                      const CameraSetting& fine)
{
    if (!input)
        return {};
    if (!shouldRun())
        return currentOutput();
    if (rotation.value == 0 && fine.value == 0) {
        setOutput(input);
        return currentOutput();
    }
    auto& o = static_cast<ImageRotateSPOpaque&>(*_opaque);
    const int w = int(width);
    const int h = int(height);
    if (input->type() != CV_8UC4 || input->cols != w || input->rows != h) {
        qWarning() << "ImageRotateSP::processImage -> input does not match" << w << h;
        return currentOutput();
    }

    const float f = fineAngle(fine);
    const float s = scaleFor(width, height, rotation.value, f);
    if (!std::isfinite(s))
        return currentOutput();
    const cv::Matx23f m = transform(width, height, s, angleFor(rotation.value, f));

    if (!bitmap::hasSize(o.rotateTarget, w, h))
        o.rotateTarget = bitmap::create(w, h, bitmap::opaqueBlack());
    if (!o.rotateTarget)
        return currentOutput();
    // A warp cannot read and write one picture; a stage fed its own output
    // (or anything sharing its pixels) turns a copy.
    const cv::Mat& t = *o.rotateTarget;
    if (input->datastart < t.dataend && t.datastart < input->dataend)
        input = std::make_shared<cv::Mat>(input->clone());
    // Pixels the turned picture does not reach keep the target's earlier content.
    warpkernel::warpAffine(*input, *o.rotateTarget, m);

    if (rotation.value == 1) {
        if (!bitmap::hasSize(o.pillarBitmap, w, h) || o.pillarAngle != f) {
            qDebug() << "recreating black pillar background image";
            o.pillarAngle = f;
            const float b = barWidth(width, height, s, f);
            QImage bars(w, h, QImage::Format_ARGB32_Premultiplied);
            bars.fill(Qt::transparent);
            {
                QPainter painter(&bars);
                painter.fillRect(QRectF(0, 0, b, h), Qt::black);
                painter.fillRect(QRectF(w - b, 0, b, h), Qt::black);
            }
            o.pillarBitmap = bitmap::createFrom(w, h, bars.constBits(), size_t(bars.bytesPerLine()));
            o.barPixels = int(std::min<float>(std::ceil(b) + 1.0f, float(w)));
        }
        if (o.pillarBitmap) {
            // The bars picture is transparent between the bars; only the columns
            // they touch need compositing.
            bitmap::drawOver(*o.rotateTarget, *o.pillarBitmap, cv::Rect(0, 0, o.barPixels, h));
            bitmap::drawOver(*o.rotateTarget, *o.pillarBitmap, cv::Rect(w - o.barPixels, 0, o.barPixels, h));
        }
    }

    setOutput(o.rotateTarget);
    input.reset();
    return currentOutput();
}
