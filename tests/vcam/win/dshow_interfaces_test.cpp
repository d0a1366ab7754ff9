// The virtual camera driver's COM objects called directly, in process, through
// the DLL's exports (no registration, no filter graph): the class object and
// its factory, the filter, its pin with the stream configuration and pin
// category faces, the enumerators, and the module's unload accounting.
#include "MediaTypes.h"
#include "VCamFactory.h"

#include <uuids.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

using DShow::ComPtr;
using DShow::fourcc;
using DShow::fourccSubtype;
using DShow::queryInterface;

int failures = 0;

bool check(bool ok, const std::string& what)
{
    std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what.c_str());
    std::fflush(stdout); // the watchdog may end the process
    failures += ok ? 0 : 1;
    return ok;
}

int finish()
{
    std::printf("%s (%d failures)\n", failures ? "FAILED" : "PASSED", failures);
    std::fflush(stdout);
    return failures ? 1 : 0;
}

// A hang (a delivery thread that never joins) ends the program as a failure
// well before the runner's own limit.
DWORD WINAPI watchdog(void*)
{
    Sleep(60000);
    check(false, "the program finishes within 60 s");
    TerminateProcess(GetCurrentProcess(), finish());
    return 0;
}

HRESULT(STDAPICALLTYPE* getClassObject)(REFCLSID, REFIID, void**) = nullptr;
HRESULT(STDAPICALLTYPE* canUnloadNow)() = nullptr;

// Out-parameters start as this, so that a call which must clear them on
// failure is seen to.
void* const kUnset = reinterpret_cast<void*>(uintptr_t(1));

// True when `hr` is `expected` and the out-parameter came back as COM
// requires: an object on success, null on failure. Any object is released.
bool outcome(HRESULT hr, HRESULT expected, void* out)
{
    const bool object = out && out != kUnset;
    if (object)
        static_cast<IUnknown*>(out)->Release();
    return hr == expected && (SUCCEEDED(hr) ? object : !out);
}

// An interface id, its name, and whether the object answers it.
using Face = std::tuple<const IID*, const char*, bool>;
#define FACE(name, answered) Face(&IID_##name, #name, answered)

// Each face `object` answers is the same object (one IUnknown); the others
// are refused with a null pointer.
void checkFaces(IUnknown* object, const char* owner, std::initializer_list<Face> faces)
{
    const ComPtr<IUnknown> identity = queryInterface<IUnknown>(object, IID_IUnknown);
    for (auto [iid, name, answered] : faces) {
        void* out = kUnset;
        const HRESULT hr = object->QueryInterface(*iid, &out);
        const bool same = hr == S_OK && out && out != kUnset
                       && queryInterface<IUnknown>(static_cast<IUnknown*>(out), IID_IUnknown).get() == identity.get();
        check(outcome(hr, answered ? S_OK : E_NOINTERFACE, out) && (same || !answered),
              std::string(owner) + " QueryInterface " + name + (answered ? ": itself" : ": E_NOINTERFACE"));
    }
}

ComPtr<IClassFactory> classFactory()
{
    ComPtr<IClassFactory> factory;
    getClassObject(DShow::kVCamFilterClsid, IID_IClassFactory, reinterpret_cast<void**>(factory.put()));
    return factory;
}

// A filter whose factory is already gone, so that only the filter counts.
ComPtr<IBaseFilter> newFilter()
{
    ComPtr<IBaseFilter> filter;
    if (ComPtr<IClassFactory> factory = classFactory())
        factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(filter.put()));
    return filter;
}

// Media types handed out live in task memory: the format block, then the
// structure.
using TypePtr = std::unique_ptr<AM_MEDIA_TYPE, void (*)(AM_MEDIA_TYPE*)>;
TypePtr owned(AM_MEDIA_TYPE* mt)
{
    return TypePtr(mt, [](AM_MEDIA_TYPE* p) { CoTaskMemFree(p->pbFormat), CoTaskMemFree(p); });
}

