// The Windows virtual camera as client programs use it, under Wine: the
// driver registers itself and is listed among the video input devices as
// "Vantor Control"; a capture graph (capture graph builder, sample grabber,
// null renderer) receives 30 frames per second of every offered format, the
// pulsing placeholder while nothing is published and the published picture
// converted exactly once something is; each running filter counts in the
// instance counter, a killed client is released; a hostile channel header
// does not bring the client down; unregistering removes the device.
//
//   dshow_capture_test.exe               the test
//   dshow_capture_test.exe client        a client that streams until killed
//   dshow_capture_test.exe bench SECONDS figures of one I420 client
//   dshow_capture_test.exe grab INDEX FILE the picture a client of format INDEX sees
#include "ChildProcess.h"
#include "VCamFactory.h"
#include "YuvReferenceCore.h"

#include <FrameChannel.h>
#include <Formats.h>
#include <InstanceCounter.h>
#include <Placeholder.h>
#include <platform/SharedMemory.h>

#include <Pacer.h>

#include <dshow.h>
#include <qedit.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

using DShow::ComPtr;

namespace {

int failures = 0;

void check(bool ok, const std::string& what)
{
    std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok)
        ++failures;
}

constexpr int kWidth = 1280, kHeight = 720;

// The sample grabber and null renderer classes (MinGW's qedit.h declares
// their interfaces only).
constexpr CLSID kSampleGrabber = {0xc1f400a0, 0x3f08, 0x11d3, {0x9f, 0x0b, 0x00, 0x60, 0x08, 0x03, 0x9e, 0x37}};
constexpr CLSID kNullRenderer = {0xc1f400a4, 0x3f08, 0x11d3, {0x9f, 0x0b, 0x00, 0x60, 0x08, 0x03, 0x9e, 0x37}};

// ---- Devices ----

// Friendly names of the video input devices.
std::vector<std::wstring> videoInputDevices(std::vector<ComPtr<IMoniker>>* monikers = nullptr)
{
    std::vector<std::wstring> names;
    ComPtr<ICreateDevEnum> devices;
    CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                     reinterpret_cast<void**>(devices.put()));
    ComPtr<IEnumMoniker> list;
    if (!devices || devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, list.put(), 0) != S_OK)
        return names;
    ComPtr<IMoniker> moniker;
    while (list->Next(1, moniker.put(), nullptr) == S_OK) {
        ComPtr<IPropertyBag> bag;
        moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(bag.put()));
        VARIANT name;
        VariantInit(&name);
        if (bag && SUCCEEDED(bag->Read(L"FriendlyName", &name, nullptr)) && name.vt == VT_BSTR) {
            names.push_back(name.bstrVal);
            if (monikers)
                monikers->push_back(moniker);
        }
        VariantClear(&name);
    }
    return names;
}

// The camera as a client program finds it: by its name among the devices.
ComPtr<IBaseFilter> openCamera()
{
    std::vector<ComPtr<IMoniker>> monikers;
    const std::vector<std::wstring> names = videoInputDevices(&monikers);
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == L"Vantor Control") {
            ComPtr<IBaseFilter> filter;
            monikers[i]->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(filter.put()));
            return filter;
        }
    return {};
}

