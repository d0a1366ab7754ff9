#include "VCamFilter.h"

#include "OutputPin.h"

#include <DriverLog.h>
#include <Pacer.h>

#include <mmsystem.h>

#include <cstring>
#include <new>
#include <vector>

namespace DShow {

namespace {

// Dead clients are looked for about every two seconds.
constexpr uint64_t kReapEveryFrames = 60;
// A frame's wait is one sleep (each costs the system a timer's set-up), and
// the filter's end is noticed within this long.
constexpr uint32_t kLongestSleepMs = 50;

// Reverses the order of `height` rows of `rowBytes` each, in place, through
// `spare` (one row's room, kept by the caller from frame to frame).
void flipRows(uint8_t* data, size_t rowBytes, uint32_t height, std::vector<uint8_t>& spare)
{
    spare.resize(rowBytes);
    for (uint32_t top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
        uint8_t* a = data + size_t(top) * rowBytes;
        uint8_t* b = data + size_t(bottom) * rowBytes;
        std::memcpy(spare.data(), a, rowBytes);
        std::memcpy(a, b, rowBytes);
        std::memcpy(b, spare.data(), rowBytes);
    }
}

} // namespace

VCamFilter* VCamFilter::create()
{
    // No exception may leave a COM call: running out of memory is a failed
    // creation.
    VCamFilter* filter = nullptr;
    try {
        filter = new VCamFilter;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    if (!filter->_thread) {
        filter->AddRef();
        filter->Release();
        return nullptr;
    }
    filter->AddRef();
    return filter;
}

VCamFilter::VCamFilter()
{
    _runEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    _exitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Peeks at the channel for the picture size and interval to start with.
    _delivery = std::make_unique<vcam::FrameDelivery>();
    if (_runEvent && _exitEvent)
        _thread = CreateThread(nullptr, 0, &VCamFilter::threadMain, this, 0, nullptr);
}

VCamFilter::~VCamFilter()
{
    if (_exitEvent)
        SetEvent(_exitEvent);
    // A delivery thread waiting for a free buffer wakes when the allocator
    // is decommitted; only then can it be joined.
    pin()->decommitAllocator();
    if (_thread) {
        WaitForSingleObject(_thread, INFINITE);
        CloseHandle(_thread);
    }
    _delivery.reset();
    if (_runEvent)
        CloseHandle(_runEvent);
    if (_exitEvent)
        CloseHandle(_exitEvent);
}

STDMETHODIMP VCamFilter::Pause()
{
    const HRESULT hr = OutputFilter::Pause();
    SetEvent(_runEvent);
    return hr;
}

STDMETHODIMP VCamFilter::Run(REFERENCE_TIME start)
{
    _runStart = start;
    ++_runCount;
    return OutputFilter::Run(start);
}

bool VCamFilter::exiting() const
{
    return WaitForSingleObject(_exitEvent, 0) == WAIT_OBJECT_0;
}

DWORD WINAPI VCamFilter::threadMain(void* self)
{
    static_cast<VCamFilter*>(self)->deliverFrames();
    return 0;
}

bool VCamFilter::restartedStreamTime(REFERENCE_TIME& t)
{
    const uint32_t runs = _runCount.load();
    if (runs == _runSeen || state() != Running)
        return false;
    ComPtr<IReferenceClock> clock = this->clock();
    REFERENCE_TIME now = 0;
    if (!clock || FAILED(clock->GetTime(&now)))
        return false;
    _runSeen = runs;
    t = now - _runStart.load();
    return true;
}

void VCamFilter::deliverFrames()
{
    const HANDLE events[] = {_runEvent, _exitEvent};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0)
        return;
    // Sleeping to a millisecond before each deadline needs a timer that fine.
    timeBeginPeriod(1);
    _client.begin();

    const vcam::PacerClock pacer = vcam::systemPacerClock();
    REFERENCE_TIME interval = pin()->averageTimePerFrame();
    REFERENCE_TIME deadline = pacer.now();
    // Samples carry stream time: the clock's time since the run began, from
    // the tick the graph runs; before that (the first, prerolled samples)
    // they count from zero.
    REFERENCE_TIME streamTime = 0;
    for (uint64_t frame = 0; !exiting(); ++frame) {
        restartedStreamTime(streamTime);
        const auto result = deliverOne(streamTime, interval);
        // While the channel flows, its own frame rate paces; the placeholder
        // keeps the last one.
        if (result == vcam::FrameDelivery::Result::Live || result == vcam::FrameDelivery::Result::Repeated)
            interval = REFERENCE_TIME(_delivery->sourceInterval());
        if (frame > 0 && frame % kReapEveryFrames == 0)
            _client.reapDeadClients();
        deadline += interval;
        const auto cancelled = [this] { return exiting(); };
        if (!vcam::waitUntil(deadline, pacer, cancelled, kLongestSleepMs))
            break;
        streamTime += interval;
    }

    _client.end();
    timeEndPeriod(1);
}

vcam::FrameDelivery::Result VCamFilter::deliverOne(REFERENCE_TIME t, REFERENCE_TIME interval)
{
    using Result = vcam::FrameDelivery::Result;
    OutputPin::Target target;
    ComPtr<IMediaSample> sample;
    // The buffer wait ends when the allocator is decommitted (Disconnect,
    // a format change, the filter going away).
    if (!pin()->target(target) || FAILED(target.allocator->GetBuffer(sample.put(), nullptr, nullptr, 0)) || !sample)
        return Result::Unfilled;
    BYTE* data = nullptr;
    const size_t bytes = target.shape.sampleBytes();
    // Never more than the buffer the allocator granted.
    if (FAILED(sample->GetPointer(&data)) || !data || sample->GetSize() < 0 || size_t(sample->GetSize()) < bytes)
        return Result::Unfilled;
    sample->SetActualDataLength(LONG(bytes));
    sample->SetDiscontinuity(FALSE);
    sample->SetPreroll(FALSE);
    if (target.typeGeneration != _deliveredTypeGeneration) {
        AM_MEDIA_TYPE* type = pin()->currentTypeCopy();
        if (type) {
            sample->SetMediaType(type);
            deleteMediaType(type);
        }
        _deliveredTypeGeneration = target.typeGeneration;
    }
    const Result result =
        _delivery->produce(t, target.shape.format, target.shape.width, target.shape.height, data, bytes);
    // An RGB picture under a positive height is stored bottom row first;
    // the channel's rows run top to bottom.
    if (vcam::converterKind(target.shape.format) == vcam::FrameConverter::Copy
        && (result == Result::Live || result == Result::Placeholder))
        flipRows(data, target.shape.width * 4, target.shape.height, _spareRow);
    REFERENCE_TIME start = t, stop = t + interval;
    sample->SetTime(&start, &stop);
    sample->SetMediaTime(&start, &stop);
    target.input->Receive(sample.get());
    return result;
}

} // namespace DShow
