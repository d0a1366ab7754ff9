#pragma once

#include <QByteArray>

#include <optional>

// The light panel's 6-byte frames. A command is AA 55 <kind> <value> 55 AA,
// kind 20 for brightness (0..100) and 10 for colour temperature, sent as a raw
// 0..100 where 0 is 6500 K. The panel reports its values as
// AA 55 <raw temperature> <brightness> 55 AA.
namespace lightframes {

constexpr int kMaxBrightness = 100;
constexpr int kMaxKelvin = 6500;

// Values outside the panel's ranges are clamped, so the frame always carries
// what the caller is told was set.
int clampBrightness(long value);
int clampKelvin(long kelvin);

QByteArray brightnessCommand(int brightness);
QByteArray temperatureCommand(int kelvin);
// The raw 0..100 a temperature is sent as (0 is 6500 K).
int rawTemperature(int kelvin);

struct PanelValues
{
    int brightness = 0;
    int raw = 0;
    int kelvin = 0;
};

// The values of a notification, or nothing when it is not exactly six bytes,
// its markers are wrong or a value lies outside 0..100.
std::optional<PanelValues> parseNotification(const QByteArray& value);

} // namespace lightframes
