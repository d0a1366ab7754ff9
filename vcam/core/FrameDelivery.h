// The per-frame work of a virtual camera instance: read the newest frame of
// the shared channel and convert it into the client's buffer, or show the
// pulsing placeholder while the control application publishes nothing.
//
// Reading rule: the reader opens the channel when it can, follows its state,
// repeats the last frame while no new one arrives and lets the channel go
// after 10 polls without news (the next poll opens it again) or at once when
// the writer has closed it (state 3, placeholder from that very frame).
#pragma once

#include "FrameConverter.h"
#include "Formats.h"
#include "Placeholder.h"

#include <FrameChannel.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vcam {

class FrameDelivery
{
public:
    enum class Result {
        Live,        // the buffer holds a channel frame
        Repeated,    // nothing written: the channel holds the frame delivered last (see allowRepeats)
        Placeholder, // the buffer holds the pulsing placeholder
        Unfilled,    // nothing usable was written; the caller repeats its previous picture
    };

    // Peeks at the channel for its picture size and frame interval (1280 x
    // 720 at 333333 when there is no flowing channel).
    explicit FrameDelivery(std::string channelName = FrameChannel::kName);
    ~FrameDelivery();
    FrameDelivery(const FrameDelivery&) = delete;
    FrameDelivery& operator=(const FrameDelivery&) = delete;

    // One frame stamped `t` (stream time, 100-ns units) in `format` at
    // width x height into dst (dstBytes long). Never writes past dstBytes.
    Result produce(int64_t t, FormatId format, uint32_t width, uint32_t height, uint8_t* dst, size_t dstBytes);
    // The same into planes the caller vouches for (see FrameConverter::Planes).
    Result produce(int64_t t, FormatId format, uint32_t width, uint32_t height, const FrameConverter::Planes& dst);

    // A caller that keeps its last picture (a GStreamer buffer is shared,
    // not copied) allows repeats: a channel frame already delivered in the
    // same format and size is then not converted again. Off by default.
    void allowRepeats(bool allowed) { _repeatsAllowed = allowed; }

    uint32_t sourceWidth() const { return _sourceWidth; }
    uint32_t sourceHeight() const { return _sourceHeight; }
    uint64_t sourceInterval() const { return _sourceInterval; }
    // Sequence number of the channel frame the last Live result carried.
    uint32_t deliveredSequence() const { return _deliveredSequence; }
    bool hasReader() const { return _reader != nullptr; }

private:
    void closeReader();
    // The placeholder at the converter's destination size: its own size, or
    // half of it for a copy that halves; null for any other size.
    PulsingPlaceholder* placeholderForDestination();

    std::string _channelName;
    FrameChannel::Handle* _reader = nullptr;
    uint32_t _lastChannelState = 0;
    uint32_t _pollsWithoutFrames = 0; // polls of the open channel while it was not flowing
    std::shared_ptr<const PlaceholderPicture> _placeholder;
    std::unique_ptr<PulsingPlaceholder> _pulsing;
    std::unique_ptr<PulsingPlaceholder> _pulsingHalf; // made when a client first asks for half size
    uint32_t _sourceWidth = kDefaultWidth;
    uint32_t _sourceHeight = kDefaultHeight;
    uint64_t _sourceInterval = kDefaultFrameInterval;
    uint32_t _deliveredSequence = 0;
    // The format and size of the last Live result, which a repeat must match.
    FormatId _deliveredFormat = FormatUnknown;
    uint32_t _deliveredWidth = 0;
    uint32_t _deliveredHeight = 0;
    bool _repeatsAllowed = false;
    FrameConverter _converter;
};

} // namespace vcam