struct Offered
{
    const char* name;
    GUID subtype;
    uint32_t compression;
    WORD planes, bits;
};
const Offered kOffered[] = {{"ARGB32", MEDIASUBTYPE_ARGB32, fourcc("ARGB"), 1, 32},
                            {"RGB32", MEDIASUBTYPE_RGB32, fourcc("RGB4"), 1, 32},
                            {"I420", fourccSubtype(fourcc("I420")), fourcc("I420"), 3, 12},
                            {"NV12", fourccSubtype(fourcc("NV12")), fourcc("NV12"), 2, 12},
                            {"YUY2", fourccSubtype(fourcc("YUY2")), fourcc("YUY2"), 1, 16}};
const Offered& kI420 = kOffered[2];
const Offered& kYUY2 = kOffered[4];

// `mt` is the offered type `o`: a VIDEOINFOHEADER for 1280 x 720 (bottom-up)
// at 30 frames per second, its sample size and bit rate from the pixel size.
bool isOffered(const AM_MEDIA_TYPE* mt, const Offered& o)
{
    if (!mt || mt->majortype != MEDIATYPE_Video || mt->subtype != o.subtype || mt->formattype != FORMAT_VideoInfo
        || mt->cbFormat != 88 || !mt->pbFormat)
        return false;
    const auto& info = *reinterpret_cast<const VIDEOINFOHEADER*>(mt->pbFormat);
    const BITMAPINFOHEADER& bmi = info.bmiHeader;
    const ULONG sampleSize = o.bits * 115200u;
    return mt->lSampleSize == sampleSize && info.AvgTimePerFrame == 333333
        && info.dwBitRate == DWORD(uint64_t(sampleSize) * 10000000 / 333333 * 8) && bmi.biWidth == 1280
        && bmi.biHeight == 720 && bmi.biPlanes == o.planes && bmi.biBitCount == o.bits
        && bmi.biCompression == o.compression;
}

void testClassObject()
{
    const CLSID& ours = DShow::kVCamFilterClsid;
    auto ask = [](const CLSID& classId, const IID& iid, HRESULT expected, const char* what) {
        void* out = kUnset;
        const HRESULT hr = getClassObject(classId, iid, &out);
        check(outcome(hr, expected, out), std::string("DllGetClassObject, ") + what);
    };
    ask(CLSID_FilterGraph, IID_IClassFactory, E_INVALIDARG, "another class: E_INVALIDARG");
    ask(ours, IID_IBaseFilter, E_NOINTERFACE, "the class asking IBaseFilter: E_NOINTERFACE");
    ask(CLSID_FilterGraph, IID_IBaseFilter, E_NOINTERFACE, "another class asking IBaseFilter: E_NOINTERFACE");
    ask(ours, IID_IClassFactory, S_OK, "the class asking IClassFactory: S_OK");
    ask(ours, IID_IUnknown, S_OK, "the class asking IUnknown: S_OK");
    check(getClassObject(ours, IID_IClassFactory, nullptr) == E_POINTER, "DllGetClassObject, null out: E_POINTER");
    check(canUnloadNow() == S_OK, "class objects released: DllCanUnloadNow S_OK");
}

