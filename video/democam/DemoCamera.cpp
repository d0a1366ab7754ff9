#include "DemoCamera.h"

#include "DemoScene.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

namespace democam {

namespace {

const char* const kDefaultName = "Vantor Camera (demo)";

// Ranges and defaults of a typical webcam.
const std::array<ControlInfo, ControlCount> kControls {{
    {"brightness", -64, 64, 0, false},
    {"contrast", 0, 95, 32, false},
    {"saturation", 0, 100, 52, false},
    {"sharpness", 1, 7, 2, false},
    {"white-balance", 2800, 6500, 4600, true},
    {"backlight-compensation", 0, 1, 0, false},
    {"power-line", 0, 2, 0, false},
    {"zoom", 0, 60, 0, false},
    {"exposure", 3, 2041, 166, true},
    {"focus", 0, 1023, 0, true},
}};

std::string trim(const std::string& s)
{
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    const auto e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

bool parseSize(const std::string& text, Size& size)
{
    const auto x = text.find('x');
    if (x == std::string::npos)
        return false;
    char* end = nullptr;
    const long w = std::strtol(text.c_str(), &end, 10);
    if (end != text.c_str() + x)
        return false;
    const long h = std::strtol(text.c_str() + x + 1, &end, 10);
    if (*end != '\0' || w < 16 || h < 16 || w > 7680 || h > 4320 || w % 2 || h % 2)
        return false;
    size = {int(w), int(h)};
    return true;
}

uint8_t clamp8(int v)
{
    return uint8_t(std::clamp(v, 0, 255));
}

// Bilinear resize of BGRx pixels, used once per negotiated size.
std::vector<uint32_t> resize(const uint32_t* src, int sw, int sh, int dw, int dh)
{
    std::vector<uint32_t> out(size_t(dw) * dh);
    for (int y = 0; y < dh; ++y) {
        const double fy = std::clamp((y + 0.5) * sh / dh - 0.5, 0.0, double(sh - 1));
        const int y0 = int(fy);
        const int y1 = std::min(y0 + 1, sh - 1);
        const double wy = fy - y0;
        for (int x = 0; x < dw; ++x) {
            const double fx = std::clamp((x + 0.5) * sw / dw - 0.5, 0.0, double(sw - 1));
            const int x0 = int(fx);
            const int x1 = std::min(x0 + 1, sw - 1);
            const double wx = fx - x0;
            uint32_t pixel = 0xff000000u;
            for (int ch = 0; ch < 3; ++ch) {
                auto at = [&](int xx, int yy) { return double((src[size_t(yy) * sw + xx] >> (8 * ch)) & 0xff); };
                const double v = (at(x0, y0) * (1 - wx) + at(x1, y0) * wx) * (1 - wy)
                               + (at(x0, y1) * (1 - wx) + at(x1, y1) * wx) * wy;
                pixel |= uint32_t(clamp8(int(v + 0.5))) << (8 * ch);
            }
            out[size_t(y) * dw + x] = pixel;
        }
    }
    return out;
}

} // namespace

std::vector<Size> defaultSizes()
{
    return {{640, 480}, {1280, 720}, {1920, 1080}};
}

std::vector<DemoDevice> parseDevices(const char* text)
{
    std::vector<DemoDevice> devices;
    if (!text)
        return devices;
    const std::string all = trim(text);
    if (all.empty() || all == "1") {
        devices.push_back({kDefaultName, defaultSizes()});
        return devices;
    }
    std::stringstream entries(all);
    std::string entry;
    while (std::getline(entries, entry, ';')) {
        DemoDevice device;
        const auto eq = entry.find('=');
        // Names keep their inner and trailing spaces ("Vantor Camera IR "), only
        // leading ones go.
        std::string name = entry.substr(0, eq);
        name.erase(0, name.find_first_not_of(" \t"));
        device.name = name;
        if (device.name.empty())
            continue;
        if (eq != std::string::npos) {
            std::stringstream sizes(entry.substr(eq + 1));
            std::string item;
            while (std::getline(sizes, item, ',')) {
                Size size;
                if (parseSize(trim(item), size))
                    device.sizes.push_back(size);
            }
        } else {
            device.sizes = defaultSizes();
        }
        devices.push_back(std::move(device));
    }
    return devices;
}

std::vector<DemoDevice> devicesFromEnvironment()
{
    return parseDevices(std::getenv("VANTOR_DEMO_CAMERA"));
}

const ControlInfo& controlInfo(Control control)
{
    return kControls[size_t(control)];
}

DeviceState::DeviceState()
{
    for (int c = 0; c < ControlCount; ++c) {
        _values[size_t(c)] = kControls[size_t(c)].defaultValue;
        _auto[size_t(c)] = kControls[size_t(c)].autoSupported;
    }
}

void DeviceState::setValue(Control c, int v)
{
    const ControlInfo& info = controlInfo(c);
    _values[size_t(c)] = std::clamp(v, info.minimum, info.maximum);
    ++_generation;
}

void DeviceState::setAutoMode(Control c, bool on)
{
    _auto[size_t(c)] = on && controlInfo(c).autoSupported;
    ++_generation;
}

std::shared_ptr<DeviceState> DeviceState::forDevice(const std::string& name)
{
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<DeviceState>> states;
    std::lock_guard lock(mutex);
    auto& state = states[name];
    if (!state)
        state = std::make_shared<DeviceState>();
    return state;
}

SceneRenderer::SceneRenderer(std::shared_ptr<DeviceState> state)
    : _state(std::move(state))
{}

void SceneRenderer::configure(int width, int height)
{
    if (width <= 0 || height <= 0)
        return;
    _width = width;
    _height = height;
    // The photo covers the frame's width with some height to spare for panning.
    const int side = std::max(width, height + height / 8);
    _bgHeight = side;
    _background = resize(reinterpret_cast<const uint32_t*>(scenePixels()), sceneWidth(), sceneHeight(), width, side);
    _builtGeneration = 0;
}

void SceneRenderer::rebuildTables()
{
    const auto v = [this](Control c) { return _state->value(c); };
    const auto isAuto = [this](Control c) { return _state->autoMode(c); };
    const double contrast = v(Control::Contrast) / 32.0;
    const double brightness = v(Control::Brightness) * 1.5;
    // Exposure: each doubling of the exposure time brightens by a third of a stop.
    const double exposure =
        isAuto(Control::Exposure) ? 1.0 : std::pow(2.0, std::log2(v(Control::Exposure) / 166.0) / 3.0);
    // White balance: warmer below the default temperature, cooler above it.
    const double temperature = isAuto(Control::WhiteBalance) ? 0.0 : (v(Control::WhiteBalance) - 4600) / 1900.0;
    const std::array<double, 3> gain {1.0 - 0.25 * temperature, 1.0, 1.0 + 0.25 * temperature}; // B, G, R
    const bool backlight = v(Control::BacklightCompensation) != 0;
    for (int ch = 0; ch < 3; ++ch) {
        for (int i = 0; i < 256; ++i) {
            double x = i * exposure * gain[size_t(ch)];
            if (backlight)
                x = 255.0 * std::pow(std::clamp(x / 255.0, 0.0, 1.0), 0.75);
            x = (x - 128.0) * contrast + 128.0 + brightness;
            _lut[size_t(ch)][size_t(i)] = clamp8(int(std::lround(x)));
        }
    }
    _saturation = int(std::lround(v(Control::Saturation) / 52.0 * 256.0));
    _identity = true;
    for (int ch = 0; ch < 3; ++ch)
        for (int i = 0; i < 256; ++i)
            _identity = _identity && _lut[size_t(ch)][size_t(i)] == i;

    const int zoom = v(Control::Zoom);
    _zoomX.clear();
    _zoomY.clear();
    if (zoom > 0) {
        const double factor = 1.0 + zoom / 60.0;
        for (int x = 0; x < _width; ++x)
            _zoomX.push_back(std::clamp(int((_width / 2.0) + (x - _width / 2.0) / factor), 0, _width - 1));
        for (int y = 0; y < _height; ++y)
            _zoomY.push_back(std::clamp(int((_height / 2.0) + (y - _height / 2.0) / factor), 0, _height - 1));
    }
    _builtGeneration = _state->generation();
}

void SceneRenderer::render(uint8_t* dst, int stride, double seconds)
{
    if (_width <= 0 || !dst)
        return;
    if (_builtGeneration != _state->generation())
        rebuildTables();

    constexpr double kPi = 3.14159265358979323846;
    // Pan gently near the top of the photo, where the person's face is.
    const int spare = std::min(_bgHeight - _height, _height / 8);
    const int top = std::clamp(int(spare / 2.0 * (1.0 + std::sin(2 * kPi * seconds / 8.0))), 0, spare);
    const int dotX = int((0.5 + 0.45 * std::sin(2 * kPi * seconds / 4.0)) * _width);
    const int dotY = _height - std::max(12, _height / 20);
    const int radius = std::max(4, _height / 40);

    for (int y = 0; y < _height; ++y) {
        const int sy = (_zoomY.empty() ? y : _zoomY[size_t(y)]) + top;
        const uint32_t* src = &_background[size_t(sy) * size_t(_width)];
        auto* out = reinterpret_cast<uint32_t*>(dst + size_t(y) * size_t(stride));
        if (!_zoomX.empty()) {
            for (int x = 0; x < _width; ++x)
                out[x] = src[_zoomX[size_t(x)]];
            src = out;
        }
        if (_identity) {
            if (src != out)
                std::memcpy(out, src, size_t(_width) * 4);
        } else {
            for (int x = 0; x < _width; ++x) {
                const uint32_t p = src[x];
                out[x] = 0xff000000u | uint32_t(_lut[0][p & 0xff]) | uint32_t(_lut[1][(p >> 8) & 0xff]) << 8
                       | uint32_t(_lut[2][(p >> 16) & 0xff]) << 16;
            }
        }
        if (_saturation != 256) {
            for (int x = 0; x < _width; ++x) {
                const uint32_t p = out[x];
                const int b = int(p & 0xff), g = int((p >> 8) & 0xff), r = int((p >> 16) & 0xff);
                const int grey = (r * 77 + g * 150 + b * 29) >> 8;
                out[x] = 0xff000000u | clamp8(grey + (((b - grey) * _saturation) >> 8))
                       | uint32_t(clamp8(grey + (((g - grey) * _saturation) >> 8))) << 8
                       | uint32_t(clamp8(grey + (((r - grey) * _saturation) >> 8))) << 16;
            }
        }
        const int dy = y - dotY;
        if (dy * dy <= radius * radius) {
            const int half = int(std::sqrt(double(radius * radius - dy * dy)));
            for (int x = std::max(0, dotX - half); x <= std::min(_width - 1, dotX + half); ++x)
                out[x] = 0xffffdc50u; // a warm light: R 255, G 220, B 80
        }
    }
}

} // namespace democam