bool classKeyExists()
{
    wchar_t clsid[40] = {};
    StringFromGUID2(DShow::kVCamFilterClsid, clsid, 40);
    HKEY key = nullptr;
    const std::wstring name = std::wstring(L"CLSID\\") + clsid + L"\\InprocServer32";
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// ---- A capture graph ----

struct Received
{
    REFERENCE_TIME start = 0, stop = 0;
    int64_t arrived = 0; // monotonic, 100-ns units
};

// Keeps every sample's times and the newest sample's bytes.
class Grabber final : public ISampleGrabberCB
{
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ISampleGrabberCB)) {
            *out = static_cast<ISampleGrabberCB*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SampleCB(double, IMediaSample* sample) override
    {
        Received r;
        sample->GetTime(&r.start, &r.stop);
        static const vcam::PacerClock clock = vcam::systemPacerClock();
        r.arrived = clock.now();
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        const long length = sample->GetActualDataLength();
        EnterCriticalSection(&_lock);
        _times.push_back(r);
        if (_keepBytes && data && length > 0)
            _last.assign(data, data + length), _lastStart = r.start;
        LeaveCriticalSection(&_lock);
        return S_OK;
    }
    STDMETHODIMP BufferCB(double, BYTE*, long) override { return E_NOTIMPL; }

    Grabber() { InitializeCriticalSection(&_lock); }
    ~Grabber() { DeleteCriticalSection(&_lock); }
    void keepBytes(bool keep) { _keepBytes = keep; }
    std::vector<Received> times()
    {
        EnterCriticalSection(&_lock);
        std::vector<Received> copy = _times;
        LeaveCriticalSection(&_lock);
        return copy;
    }
    // The newest sample's bytes and time.
    std::vector<uint8_t> last(REFERENCE_TIME& start)
    {
        EnterCriticalSection(&_lock);
        std::vector<uint8_t> copy = _last;
        start = _lastStart;
        LeaveCriticalSection(&_lock);
        return copy;
    }
    size_t count()
    {
        EnterCriticalSection(&_lock);
        const size_t n = _times.size();
        LeaveCriticalSection(&_lock);
        return n;
    }

private:
    CRITICAL_SECTION _lock;
    bool _keepBytes = true;
    std::vector<Received> _times;
    std::vector<uint8_t> _last;
    REFERENCE_TIME _lastStart = 0;
};

struct Format
{
    vcam::FormatId id;
    const char* name;      // as the reference conversion names it
    const char* shortName; // for the report
};
const Format kFormats[] = {{vcam::FormatARGB32, "COPY", "ARGB32"},
                           {vcam::FormatRGB32, "COPY", "RGB32"},
                           {vcam::FormatI420, "I420", "I420"},
                           {vcam::FormatNV12, "NV12", "NV12"},
                           {vcam::FormatYUY2, "YUY2", "YUY2"}};

// camera -> sample grabber -> null renderer, in the offered format `index`.
// The grabber takes that format only, or with `anyFormat` every video format.
class Graph
{
public:
    Graph(ComPtr<IBaseFilter> camera, int formatIndex, Grabber& grabber, bool anyFormat = false)
        : _camera(std::move(camera))
    {
        if (!_camera)
            return;
        CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                         reinterpret_cast<void**>(_graph.put()));
        ComPtr<ICaptureGraphBuilder2> builder;
        CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER, IID_ICaptureGraphBuilder2,
                         reinterpret_cast<void**>(builder.put()));
        ComPtr<IBaseFilter> grab, sink;
        CoCreateInstance(kSampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                         reinterpret_cast<void**>(grab.put()));
        CoCreateInstance(kNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                         reinterpret_cast<void**>(sink.put()));
        if (!_graph || !builder || !grab || !sink) {
            _error = "graph parts missing";
            return;
        }
        builder->SetFiltergraph(_graph.get());
        _graph->AddFilter(_camera.get(), L"Vantor Control");
        _graph->AddFilter(grab.get(), L"Grabber");
        _graph->AddFilter(sink.get(), L"Null");

        // The client picks the format through the capture pin's stream config.
        builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, _camera.get(), IID_IAMStreamConfig,
                               reinterpret_cast<void**>(_config.put()));
        GUID subtype {};
        const HRESULT set = setFormat(formatIndex, &subtype);
        auto grabberControl = DShow::queryInterface<ISampleGrabber>(grab.get(), IID_ISampleGrabber);
        AM_MEDIA_TYPE want {};
        want.majortype = MEDIATYPE_Video;
        want.subtype = anyFormat ? GUID_NULL : subtype;
        grabberControl->SetMediaType(&want);
        grabberControl->SetBufferSamples(FALSE);
        grabberControl->SetOneShot(FALSE);
        grabberControl->SetCallback(&grabber, 0);
        if (FAILED(set)) {
            _error = "SetFormat failed";
            return;
        }
        const HRESULT rendered =
            builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, _camera.get(), grab.get(), sink.get());
        if (FAILED(rendered)) {
            char text[64];
            std::snprintf(text, sizeof text, "RenderStream failed: 0x%08lx", rendered);
            _error = text;
            return;
        }
        _control = DShow::queryInterface<IMediaControl>(_graph.get(), IID_IMediaControl);
    }
    ~Graph()
    {
        if (_control)
            _control->Stop();
    }
    const std::string& error() const { return _error; }
    bool run() { return _control && SUCCEEDED(_control->Run()); }
    // The offered format `index` through the stream config, as a client sets it.
    HRESULT setFormat(int index, GUID* subtype = nullptr)
    {
        AM_MEDIA_TYPE* type = nullptr;
        VIDEO_STREAM_CONFIG_CAPS caps;
        if (!_config || _config->GetStreamCaps(index, &type, reinterpret_cast<BYTE*>(&caps)) != S_OK)
            return E_FAIL;
        const HRESULT hr = _config->SetFormat(type);
        if (subtype)
            *subtype = type->subtype;
        CoTaskMemFree(type->pbFormat);
        CoTaskMemFree(type);
        return hr;
    }
    void stop()
    {
        if (_control)
            _control->Stop();
    }

