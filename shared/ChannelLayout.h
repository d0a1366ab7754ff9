// Byte layout of the shared frame channel. Every field is a fixed-width
// little-endian integer at a fixed offset and no pointer is ever stored in the
// section, so a 32-bit process and a 64-bit process agree on every byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace FrameChannel {

enum State : uint32_t {
    StateCreated = 1, // created, no frame yet
    StateFlowing = 2, // frames flowing
    StateClosed = 3,  // the writer closed the channel
};

constexpr uint32_t kSlotCount = 3;
constexpr uint32_t kHeaderSize = 96;
constexpr uint32_t kSlotHeaderSize = 32;

struct Header
{
    uint32_t writeSequence;     // frame being written; bumped before a slot is filled
    uint32_t publishedSequence; // last frame completely written
    uint32_t state;             // State
    uint32_t slotOffset[kSlotCount];
    uint32_t reserved0;
    uint32_t width;
    uint32_t height;
    uint32_t reserved1;                // keeps frameInterval 8-byte aligned
    alignas(8) uint64_t frameInterval; // 100-ns units
    uint8_t reserved2[32];             // written as zero
    uint8_t reserved3[16];             // never written
};

struct SlotHeader
{
    alignas(8) uint64_t timestamp;
    uint8_t reserved[24];
};

static_assert(sizeof(Header) == kHeaderSize);
static_assert(offsetof(Header, writeSequence) == 0);
static_assert(offsetof(Header, publishedSequence) == 4);
static_assert(offsetof(Header, state) == 8);
static_assert(offsetof(Header, slotOffset) == 12);
static_assert(offsetof(Header, reserved0) == 24);
static_assert(offsetof(Header, width) == 28);
static_assert(offsetof(Header, height) == 32);
static_assert(offsetof(Header, reserved1) == 36);
static_assert(offsetof(Header, frameInterval) == 40);
static_assert(offsetof(Header, reserved2) == 48);
static_assert(offsetof(Header, reserved3) == 80);
static_assert(sizeof(SlotHeader) == kSlotHeaderSize);
static_assert(offsetof(SlotHeader, timestamp) == 0);

// Offsets and sizes derived from the picture size.
struct Layout
{
    uint32_t frameBytes = 0; // width * height * 4
    uint32_t slotOffset[kSlotCount] = {};
    uint32_t sectionSize = 0;
};

// Computes the layout for a width x height picture in unsigned 32-bit
// arithmetic. Returns false for an empty picture or one whose section would not
// fit in 32 bits (the arithmetic would wrap and the slots would overlap).
constexpr bool computeLayout(uint32_t width, uint32_t height, Layout& out)
{
    if (width == 0 || height == 0)
        return false;
    // width * height fits in 64 bits; times 4 it might not, so check first.
    // The largest intermediate is slot 2's offset + F + 63; all of it must fit.
    const uint64_t pixels = uint64_t(width) * height;
    if (pixels > (UINT32_MAX - 320) / 3 / 4)
        return false;
    const uint32_t f = uint32_t(pixels * 4);
    out.frameBytes = f;
    out.slotOffset[0] = kHeaderSize;
    out.slotOffset[1] = (f + 159u) & ~31u;
    out.slotOffset[2] = (out.slotOffset[1] + f + 63u) & ~31u;
    out.sectionSize = (out.slotOffset[2] + f + 63u) & ~31u;
    return true;
}

} // namespace FrameChannel