void testFactory()
{
    ComPtr<IClassFactory> factory = classFactory();
    if (!check(bool(factory), "class factory"))
        return;
    checkFaces(factory.get(), "factory",
               {FACE(IUnknown, true), FACE(IClassFactory, true), FACE(IBaseFilter, false), FACE(IPersist, false)});
    void* out = kUnset;
    HRESULT hr = factory->CreateInstance(factory.get(), IID_IUnknown, &out);
    check(outcome(hr, E_NOINTERFACE, out), "CreateInstance with an outer object: E_NOINTERFACE, null");
    check(factory->CreateInstance(nullptr, IID_IBaseFilter, nullptr) == E_POINTER, "CreateInstance(null): E_POINTER");
    out = kUnset;
    hr = factory->CreateInstance(nullptr, IID_IClassFactory, &out);
    check(outcome(hr, E_NOINTERFACE, out), "CreateInstance asking IClassFactory: E_NOINTERFACE, null");
    factory.reset();
    check(canUnloadNow() == S_OK, "refused creations leave nothing alive: DllCanUnloadNow S_OK");

    factory = classFactory();
    check(factory && factory->LockServer(TRUE) == S_OK, "LockServer(TRUE)");
    factory.reset();
    check(canUnloadNow() == S_FALSE, "a server lock keeps the module loaded: S_FALSE");
    factory = classFactory();
    check(factory && factory->LockServer(FALSE) == S_OK, "LockServer(FALSE)");
    factory.reset();
    check(canUnloadNow() == S_OK, "unlocked: DllCanUnloadNow S_OK");
}

void testFilter(IBaseFilter* filter, IPin* pin)
{
    checkFaces(filter, "filter",
               {FACE(IUnknown, true), FACE(IPersist, true), FACE(IMediaFilter, true), FACE(IBaseFilter, true),
                FACE(IAMFilterMiscFlags, true), FACE(IPin, false), FACE(IAMStreamConfig, false)});
    ComPtr<IAMFilterMiscFlags> flags = queryInterface<IAMFilterMiscFlags>(filter, IID_IAMFilterMiscFlags);
    check(flags && flags->GetMiscFlags() == AM_FILTER_MISC_FLAGS_IS_SOURCE, "GetMiscFlags: a source");
    CLSID classId {};
    LPWSTR vendor = nullptr;
    check(filter->GetClassID(&classId) == E_NOTIMPL && filter->QueryVendorInfo(&vendor) == E_NOTIMPL,
          "GetClassID, QueryVendorInfo: E_NOTIMPL");
    FILTER_INFO info {};
    info.pGraph = static_cast<IFilterGraph*>(kUnset);
    HRESULT hr = filter->QueryFilterInfo(&info);
    check(hr == S_OK && std::wcscmp(info.achName, L"VCamFilter") == 0 && !info.pGraph,
          "QueryFilterInfo: \"VCamFilter\", no graph before JoinFilterGraph");

    IPin* found = static_cast<IPin*>(kUnset);
    hr = filter->FindPin(L"Video Output", &found);
    check(outcome(hr, VFW_E_NOT_FOUND, found), "FindPin(\"Video Output\") (the name, not the id): VFW_E_NOT_FOUND");
    check(filter->FindPin(nullptr, &found) == E_POINTER && filter->FindPin(L"Output Pin", nullptr) == E_POINTER,
          "FindPin with a null argument: E_POINTER");

    auto stateIs = [filter](HRESULT change, FILTER_STATE expected) {
        FILTER_STATE state = FILTER_STATE(-1);
        return change == S_OK && filter->GetState(0, &state) == S_OK && state == expected;
    };
    check(stateIs(S_OK, State_Stopped), "a new filter is stopped");
    check(stateIs(filter->Pause(), State_Paused), "Pause, GetState: paused");
    check(stateIs(filter->Run(0), State_Running), "Run, GetState: running");
    check(stateIs(filter->Pause(), State_Paused), "Pause while running, GetState: paused");
    check(stateIs(filter->Stop(), State_Stopped), "Stop, GetState: stopped");

    // The one pin, then the end; Skip moves, Reset returns, Clone copies the
    // position.
    ComPtr<IEnumPins> pins, clone;
    if (!check(filter->EnumPins(pins.put()) == S_OK && pins, "EnumPins"))
        return;
    auto next = [pin](IEnumPins* e, ULONG count, bool expectPin) {
        IPin* got[2] = {};
        ULONG fetched = 99;
        const HRESULT r = e->Next(count, got, &fetched);
        const bool ok = expectPin ? r == (count == 1 ? S_OK : S_FALSE) && fetched == 1 && got[0] == pin
                                  : r == S_FALSE && fetched == 0 && !got[0];
        if (got[0])
            got[0]->Release();
        return ok;
    };
    check(next(pins.get(), 1, true), "EnumPins Next: the output pin");
    check(next(pins.get(), 1, false), "EnumPins Next at the end: S_FALSE, none");
    check(pins->Reset() == S_OK && next(pins.get(), 2, true), "EnumPins Reset, Next(2): S_FALSE with the one pin");
    check(pins->Reset() == S_OK && pins->Skip(1) == S_OK && pins->Skip(1) == S_FALSE && next(pins.get(), 1, false),
          "EnumPins Skip(1) to the end, Skip past it: S_FALSE");
    check(pins->Reset() == S_OK && pins->Clone(clone.put()) == S_OK && next(clone.get(), 1, true)
              && next(pins.get(), 1, true) && pins->Clone(clone.put()) == S_OK && next(clone.get(), 1, false),
          "EnumPins Clone at the start gives the pin, at the end none");
}

