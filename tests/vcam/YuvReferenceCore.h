// Reference conversions for the tests, written pixel by pixel straight from
// the published formulas, independent of the converter's loops. Plain C++,
// so that the Windows test programs use it too.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <cstdint>

namespace yuvref {

struct Yuv
{
    int y, u, v;
};

inline Yuv pixel(const uint8_t* bgrx, bool roundLuma = true)
{
    const int b = bgrx[0], g = bgrx[1], r = bgrx[2];
    return {((66 * r + 129 * g + 25 * b + (roundLuma ? 128 : 0)) >> 8) + 16,
            ((112 * b - 74 * g - 38 * r + 128) >> 8) + 128, ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128};
}

// `kind` is "I420", "NV12", "YUY2" or "COPY"; src is w x h BGRx.
inline std::vector<uint8_t> convertBytes(const char* kind, const uint8_t* src, int w, int h)
{
    const std::string k(kind);
    auto at = [&](int x, int y) { return src + (size_t(y) * w + x) * 4; };
    std::vector<uint8_t> out;
    if (k == "COPY")
        return std::vector<uint8_t>(src, src + size_t(w) * h * 4);
    if (k == "YUY2") {
        out.resize(size_t(w) * h * 2);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; x += 2) {
                const Yuv left = pixel(at(x, y), false), right = pixel(at(x + 1, y), false);
                const Yuv chroma = pixel(at(x, y));
                uint8_t* d = out.data() + (size_t(y) * w + x) * 2;
                d[0] = uint8_t(left.y);
                d[1] = uint8_t(chroma.u);
                d[2] = uint8_t(right.y);
                d[3] = uint8_t(chroma.v);
            }
        return out;
    }
    out.resize(size_t(w) * h * 3 / 2);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            out[y * w + x] = uint8_t(pixel(at(x, y)).y);
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w / 2; ++x) {
            if (k == "I420") {
                const Yuv p = pixel(at(2 * x, 2 * y));
                out[w * h + y * (w / 2) + x] = uint8_t(p.u);
                out[w * h + w * h / 4 + y * (w / 2) + x] = uint8_t(p.v);
            } else {
                int u = 0, v = 0;
                for (int dy = 0; dy < 2; ++dy)
                    for (int dx = 0; dx < 2; ++dx) {
                        const Yuv p = pixel(at(2 * x + dx, 2 * y + dy));
                        u += p.u;
                        v += p.v;
                    }
                out[w * h + y * w + 2 * x] = uint8_t(u / 4);
                out[w * h + y * w + 2 * x + 1] = uint8_t(v / 4);
            }
        }
    return out;
}

} // namespace yuvref
