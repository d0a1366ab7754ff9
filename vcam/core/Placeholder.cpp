#include "Placeholder.h"

#include "PlaceholderArt.h"
#include "YuvFormulas.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <utility>

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

PulsingPlaceholder::PulsingPlaceholder(std::shared_ptr<const PlaceholderPicture> picture)
    : _picture(std::move(picture))
{
    const uint32_t w = _picture->width, h = _picture->height;
    _rowStart.reserve(size_t(h) + 1);
    for (uint32_t y = 0; y < h; ++y) {
        _rowStart.push_back(uint32_t(_runs.size()));
        const uint8_t* row = _picture->pixels.data() + size_t(y) * w * 4;
        for (uint32_t x = 0; x < w;) {
            uint32_t end = x + 1;
            while (end < w && std::memcmp(row + 4 * size_t(end), row + 4 * size_t(x), 3) == 0)
                ++end;
            _runs.push_back({x, end, row[4 * size_t(x)], row[4 * size_t(x) + 1], row[4 * size_t(x) + 2]});
            x = end;
        }
    }
    _rowStart.push_back(uint32_t(_runs.size()));
    _values.resize(_runs.size());
}

bool PulsingPlaceholder::render(double m, FrameConverter::Kind kind, const FrameConverter::Planes& dst)
{
    if (!dst.data[0] || FrameConverter::requiredBytes(kind, width(), height()) == 0)
        return false;
    uint8_t scaled[256];
    for (int v = 0; v < 256; ++v)
        scaled[v] = uint8_t(double(v) * m);
    for (size_t i = 0; i < _runs.size(); ++i) {
        const int b = scaled[_runs[i].b], g = scaled[_runs[i].g], r = scaled[_runs[i].r];
        _values[i] = {uint8_t(yuv::lumaRounded(r, g, b)), uint8_t(yuv::lumaPlain(r, g, b)),
                      uint8_t(yuv::chromaU(r, g, b)), uint8_t(yuv::chromaV(r, g, b)),
                      uint32_t(b) | uint32_t(g) << 8 | uint32_t(r) << 16 | 0xff000000u};
    }
    switch (kind) {
    case FrameConverter::I420:
        renderI420(dst);
        break;
    case FrameConverter::NV12:
        renderNV12(dst);
        break;
    case FrameConverter::YUY2:
        renderYUY2(dst);
        break;
    case FrameConverter::Copy:
        renderCopy(dst);
        break;
    }
    return true;
}

void PulsingPlaceholder::renderI420(const FrameConverter::Planes& dst) const
{
    for (uint32_t y = 0; y < height(); ++y) {
        uint8_t* luma = dst.data[0] + y * dst.stride[0];
        uint8_t* u = dst.data[1] + y / 2 * dst.stride[1];
        uint8_t* v = dst.data[2] + y / 2 * dst.stride[2];
        for (uint32_t i = _rowStart[y]; i < _rowStart[y + 1]; ++i) {
            const Run& run = _runs[i];
            std::memset(luma + run.start, _values[i].y, run.end - run.start);
            // Even rows give the chroma of their even columns.
            const uint32_t first = (run.start + 1) / 2, last = (run.end + 1) / 2;
            if (y % 2 == 0 && last > first) {
                std::memset(u + first, _values[i].u, last - first);
                std::memset(v + first, _values[i].v, last - first);
            }
        }
    }
}

void PulsingPlaceholder::renderNV12(const FrameConverter::Planes& dst) const
{
    for (uint32_t y = 0; y < height(); ++y) {
        uint8_t* luma = dst.data[0] + y * dst.stride[0];
        for (uint32_t i = _rowStart[y]; i < _rowStart[y + 1]; ++i)
            std::memset(luma + _runs[i].start, _values[i].y, _runs[i].end - _runs[i].start);
    }
    // Each block averages two columns of two rows: walk both rows' runs
    // together, in stretches where neither changes colour. A block inside a
    // stretch takes its two colours twice each; a block that a stretch begins
    // in the middle of (at an odd column) takes one column of each stretch.
    for (uint32_t y = 0; y + 1 < height(); y += 2) {
        uint8_t* uv = dst.data[1] + y / 2 * dst.stride[1];
        uint32_t top = _rowStart[y], bottom = _rowStart[y + 1];
        uint32_t previousTop = top, previousBottom = bottom;
        for (uint32_t x = 0; x < width();) {
            const uint32_t end = std::min(_runs[top].end, _runs[bottom].end);
            const Values &a = _values[top], &c = _values[bottom];
            if (x % 2 == 1) {
                const Values &pa = _values[previousTop], &pc = _values[previousBottom];
                uv[x - 1] = uint8_t((pa.u + pc.u + a.u + c.u) >> 2);
                uv[x] = uint8_t((pa.v + pc.v + a.v + c.v) >> 2);
            }
            const uint8_t u = uint8_t((2 * a.u + 2 * c.u) >> 2), v = uint8_t((2 * a.v + 2 * c.v) >> 2);
            for (uint32_t block = (x + 1) / 2; block < end / 2; ++block) {
                uv[2 * block] = u;
                uv[2 * block + 1] = v;
            }
            previousTop = top;
            previousBottom = bottom;
            x = end;
            if (_runs[top].end == end)
                ++top;
            if (_runs[bottom].end == end)
                ++bottom;
        }
    }
}

void PulsingPlaceholder::renderYUY2(const FrameConverter::Planes& dst) const
{
    for (uint32_t y = 0; y < height(); ++y) {
        uint8_t* row = dst.data[0] + y * dst.stride[0];
        for (uint32_t i = _rowStart[y]; i < _rowStart[y + 1]; ++i) {
            const Run& run = _runs[i];
            const Values& value = _values[i];
            const uint8_t quad[4] = {value.yPlain, value.u, value.yPlain, value.v};
            for (uint32_t pair = (run.start + 1) / 2; pair < run.end / 2; ++pair)
                std::memcpy(row + 4 * size_t(pair), quad, 4);
            // A pair split between two runs: its right pixel here, its left
            // pixel (and with it the pair's chroma) in the run before.
            if (run.start % 2 == 1)
                row[2 * size_t(run.start)] = value.yPlain;
            if (run.end % 2 == 1) {
                uint8_t* left = row + 2 * size_t(run.end - 1);
                left[0] = value.yPlain;
                left[1] = value.u;
                left[3] = value.v;
            }
        }
    }
}

void PulsingPlaceholder::renderCopy(const FrameConverter::Planes& dst) const
{
    for (uint32_t y = 0; y < height(); ++y) {
        uint8_t* row = dst.data[0] + y * dst.stride[0];
        for (uint32_t i = _rowStart[y]; i < _rowStart[y + 1]; ++i)
            for (uint32_t x = _runs[i].start; x < _runs[i].end; ++x)
                std::memcpy(row + 4 * size_t(x), &_values[i].bgrx, 4);
    }
}

} // namespace vcam
