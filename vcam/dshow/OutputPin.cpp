#include "OutputPin.h"

#include "Enumerators.h"
#include "OutputFilter.h"

#include <uuids.h>

#include <cstring>
#include <cwchar>
#include <mutex>
#include <new>

namespace DShow {

OutputPin::OutputPin(OutputFilter* filter)
    : ComObject(1)
    , _filter(filter)
{
    for (size_t i = 0; i < kOfferedCount; ++i)
        buildVideoType(vcam::kOfferedFormats[i], _offered[i]);
    // I420 until the client chooses.
    buildVideoType(vcam::FormatI420, _current);
}

OutputPin::~OutputPin()
{
    for (AM_MEDIA_TYPE& type : _offered)
        freeMediaType(type);
    freeMediaType(_current);
}

STDMETHODIMP OutputPin::QueryInterface(REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPin))
        *out = static_cast<IPin*>(this);
    else if (IsEqualIID(iid, IID_IAMStreamConfig))
        *out = static_cast<IAMStreamConfig*>(this);
    else if (IsEqualIID(iid, IID_IKsPropertySet))
        *out = static_cast<IKsPropertySet*>(this);
    else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

// ---- Connection ----

HRESULT OutputPin::negotiateAllocator(IPin* receiver, const AM_MEDIA_TYPE& type, size_t bytes, bool commit,
                                      ComPtr<IMemAllocator>& allocator, ComPtr<IMemInputPin>& input)
{
    if (!type.pbFormat)
        return E_FAIL;
    input = queryInterface<IMemInputPin>(receiver, IID_IMemInputPin);
    if (!input)
        return E_FAIL;
    HRESULT hr = input->GetAllocator(allocator.put());
    if (hr == VFW_E_NO_ALLOCATOR)
        hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                              reinterpret_cast<void**>(allocator.put()));
    if (FAILED(hr) || !allocator)
        return E_FAIL;
    ALLOCATOR_PROPERTIES wanted {};
    hr = input->GetAllocatorRequirements(&wanted);
    if (hr == E_NOTIMPL) {
        wanted.cBuffers = 4;
        wanted.cbAlign = 32;
    } else if (FAILED(hr)) {
        return E_FAIL;
    }
    wanted.cBuffers = wanted.cBuffers > 0 ? wanted.cBuffers : 1;
    wanted.cbAlign = wanted.cbAlign > 0 ? wanted.cbAlign : 1;
    wanted.cbBuffer = LONG(bytes);
    ALLOCATOR_PROPERTIES granted {};
    hr = allocator->SetProperties(&wanted, &granted);
    // After a decommit, a sample the delivery thread still holds keeps the
    // allocator committed and unchangeable until it comes back, which takes
    // one delivery (longer on a busy machine): wait for it, within a bound.
    for (int waitedMs = 0; (hr == VFW_E_ALREADY_COMMITTED || hr == VFW_E_BUFFERS_OUTSTANDING) && waitedMs < 1000;
         waitedMs += 5) {
        Sleep(5);
        hr = allocator->SetProperties(&wanted, &granted);
    }
    // The delivery checks each buffer's size too, but an allocator that
    // grants less than a picture is no allocator for this pin.
    if (FAILED(hr) || size_t(granted.cbBuffer) < bytes)
        return E_FAIL;
    if (commit && FAILED(allocator->Commit()))
        return E_FAIL;
    if (FAILED(input->NotifyAllocator(allocator.get(), FALSE)))
        return E_FAIL;
    return S_OK;
}

STDMETHODIMP OutputPin::Connect(IPin* receivePin, const AM_MEDIA_TYPE*)
{
    if (!receivePin)
        return E_POINTER;
    std::lock_guard connection(_connection);
    AM_MEDIA_TYPE offer {};
    size_t bytes = 0;
    {
        std::lock_guard guard(_lock);
        if (_filter && _filter->state() == OutputFilter::Running)
            return VFW_E_NOT_STOPPED;
        if (_connected)
            return VFW_E_ALREADY_CONNECTED;
        if (FAILED(copyMediaType(offer, _current)))
            return E_OUTOFMEMORY;
        bytes = _shape.sampleBytes();
    }
    // The requested type is not looked at: the pin offers its current one.
    HRESULT hr = receivePin->ReceiveConnection(this, &offer);
    ComPtr<IMemAllocator> allocator;
    ComPtr<IMemInputPin> input;
    if (SUCCEEDED(hr)) {
        hr = negotiateAllocator(receivePin, offer, bytes, false, allocator, input);
        // The receiver took the connection: it must not stay connected to a
        // pin that gave up on it.
        if (FAILED(hr))
            receivePin->Disconnect();
    }
    freeMediaType(offer);
    if (FAILED(hr))
        return E_FAIL;
    std::lock_guard guard(_lock);
    _connected = ComPtr<IPin>(receivePin);
    _input = std::move(input);
    _allocator = std::move(allocator);
    return S_OK;
}

STDMETHODIMP OutputPin::ReceiveConnection(IPin*, const AM_MEDIA_TYPE*)
{
    return S_OK;
}

