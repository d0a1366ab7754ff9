#pragma once

#include <QImage>

// Frame-sized images whose pixels live in large pages where the system has them
// (see platform/LargeBuffer.h): the camera's frames and the pipeline's results,
// which every frame sweeps through. Images under kLargeFrom are Qt's own.
namespace framememory {

// Pictures from this size on live in large pages; smaller ones would waste
// most of a large page.
constexpr qsizetype kLargeFrom = qsizetype(1) << 20;

// A width x height image of `format`, all bytes zero, freed with its last copy;
// a null image when the size is not positive or beyond 1 GiB, or the memory
// cannot be had.
QImage createImage(int width, int height, QImage::Format format);

} // namespace framememory
