#include "Enumerators.h"

#include "MediaTypes.h"
#include "OutputFilter.h"
#include "OutputPin.h"

#include <new>

namespace DShow {

namespace {

// QueryInterface of an enumerator answering IUnknown and `own`.
template <typename I>
HRESULT answer(I* self, REFIID iid, REFIID own, void** out)
{
    if (!out)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, own)) {
        *out = self;
        self->AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

// The position after skipping `count`; S_FALSE when it passes `total`.
HRESULT skip(ULONG& position, ULONG count, ULONG total)
{
    const ULONG64 next = ULONG64(position) + count;
    position = next > total ? total + 1 : ULONG(next);
    return next > total ? S_FALSE : S_OK;
}

} // namespace

// ---- Pins ----

OutputEnumPins::OutputEnumPins(OutputFilter* filter, ULONG position)
    : ComObject(1)
    , _filter(filter)
    , _position(position)
{
    _filter->AddRef();
}

OutputEnumPins::~OutputEnumPins()
{
    _filter->Release();
}

STDMETHODIMP OutputEnumPins::QueryInterface(REFIID iid, void** out)
{
    return answer<IEnumPins>(this, iid, IID_IEnumPins, out);
}

STDMETHODIMP OutputEnumPins::Next(ULONG count, IPin** pins, ULONG* fetched)
{
    if (!pins)
        return E_POINTER;
    ULONG given = 0;
    if (_position == 0 && count > 0) {
        IPin* pin = _filter->pin();
        pin->AddRef();
        pins[0] = pin;
        given = 1;
        ++_position;
    }
    if (fetched)
        *fetched = given;
    return given == count ? S_OK : S_FALSE;
}

STDMETHODIMP OutputEnumPins::Skip(ULONG count)
{
    return skip(_position, count, 1);
}

STDMETHODIMP OutputEnumPins::Reset()
{
    _position = 0;
    return S_OK;
}

STDMETHODIMP OutputEnumPins::Clone(IEnumPins** copy)
{
    if (!copy)
        return E_POINTER;
    *copy = new (std::nothrow) OutputEnumPins(_filter, _position);
    return *copy ? S_OK : E_OUTOFMEMORY;
}

// ---- Media types ----

OutputEnumMediaTypes::OutputEnumMediaTypes(OutputPin* pin, ULONG position)
    : ComObject(1)
    , _pin(pin)
    , _position(position)
{
    _pin->AddRef();
}

OutputEnumMediaTypes::~OutputEnumMediaTypes()
{
    _pin->Release();
}

STDMETHODIMP OutputEnumMediaTypes::QueryInterface(REFIID iid, void** out)
{
    return answer<IEnumMediaTypes>(this, iid, IID_IEnumMediaTypes, out);
}

STDMETHODIMP OutputEnumMediaTypes::Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched)
{
    if (!types)
        return E_POINTER;
    ULONG given = 0;
    while (given < count && _position < OutputPin::kOfferedCount) {
        AM_MEDIA_TYPE* copy = newMediaType(_pin->offeredType(_position));
        if (!copy)
            break;
        types[given++] = copy;
        ++_position;
    }
    if (fetched)
        *fetched = given;
    return given == count ? S_OK : S_FALSE;
}

STDMETHODIMP OutputEnumMediaTypes::Skip(ULONG count)
{
    return skip(_position, count, ULONG(OutputPin::kOfferedCount));
}

STDMETHODIMP OutputEnumMediaTypes::Reset()
{
    _position = 0;
    return S_OK;
}

STDMETHODIMP OutputEnumMediaTypes::Clone(IEnumMediaTypes** copy)
{
    if (!copy)
        return E_POINTER;
    *copy = new (std::nothrow) OutputEnumMediaTypes(_pin, _position);
    return *copy ? S_OK : E_OUTOFMEMORY;
}

} // namespace DShow