private:
    ComPtr<IBaseFilter> _camera;
    ComPtr<IGraphBuilder> _graph;
    ComPtr<IAMStreamConfig> _config;
    ComPtr<IMediaControl> _control;
    std::string _error;
};

// Waits until `grabber` has `n` samples (at most timeoutMs).
bool waitForSamples(Grabber& grabber, size_t n, DWORD timeoutMs = 10000)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (grabber.count() < n) {
        if (GetTickCount64() > end)
            return false;
        Sleep(10);
    }
    return true;
}

int32_t clientCount()
{
    InstanceCounter counter(InstanceCounter::kSectionName, InstanceCounter::kMutexName);
    counter.releaseDeadClients();
    int32_t value = -1;
    if (!counter.createOrOpenSharedMemory() || !counter.readValue(value))
        return -1;
    return value;
}

// ---- The published picture ----

// Publishes one picture (random bytes) over and over at 30 frames per second
// from a thread of its own, as the control application's feeder does.
class Publisher
{
public:
    explicit Publisher(uint32_t seed)
        : _picture(size_t(kWidth) * kHeight * 4)
    {
        std::mt19937 gen(seed);
        for (auto& b : _picture)
            b = uint8_t(gen());
        _stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        _channel = FrameChannel::createWriter(kWidth, kHeight, 330000);
        if (_channel)
            _thread = CreateThread(nullptr, 0, &Publisher::main, this, 0, nullptr);
    }
    ~Publisher()
    {
        SetEvent(_stop);
        if (_thread) {
            WaitForSingleObject(_thread, INFINITE);
            CloseHandle(_thread);
        }
        FrameChannel::close(_channel);
        CloseHandle(_stop);
    }
    bool ok() const { return _thread != nullptr; }
    DWORD threadId() const { return _thread ? GetThreadId(_thread) : 0; }
    const std::vector<uint8_t>& picture() const { return _picture; }

private:
    static DWORD WINAPI main(void* self)
    {
        auto* p = static_cast<Publisher*>(self);
        uint64_t t = 0;
        do {
            FrameChannel::writeFrame(p->_channel, p->_picture.data(), uint32_t(p->_picture.size()), t += 330000);
        } while (WaitForSingleObject(p->_stop, 33) == WAIT_TIMEOUT);
        return 0;
    }

    std::vector<uint8_t> _picture;
    HANDLE _stop = nullptr;
    HANDLE _thread = nullptr;
    FrameChannel::Handle* _channel = nullptr;
};

