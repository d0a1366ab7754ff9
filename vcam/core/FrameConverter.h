// Converts a 32-bit picture (blue, green, red, x; stride width * 4) into the
// output format a client negotiated. Integer formulas, bit-exact on every
// platform:
//   Y = ((66 R + 129 G + 25 B + 128) >> 8) + 16
//   U = ((112 B - 74 G - 38 R + 128) >> 8) + 128
//   V = ((112 R - 94 G - 18 B + 128) >> 8) + 128
// I420 and YUY2 take U and V from one pixel (top-left of a 2x2 block, left of
// a pair); NV12 averages the four values of each 2x2 block; YUY2 computes its
// luma without the rounding term.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vcam {

namespace yuv {
struct Rows;
}

class FrameConverter
{
public:
    enum Kind { NV12 = 0, I420 = 1, YUY2 = 2, Copy = 3 };

    // Straight copy with the given source and destination sizes.
    void reset(uint32_t srcWidth, uint32_t srcHeight, uint32_t dstWidth, uint32_t dstHeight);
    void setKind(Kind kind) { _kind = kind; }
    Kind kind() const { return _kind; }
    uint32_t srcWidth() const { return _srcWidth; }
    uint32_t srcHeight() const { return _srcHeight; }
    uint32_t dstWidth() const { return _dstWidth; }
    uint32_t dstHeight() const { return _dstHeight; }
    bool sizesMatch() const { return _srcWidth == _dstWidth && _srcHeight == _dstHeight; }
    // A copy whose destination is half the source each way: each pixel is
    // the rounded mean of its 2 x 2 block (a preview's size, at a quarter of
    // the bytes).
    bool halves() const
    {
        return _kind == Copy && _dstWidth != 0 && _dstHeight != 0 && _srcWidth == 2 * _dstWidth
            && _srcHeight == 2 * _dstHeight;
    }
    // The row loops to convert with (see YuvRows.h); null, the default, is
    // the widest this processor allows.
    void useRows(const yuv::Rows* rows) { _rows = rows; }

    // Bytes of a width x height picture in `kind` (0 when the size does not
    // fit the format: empty, odd where the format needs pairs or blocks, or
    // too large for this process's address space). Computed in 64 bits, so a
    // 32-bit build cannot wrap around to a small count.
    static constexpr size_t requiredBytes(Kind kind, uint32_t width, uint32_t height)
    {
        if (width == 0 || height == 0)
            return 0;
        const uint64_t pixels = uint64_t(width) * height;
        if (pixels > UINT64_MAX / 4)
            return 0;
        uint64_t bytes = 0;
        switch (kind) {
        case Copy:
            bytes = pixels * 4;
            break;
        case YUY2:
            bytes = width % 2 ? 0 : pixels * 2;
            break;
        case I420:
        case NV12:
            bytes = (width % 2 || height % 2) ? 0 : pixels + pixels / 2;
            break;
        }
        return bytes <= SIZE_MAX ? size_t(bytes) : 0;
    }

    // Where a converted picture goes: up to three planes (Y, U, V for I420;
    // Y, interleaved UV for NV12; one for YUY2 and the copy), each with its
    // bytes per row, which may exceed the row's own bytes.
    struct Planes
    {
        uint8_t* data[3] = {};
        size_t stride[3] = {};
    };
    // The planes of a picture of `kind` laid out back to back without padding
    // from `dst`.
    static Planes packedPlanes(Kind kind, uint32_t width, uint32_t height, uint8_t* dst);

    // Converts `src` (srcBytes long) into `dst` (dstBytes long). Writes
    // nothing and returns false unless the sizes match (or the copy halves),
    // the source holds the whole picture and the destination holds the whole
    // converted picture.
    bool convert(const uint8_t* src, size_t srcBytes, uint8_t* dst, size_t dstBytes) const;
    // The same into planes the caller vouches for (each holds the format's
    // rows at its stride, a stride at least the row's bytes).
    bool convert(const uint8_t* src, size_t srcBytes, const Planes& dst) const;

private:
    Kind _kind = Copy;
    uint32_t _srcWidth = 0;
    uint32_t _srcHeight = 0;
    uint32_t _dstWidth = 0;
    uint32_t _dstHeight = 0;
    const yuv::Rows* _rows = nullptr;
};

} // namespace vcam
