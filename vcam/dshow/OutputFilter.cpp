#include "OutputFilter.h"

#include "Enumerators.h"
#include "OutputPin.h"

#include <uuids.h>

#include <cwchar>
#include <mutex>
#include <new>

namespace DShow {

OutputFilter::OutputFilter()
    : ComObject(0)
    , _pin(new OutputPin(this))
{}

OutputFilter::~OutputFilter()
{
    // A client may still hold the pin: it must not reach a filter that is gone.
    _pin->detachFilter();
    _pin->Release();
    if (_clock)
        _clock->Release();
}

STDMETHODIMP OutputFilter::QueryInterface(REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPersist) || IsEqualIID(iid, IID_IMediaFilter)
        || IsEqualIID(iid, IID_IBaseFilter)) {
        *out = static_cast<IBaseFilter*>(this);
        AddRef();
        return S_OK;
    }
    if (IsEqualIID(iid, IID_IAMFilterMiscFlags)) {
        *out = static_cast<IAMFilterMiscFlags*>(&_miscFlags);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP OutputFilter::GetClassID(CLSID*)
{
    return E_NOTIMPL;
}

STDMETHODIMP OutputFilter::Stop()
{
    if (_state.load() != Stopped)
        _pin->flushDownstream();
    _state = Stopped;
    return S_OK;
}

STDMETHODIMP OutputFilter::Pause()
{
    if (_state.load() == Stopped)
        _pin->commitAllocator();
    _state = Paused;
    return S_OK;
}

STDMETHODIMP OutputFilter::Run(REFERENCE_TIME)
{
    // Run straight from stopped passes through Pause, which commits the
    // allocator (and starts a delivery thread).
    if (_state.load() == Stopped)
        Pause();
    _state = Running;
    return S_OK;
}

STDMETHODIMP OutputFilter::GetState(DWORD, FILTER_STATE* state)
{
    if (!state)
        return E_POINTER;
    *state = FILTER_STATE(_state.load());
    return S_OK;
}

STDMETHODIMP OutputFilter::SetSyncSource(IReferenceClock* clock)
{
    if (clock)
        clock->AddRef();
    IReferenceClock* old = nullptr;
    {
        std::lock_guard guard(_lock);
        old = std::exchange(_clock, clock);
    }
    if (old)
        old->Release();
    return S_OK;
}

STDMETHODIMP OutputFilter::GetSyncSource(IReferenceClock** clock)
{
    if (!clock)
        return E_POINTER;
    std::lock_guard guard(_lock);
    *clock = _clock;
    if (_clock)
        _clock->AddRef();
    return S_OK;
}

ComPtr<IReferenceClock> OutputFilter::clock()
{
    std::lock_guard guard(_lock);
    return ComPtr<IReferenceClock>(_clock);
}

STDMETHODIMP OutputFilter::EnumPins(IEnumPins** pins)
{
    if (!pins)
        return E_POINTER;
    *pins = new (std::nothrow) OutputEnumPins(this, 0);
    return *pins ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP OutputFilter::FindPin(LPCWSTR id, IPin** pin)
{
    if (!id || !pin)
        return E_POINTER;
    if (std::wcscmp(id, OutputPin::kId) != 0) {
        *pin = nullptr;
        return VFW_E_NOT_FOUND;
    }
    *pin = _pin;
    _pin->AddRef();
    return S_OK;
}

STDMETHODIMP OutputFilter::QueryFilterInfo(FILTER_INFO* info)
{
    if (!info)
        return E_POINTER;
    const size_t capacity = sizeof info->achName / sizeof info->achName[0];
    std::wcsncpy(info->achName, name(), capacity - 1);
    info->achName[capacity - 1] = L'\0';
    std::lock_guard guard(_lock);
    info->pGraph = _graph;
    if (_graph)
        _graph->AddRef();
    return S_OK;
}

STDMETHODIMP OutputFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR)
{
    std::lock_guard guard(_lock);
    _graph = graph;
    return S_OK;
}

STDMETHODIMP OutputFilter::QueryVendorInfo(LPWSTR*)
{
    return E_NOTIMPL;
}

} // namespace DShow
