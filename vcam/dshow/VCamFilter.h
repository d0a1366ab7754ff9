// The virtual camera as a client program sees it: a source filter whose
// delivery thread sends one picture per frame period, the control
// application's processed frame from the shared channel or, while it
// publishes nothing, the pulsing placeholder. The thread counts as one
// client of the shared instance counter from the first Pause until the
// filter goes, which is how the control application knows the camera is in
// use.
#pragma once

#include "OutputFilter.h"

#include <ClientRegistration.h>
#include <FrameDelivery.h>

#include <memory>
#include <vector>

namespace DShow {

class VCamFilter final : public OutputFilter
{
public:
    // A new filter holding one reference, or null when its thread or events
    // cannot be made.
    static VCamFilter* create();

    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME start) override;
    const wchar_t* name() const override { return L"VCamFilter"; }

private:
    VCamFilter();
    ~VCamFilter() override;

    static DWORD WINAPI threadMain(void* self);
    void deliverFrames();
    // Fills and sends one sample stamped [t, t + interval]; Unfilled when
    // there was no sample to fill.
    vcam::FrameDelivery::Result deliverOne(REFERENCE_TIME t, REFERENCE_TIME interval);
    // Stream time for the next frame when the graph (re)started running
    // with a clock; false while nothing changed.
    bool restartedStreamTime(REFERENCE_TIME& t);
    bool exiting() const;

    HANDLE _runEvent = nullptr;
    HANDLE _exitEvent = nullptr;
    HANDLE _thread = nullptr;
    std::unique_ptr<vcam::FrameDelivery> _delivery;
    vcam::ClientRegistration _client;
    uint64_t _deliveredTypeGeneration = 0;
    std::vector<uint8_t> _spareRow; // for turning RGB pictures bottom row first
    // Run's start time and how often Run was called: samples carry stream
    // time, the clock's time less the start of the run.
    std::atomic<REFERENCE_TIME> _runStart {0};
    std::atomic<uint32_t> _runCount {0};
    uint32_t _runSeen = 0;
};

} // namespace DShow
