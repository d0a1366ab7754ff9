#include "CameraLayout.h"

#include <spa/param/video/raw.h>

namespace vcam::pipewire {

const CameraFormat kCameraFormats[4] = {
    {FormatYUY2, SPA_VIDEO_FORMAT_YUY2, "YUY2"},
    {FormatI420, SPA_VIDEO_FORMAT_I420, "I420"},
    {FormatNV12, SPA_VIDEO_FORMAT_NV12, "NV12"},
    {FormatRGB32, SPA_VIDEO_FORMAT_BGRx, "BGRx"},
};

const CameraFormat* cameraFormatForSpa(uint32_t spaFormat)
{
    for (const CameraFormat& f : kCameraFormats)
        if (f.spaFormat == spaFormat)
            return &f;
    return nullptr;
}

namespace {

constexpr size_t roundUp4(size_t n)
{
    return (n + 3) & ~size_t(3);
}

} // namespace

FrameLayout frameLayout(FormatId format, uint32_t width, uint32_t height, size_t stride)
{
    FrameLayout layout;
    if (FrameConverter::requiredBytes(converterKind(format), width, height) == 0)
        return layout;
    const size_t w = width, h = height;
    switch (format) {
    case FormatYUY2:
    case FormatRGB32: {
        const size_t row = w * (format == FormatYUY2 ? 2 : 4);
        layout.planes = 1;
        layout.stride[0] = stride ? stride : roundUp4(row);
        if (layout.stride[0] < row)
            return FrameLayout {};
        layout.size = layout.stride[0] * h;
        return layout;
    }
    case FormatI420: {
        layout.planes = 3;
        layout.stride[0] = stride ? stride : roundUp4(w);
        // Chroma rows are half as long as luma rows: half the stride when it
        // is even, else the rows' own rounded length.
        layout.stride[1] = layout.stride[2] = stride ? stride / 2 : roundUp4(w / 2);
        if (layout.stride[0] < w || layout.stride[1] < w / 2)
            return FrameLayout {};
        layout.offset[1] = layout.stride[0] * h;
        layout.offset[2] = layout.offset[1] + layout.stride[1] * (h / 2);
        layout.size = layout.offset[2] + layout.stride[2] * (h / 2);
        return layout;
    }
    case FormatNV12: {
        layout.planes = 2;
        layout.stride[0] = layout.stride[1] = stride ? stride : roundUp4(w);
        if (layout.stride[0] < w)
            return FrameLayout {};
        layout.offset[1] = layout.stride[0] * h;
        layout.size = layout.offset[1] + layout.stride[1] * (h / 2);
        return layout;
    }
    default:
        return FrameLayout {};
    }
}

} // namespace vcam::pipewire