void testPin(IPin* pin, IBaseFilter* filter)
{
    checkFaces(pin, "pin",
               {FACE(IUnknown, true), FACE(IPin, true), FACE(IAMStreamConfig, true), FACE(IKsPropertySet, true),
                FACE(IBaseFilter, false), FACE(IMemInputPin, false)});
    PIN_DIRECTION direction = PINDIR_INPUT;
    check(pin->QueryDirection(&direction) == S_OK && direction == PINDIR_OUTPUT, "QueryDirection: output");
    LPWSTR id = nullptr;
    check(pin->QueryId(&id) == S_OK && id && std::wcscmp(id, L"Output Pin") == 0, "QueryId: \"Output Pin\"");
    CoTaskMemFree(id);
    PIN_INFO info {};
    check(pin->QueryPinInfo(&info) == S_OK && info.dir == PINDIR_OUTPUT
              && std::wcscmp(info.achName, L"Video Output") == 0 && info.pFilter == filter,
          "QueryPinInfo: \"Video Output\", output, its filter");
    if (info.pFilter)
        info.pFilter->Release();
    IPin* peer = static_cast<IPin*>(kUnset);
    const HRESULT hr = pin->ConnectedTo(&peer);
    check(outcome(hr, VFW_E_NOT_CONNECTED, peer), "ConnectedTo: VFW_E_NOT_CONNECTED, null");
    AM_MEDIA_TYPE mt {};
    check(pin->ConnectionMediaType(&mt) == VFW_E_NOT_CONNECTED, "ConnectionMediaType: VFW_E_NOT_CONNECTED");
    check(pin->Disconnect() == S_FALSE, "Disconnect when not connected: S_FALSE");
}

void testMediaTypes(IPin* pin)
{
    ComPtr<IEnumMediaTypes> types, clone;
    if (!check(pin->EnumMediaTypes(types.put()) == S_OK && types, "EnumMediaTypes"))
        return;
    // Next(count) fetches exactly `expected` types, the offered ones from `first`.
    auto next = [](IEnumMediaTypes* e, ULONG count, size_t first, ULONG expected) {
        AM_MEDIA_TYPE* got[8] = {};
        ULONG fetched = 99;
        bool ok = e->Next(count, got, &fetched) == (expected == count ? S_OK : S_FALSE) && fetched == expected;
        for (ULONG i = 0; i < 8; ++i) {
            const TypePtr type = owned(got[i]);
            ok = ok && (i < expected ? isOffered(type.get(), kOffered[first + i]) : !type);
        }
        return ok;
    };
    for (size_t i = 0; i < 5; ++i)
        check(next(types.get(), 1, i, 1), std::string("EnumMediaTypes Next: ") + kOffered[i].name);
    check(next(types.get(), 1, 0, 0), "EnumMediaTypes Next at the end: S_FALSE, none");
    check(types->Reset() == S_OK && next(types.get(), 8, 0, 5), "EnumMediaTypes Reset, Next(8): the five, S_FALSE");
    check(types->Reset() == S_OK && types->Skip(2) == S_OK && types->Clone(clone.put()) == S_OK
              && next(clone.get(), 1, 2, 1) && next(types.get(), 3, 2, 3),
          "EnumMediaTypes Skip(2), Clone: both continue at I420");
    check(types->Reset() == S_OK && types->Skip(5) == S_OK && types->Skip(1) == S_FALSE && next(types.get(), 1, 0, 0),
          "EnumMediaTypes Skip(5) to the end, Skip past it: S_FALSE");
}

