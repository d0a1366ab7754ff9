// Fuzzes the light panel's frames: a report is read only when it is a
// well-marked six-byte frame with both values in 0..100, and what it reads
// lies in the panel's ranges; any number becomes a command of six bytes with
// the markers and a value in 0..100.
#include "LightFrames.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace lightframes;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const bool wellFormed = size == 6 && data[0] == 0xAA && data[1] == 0x55 && data[4] == 0x55 && data[5] == 0xAA
                         && data[2] <= 100 && data[3] <= 100;
    const auto read = parseNotification(bytes);
    if (bool(read) != wellFormed)
        abort();
    if (read
        && (read->brightness != data[3] || read->raw != data[2] || read->kelvin < 0 || read->kelvin > kMaxKelvin
            || rawTemperature(read->kelvin) != read->raw))
        abort();

    long value = 0;
    std::memcpy(&value, data, std::min(size, sizeof value));
    for (const QByteArray& command : {brightnessCommand(clampBrightness(value)), temperatureCommand(clampKelvin(value))})
        if (command.size() != 6 || quint8(command[0]) != 0xAA || quint8(command[1]) != 0x55
            || quint8(command[4]) != 0x55 || quint8(command[5]) != 0xAA || quint8(command[3]) > 100)
            abort();
    return 0;
}
