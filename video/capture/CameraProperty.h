#pragma once

#include "CameraSetting.h"

#include <array>
#include <cstddef>

// The camera's image controls. Each belongs to one of two control groups of a
// capture device (image processing, or the camera's optics and exposure) and
// has a record used when no control device is open.
enum class CameraProperty {
    Brightness,
    Contrast,
    Saturation,
    Sharpness,
    WhiteBalance,
    BacklightCompensation,
    PowerLine,
    Zoom,
    Exposure,
    Focus,
};
constexpr std::size_t kCameraPropertyCount = std::size_t(CameraProperty::Focus) + 1;

enum class ControlGroup { VideoProcAmp, CameraControl };

struct CameraPropertyInfo
{
    CameraProperty property;
    const char* name;
    ControlGroup group;
    long id; // the property's identifier within its group
    int minimum;
    int maximum;
    int defaultValue;
    bool autoSupported;

    // The record reported while no control device is open.
    CameraSetting fallback() const
    {
        CameraSetting s;
        s.value = defaultValue;
        s.step = 1;
        s.maximum = maximum;
        s.minimum = minimum;
        s.defaultValue = defaultValue;
        s.autoSupported = autoSupported;
        s.autoMode = false;
        return s;
    }
};

inline constexpr std::array<CameraPropertyInfo, 10> kCameraProperties {{
    {CameraProperty::Brightness, "Brightness", ControlGroup::VideoProcAmp, 0, -64, 64, 0, false},
    {CameraProperty::Contrast, "Contrast", ControlGroup::VideoProcAmp, 1, 0, 95, 32, false},
    {CameraProperty::Saturation, "Saturation", ControlGroup::VideoProcAmp, 3, 0, 100, 52, false},
    {CameraProperty::Sharpness, "Sharpness", ControlGroup::VideoProcAmp, 4, 1, 7, 2, false},
    {CameraProperty::WhiteBalance, "WhiteBalance", ControlGroup::VideoProcAmp, 7, 2800, 6500, 4600, true},
    {CameraProperty::BacklightCompensation, "BacklightCompensation", ControlGroup::VideoProcAmp, 8, 0, 1, 0, false},
    {CameraProperty::PowerLine, "PowerLine", ControlGroup::VideoProcAmp, 13, 0, 2, 0, false},
    {CameraProperty::Zoom, "Zoom", ControlGroup::CameraControl, 3, 0, 60, 0, false},
    {CameraProperty::Exposure, "Exposure", ControlGroup::CameraControl, 4, 3, 2041, 166, true},
    {CameraProperty::Focus, "Focus", ControlGroup::CameraControl, 6, 0, 1023, 0, true},
}};

inline const CameraPropertyInfo& cameraPropertyInfo(CameraProperty p)
{
    return kCameraProperties[static_cast<std::size_t>(p)];
}
