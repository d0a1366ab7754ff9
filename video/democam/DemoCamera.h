#pragma once

// The demo camera: synthetic capture devices for machines without a camera.
// Devices exist only while the environment variable VANTOR_DEMO_CAMERA is set:
// "1" (or empty) gives one device, "Vantor Camera (demo)", at the usual webcam
// sizes; otherwise it is a ';'-separated list of "Name" or "Name=WxH,WxH,...".
// Every element opened on a device shares that device's controls, as programs
// opening one camera node share its controls.

#include "CameraProperty.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace democam {

struct Size
{
    int width = 0;
    int height = 0;
    bool operator==(const Size&) const = default;
};

struct DemoDevice
{
    std::string name;
    std::vector<Size> sizes;
};

// Parses the device list; an unset variable gives no devices.
std::vector<DemoDevice> devicesFromEnvironment();
std::vector<DemoDevice> parseDevices(const char* text);
std::vector<Size> defaultSizes();

// The controls are the grabber's camera properties, in the same order.
using Control = CameraProperty;
constexpr int ControlCount = int(kCameraPropertyCount);

struct ControlInfo
{
    const char* property; // GObject property name
    int minimum;
    int maximum;
    int defaultValue;
    bool autoSupported;
};

const ControlInfo& controlInfo(Control control);

// The controls of one device, shared by all its elements.
class DeviceState
{
public:
    DeviceState();

    int value(Control c) const { return _values[size_t(c)].load(); }
    bool autoMode(Control c) const { return _auto[size_t(c)].load(); }
    void setValue(Control c, int v);
    void setAutoMode(Control c, bool on);
    // Changes whenever a control changes, so renderers know to rebuild tables.
    uint64_t generation() const { return _generation.load(); }

    bool disconnected() const { return _disconnected.load(); }
    void setDisconnected(bool gone) { _disconnected = gone; }

    // The state of the device with this name, created on first use.
    static std::shared_ptr<DeviceState> forDevice(const std::string& name);

private:
    std::array<std::atomic<int>, ControlCount> _values;
    std::array<std::atomic<bool>, ControlCount> _auto;
    std::atomic<uint64_t> _generation {1};
    std::atomic<bool> _disconnected {false};
};

// Draws the moving scene into BGRx frames: a photo of a person panning slowly,
// a light sweeping along the bottom, and the device's controls applied.
class SceneRenderer
{
public:
    explicit SceneRenderer(std::shared_ptr<DeviceState> state);

    void configure(int width, int height);
    // Renders the frame at `seconds` into `dst` (rows of `stride` bytes).
    void render(uint8_t* dst, int stride, double seconds);

private:
    void rebuildTables();

    std::shared_ptr<DeviceState> _state;
    int _width = 0;
    int _height = 0;
    int _bgHeight = 0;
    std::vector<uint32_t> _background; // _width x _bgHeight, BGRx
    std::array<std::array<uint8_t, 256>, 3> _lut {};
    int _saturation = 256; // 256 = unchanged
    bool _identity = true;
    std::vector<int> _zoomX;
    std::vector<int> _zoomY;
    uint64_t _builtGeneration = 0;
};

} // namespace democam
