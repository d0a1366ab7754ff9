// The driver module's entry points: the class object, unloading, and the
// self-registration that makes the filter a video capture device named
// "Vantor Control" for every client program (a COM class key plus an entry
// in the video input device category of the filter mapper).
#include "Com.h"
#include "VCamFactory.h"

#include <strmif.h>
#include <uuids.h>

#include <cwchar>
#include <new>
#include <string>

namespace DShow {

namespace module {
namespace {
std::atomic<long> liveObjects {0};
std::atomic<long> serverLocks {0};
HMODULE moduleHandle = nullptr;
} // namespace

void objectCreated()
{
    ++liveObjects;
}
void objectDestroyed()
{
    --liveObjects;
}
void lockServer(bool lock)
{
    lock ? ++serverLocks : --serverLocks;
}
bool canUnload()
{
    return serverLocks.load() <= 0 && liveObjects.load() == 0;
}
HMODULE handle()
{
    return moduleHandle;
}
void setHandle(HMODULE module)
{
    moduleHandle = module;
}
} // namespace module

namespace {

constexpr wchar_t kFriendlyName[] = L"Vantor Control";

// The module's full path; empty when it cannot be read whole (a path cut
// short would register a server that does not exist).
std::wstring modulePath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module::handle(), path.data(), DWORD(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        if (path.size() >= 32768)
            return {};
        path.resize(path.size() * 2);
    }
}

std::wstring classKeyName()
{
    wchar_t clsid[40] = {};
    StringFromGUID2(kVCamFilterClsid, clsid, 40);
    return std::wstring(L"CLSID\\") + clsid;
}

bool setString(HKEY key, const wchar_t* name, const std::wstring& value)
{
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          DWORD((value.size() + 1) * sizeof(wchar_t)))
        == ERROR_SUCCESS;
}

bool deleteClassKey()
{
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, classKeyName().c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

// The class key, its name, and the in-process server's path and threading
// model, written afresh.
bool registerClass(const std::wstring& path)
{
    deleteClassKey();
    HKEY classKey = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, classKeyName().c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &classKey,
                        nullptr)
        != ERROR_SUCCESS)
        return false;
    HKEY server = nullptr;
    const bool ok = setString(classKey, nullptr, kFriendlyName)
                 && RegCreateKeyExW(classKey, L"InprocServer32", 0, nullptr, 0, KEY_WRITE, nullptr, &server, nullptr)
                        == ERROR_SUCCESS
                 && setString(server, nullptr, path) && setString(server, L"ThreadingModel", L"Both");
    if (server)
        RegCloseKey(server);
    RegCloseKey(classKey);
    return ok;
}

ComPtr<IFilterMapper2> filterMapper()
{
    ComPtr<IFilterMapper2> mapper;
    CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                     reinterpret_cast<void**>(mapper.put()));
    return mapper;
}

void unregisterDevice(IFilterMapper2* mapper)
{
    mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, nullptr, kVCamFilterClsid);
}

bool registerDevice(IFilterMapper2* mapper)
{
    unregisterDevice(mapper);
    static const REGPINTYPES types[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_NV12}};
    static REGFILTERPINS pins[] = {
        {const_cast<LPWSTR>(L"Output"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, types}};
    REGFILTER2 filter {};
    filter.dwVersion = 1;
    filter.dwMerit = MERIT_DO_NOT_USE;
    filter.cPins = 1;
    filter.rgPins = pins;
    ComPtr<IMoniker> moniker;
    return SUCCEEDED(mapper->RegisterFilter(kVCamFilterClsid, kFriendlyName, moniker.put(),
                                            &CLSID_VideoInputDeviceCategory, nullptr, &filter));
}

// COM on this thread for the mapper; uninitialised only when this call
// initialised it.
class ComScope
{
public:
    ComScope()
        : _initialised(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
    {}
    ~ComScope()
    {
        if (_initialised)
            CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    bool _initialised;
};

HRESULT unregisterServer()
{
    ComScope com;
    if (ComPtr<IFilterMapper2> mapper = filterMapper())
        unregisterDevice(mapper.get());
    deleteClassKey();
    return S_OK;
}

HRESULT registerServer()
{
    const std::wstring path = modulePath();
    if (path.empty() || !registerClass(path)) {
        deleteClassKey();
        return E_FAIL;
    }
    ComScope com;
    ComPtr<IFilterMapper2> mapper = filterMapper();
    if (mapper && registerDevice(mapper.get()))
        return S_OK;
    // All or nothing.
    if (mapper)
        unregisterDevice(mapper.get());
    deleteClassKey();
    return E_FAIL;
}

} // namespace

} // namespace DShow

using namespace DShow;

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        module::setHandle(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID classId, REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory))
        return E_NOINTERFACE;
    if (!IsEqualCLSID(classId, kVCamFilterClsid))
        return E_INVALIDARG;
    *out = static_cast<IClassFactory*>(new (std::nothrow) VCamFactory(classId));
    return *out ? S_OK : E_OUTOFMEMORY;
}

STDAPI DllCanUnloadNow()
{
    return module::canUnload() ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer()
{
    return registerServer();
}

STDAPI DllUnregisterServer()
{
    return unregisterServer();
}

STDAPI DllInstall(BOOL install, LPCWSTR)
{
    return install ? registerServer() : unregisterServer();
}

} // extern "C"
