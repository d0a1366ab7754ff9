// The picture shown while the control application publishes nothing, and its
// brightness pulse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vcam {

struct PlaceholderPicture
{
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels; // B, G, R, 255 per pixel, stride width * 4
};

// The built-in artwork decoded once per process (thread-safe). Null when the
// embedded data is damaged; the failure is remembered like the success.
std::shared_ptr<const PlaceholderPicture> placeholderPicture();

// Decodes run-length data: records of a 16-bit little-endian run length
// followed by blue, green, red. Null unless the runs cover exactly
// width x height pixels.
std::shared_ptr<const PlaceholderPicture> decodePlaceholder(const uint8_t* data, size_t size, uint32_t width,
                                                            uint32_t height);

// Brightness factor at stream time t (100-ns units): 0.5 + 0.5 sin(f * 3.1416)
// with f the fractional part of t / 10^7 * 0.5, so it rises from one half to
// full and back once every 2 seconds.
double pulseFactor(int64_t t);

// work = pixels with blue, green and red multiplied by m (truncated), alpha
// 255. Both buffers hold `bytes` bytes.
void applyPulse(const uint8_t* pixels, uint8_t* work, size_t bytes, double m);

} // namespace vcam
