#include "LightFrames.h"

#include <algorithm>
#include <cmath>

namespace lightframes {

namespace {

constexpr char kBrightnessKind = 0x20;
constexpr char kTemperatureKind = 0x10;

QByteArray frame(char kind, int value)
{
    QByteArray bytes = QByteArray::fromHex("aa55000055aa");
    bytes[2] = kind;
    bytes[3] = char(value);
    return bytes;
}

bool hasMarkers(const QByteArray& v)
{
    return quint8(v[0]) == 0xAA && quint8(v[1]) == 0x55 && quint8(v[4]) == 0x55 && quint8(v[5]) == 0xAA;
}

} // namespace

int clampBrightness(long value)
{
    return int(std::clamp<long>(value, 0, kMaxBrightness));
}

int clampKelvin(long kelvin)
{
    return int(std::clamp<long>(kelvin, 0, kMaxKelvin));
}

QByteArray brightnessCommand(int brightness)
{
    return frame(kBrightnessKind, clampBrightness(brightness));
}

int rawTemperature(int kelvin)
{
    return 100 - clampKelvin(kelvin) * 100 / kMaxKelvin;
}

QByteArray temperatureCommand(int kelvin)
{
    return frame(kTemperatureKind, rawTemperature(kelvin));
}

std::optional<PanelValues> parseNotification(const QByteArray& value)
{
    if (value.size() != 6 || !hasMarkers(value))
        return std::nullopt;
    const int raw = qint8(value[2]), brightness = qint8(value[3]);
    if (raw < 0 || raw > 100 || brightness < 0 || brightness > kMaxBrightness)
        return std::nullopt;
    // In single precision, as the panel's own conversion: raw 50 is 3250 K.
    return PanelValues {brightness, raw, int(std::trunc(float(100 - raw) * float(kMaxKelvin) / 100.0f))};
}

} // namespace lightframes
