// The picture shown while the control application publishes nothing, and its
// brightness pulse.
#pragma once

#include "FrameConverter.h"

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

// The placeholder as runs of one colour within a row. A pulsed frame then
// costs the formulas once per run and fills of the output rows, instead of a
// pulse and a conversion of every pixel; the bytes are those of applyPulse
// followed by FrameConverter::convert.
class PulsingPlaceholder
{
public:
    explicit PulsingPlaceholder(std::shared_ptr<const PlaceholderPicture> picture);

    uint32_t width() const { return _picture->width; }
    uint32_t height() const { return _picture->height; }
    // The picture at brightness m in `kind` into `dst` (planes of a
    // width() x height() picture). False for a size a format cannot take.
    bool render(double m, FrameConverter::Kind kind, const FrameConverter::Planes& dst);

private:
    struct Run
    {
        uint32_t start, end; // columns [start, end) of its row
        uint8_t b, g, r;
    };
    // A run's values at the current brightness.
    struct Values
    {
        uint8_t y, yPlain, u, v;
        uint32_t bgrx;
    };

    void renderI420(const FrameConverter::Planes& dst) const;
    void renderNV12(const FrameConverter::Planes& dst) const;
    void renderYUY2(const FrameConverter::Planes& dst) const;
    void renderCopy(const FrameConverter::Planes& dst) const;

    std::shared_ptr<const PlaceholderPicture> _picture;
    std::vector<Run> _runs;
    std::vector<uint32_t> _rowStart; // first run of each row, and the end
    std::vector<Values> _values;
};

} // namespace vcam
