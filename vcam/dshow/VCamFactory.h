// The class factory of the driver's one creatable class, the virtual camera
// filter.
#pragma once

#include "Com.h"

namespace DShow {

// {8757577A-FEB6-42C2-B332-4F61495211BC}
constexpr CLSID kVCamFilterClsid = {0x8757577a, 0xfeb6, 0x42c2, {0xb3, 0x32, 0x4f, 0x61, 0x49, 0x52, 0x11, 0xbc}};

class VCamFactory final : public ComObject<VCamFactory, IClassFactory>
{
public:
    explicit VCamFactory(const CLSID& classId);

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    friend ComObject;
    ~VCamFactory() = default;

    CLSID _classId;
};

} // namespace DShow
