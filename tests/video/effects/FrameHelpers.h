#pragma once

// Small helpers shared by the video tests: building frames and bitmaps with
// known pixels and reading them back.

#include "Bitmap.h"

#include <QColor>
#include <QImage>
#include <QRandomGenerator>

#include <cstdint>
#include <cstring>

namespace testframes {

// B, G, R, A bytes of one pixel.
struct Px
{
    int b, g, r, a;
};

inline Px at(const cv::Mat& m, int x, int y)
{
    const uchar* p = m.ptr(y) + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

inline Px at(const QImage& img, int x, int y)
{
    const uchar* p = img.constScanLine(y) + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

inline void set(cv::Mat& m, int x, int y, Px v)
{
    uchar* p = m.ptr(y) + x * 4;
    p[0] = uchar(v.b), p[1] = uchar(v.g), p[2] = uchar(v.r), p[3] = uchar(v.a);
}

inline int maxDiff(Px a, Px b)
{
    return std::max({std::abs(a.b - b.b), std::abs(a.g - b.g), std::abs(a.r - b.r), std::abs(a.a - b.a)});
}

// An opaque frame of random colours, as the camera delivers it.
inline QImage randomFrame(int w, int h, quint32 seed = 1)
{
    QImage img(w, h, QImage::Format_RGB32);
    QRandomGenerator rng(seed);
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<quint32*>(img.scanLine(y));
        for (int x = 0; x < w; ++x)
            line[x] = 0xff000000u | (rng.generate() & 0xffffffu);
    }
    return img;
}

inline BitmapPtr filled(int w, int h, Px v)
{
    return bitmap::create(w, h, cv::Scalar(v.b, v.g, v.r, v.a));
}

inline BitmapPtr fromImage(const QImage& image)
{
    const QImage p = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    return bitmap::createFrom(p.width(), p.height(), p.constBits(), size_t(p.bytesPerLine()));
}

inline QImage toImage(const cv::Mat& m)
{
    QImage img(m.cols, m.rows, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < m.rows; ++y)
        std::memcpy(img.scanLine(y), m.ptr(y), size_t(m.cols) * 4);
    return img;
}

// A colour with the given chroma (Cb, Cr) and luma on the 0..1 scale.
inline Px fromYCbCr(double y, double cb, double cr)
{
    auto byte = [](double v) { return int(std::lround(std::clamp(v, 0.0, 1.0) * 255.0)); };
    return {byte(y + 1.772 * cb), byte(y - 0.344136 * cb - 0.714136 * cr), byte(y + 1.402 * cr), 255};
}

} // namespace testframes
