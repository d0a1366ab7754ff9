#pragma once

#include <opencv2/core/mat.hpp>
#include <opencv2/core/matx.hpp>

// Bilinear affine warp of B8G8R8A8 pictures, computed like OpenCV's
// cv::warpAffine(src, dst, forward, dst.size(), INTER_LINEAR, BORDER_TRANSPARENT)
// but with a 256-bit vector path for the rotation stage's frame rate.
//
// Each target pixel maps through the inverse of `forward` to a source position
// in fixed point (1/32 of a pixel, rounded as OpenCV does) and takes the
// bilinear mix of its 2x2 source neighbourhood. Pixels whose neighbourhood is
// not entirely inside the source keep the target's earlier content. Results
// are identical on every processor: the vector path and the baseline path
// compute the same integers.
namespace warpkernel {

// Returns false (and leaves dst alone) unless both pictures are CV_8UC4 and
// they do not share memory.
bool warpAffine(const cv::Mat& src, cv::Mat& dst, const cv::Matx23f& forward);
// The same with the baseline instruction set only.
bool warpAffineBaseline(const cv::Mat& src, cv::Mat& dst, const cv::Matx23f& forward);

} // namespace warpkernel