STDMETHODIMP OutputPin::Disconnect()
{
    std::lock_guard connection(_connection);
    ComPtr<IMemAllocator> allocator;
    ComPtr<IPin> connected;
    ComPtr<IMemInputPin> input;
    {
        std::lock_guard guard(_lock);
        if (!_connected)
            return S_FALSE;
        allocator = std::move(_allocator);
        connected = std::move(_connected);
        input = std::move(_input);
    }
    if (allocator)
        allocator->Decommit();
    return S_OK;
}

STDMETHODIMP OutputPin::ConnectedTo(IPin** pin)
{
    if (!pin)
        return E_POINTER;
    std::lock_guard guard(_lock);
    *pin = ComPtr<IPin>(_connected.get()).detach();
    return *pin ? S_OK : VFW_E_NOT_CONNECTED;
}

STDMETHODIMP OutputPin::ConnectionMediaType(AM_MEDIA_TYPE* type)
{
    if (!type)
        return E_POINTER;
    std::lock_guard guard(_lock);
    if (!_connected)
        return VFW_E_NOT_CONNECTED;
    return copyMediaType(*type, _current);
}

STDMETHODIMP OutputPin::QueryPinInfo(PIN_INFO* info)
{
    if (!info)
        return E_POINTER;
    std::lock_guard guard(_lock);
    info->pFilter = _filter;
    if (_filter)
        _filter->AddRef();
    info->dir = PINDIR_OUTPUT;
    const wchar_t* name = IsEqualGUID(_current.majortype, MEDIATYPE_Video) ? L"Video Output" : L"Audio Output";
    std::wcsncpy(info->achName, name, MAX_PIN_NAME - 1);
    info->achName[MAX_PIN_NAME - 1] = L'\0';
    return S_OK;
}

STDMETHODIMP OutputPin::QueryDirection(PIN_DIRECTION* direction)
{
    if (!direction)
        return E_POINTER;
    *direction = PINDIR_OUTPUT;
    return S_OK;
}

STDMETHODIMP OutputPin::QueryId(LPWSTR* id)
{
    if (!id)
        return E_POINTER;
    const size_t bytes = (std::wcslen(kId) + 1) * sizeof(wchar_t);
    *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (!*id)
        return E_OUTOFMEMORY;
    std::memcpy(*id, kId, bytes);
    return S_OK;
}

STDMETHODIMP OutputPin::QueryAccept(const AM_MEDIA_TYPE*)
{
    return S_OK;
}