// An RGB sample holds its rows bottom first (its height is positive).
std::vector<uint8_t> asSample(const Format& format, std::vector<uint8_t> bytes)
{
    if (vcam::converterKind(format.id) != vcam::FrameConverter::Copy)
        return bytes;
    std::vector<uint8_t> flipped(bytes.size());
    const size_t row = size_t(kWidth) * 4;
    for (int y = 0; y < kHeight; ++y)
        std::memcpy(flipped.data() + (kHeight - 1 - y) * row, bytes.data() + y * row, row);
    return flipped;
}

// The placeholder as a sample stamped `t` shows it.
std::vector<uint8_t> expectedPlaceholder(const Format& format, REFERENCE_TIME t)
{
    static vcam::PulsingPlaceholder pulsing(vcam::placeholderPicture());
    const auto kind = vcam::converterKind(format.id);
    std::vector<uint8_t> out(vcam::FrameConverter::requiredBytes(kind, kWidth, kHeight));
    pulsing.render(vcam::pulseFactor(t), kind, vcam::FrameConverter::packedPlanes(kind, kWidth, kHeight, out.data()));
    return asSample(format, std::move(out));
}

// Sample times follow one another at exactly `interval`, and about 30
// arrive per second of wall time.
void checkPacing(const std::vector<Received>& times, REFERENCE_TIME interval, const std::string& what)
{
    bool spaced = times.size() >= 2;
    for (size_t i = 1; i < times.size(); ++i)
        spaced =
            spaced && times[i].start - times[i - 1].start == interval && times[i].stop - times[i].start == interval;
    check(spaced, what + ": samples stamped " + std::to_string(interval) + " apart");
    const int64_t wall = times.back().arrived - times.front().arrived;
    const double rate = wall > 0 ? 1e7 * double(times.size() - 1) / double(wall) : 0;
    check(rate > 27 && rate < 33, what + ": " + std::to_string(rate) + " frames per second");
}

void captureEachFormat()
{
    for (int i = 0; i < 5; ++i) {
        const Format& format = kFormats[i];
        const std::string name = format.shortName;
        // Without a publisher: the pulsing placeholder at 333333.
        {
            Grabber grabber;
            Graph graph(openCamera(), i, grabber);
            check(graph.error().empty() && graph.run(), name + ": graph runs " + graph.error());
            check(waitForSamples(grabber, 40), name + ": placeholder samples arrive");
            check(clientCount() == 1, name + ": one client counted while the graph runs");
            REFERENCE_TIME t = 0;
            const std::vector<uint8_t> bytes = grabber.last(t);
            check(bytes == expectedPlaceholder(format, t), name + ": the placeholder at its pulse");
            graph.stop();
            std::vector<Received> times = grabber.times();
            times.erase(times.begin(), times.begin() + 5); // the preroll and the start
            checkPacing(times, 333333, name + " placeholder");
        }
        check(clientCount() == 0, name + ": no client counted once the graph is gone");
        // With a publisher: its picture converted exactly, at its interval.
        {
            Publisher publisher(uint32_t(i + 1));
            check(publisher.ok(), name + ": the channel is published");
            Grabber grabber;
            Graph graph(openCamera(), i, grabber);
            check(graph.run(), name + ": graph runs with a publisher");
            check(waitForSamples(grabber, 40), name + ": live samples arrive");
            REFERENCE_TIME t = 0;
            check(
                grabber.last(t)
                    == asSample(format, yuvref::convertBytes(format.name, publisher.picture().data(), kWidth, kHeight)),
                name + ": the published picture converted exactly");
            graph.stop();
            std::vector<Received> times = grabber.times();
            times.erase(times.begin(), times.begin() + 5);
            checkPacing(times, 330000, name + " live");
        }
    }
}

// A client switches from I420 to YUY2 while it streams: the allocator is set
// up again for the larger picture and the next samples carry YUY2.
void formatChangeWhileStreaming()
{
    Publisher publisher(7);
    Grabber grabber;
    Graph graph(openCamera(), 2, grabber, true);
    check(graph.run() && waitForSamples(grabber, 10), "an I420 client streams");
    check(graph.setFormat(4) == S_OK, "SetFormat to YUY2 while streaming");
    const size_t switched = grabber.count();
    check(waitForSamples(grabber, switched + 10), "samples keep coming after the switch");
    REFERENCE_TIME t = 0;
    check(grabber.last(t) == yuvref::convertBytes("YUY2", publisher.picture().data(), kWidth, kHeight),
          "the next samples are the picture in YUY2");
}

