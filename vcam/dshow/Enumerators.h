// The enumerators of the filter's one pin and of the pin's offered media
// types. Each holds a reference on what it enumerates.
#pragma once

#include "Com.h"

#include <strmif.h>

namespace DShow {

class OutputFilter;
class OutputPin;

class OutputEnumPins final : public ComObject<OutputEnumPins, IEnumPins>
{
public:
    OutputEnumPins(OutputFilter* filter, ULONG position);

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP Next(ULONG count, IPin** pins, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumPins** copy) override;

private:
    friend ComObject;
    ~OutputEnumPins();

    OutputFilter* _filter;
    ULONG _position;
};

class OutputEnumMediaTypes final : public ComObject<OutputEnumMediaTypes, IEnumMediaTypes>
{
public:
    OutputEnumMediaTypes(OutputPin* pin, ULONG position);

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumMediaTypes** copy) override;

private:
    friend ComObject;
    ~OutputEnumMediaTypes();

    OutputPin* _pin;
    ULONG _position;
};

} // namespace DShow
