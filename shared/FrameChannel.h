// The shared frame channel "VantorCamVideo": one writer (the control
// application's feeder) publishes processed pictures into three rotating slots
// of a named shared-memory section; any number of readers (virtual camera
// filters in client programs) poll the newest one. No lock is taken: the
// writer stores publishedSequence with release order after the pixels, readers
// load it with acquire order before they touch pixels.
#pragma once

#include "ChannelLayout.h"
#include "platform/SharedMemory.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace FrameChannel {

constexpr char kName[] = "VantorCamVideo";
constexpr uint32_t kMaxRepeats = 10; // polls without a new frame before a reader lets go

// The process-local handle; each side allocates its own.
struct Handle
{
    SharedMemory::Section section;
    bool slotsResolved = false; // reader: slot addresses computed and checked
    Header* header = nullptr;
    size_t mappedSize = 0;
    uint8_t* slot[kSlotCount] = {};
    uint8_t* pixels[kSlotCount] = {};
    uint32_t lastSequence = 0; // reader: publishedSequence consumed last
    uint32_t repeats = 0;      // reader: consecutive polls without a new frame
    uint32_t lastState = 0;    // reader: state seen on the previous poll
    bool owner = false;        // writer handle; closing it marks the channel closed
    // Picture geometry: set by the writer at creation, by a reader when it
    // resolves the slots (only after checking it against the mapped size).
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t frameBytes = 0;
    uint64_t frameInterval = 0;
};

// Writer (control application). Returns null when the picture size is empty or
// too large, or while a live writer still owns the channel.
Handle* createWriter(uint32_t width, uint32_t height, uint64_t frameInterval);
// Copies min(byteCount, frame size) bytes into the next slot and publishes it.
// Does nothing for a null or reader handle or null pixels.
void writeFrame(Handle* handle, const void* pixels, uint32_t byteCount, uint64_t timestamp);

// Reader (driver). Returns null when there is no channel (yet).
Handle* openReader();

// Both sides; null allowed. A writer's close stores state 3 first.
void close(Handle* handle);

// The channel state as the header holds it now (0 for a null handle, 3 for a
// view whose section was shrunk under it).
uint32_t readState(const Handle* handle);

// True once the section was shrunk under this handle's view (by somebody
// else: ours never shrink): a writer writes into nothing from then on and
// should make a new channel.
bool isLost(const Handle* handle);

// Reader: reads width, height, frame interval and slot offsets from the
// header and checks that every slot lies inside the mapped section. On
// success the slot addresses and the geometry fields are set; otherwise the
// slots stay unresolved and the reader has no frame.
bool resolveSlots(Handle* handle);

enum class Poll {
    NoFrame,  // no frame to show: state 1, unknown state or a header that fails the checks
    NewFrame, // `frame` is a frame not seen before
    Repeat,   // `frame` is the same frame as last time
    Reopen,   // state 3, kMaxRepeats polls without news or a shrunk section: close, open again next time
};

struct Frame
{
    const uint8_t* pixels = nullptr; // B, G, R, A/unused; stride width * 4
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t byteCount = 0;
    uint32_t sequence = 0;
};

// Reader: one poll. Resolves the slots on the first sight of state 2 (and
// re-reads the geometry whenever the state turns to 2 again), then points
// `frame` at the slot of publishedSequence mod 3. Every address handed out
// lies inside the mapped section, whatever the header holds.
Poll pollFrame(Handle* handle, Frame& frame);

// Reader, after copying or converting `frame`: false when the writer may have
// begun overwriting its slot meanwhile (it has started three newer frames), or
// the section was shrunk under the reader, so the copy may be torn or blank
// and should be dropped or repeated.
bool frameIntact(const Handle* handle, const Frame& frame);

namespace detail {
// The same operations on a channel of another name (tests use private names).
Handle* createWriter(const std::string& name, uint32_t width, uint32_t height, uint64_t frameInterval);
Handle* openReader(const std::string& name);
// A reader handle over memory the caller owns (no section; close only frees
// the handle). For exercising the reader against arbitrary headers.
Handle* attachReader(const void* base, size_t size);
} // namespace detail

} // namespace FrameChannel