// The pin's current format is the offered `o`.
bool formatIs(IAMStreamConfig* config, const Offered& o)
{
    AM_MEDIA_TYPE* mt = nullptr;
    const HRESULT hr = config->GetFormat(&mt);
    return hr == S_OK && isOffered(owned(mt).get(), o);
}

void testStreamConfig(IPin* pin)
{
    ComPtr<IAMStreamConfig> config = queryInterface<IAMStreamConfig>(pin, IID_IAMStreamConfig);
    if (!config)
        return;
    int count = 0, size = 0;
    check(config->GetNumberOfCapabilities(&count, &size) == S_OK && count == 5 && size == 128,
          "GetNumberOfCapabilities: 5 of 128 bytes");
    check(config->GetNumberOfCapabilities(nullptr, &size) == E_POINTER
              && config->GetNumberOfCapabilities(&count, nullptr) == E_POINTER,
          "GetNumberOfCapabilities with a null pointer: E_POINTER");
    AM_MEDIA_TYPE* raw = nullptr;
    VIDEO_STREAM_CONFIG_CAPS caps {};
    BYTE* capsBytes = reinterpret_cast<BYTE*>(&caps);
    check(config->GetStreamCaps(5, &raw, capsBytes) == S_FALSE, "GetStreamCaps(5): S_FALSE");
    check(config->GetStreamCaps(-1, &raw, capsBytes) == E_INVALIDARG, "GetStreamCaps(-1): E_INVALIDARG");
    check(config->GetStreamCaps(0, nullptr, capsBytes) == E_POINTER
              && config->GetStreamCaps(0, &raw, nullptr) == E_POINTER,
          "GetStreamCaps with a null pointer: E_POINTER");
    std::vector<TypePtr> offered;
    for (int i = 0; i < 5; ++i) {
        caps = {};
        raw = nullptr;
        const HRESULT hr = config->GetStreamCaps(i, &raw, capsBytes);
        offered.push_back(owned(raw));
        const auto* info = raw ? reinterpret_cast<const VIDEOINFOHEADER*>(raw->pbFormat) : nullptr;
        const SIZE min = caps.MinOutputSize, max = caps.MaxOutputSize;
        check(hr == S_OK && isOffered(raw, kOffered[i]) && caps.guid == FORMAT_VideoInfo && min.cx == 1280
                  && min.cy == 720 && max.cx == 1280 && max.cy == 720 && caps.MinFrameInterval == 333333
                  && caps.MaxFrameInterval == 333333 && caps.MinBitsPerSecond == LONG(info->dwBitRate)
                  && caps.MaxBitsPerSecond == LONG(info->dwBitRate),
              std::string("GetStreamCaps: ") + kOffered[i].name + " with its size, interval and bit rate");
    }
    check(formatIs(config.get(), kI420), "GetFormat before SetFormat: I420");
    check(config->GetFormat(nullptr) == E_POINTER, "GetFormat(null): E_POINTER");
    if (!offered[2] || !offered[4])
        return;
    check(config->SetFormat(offered[4].get()) == S_OK && formatIs(config.get(), kYUY2),
          "SetFormat(YUY2 from GetStreamCaps), GetFormat: YUY2");
    check(config->SetFormat(nullptr) == VFW_E_INVALIDMEDIATYPE && formatIs(config.get(), kYUY2),
          "SetFormat(null): VFW_E_INVALIDMEDIATYPE");

    // Each refused type is the offered I420 one with one thing changed; the
    // format stays YUY2.
    auto refused = [&](const char* what, auto change) {
        AM_MEDIA_TYPE mt = *offered[2];
        VIDEOINFOHEADER info = *reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat);
        mt.pbFormat = reinterpret_cast<BYTE*>(&info);
        change(mt, info.bmiHeader, info.AvgTimePerFrame);
        check(config->SetFormat(&mt) == VFW_E_INVALIDMEDIATYPE && formatIs(config.get(), kYUY2),
              std::string("SetFormat refuses ") + what + ", format unchanged");
    };
    using M = AM_MEDIA_TYPE&;
    using B = BITMAPINFOHEADER&;
    using T = REFERENCE_TIME&;
    refused("biHeight -720 (top-down)", [](M, B b, T) { b.biHeight = -720; });
    refused("biHeight 0", [](M, B b, T) { b.biHeight = 0; });
    refused("640 x 480", [](M, B b, T) { b.biWidth = 640, b.biHeight = 480; });
    refused("AvgTimePerFrame 0", [](M, B, T t) { t = 0; });
    refused("AvgTimePerFrame -1", [](M, B, T t) { t = -1; });
    refused("UYVY", [](M m, B b, T) {
        m.subtype = fourccSubtype(fourcc("UYVY")), b.biCompression = fourcc("UYVY"), b.biBitCount = 16;
    });
    refused("RGB24", [](M m, B b, T) { m.subtype = MEDIASUBTYPE_RGB24, b.biCompression = BI_RGB, b.biBitCount = 24; });
    refused("an audio major type", [](M m, B, T) { m.majortype = MEDIATYPE_Audio; });
    refused("a format block short of a VIDEOINFOHEADER", [](M m, B, T) { m.cbFormat = 40; });
}

