// The driver's numbering of pixel formats and what each needs per picture.
#pragma once

#include "FrameConverter.h"

#include <cstdint>

namespace vcam {

enum FormatId : uint32_t {
    FormatUnknown = 1, // a video type that maps to none of the rows below
    FormatARGB32 = 100,
    FormatRGB32 = 101,
    FormatI420 = 200,
    FormatNV12 = 201,
    FormatYV12 = 202,
    FormatY800 = 203,
    FormatYVYU = 300,
    FormatYUY2 = 301,
    FormatUYVY = 302,
    FormatHDYC = 303,
    FormatMJPG = 400,
    FormatH264 = 401,
};

// The five formats offered to clients, in the order they are offered.
constexpr FormatId kOfferedFormats[] = {FormatARGB32, FormatRGB32, FormatI420, FormatNV12, FormatYUY2};

constexpr uint32_t kDefaultWidth = 1280;
constexpr uint32_t kDefaultHeight = 720;
constexpr uint64_t kDefaultFrameInterval = 333333; // 100-ns units, 30 frames per second

constexpr uint32_t bitsPerPixel(FormatId id)
{
    switch (id) {
    case FormatARGB32:
    case FormatRGB32:
        return 32;
    case FormatI420:
    case FormatNV12:
    case FormatYV12:
        return 12;
    case FormatY800:
        return 8;
    case FormatYVYU:
    case FormatYUY2:
    case FormatUYVY:
        return 16;
    default:
        return 0;
    }
}

// The conversion used for a format. Formats without their own conversion
// fall back to the straight copy, which the converter refuses whenever the
// destination is too small for it.
constexpr FrameConverter::Kind converterKind(FormatId id)
{
    switch (id) {
    case FormatI420:
        return FrameConverter::I420;
    case FormatYUY2:
        return FrameConverter::YUY2;
    case FormatNV12:
        return FrameConverter::NV12;
    default:
        return FrameConverter::Copy;
    }
}

} // namespace vcam
