#include "FrameChannel.h"

#include <atomic>
#include <cstring>
#include <new>

namespace FrameChannel {
namespace {

// Shared fields are naturally aligned and accessed with single loads and
// stores; the builtins work on read-only views too (no read-modify-write).
uint32_t loadAcquire(const uint32_t& field)
{
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
uint32_t loadRelaxed(const uint32_t& field)
{
    return __atomic_load_n(&field, __ATOMIC_RELAXED);
}
void storeRelease(uint32_t& field, uint32_t value)
{
    __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}
void storeRelaxed(uint32_t& field, uint32_t value)
{
    __atomic_store_n(&field, value, __ATOMIC_RELAXED);
}

Handle* makeHandle(SharedMemory::Section section, void* base, size_t size)
{
    auto* handle = new (std::nothrow) Handle;
    if (!handle)
        return nullptr;
    handle->section = std::move(section);
    handle->header = static_cast<Header*>(base);
    handle->mappedSize = size;
    return handle;
}

} // namespace

namespace detail {

Handle* createWriter(const std::string& name, uint32_t width, uint32_t height, uint64_t frameInterval)
{
    Layout layout;
    if (!computeLayout(width, height, layout))
        return nullptr;
    SharedMemory::Section section = SharedMemory::Section::createWriter(name, layout.sectionSize);
    if (!section.isValid())
        return nullptr;

    // The whole header but its last 16 bytes, in one go.
    Header fresh {};
    fresh.state = StateCreated;
    for (uint32_t i = 0; i < kSlotCount; ++i)
        fresh.slotOffset[i] = layout.slotOffset[i];
    fresh.width = width;
    fresh.height = height;
    fresh.frameInterval = frameInterval;
    auto* base = static_cast<uint8_t*>(section.data());
    std::memcpy(base, &fresh, offsetof(Header, reserved3));

    const size_t size = section.size();
    Handle* handle = makeHandle(std::move(section), base, size);
    if (!handle)
        return nullptr;
    for (uint32_t i = 0; i < kSlotCount; ++i) {
        handle->slot[i] = base + layout.slotOffset[i];
        handle->pixels[i] = handle->slot[i] + kSlotHeaderSize;
    }
    handle->owner = true;
    handle->width = width;
    handle->height = height;
    handle->frameBytes = layout.frameBytes;
    handle->frameInterval = frameInterval;
    return handle;
}

Handle* openReader(const std::string& name)
{
    SharedMemory::Section section = SharedMemory::Section::openReader(name);
    // A section too small for the header is one being created, or not ours.
    if (!section.isValid() || section.size() < kHeaderSize)
        return nullptr;
    void* base = section.data();
    const size_t size = section.size();
    return makeHandle(std::move(section), base, size);
}

Handle* attachReader(const void* base, size_t size)
{
    if (!base || size < kHeaderSize)
        return nullptr;
    return makeHandle(SharedMemory::Section(), const_cast<void*>(base), size);
}

} // namespace detail

Handle* createWriter(uint32_t width, uint32_t height, uint64_t frameInterval)
{
    return detail::createWriter(kName, width, height, frameInterval);
}

Handle* openReader()
{
    return detail::openReader(kName);
}

void writeFrame(Handle* handle, const void* pixels, uint32_t byteCount, uint64_t timestamp)
{
    // A reader's view is read-only, and a null source has nothing to copy.
    if (!handle || !handle->owner || !pixels)
        return;
    Header& header = *handle->header;
    uint32_t sequence = loadRelaxed(header.writeSequence) + 1;
    // After 2^32 frames the count wraps; 0 would land in slot 0 right after
    // frame 0xFFFFFFFF did, overwriting the frame readers are copying.
    if (sequence == 0)
        sequence = 1;
    storeRelaxed(header.writeSequence, sequence);
    // Readers that check writeSequence after a copy (frameIntact) must see the
    // new value before any byte of the slot changes.
    std::atomic_thread_fence(std::memory_order_release);
    const uint32_t index = sequence % kSlotCount;
    __atomic_store_n(reinterpret_cast<uint64_t*>(handle->slot[index]), timestamp, __ATOMIC_RELAXED);
    // Never past the slot, whatever count the caller gives.
    std::memcpy(handle->pixels[index], pixels, byteCount < handle->frameBytes ? byteCount : handle->frameBytes);
    storeRelease(header.publishedSequence, sequence);
    storeRelease(header.state, StateFlowing);
}

void close(Handle* handle)
{
    if (!handle)
        return;
    if (handle->owner && handle->header)
        storeRelease(handle->header->state, StateClosed);
    delete handle; // unmaps the view and closes the section
}

uint32_t readState(const Handle* handle)
{
    if (!handle || !handle->header)
        return 0;
    const uint32_t state = loadAcquire(handle->header->state);
    // A view whose section was shrunk under it (possibly by this very read)
    // shows zeros from then on: as far as its holder goes, the channel closed.
    return handle->section.lost() ? StateClosed : state;
}

bool isLost(const Handle* handle)
{
    return handle && handle->section.lost();
}

bool resolveSlots(Handle* handle)
{
    if (!handle || !handle->header)
        return false;
    handle->slotsResolved = false;
    const Header& header = *handle->header;
    // Read each field once: another process may change them under us.
    const uint32_t width = loadRelaxed(header.width);
    const uint32_t height = loadRelaxed(header.height);
    Layout layout;
    if (!computeLayout(width, height, layout))
        return false;
    uint8_t* base = reinterpret_cast<uint8_t*>(handle->header);
    uint8_t* slots[kSlotCount];
    for (uint32_t i = 0; i < kSlotCount; ++i) {
        const uint32_t offset = loadRelaxed(header.slotOffset[i]);
        // A slot starts after the header, keeps its timestamp aligned, and
        // ends (header + pixels) inside the view.
        if (offset < kHeaderSize || offset % 8 != 0
            || uint64_t(offset) + kSlotHeaderSize + layout.frameBytes > handle->mappedSize)
            return false;
        slots[i] = base + offset;
    }
    uint64_t interval;
    std::memcpy(&interval, &header.frameInterval, sizeof interval); // constant after creation
    for (uint32_t i = 0; i < kSlotCount; ++i) {
        handle->slot[i] = slots[i];
        handle->pixels[i] = slots[i] + kSlotHeaderSize;
    }
    handle->width = width;
    handle->height = height;
    handle->frameBytes = layout.frameBytes;
    handle->frameInterval = interval;
    handle->slotsResolved = true;
    return true;
}

Poll pollFrame(Handle* handle, Frame& frame)
{
    frame = Frame();
    if (!handle || handle->owner || !handle->header)
        return Poll::NoFrame;
    const uint32_t state = readState(handle);
    const uint32_t previous = handle->lastState;
    handle->lastState = state;
    // readState reports a section shrunk under the view as closed too.
    if (state == StateClosed)
        return Poll::Reopen;
    if (state != StateFlowing)
        return Poll::NoFrame;
    if ((!handle->slotsResolved || previous != StateFlowing) && !resolveSlots(handle))
        return Poll::NoFrame;

    const uint32_t sequence = loadAcquire(handle->header->publishedSequence);
    Poll result = Poll::NewFrame;
    if (sequence == handle->lastSequence) {
        if (++handle->repeats >= kMaxRepeats)
            return Poll::Reopen;
        result = Poll::Repeat;
    } else {
        handle->repeats = 0;
        handle->lastSequence = sequence;
    }
    frame.pixels = handle->pixels[sequence % kSlotCount];
    frame.width = handle->width;
    frame.height = handle->height;
    frame.byteCount = handle->frameBytes;
    frame.sequence = sequence;
    return result;
}

bool frameIntact(const Handle* handle, const Frame& frame)
{
    if (!handle || !handle->header || !frame.pixels)
        return false;
    // Order the reads of the pixels before the read of writeSequence.
    std::atomic_thread_fence(std::memory_order_acquire);
    const uint32_t writing = loadRelaxed(handle->header->writeSequence);
    return uint32_t(writing - frame.sequence) < kSlotCount && !isLost(handle);
}

} // namespace FrameChannel