void testPropertySet(IPin* pin)
{
    ComPtr<IKsPropertySet> props = queryInterface<IKsPropertySet>(pin, IID_IKsPropertySet);
    if (!props)
        return;
    GUID category {};
    DWORD returned = 0;
    auto get = [&](const GUID& set, DWORD id, void* data, DWORD bytes, DWORD* size) {
        returned = 0;
        return props->Get(set, id, nullptr, 0, data, bytes, size);
    };
    const GUID& pinSet = AMPROPSETID_Pin;
    const DWORD kCategory = AMPROPERTY_PIN_CATEGORY;
    check(get(pinSet, kCategory, &category, 16, &returned) == S_OK && category == PIN_CATEGORY_CAPTURE
              && returned == 16,
          "Get(pin category): PIN_CATEGORY_CAPTURE, 16 bytes");
    check(get(pinSet, kCategory, &category, 15, &returned) == E_UNEXPECTED, "Get, 15-byte buffer: E_UNEXPECTED");
    check(get(PIN_CATEGORY_CAPTURE, kCategory, &category, 16, &returned) == E_PROP_SET_UNSUPPORTED,
          "Get, another set: E_PROP_SET_UNSUPPORTED");
    check(get(pinSet, AMPROPERTY_PIN_MEDIUM, &category, 16, &returned) == E_PROP_ID_UNSUPPORTED,
          "Get, another id: E_PROP_ID_UNSUPPORTED");
    check(get(pinSet, kCategory, nullptr, 0, &returned) == S_OK && returned == 16, "Get, size only: S_OK, 16");
    check(get(pinSet, kCategory, nullptr, 0, nullptr) == E_POINTER, "Get, neither data nor size: E_POINTER");
    DWORD support = 0;
    check(props->QuerySupported(pinSet, kCategory, &support) == S_OK && support == KSPROPERTY_SUPPORT_GET,
          "QuerySupported(pin category): get only");
    check(props->Set(pinSet, kCategory, nullptr, 0, &category, 16) == E_NOTIMPL, "Set: E_NOTIMPL");
}

