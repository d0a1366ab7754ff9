// The filter's output pin, one object with three faces: IPin (connection and
// allocator), IAMStreamConfig (the offered formats and the client's choice)
// and IKsPropertySet (the capture pin category). All faces share one
// reference count.
//
// Graph calls (connection, format, state changes) arrive on the client's
// threads while the filter's delivery thread sends samples. The delivery
// thread never uses the pin's fields directly: once per frame it takes a
// Target, its own references to the allocator and the downstream input and a
// copy of the picture's shape, so a Disconnect or SetFormat meanwhile cannot
// pull them from under it.
#pragma once

#include "Com.h"
#include "MediaTypes.h"

#include <strmif.h>

#include <array>

namespace DShow {

class OutputFilter;

class OutputPin final : public ComObject<OutputPin, IPin, IAMStreamConfig, IKsPropertySet>
{
public:
    static constexpr const wchar_t* kId = L"Output Pin";

    explicit OutputPin(OutputFilter* filter);

    // IUnknown (all faces)
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    // IPin
    STDMETHODIMP Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) override;
    STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override;
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP ConnectedTo(IPin** pin) override;
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* type) override;
    STDMETHODIMP QueryPinInfo(PIN_INFO* info) override;
    STDMETHODIMP QueryDirection(PIN_DIRECTION* direction) override;
    STDMETHODIMP QueryId(LPWSTR* id) override;
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* type) override;
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override;
    STDMETHODIMP QueryInternalConnections(IPin** pins, ULONG* count) override;
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;
    STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
    // IAMStreamConfig
    STDMETHODIMP SetFormat(AM_MEDIA_TYPE* type) override;
    STDMETHODIMP GetFormat(AM_MEDIA_TYPE** type) override;
    STDMETHODIMP GetNumberOfCapabilities(int* count, int* size) override;
    STDMETHODIMP GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps) override;
    // IKsPropertySet
    STDMETHODIMP Set(REFGUID set, DWORD id, LPVOID instance, DWORD instanceBytes, LPVOID data,
                     DWORD dataBytes) override;
    STDMETHODIMP Get(REFGUID set, DWORD id, LPVOID instance, DWORD instanceBytes, LPVOID data, DWORD dataBytes,
                     DWORD* returned) override;
    STDMETHODIMP QuerySupported(REFGUID set, DWORD id, DWORD* support) override;

    // The offered types, in the order they are offered.
    static constexpr size_t kOfferedCount = std::size(vcam::kOfferedFormats);
    const AM_MEDIA_TYPE& offeredType(size_t index) const { return _offered[index]; }

    // What the delivery thread needs for one sample.
    struct Target
    {
        ComPtr<IMemAllocator> allocator;
        ComPtr<IMemInputPin> input;
        VideoShape shape;            // its sampleBytes() is what each sample holds
        uint64_t typeGeneration = 0; // changes with every format change while connected
    };
    // False while there is nowhere to deliver (not connected, no allocator,
    // flushing).
    bool target(Target& out);
    // A copy of the current type (task memory; null when memory runs out).
    AM_MEDIA_TYPE* currentTypeCopy();
    REFERENCE_TIME averageTimePerFrame();

    // Filter state changes: commit the allocator on the first Pause, flush
    // the downstream pin on Stop, decommit before the filter goes (which
    // ends a delivery thread's wait for a buffer).
    void commitAllocator();
    void decommitAllocator();
    void flushDownstream();
    // The filter is going away: the pin answers without it from now on.
    void detachFilter();

private:
    friend ComObject;
    ~OutputPin();

    // A reference to one of the fields below, taken under the lock.
    template <typename T>
    ComPtr<T> locked(const ComPtr<T>& field);
    // Sets up the allocator for `receiver`, `type` and samples of `bytes`;
    // on success fills the two outputs.
    HRESULT negotiateAllocator(IPin* receiver, const AM_MEDIA_TYPE& type, size_t bytes, bool commit,
                               ComPtr<IMemAllocator>& allocator, ComPtr<IMemInputPin>& input);

    std::array<AM_MEDIA_TYPE, kOfferedCount> _offered {};

    // Serialises the calls that change the connection or the format; held
    // while calling out to the downstream pin (which may call back into the
    // pin's getters, guarded by _lock alone).
    Lock _connection;
    Lock _lock;
    OutputFilter* _filter;
    AM_MEDIA_TYPE _current {};
    VideoShape _shape;
    uint64_t _typeGeneration = 0;
    ComPtr<IPin> _connected;
    ComPtr<IMemInputPin> _input;
    ComPtr<IMemAllocator> _allocator;
    bool _flushing = false;
};

} // namespace DShow
