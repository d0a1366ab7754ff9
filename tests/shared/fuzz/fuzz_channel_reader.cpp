// libFuzzer target: a reader facing arbitrary section contents and sizes, and a
// header that keeps changing between polls. The section is a heap block of
// exactly the given size, so AddressSanitizer reports any read outside it.
// Input: a mode byte; then either (raw) u16 section size and the section's
// initial bytes, or (built) width, height and a size adjustment for a section
// that starts out valid and flowing; then steps of (u8 word index, u32 value):
// store the value into that header word, poll, and read every byte of a frame
// handed out.
#include "FrameChannel.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const bool built = data[0] & 1;
    size_t sectionSize;
    uint8_t* section;
    if (built) {
        FrameChannel::Layout layout;
        const uint32_t width = data[1] % 64 + 1, height = data[2] % 64 + 1;
        FrameChannel::computeLayout(width, height, layout);
        // Sometimes a little short of what the header claims.
        const long adjust = long(int8_t(data[3]));
        sectionSize = size_t(long(layout.sectionSize) + (adjust < 0 ? adjust : 0));
        data += 4;
        size -= 4;
        section = static_cast<uint8_t*>(std::calloc(sectionSize, 1));
        FrameChannel::Header header {};
        header.writeSequence = header.publishedSequence = 1;
        header.state = FrameChannel::StateFlowing;
        for (uint32_t i = 0; i < FrameChannel::kSlotCount; ++i)
            header.slotOffset[i] = layout.slotOffset[i];
        header.width = width;
        header.height = height;
        std::memcpy(section, &header, sizeof header);
    } else {
        sectionSize = (size_t(data[1]) | size_t(data[2]) << 8) % 16384;
        data += 3;
        size -= 3;
        section = static_cast<uint8_t*>(std::calloc(sectionSize ? sectionSize : 1, 1));
        const size_t initial = size < sectionSize ? size : sectionSize;
        std::memcpy(section, data, initial);
        data += initial;
        size -= initial;
    }

    FrameChannel::Handle* reader = FrameChannel::detail::attachReader(section, sectionSize);
    volatile uint32_t sink = 0;
    while (reader && size >= 5) {
        const uint32_t word = data[0] % (FrameChannel::kHeaderSize / 4);
        uint32_t value;
        std::memcpy(&value, data + 1, 4);
        data += 5;
        size -= 5;
        std::memcpy(section + word * 4, &value, 4);

        FrameChannel::Frame frame;
        switch (FrameChannel::pollFrame(reader, frame)) {
        case FrameChannel::Poll::NewFrame:
        case FrameChannel::Poll::Repeat: {
            uint32_t sum = 0;
            for (uint32_t i = 0; i < frame.byteCount; ++i)
                sum += frame.pixels[i];
            // Rows as a converter walks them.
            if (frame.width && frame.height)
                sum += frame.pixels[(frame.height - 1) * frame.width * 4 + frame.width * 4 - 1];
            sink = sink + sum + FrameChannel::frameIntact(reader, frame);
            break;
        }
        case FrameChannel::Poll::Reopen:
            FrameChannel::close(reader);
            reader = FrameChannel::detail::attachReader(section, sectionSize);
            break;
        case FrameChannel::Poll::NoFrame:
            break;
        }
    }
    FrameChannel::close(reader);
    std::free(section);
    return 0;
}
