#include "FrameConverter.h"

#include "YuvRows.h"

#include <PixelMeans.h>

#include <cstring>

namespace vcam {

namespace {

using Planes = FrameConverter::Planes;

void toI420(const yuv::Rows& rows, const uint8_t* src, const Planes& dst, uint32_t w, uint32_t h)
{
    const size_t stride = size_t(w) * 4;
    for (uint32_t row = 0; row < h; ++row)
        rows.luma(src + row * stride, dst.data[0] + row * dst.stride[0], w);
    for (uint32_t row = 0; row < h / 2; ++row)
        rows.chromaI420(src + 2 * row * stride, dst.data[1] + row * dst.stride[1], dst.data[2] + row * dst.stride[2],
                        w / 2);
}

void toNV12(const yuv::Rows& rows, const uint8_t* src, const Planes& dst, uint32_t w, uint32_t h)
{
    const size_t stride = size_t(w) * 4;
    for (uint32_t row = 0; row < h; ++row)
        rows.luma(src + row * stride, dst.data[0] + row * dst.stride[0], w);
    for (uint32_t row = 0; row < h / 2; ++row) {
        const uint8_t* top = src + 2 * row * stride;
        rows.chromaNV12(top, top + stride, dst.data[1] + row * dst.stride[1], w / 2);
    }
}

void toYUY2(const yuv::Rows& rows, const uint8_t* src, const Planes& dst, uint32_t w, uint32_t h)
{
    for (uint32_t row = 0; row < h; ++row)
        rows.yuy2(src + size_t(row) * w * 4, dst.data[0] + row * dst.stride[0], w / 2);
}

void copy(const uint8_t* src, const Planes& dst, uint32_t w, uint32_t h)
{
    const size_t stride = size_t(w) * 4;
    if (dst.stride[0] == stride) {
        std::memcpy(dst.data[0], src, stride * h);
        return;
    }
    for (uint32_t row = 0; row < h; ++row)
        std::memcpy(dst.data[0] + row * dst.stride[0], src + row * stride, stride);
}

// A 32-bit picture of w x h from one of 2w x 2h, the next pair of rows
// fetched while one is averaged.
void halve(const uint8_t* src, const Planes& dst, uint32_t w, uint32_t h)
{
    const size_t stride = size_t(w) * 8;
    for (uint32_t row = 0; row < h; ++row) {
        const uint8_t* top = src + 2 * row * stride;
        if (row + 1 < h)
            pixelmeans::prefetch(top + 2 * stride, 2 * stride);
        pixelmeans::meanOf2x2(reinterpret_cast<const uint32_t*>(top), reinterpret_cast<const uint32_t*>(top + stride),
                              reinterpret_cast<uint32_t*>(dst.data[0] + row * dst.stride[0]), int(w), 2);
    }
}

} // namespace

FrameConverter::Planes FrameConverter::packedPlanes(Kind kind, uint32_t width, uint32_t height, uint8_t* dst)
{
    Planes planes;
    planes.data[0] = dst;
    const size_t luma = size_t(width) * height;
    switch (kind) {
    case Copy:
        planes.stride[0] = size_t(width) * 4;
        break;
    case YUY2:
        planes.stride[0] = size_t(width) * 2;
        break;
    case I420:
        planes.stride[0] = width;
        planes.data[1] = dst + luma;
        planes.stride[1] = width / 2;
        planes.data[2] = dst + luma + luma / 4;
        planes.stride[2] = width / 2;
        break;
    case NV12:
        planes.stride[0] = width;
        planes.data[1] = dst + luma;
        planes.stride[1] = width;
        break;
    }
    return planes;
}

void FrameConverter::reset(uint32_t srcWidth, uint32_t srcHeight, uint32_t dstWidth, uint32_t dstHeight)
{
    _kind = Copy;
    _srcWidth = srcWidth;
    _srcHeight = srcHeight;
    _dstWidth = dstWidth;
    _dstHeight = dstHeight;
}

// 65536 x 65536 x 4 bytes is 2^34: it must not wrap to 0 on 32-bit builds
// (and 40000 x 40000 x 4 must not wrap to a small size).
static_assert(FrameConverter::requiredBytes(FrameConverter::Copy, 40000, 40000)
              == (sizeof(size_t) == 4 ? 0 : size_t(6400000000ull)));
static_assert(FrameConverter::requiredBytes(FrameConverter::I420, 1280, 720) == 1382400);

bool FrameConverter::convert(const uint8_t* src, size_t srcBytes, uint8_t* dst, size_t dstBytes) const
{
    const size_t need = requiredBytes(_kind, _dstWidth, _dstHeight);
    if (!dst || need == 0 || dstBytes < need)
        return false;
    return convert(src, srcBytes, packedPlanes(_kind, _dstWidth, _dstHeight, dst));
}

bool FrameConverter::convert(const uint8_t* src, size_t srcBytes, const Planes& dst) const
{
    if (!src || !dst.data[0] || !(sizesMatch() || halves()) || requiredBytes(_kind, _dstWidth, _dstHeight) == 0
        || srcBytes < requiredBytes(Copy, _srcWidth, _srcHeight))
        return false;
    const yuv::Rows& rows = _rows ? *_rows : yuv::rows();
    switch (_kind) {
    case Copy:
        if (halves())
            halve(src, dst, _dstWidth, _dstHeight);
        else
            copy(src, dst, _dstWidth, _dstHeight);
        return true;
    case I420:
        toI420(rows, src, dst, _dstWidth, _dstHeight);
        return true;
    case NV12:
        toNV12(rows, src, dst, _dstWidth, _dstHeight);
        return true;
    case YUY2:
        toYUY2(rows, src, dst, _dstWidth, _dstHeight);
        return true;
    }
    return false;
}

} // namespace vcam
