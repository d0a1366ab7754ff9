// A source filter with one output pin (IBaseFilter), and the small object
// that tells the graph it is a source (IAMFilterMiscFlags). VCamFilter
// derives from OutputFilter and adds the delivery thread.
#pragma once

#include "Com.h"

#include <strmif.h>

namespace DShow {

class OutputPin;

// Answers for the filter it belongs to: the same COM object (QueryInterface,
// AddRef and Release go to the filter), so that a client asking it for the
// filter's IUnknown or IBaseFilter gets them.
class SourceMiscFlags final : public IAMFilterMiscFlags
{
public:
    explicit SourceMiscFlags(IUnknown* owner)
        : _owner(owner)
    {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override { return _owner->QueryInterface(iid, out); }
    STDMETHODIMP_(ULONG) AddRef() override { return _owner->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return _owner->Release(); }
    STDMETHODIMP_(ULONG) GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_SOURCE; }

private:
    IUnknown* _owner;
};

class OutputFilter : public ComObject<OutputFilter, IBaseFilter>
{
public:
    enum State : int { Stopped = 0, Paused = 1, Running = 2 };

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    // IPersist
    STDMETHODIMP GetClassID(CLSID* classId) override;
    // IMediaFilter
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME start) override;
    STDMETHODIMP GetState(DWORD timeoutMs, FILTER_STATE* state) override;
    STDMETHODIMP SetSyncSource(IReferenceClock* clock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock** clock) override;
    // IBaseFilter
    STDMETHODIMP EnumPins(IEnumPins** pins) override;
    STDMETHODIMP FindPin(LPCWSTR id, IPin** pin) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* info) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR* info) override;

    virtual const wchar_t* name() const { return L"Output Filter"; }

    State state() const { return _state.load(); }
    OutputPin* pin() const { return _pin; }
    // The graph's reference clock, or null.
    ComPtr<IReferenceClock> clock();

protected:
    friend ComObject;
    // Without a reference: the caller takes the first one.
    OutputFilter();
    virtual ~OutputFilter();

    std::atomic<State> _state {Stopped};

private:
    Lock _lock;                     // guards _clock and _graph
    IFilterGraph* _graph = nullptr; // not referenced: the graph owns the filter
    OutputPin* _pin = nullptr;
    SourceMiscFlags _miscFlags {this};
    IReferenceClock* _clock = nullptr;
};

} // namespace DShow
