#pragma once

#include <opencv2/core.hpp>

#include <memory>

// The picture handed from stage to stage: premultiplied B8G8R8A8 pixels in a
// CV_8UC4 matrix. Shared ownership stands in for a reference-counted bitmap: a
// stage returns its own cached target and keeps it, so once the frame size is
// stable a frame allocates nothing.
using BitmapPtr = std::shared_ptr<cv::Mat>;

namespace bitmap {

// Largest side and pixel count a bitmap may have. Frames beyond these are refused
// instead of exhausting memory (several frame-sized targets exist per stage).
constexpr int kMaxDimension = 8192;
constexpr long long kMaxPixels = 8192LL * 4608LL;

bool sizeAllowed(int width, int height);

// A width x height bitmap filled with `fill` (B, G, R, A), or empty (with a
// warning) when the size is not allowed or memory runs out.
BitmapPtr create(int width, int height, const cv::Scalar& fill);
// A bitmap holding a copy of `data` (rows of `pitch` bytes, width x 4 used).
BitmapPtr createFrom(int width, int height, const void* data, size_t pitch);

inline cv::Scalar opaqueBlack()
{
    return {0, 0, 0, 255};
}
inline cv::Scalar transparent()
{
    return {0, 0, 0, 0};
}

bool hasSize(const BitmapPtr& bmp, int width, int height);

// Source-over composition of premultiplied pixels: dst = src + dst * (1 - srcA),
// limited to `area` (clipped to both pictures; `src` and `dst` share one origin).
void drawOver(cv::Mat& dst, const cv::Mat& src, const cv::Rect& area);
// dst = above drawn over below, in one pass; the same pixels as copying below to
// dst and drawing above over it. Pictures of different sizes take that slow way.
void composeOver(cv::Mat& dst, const cv::Mat& below, const cv::Mat& above);
inline void drawOver(cv::Mat& dst, const cv::Mat& src)
{
    drawOver(dst, src, cv::Rect(0, 0, src.cols, src.rows));
}

} // namespace bitmap