// Each filter's delivery thread starts with Pause and must be joined when the
// filter goes, whether it was stopped first or released while running.
void testManyFilters()
{
    const ULONGLONG start = GetTickCount64();
    int created = 0, heldModule = 0;
    for (int i = 0; i < 50; ++i) {
        ComPtr<IBaseFilter> filter = newFilter();
        if (!filter)
            continue;
        ++created;
        filter->Pause();
        if (i % 3 != 0)
            filter->Run(0);
        heldModule += canUnloadNow() == S_FALSE;
        if (i % 3 != 2)
            filter->Stop();
    }
    const ULONGLONG elapsed = GetTickCount64() - start;
    check(created == 50 && heldModule == 50, "50 filters paused, run, stopped: each kept the module loaded");
    check(canUnloadNow() == S_OK, "50 filters released: DllCanUnloadNow S_OK");
    check(elapsed < 20000, "50 filters came and went in " + std::to_string(elapsed) + " ms (under 20 s)");
}

} // namespace

int main()
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CloseHandle(CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr));

    // The driver next to this program.
    wchar_t self[MAX_PATH] = {};
    std::wstring path(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    path = path.substr(0, path.find_last_of(L"\\/") + 1)
         + (sizeof(void*) == 8 ? L"VantorVCam64.dll" : L"VantorVCam32.dll");
    const HMODULE dll = LoadLibraryW(path.c_str());
    auto exported = [dll](const char* name) {
        return dll ? reinterpret_cast<void*>(GetProcAddress(dll, name)) : nullptr;
    };
    getClassObject = reinterpret_cast<decltype(getClassObject)>(exported("DllGetClassObject"));
    canUnloadNow = reinterpret_cast<decltype(canUnloadNow)>(exported("DllCanUnloadNow"));
    if (!check(getClassObject && canUnloadNow, "the driver loads and exports DllGetClassObject and DllCanUnloadNow"))
        return finish();
    check(canUnloadNow() == S_OK, "nothing alive after loading: DllCanUnloadNow S_OK");

    testClassObject();
    testFactory();
    {
        ComPtr<IBaseFilter> filter = newFilter();
        ComPtr<IPin> pin;
        if (!check(filter && filter->FindPin(L"Output Pin", pin.put()) == S_OK && pin,
                   "CreateInstance(IBaseFilter), FindPin(\"Output Pin\")"))
            return finish();
        testFilter(filter.get(), pin.get());
        testPin(pin.get(), filter.get());
        testMediaTypes(pin.get());
        testStreamConfig(pin.get());
        testPropertySet(pin.get());

        // An enumerator holds its filter; the pin holds only itself.
        ComPtr<IEnumPins> pins;
        filter->EnumPins(pins.put());
        filter.reset();
        IPin* got = nullptr;
        check(pins && pins->Next(1, &got, nullptr) == S_OK && got == pin.get(),
              "a pin enumerator outliving the client's filter reference still gives the pin");
        if (got)
            got->Release();
        pins.reset();
        check(canUnloadNow() == S_FALSE, "a pin whose filter went keeps the module loaded: S_FALSE");
        PIN_INFO info {};
        info.pFilter = static_cast<IBaseFilter*>(kUnset);
        check(pin->QueryPinInfo(&info) == S_OK && !info.pFilter, "the pin without its filter: QueryPinInfo, no filter");
    }
    check(canUnloadNow() == S_OK, "filter, pin and enumerators released: DllCanUnloadNow S_OK");

    testManyFilters();
    FreeLibrary(dll);
    CoUninitialize();
    return finish();
}
