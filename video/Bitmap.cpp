#include "Bitmap.h"

#include "PixelRows.h"

#include <QDebug>


#include <cstring>
#include <new>

namespace bitmap {

bool sizeAllowed(int width, int height)
{
    return width > 0 && height > 0 && width <= kMaxDimension && height <= kMaxDimension
           && (long long)width * height <= kMaxPixels;
}

BitmapPtr create(int width, int height, const cv::Scalar& fill)
{
    if (!sizeAllowed(width, height)) {
        qWarning() << "Failed to create ID2D1Bitmap1 from buffer." << width << height;
        return {};
    }
    try {
        return std::make_shared<cv::Mat>(height, width, CV_8UC4, fill);
    } catch (const std::exception& e) {
        qWarning() << "Failed to create ID2D1Bitmap1 from buffer." << e.what();
        return {};
    }
}

BitmapPtr createFrom(int width, int height, const void* data, size_t pitch)
{
    if (!data || pitch < size_t(width) * 4) {
        qWarning() << "Failed to create ID2D1Bitmap1 from buffer." << width << height << pitch;
        return {};
    }
    BitmapPtr bmp = create(width, height, cv::Scalar());
    if (!bmp)
        return {};
    const auto* src = static_cast<const uchar*>(data);
    for (int y = 0; y < height; ++y)
        std::memcpy(bmp->ptr(y), src + size_t(y) * pitch, size_t(width) * 4);
    return bmp;
}

bool hasSize(const BitmapPtr& bmp, int width, int height)
{
    return bmp && !bmp->empty() && bmp->cols == width && bmp->rows == height;
}

void drawOver(cv::Mat& dst, const cv::Mat& src, const cv::Rect& area)
{
    if (dst.empty() || src.empty() || dst.type() != CV_8UC4 || src.type() != CV_8UC4)
        return;
    const cv::Rect r = area & cv::Rect(0, 0, src.cols, src.rows) & cv::Rect(0, 0, dst.cols, dst.rows);
    if (r.empty())
        return;
    const auto drawOverRow = pixelrows::rows().drawOver;
    for (int y = r.y; y < r.y + r.height; ++y)
        drawOverRow(dst.ptr(y) + size_t(r.x) * 4, dst.ptr(y) + size_t(r.x) * 4, src.ptr(y) + size_t(r.x) * 4, r.width);
}

void composeOver(cv::Mat& dst, const cv::Mat& below, const cv::Mat& above)
{
    if (below.empty() || below.type() != CV_8UC4)
        return;
    if (dst.size() != below.size() || above.size() != below.size() || dst.type() != CV_8UC4 || above.type() != CV_8UC4
        || dst.data == above.data) {
        below.copyTo(dst);
        drawOver(dst, above);
        return;
    }
    const auto drawOverRow = pixelrows::rows().drawOver;
    for (int y = 0; y < dst.rows; ++y)
        drawOverRow(dst.ptr(y), below.ptr(y), above.ptr(y), dst.cols);
}

} // namespace bitmap
