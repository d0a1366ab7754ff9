#include "FrameDelivery.h"

#include <utility>

namespace vcam {

FrameDelivery::FrameDelivery(std::string channelName)
    : _channelName(std::move(channelName))
    , _placeholder(placeholderPicture())
{
    if (_placeholder)
        _pulsing = std::make_unique<PulsingPlaceholder>(_placeholder);
    if (FrameChannel::Handle* peek = FrameChannel::detail::openReader(_channelName)) {
        if (FrameChannel::readState(peek) == FrameChannel::StateFlowing && FrameChannel::resolveSlots(peek)) {
            _sourceWidth = peek->width;
            _sourceHeight = peek->height;
            _sourceInterval = peek->frameInterval;
        }
        FrameChannel::close(peek);
    }
    _converter.reset(_sourceWidth, _sourceHeight, kDefaultWidth, kDefaultHeight);
}

FrameDelivery::~FrameDelivery()
{
    closeReader();
}

void FrameDelivery::closeReader()
{
    FrameChannel::close(_reader);
    _reader = nullptr;
    // The next reader starts from scratch: its channel may come from another
    // writer, at another size, and its geometry must be read again.
    _lastChannelState = 0;
    _pollsWithoutFrames = 0;
    _deliveredFormat = FormatUnknown; // nothing the caller holds is to be repeated
}

FrameDelivery::Result FrameDelivery::produce(int64_t t, FormatId format, uint32_t width, uint32_t height, uint8_t* dst,
                                             size_t dstBytes)
{
    const FrameConverter::Kind kind = converterKind(format);
    const size_t need = FrameConverter::requiredBytes(kind, width, height);
    // Too small a buffer still counts as a poll of the channel.
    FrameConverter::Planes planes;
    if (dst && need != 0 && dstBytes >= need)
        planes = FrameConverter::packedPlanes(kind, width, height, dst);
    return produce(t, format, width, height, planes);
}

FrameDelivery::Result FrameDelivery::produce(int64_t t, FormatId format, uint32_t width, uint32_t height,
                                             const FrameConverter::Planes& dst)
{
    if (!_reader)
        _reader = FrameChannel::detail::openReader(_channelName);
    uint32_t state = _reader ? FrameChannel::readState(_reader) : 0;
    // A channel that stays short of flowing (its writer died before its first
    // frame) is let go now and then, so that a new writer's channel is found.
    if (state == FrameChannel::StateFlowing) {
        _pollsWithoutFrames = 0;
    } else if (_reader && ++_pollsWithoutFrames > FrameChannel::kMaxRepeats) {
        closeReader();
        state = 0;
    }

    uint32_t srcWidth = _sourceWidth;
    uint32_t srcHeight = _sourceHeight;
    uint64_t srcInterval = _sourceInterval;
    if (state != _lastChannelState) {
        if (state == FrameChannel::StateFlowing && FrameChannel::resolveSlots(_reader)) {
            srcWidth = _reader->width;
            srcHeight = _reader->height;
            srcInterval = _reader->frameInterval;
        } else if (state == FrameChannel::StateClosed) {
            closeReader();
        }
        _lastChannelState = state;
    }
    if (state != FrameChannel::StateFlowing) {
        srcWidth = _placeholder ? _placeholder->width : kDefaultWidth;
        srcHeight = _placeholder ? _placeholder->height : kDefaultHeight;
    }
    if (srcWidth != _sourceWidth || srcHeight != _sourceHeight || srcInterval != _sourceInterval
        || width != _converter.dstWidth() || height != _converter.dstHeight()) {
        _sourceWidth = srcWidth;
        _sourceHeight = srcHeight;
        _sourceInterval = srcInterval;
        _converter.reset(srcWidth, srcHeight, width, height);
    }
    _converter.setKind(converterKind(format));

    if (state == FrameChannel::StateFlowing) {
        FrameChannel::Frame frame;
        switch (FrameChannel::pollFrame(_reader, frame)) {
        case FrameChannel::Poll::Reopen:
            // Closed by the writer meanwhile, or 10 polls without a new frame.
            closeReader();
            return Result::Unfilled;
        case FrameChannel::Poll::NoFrame:
            return Result::Unfilled;
        case FrameChannel::Poll::Repeat:
            if (_repeatsAllowed && frame.sequence == _deliveredSequence && format == _deliveredFormat
                && width == _deliveredWidth && height == _deliveredHeight)
                return Result::Repeated;
            break;
        case FrameChannel::Poll::NewFrame:
            break;
        }
        if (frame.width != _converter.srcWidth() || frame.height != _converter.srcHeight()
            || !_converter.convert(frame.pixels, frame.byteCount, dst))
            return Result::Unfilled;
        // A writer three frames ahead may have overwritten the slot while it
        // was read: such a picture could be torn and is not delivered.
        if (!FrameChannel::frameIntact(_reader, frame))
            return Result::Unfilled;
        _deliveredSequence = frame.sequence;
        _deliveredFormat = format;
        _deliveredWidth = width;
        _deliveredHeight = height;
        return Result::Live;
    }

    _deliveredFormat = FormatUnknown; // the caller's last picture will not be a channel frame
    PulsingPlaceholder* pulsing = placeholderForDestination();
    if (!pulsing)
        return Result::Unfilled;
    return pulsing->render(pulseFactor(t), _converter.kind(), dst) ? Result::Placeholder : Result::Unfilled;
}

PulsingPlaceholder* FrameDelivery::placeholderForDestination()
{
    if (!_pulsing || _converter.sizesMatch())
        return _pulsing.get();
    if (!_converter.halves())
        return nullptr;
    if (!_pulsingHalf) {
        auto half = std::make_shared<PlaceholderPicture>();
        half->width = _placeholder->width / 2;
        half->height = _placeholder->height / 2;
        half->pixels.resize(size_t(half->width) * half->height * 4);
        FrameConverter halver;
        halver.reset(_placeholder->width, _placeholder->height, half->width, half->height);
        if (!halver.convert(_placeholder->pixels.data(), _placeholder->pixels.size(), half->pixels.data(),
                            half->pixels.size()))
            return nullptr;
        _pulsingHalf = std::make_unique<PulsingPlaceholder>(std::move(half));
    }
    return _pulsingHalf.get();
}

} // namespace vcam
