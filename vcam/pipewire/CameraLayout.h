// What the PipeWire camera offers and how a frame lies in a PipeWire buffer:
// the format table, the plane layout for a row stride, and when the camera
// counts as a client. Plain functions, so the tests check them without a
// PipeWire daemon.
#pragma once

#include <Formats.h>

#include <pipewire/stream.h>

#include <cstddef>
#include <cstdint>

namespace vcam::pipewire {

struct CameraFormat
{
    FormatId id;
    uint32_t spaFormat; // enum spa_video_format
    const char* name;   // as GStreamer and pw-dump spell it
};

// The formats offered, in the order of preference: YUY2 first, as physical
// webcams offer it, so that a consumer that leaves the format open gets
// what it is most likely to expect.
extern const CameraFormat kCameraFormats[4];

constexpr uint32_t kFrameRate = 30;

// The entry for a SPA video format, or null when it is not offered.
const CameraFormat* cameraFormatForSpa(uint32_t spaFormat);

// Where the planes of a width x height picture lie in one data block: the
// layout GStreamer and most PipeWire consumers assume for a single block,
// planes back to back, chroma rows at half the luma stride (I420) or at the
// same stride (NV12's interleaved pairs).
struct FrameLayout
{
    uint32_t planes = 0;
    size_t offset[3] = {};
    size_t stride[3] = {};
    size_t size = 0; // 0 when the size or stride does not fit the format
};

// `stride` is plane 0's bytes per row; 0 asks for the tightest stride (rows
// rounded up to 4 bytes, as GStreamer lays them out).
FrameLayout frameLayout(FormatId format, uint32_t width, uint32_t height, size_t stride = 0);

// The camera counts as one client exactly while its stream is streaming: a
// consumer is linked and the graph runs. Listed, paused (the last consumer
// left or died), unconnected or failed does not count.
constexpr bool countsAsClient(enum pw_stream_state state)
{
    return state == PW_STREAM_STATE_STREAMING;
}

} // namespace vcam::pipewire
