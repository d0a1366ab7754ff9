#pragma once

#include <QImage>

// Frame-sized images whose pixels live in large pages where the system has them
// (see platform/LargeBuffer.h): the camera's frames and the pipeline's results,
// which every frame sweeps through. Images under 1 MiB are Qt's own.
namespace framememory {

// A width x height image of `format`, all bytes zero, freed with its last copy;
// a null image when the size is not positive or beyond 1 GiB, or the memory
// cannot be had.
QImage createImage(int width, int height, QImage::Format format);

} // namespace framememory
