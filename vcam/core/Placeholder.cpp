#include "Placeholder.h"

#include "PlaceholderArt.h"

#include <cmath>
#include <mutex>

namespace vcam {

std::shared_ptr<const PlaceholderPicture> decodePlaceholder(const uint8_t* data, size_t size, uint32_t width,
                                                            uint32_t height)
{
    const uint64_t total = uint64_t(width) * height;
    if (!data || total == 0 || total > (uint64_t(1) << 28))
        return nullptr;
    auto picture = std::make_shared<PlaceholderPicture>();
    picture->width = width;
    picture->height = height;
    picture->pixels.resize(size_t(total) * 4);
    uint8_t* out = picture->pixels.data();
    uint64_t done = 0;
    for (size_t i = 0; i + 5 <= size; i += 5) {
        const uint32_t run = uint32_t(data[i]) | uint32_t(data[i + 1]) << 8;
        if (run == 0 || done + run > total)
            return nullptr;
        for (uint32_t k = 0; k < run; ++k, ++done) {
            out[4 * done] = data[i + 2];
            out[4 * done + 1] = data[i + 3];
            out[4 * done + 2] = data[i + 4];
            out[4 * done + 3] = 255;
        }
    }
    if (done != total || size % 5 != 0)
        return nullptr;
    return picture;
}

std::shared_ptr<const PlaceholderPicture> placeholderPicture()
{
    static std::once_flag once;
    static std::shared_ptr<const PlaceholderPicture> picture;
    std::call_once(once, [] {
        picture = decodePlaceholder(placeholder_art::data(), placeholder_art::size(), placeholder_art::width(),
                                    placeholder_art::height());
    });
    return picture;
}

double pulseFactor(int64_t t)
{
    const double cycles = double(t) / 10000000.0 * 0.5;
    const double f = cycles - std::floor(cycles);
    const double h = std::sin(f * 3.1416);
    return 0.5 * h + 0.5;
}

void applyPulse(const uint8_t* pixels, uint8_t* work, size_t bytes, double m)
{
    // The products for every byte value, so the loop is a table look-up.
    uint8_t scaled[256];
    for (int v = 0; v < 256; ++v)
        scaled[v] = uint8_t(double(v) * m);
    for (size_t i = 0; i + 4 <= bytes; i += 4) {
        work[i] = scaled[pixels[i]];
        work[i + 1] = scaled[pixels[i + 1]];
        work[i + 2] = scaled[pixels[i + 2]];
        work[i + 3] = 255;
    }
}

} // namespace vcam
