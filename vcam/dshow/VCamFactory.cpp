#include "VCamFactory.h"

#include "VCamFilter.h"

namespace DShow {

VCamFactory::VCamFactory(const CLSID& classId)
    : ComObject(1)
    , _classId(classId)
{}

STDMETHODIMP VCamFactory::QueryInterface(REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
        *out = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP VCamFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    // No aggregation.
    if (outer || !IsEqualCLSID(_classId, kVCamFilterClsid))
        return E_NOINTERFACE;
    VCamFilter* filter = VCamFilter::create();
    if (!filter)
        return E_OUTOFMEMORY;
    // The caller's reference comes from QueryInterface; the construction
    // reference goes, so an interface the filter does not answer leaves
    // nothing behind.
    const HRESULT hr = filter->QueryInterface(iid, out);
    filter->Release();
    return hr;
}

STDMETHODIMP VCamFactory::LockServer(BOOL lock)
{
    module::lockServer(lock != FALSE);
    return S_OK;
}

} // namespace DShow