STDMETHODIMP OutputPin::EnumMediaTypes(IEnumMediaTypes** types)
{
    if (!types)
        return E_POINTER;
    *types = new (std::nothrow) OutputEnumMediaTypes(this, 0);
    return *types ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP OutputPin::QueryInternalConnections(IPin**, ULONG*)
{
    return E_NOTIMPL;
}

STDMETHODIMP OutputPin::EndOfStream()
{
    return S_OK;
}

STDMETHODIMP OutputPin::BeginFlush()
{
    std::lock_guard guard(_lock);
    _flushing = true;
    return S_OK;
}

STDMETHODIMP OutputPin::EndFlush()
{
    std::lock_guard guard(_lock);
    _flushing = false;
    return S_OK;
}

STDMETHODIMP OutputPin::NewSegment(REFERENCE_TIME, REFERENCE_TIME, double)
{
    return S_OK;
}

// ---- Format ----

STDMETHODIMP OutputPin::SetFormat(AM_MEDIA_TYPE* type)
{
    if (!type)
        return VFW_E_INVALIDMEDIATYPE;
    const std::optional<VideoShape> shape = acceptableShape(*type);
    if (!shape)
        return VFW_E_INVALIDMEDIATYPE;
    AM_MEDIA_TYPE copy {};
    if (FAILED(copyMediaType(copy, *type)))
        return E_OUTOFMEMORY;

    std::lock_guard connection(_connection);
    ComPtr<IPin> connected;
    ComPtr<IMemAllocator> previous;
    {
        std::lock_guard guard(_lock);
        connected = _connected;
        previous = _allocator;
    }
    ComPtr<IMemAllocator> allocator;
    ComPtr<IMemInputPin> input;
    if (connected) {
        // Connected: the downstream pin must take the new type, and the
        // allocator is set up afresh for its size, so that no sample of the
        // old size is ever filled with a picture of the new one. Decommitting
        // first ends a delivery thread's wait for a buffer of the old size.
        if (connected->QueryAccept(&copy) != S_OK) {
            freeMediaType(copy);
            return VFW_E_INVALIDMEDIATYPE;
        }
        if (previous)
            previous->Decommit();
        if (FAILED(negotiateAllocator(connected.get(), copy, shape->sampleBytes(), true, allocator, input))) {
            // Back to the old type, which the connection was made for.
            AM_MEDIA_TYPE old {};
            bool restored = false;
            size_t oldBytes = 0;
            {
                std::lock_guard guard(_lock);
                restored = SUCCEEDED(copyMediaType(old, _current));
                oldBytes = _shape.sampleBytes();
            }
            if (restored && SUCCEEDED(negotiateAllocator(connected.get(), old, oldBytes, true, allocator, input))) {
                std::lock_guard guard(_lock);
                _allocator = std::move(allocator);
                _input = std::move(input);
            }
            freeMediaType(old);
            freeMediaType(copy);
            return VFW_E_INVALIDMEDIATYPE;
        }
    }
    {
        std::lock_guard guard(_lock);
        std::swap(_current, copy);
        _shape = *shape;
        if (connected) {
            ++_typeGeneration;
            _allocator = std::move(allocator);
            _input = std::move(input);
        }
    }
    freeMediaType(copy);
    return S_OK;
}

STDMETHODIMP OutputPin::GetFormat(AM_MEDIA_TYPE** type)
{
    if (!type)
        return E_POINTER;
    *type = currentTypeCopy();
    return *type ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP OutputPin::GetNumberOfCapabilities(int* count, int* size)
{
    if (!count || !size)
        return E_POINTER;
    *count = int(kOfferedCount);
    *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
    return S_OK;
}

STDMETHODIMP OutputPin::GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps)
{
    if (!type || !caps)
        return E_POINTER;
    if (index >= int(kOfferedCount))
        return S_FALSE;
    if (index < 0)
        return E_INVALIDARG;
    const AM_MEDIA_TYPE& offered = _offered[size_t(index)];
    *type = newMediaType(offered);
    if (!*type)
        return E_OUTOFMEMORY;
    const auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(offered.pbFormat);
    const SIZE size {info->bmiHeader.biWidth, info->bmiHeader.biHeight};
    VIDEO_STREAM_CONFIG_CAPS c {};
    c.guid = FORMAT_VideoInfo;
    c.VideoStandard = 0;
    c.InputSize = c.MinCroppingSize = c.MaxCroppingSize = c.MinOutputSize = c.MaxOutputSize = size;
    c.CropGranularityX = size.cx;
    c.CropGranularityY = size.cy;
    c.MinFrameInterval = c.MaxFrameInterval = info->AvgTimePerFrame;
    c.MinBitsPerSecond = c.MaxBitsPerSecond = LONG(info->dwBitRate);
    std::memcpy(caps, &c, sizeof c);
    return S_OK;
}

// ---- Property set: the pin's category ----

STDMETHODIMP OutputPin::Set(REFGUID, DWORD, LPVOID, DWORD, LPVOID, DWORD)
{
    return E_NOTIMPL;
}

STDMETHODIMP OutputPin::Get(REFGUID set, DWORD id, LPVOID, DWORD, LPVOID data, DWORD dataBytes, DWORD* returned)
{
    if (!IsEqualGUID(set, AMPROPSETID_Pin))
        return E_PROP_SET_UNSUPPORTED;
    if (id != AMPROPERTY_PIN_CATEGORY)
        return E_PROP_ID_UNSUPPORTED;
    if (!data && !returned)
        return E_POINTER;
    if (returned)
        *returned = sizeof(GUID);
    if (!data)
        return S_OK;
    if (dataBytes < sizeof(GUID))
        return E_UNEXPECTED;
    std::memcpy(data, &PIN_CATEGORY_CAPTURE, sizeof(GUID));
    return S_OK;
}

STDMETHODIMP OutputPin::QuerySupported(REFGUID set, DWORD id, DWORD* support)
{
    if (!IsEqualGUID(set, AMPROPSETID_Pin))
        return E_PROP_SET_UNSUPPORTED;
    if (id != AMPROPERTY_PIN_CATEGORY)
        return E_PROP_ID_UNSUPPORTED;
    if (support)
        *support = KSPROPERTY_SUPPORT_GET;
    return S_OK;
}

// ---- For the filter and its delivery thread ----

bool OutputPin::target(Target& out)
{
    std::lock_guard guard(_lock);
    if (!_connected || !_allocator || !_input || _flushing)
        return false;
    out.allocator = _allocator;
    out.input = _input;
    out.shape = _shape;
    out.typeGeneration = _typeGeneration;
    return true;
}

AM_MEDIA_TYPE* OutputPin::currentTypeCopy()
{
    std::lock_guard guard(_lock);
    return newMediaType(_current);
}

REFERENCE_TIME OutputPin::averageTimePerFrame()
{
    std::lock_guard guard(_lock);
    return _shape.interval;
}

template <typename T>
ComPtr<T> OutputPin::locked(const ComPtr<T>& field)
{
    std::lock_guard guard(_lock);
    return field;
}

void OutputPin::commitAllocator()
{
    if (ComPtr<IMemAllocator> allocator = locked(_allocator))
        allocator->Commit();
}

void OutputPin::decommitAllocator()
{
    if (ComPtr<IMemAllocator> allocator = locked(_allocator))
        allocator->Decommit();
}

void OutputPin::flushDownstream()
{
    if (ComPtr<IPin> connected = locked(_connected)) {
        connected->BeginFlush();
        connected->EndFlush();
    }
}

void OutputPin::detachFilter()
{
    std::lock_guard guard(_lock);
    _filter = nullptr;
}

} // namespace DShow
