// The media types the driver offers and accepts: building the offered type
// of a format, deep copies in task memory, mapping a client's type back to
// the driver's format numbering, and reading its picture size and interval.
#pragma once

#include "Com.h"

#include <Formats.h>

#include <strmif.h>
// After strmif.h, which they build on.
#include <amvideo.h>
#include <vfwmsgs.h>

#include <optional>

namespace DShow {

using vcam::FormatId;

// The offered type of `id` at 1280 x 720, 30 frames per second, with its
// format block in task memory. False (and `mt` empty) when memory runs out.
bool buildVideoType(FormatId id, AM_MEDIA_TYPE& mt);

// Deep copy: `dst` gets its own task-memory format block. E_OUTOFMEMORY
// leaves `dst` empty.
HRESULT copyMediaType(AM_MEDIA_TYPE& dst, const AM_MEDIA_TYPE& src);
// Frees the format block and the held pUnk; the structure stays.
void freeMediaType(AM_MEDIA_TYPE& mt);
// A task-memory copy of `src` (the form IEnumMediaTypes and GetFormat hand
// out), or null when memory runs out.
AM_MEDIA_TYPE* newMediaType(const AM_MEDIA_TYPE& src);
void deleteMediaType(AM_MEDIA_TYPE* mt);

// The driver's format for a client's type: the subtype decides first, then
// the header's compression code. A type whose major type is not video leaves
// `current` as it was; a video type that maps neither way is FormatUnknown.
FormatId mapFormatId(const AM_MEDIA_TYPE& mt, FormatId current);

// The picture a type describes, from its VIDEOINFOHEADER or VIDEOINFOHEADER2
// (null when the type carries neither, or a block too short for it).
const BITMAPINFOHEADER* bitmapHeader(const AM_MEDIA_TYPE& mt);
REFERENCE_TIME averageTimePerFrame(const AM_MEDIA_TYPE& mt);

struct VideoShape
{
    FormatId format = vcam::FormatI420;
    uint32_t width = vcam::kDefaultWidth;
    uint32_t height = vcam::kDefaultHeight;
    REFERENCE_TIME interval = REFERENCE_TIME(vcam::kDefaultFrameInterval);

    // Bytes per sample: height x bits per pixel x width / 8.
    size_t sampleBytes() const;
};

// What a client may set as the pin's format: a video type of one of the
// offered formats (by subtype), with a positive size of the offered picture
// and a positive frame interval. Anything else would leave samples the
// delivery cannot fill, or overrun them; nullopt.
std::optional<VideoShape> acceptableShape(const AM_MEDIA_TYPE& mt);

} // namespace DShow