// ---- A killed client ----

int streamUntilKilled()
{
    Grabber grabber;
    Graph graph(openCamera(), 2, grabber);
    if (!graph.run() || !waitForSamples(grabber, 5))
        return 1;
    std::printf("streaming\n");
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

// The newest sample of offered format `index` after two seconds, written raw
// to `path` (to look at a client's picture).
int grab(int index, const char* path)
{
    Grabber grabber;
    Graph graph(openCamera(), index, grabber);
    if (!graph.run() || !waitForSamples(grabber, 60))
        return 1;
    REFERENCE_TIME t = 0;
    const std::vector<uint8_t> bytes = grabber.last(t);
    FILE* file = std::fopen(path, "wb");
    const bool written = file && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (file)
        std::fclose(file);
    return written ? 0 : 1;
}

void killedClientIsReleased()
{
    ChildProcess client(besideThisProgram(L"dshow_capture_test.exe"), "client");
    check(client.waitForLine("streaming", 20000), "a client process streams");
    check(clientCount() == 1, "the client process is counted");
    client.kill();
    // The control application looks every 2 seconds.
    const ULONGLONG end = GetTickCount64() + 2000;
    int32_t count = clientCount();
    while (count != 0 && GetTickCount64() < end) {
        Sleep(50);
        count = clientCount();
    }
    check(count == 0, "a client killed with TerminateProcess is released within one check");
}

// ---- A hostile channel ----

// While a client streams, the channel's header keeps taking random values
// (sizes, offsets, states, sequences): the client goes on receiving samples.
void hostileHeaderIsSurvived()
{
    Publisher publisher(99);
    Grabber grabber;
    grabber.keepBytes(false);
    Graph graph(openCamera(), 2, grabber);
    check(graph.run() && waitForSamples(grabber, 5), "a client streams from a published channel");
    bool created = false;
    SharedMemory::Section::Step step;
    unsigned long error = 0;
    SharedMemory::Section view = SharedMemory::Section::openOrCreate(FrameChannel::kName, 4096, created, step, error);
    check(view.isValid() && !created, "the channel's header can be written over");
    if (!view.isValid())
        return;
    auto* words = static_cast<uint32_t*>(view.data());
    std::mt19937 gen(5);
    const size_t before = grabber.count();
    const ULONGLONG end = GetTickCount64() + 2000;
    while (GetTickCount64() < end) {
        const uint32_t value = gen() % 4 ? gen() : uint32_t(gen() % 8);
        words[gen() % 12] = value;
        Sleep(1);
    }
    check(grabber.count() >= before + 50, "samples keep coming under a hostile header");
}

// ---- Figures ----

// Processor time of every thread of this process but `except`, by thread id.
std::map<DWORD, ULONGLONG> threadTimes(DWORD except)
{
    std::map<DWORD, ULONGLONG> times;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId() || entry.th32ThreadID == except)
            continue;
        HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
        FILETIME created, exited, kernel, user;
        if (thread && GetThreadTimes(thread, &created, &exited, &kernel, &user))
            times[entry.th32ThreadID] = (ULONGLONG(kernel.dwHighDateTime) << 32 | kernel.dwLowDateTime)
                                      + (ULONGLONG(user.dwHighDateTime) << 32 | user.dwLowDateTime);
        if (thread)
            CloseHandle(thread);
    }
    CloseHandle(snapshot);
    return times;
}

// One client receiving I420 from a publisher for `seconds`: the processor
// share of the busiest thread other than the publisher's (the delivery
// thread, which also runs the grabber's callback), and the spread of the
// samples' arrival intervals.
int bench(int seconds)
{
    Publisher publisher(3);
    Grabber grabber;
    grabber.keepBytes(false);
    Graph graph(openCamera(), 2, grabber);
    if (!graph.run() || !waitForSamples(grabber, 10)) {
        std::fprintf(stderr, "no samples: %s\n", graph.error().c_str());
        return 1;
    }
    const DWORD publisherThread = publisher.threadId();
    const auto before = threadTimes(publisherThread);
    const size_t first = grabber.count();
    LARGE_INTEGER start, end, frequency;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    Sleep(DWORD(seconds) * 1000);
    QueryPerformanceCounter(&end);
    const auto after = threadTimes(publisherThread);
    const double wall100ns = double(vcam::ticksTo100ns(end.QuadPart - start.QuadPart, frequency.QuadPart));
    ULONGLONG busiest = 0;
    for (const auto& [id, time] : after)
        if (before.count(id))
            busiest = std::max(busiest, time - before.at(id));
    std::vector<Received> times = grabber.times();
    times.erase(times.begin(), times.begin() + long(first));
    double mean = 0, variance = 0;
    for (size_t i = 1; i < times.size(); ++i)
        mean += double(times[i].arrived - times[i - 1].arrived) / double(times.size() - 1);
    for (size_t i = 1; i < times.size(); ++i) {
        const double d = double(times[i].arrived - times[i - 1].arrived) - mean;
        variance += d * d / double(times.size() - 1);
    }
    std::printf("dshow_delivery_cpu_percent: %.2f %%\n", 100.0 * double(busiest) / wall100ns);
    std::printf("dshow_frame_interval_jitter_ms: %.3f ms\n", std::sqrt(variance) / 10000.0);
    std::printf("dshow_frames_per_second: %.2f\n", double(times.size()) * 1e7 / wall100ns);
    graph.stop();
    return 0;
}

using EntryPoint = HRESULT(STDAPICALLTYPE*)();
using InstallEntry = HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR);

} // namespace

int main(int argc, char** argv)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "client")
        return streamUntilKilled();

    const std::wstring dll = besideThisProgram(sizeof(void*) == 8 ? L"VantorVCam64.dll" : L"VantorVCam32.dll");
    HMODULE driver = LoadLibraryW(dll.c_str());
    check(driver != nullptr, "the driver loads");
    if (!driver)
        return 1;
    auto entry = [driver](const char* name) { return reinterpret_cast<void*>(GetProcAddress(driver, name)); };
    auto registerServer = reinterpret_cast<EntryPoint>(entry("DllRegisterServer"));
    auto unregisterServer = reinterpret_cast<EntryPoint>(entry("DllUnregisterServer"));
    auto install = reinterpret_cast<InstallEntry>(entry("DllInstall"));
    check(registerServer && unregisterServer && install, "the entry points are exported by name");
    if (mode == "bench")
        return registerServer() == S_OK ? bench(argc > 2 ? std::atoi(argv[2]) : 10) : 1;
    if (mode == "grab" && argc > 3)
        return registerServer() == S_OK ? grab(std::atoi(argv[2]), argv[3]) : 1;

    check(install(FALSE, nullptr) == S_OK, "uninstalling what was never installed succeeds");
    check(registerServer() == S_OK && registerServer() == S_OK, "registers (twice)");
    const auto devices = videoInputDevices();
    check(std::count(devices.begin(), devices.end(), std::wstring(L"Vantor Control")) == 1 && classKeyExists(),
          "listed once among the video input devices, with its class key");

    captureEachFormat();
    formatChangeWhileStreaming();
    killedClientIsReleased();
    hostileHeaderIsSurvived();

    check(unregisterServer() == S_OK, "unregisters");
    const auto after = videoInputDevices();
    check(std::count(after.begin(), after.end(), std::wstring(L"Vantor Control")) == 0 && !classKeyExists(),
          "gone from the devices, and its class key with it");

    std::printf("%s (%d failures)\n", failures ? "FAILED" : "PASSED", failures);
    std::fflush(stdout);
    CoUninitialize();
    return failures ? 1 : 0;
}
