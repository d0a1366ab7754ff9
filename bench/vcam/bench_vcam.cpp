// Cost of converting one 1280x720 picture into each client format (with the
// widest row loops this processor runs, and with the scalar ones for
// comparison), and of the pulsing placeholder frame in I420 and NV12, in
// milliseconds (median of many rounds, after a warm-up).
#include <FrameConverter.h>
#include <Placeholder.h>
#include <YuvRows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 720;
constexpr int kRounds = 200;

template <typename F>
double medianMs(F&& run)
{
    for (int i = 0; i < 10; ++i)
        run();
    std::vector<double> times;
    for (int i = 0; i < kRounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + kRounds / 2, times.end());
    return times[kRounds / 2];
}

} // namespace

int main()
{
    std::vector<uint8_t> source(size_t(kWidth) * kHeight * 4);
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = uint8_t((i * 2654435761u) >> 13);
    std::vector<uint8_t> target(source.size());
    vcam::FrameConverter converter;
    converter.reset(kWidth, kHeight, kWidth, kHeight);

    const struct
    {
        const char* figure;
        vcam::FrameConverter::Kind kind;
    } cases[] = {
        {"convert_i420_720p_ms", vcam::FrameConverter::I420},
        {"convert_nv12_720p_ms", vcam::FrameConverter::NV12},
        {"convert_yuy2_720p_ms", vcam::FrameConverter::YUY2},
        {"convert_copy_720p_ms", vcam::FrameConverter::Copy},
    };
    for (const auto& c : cases) {
        converter.setKind(c.kind);
        for (const vcam::yuv::Rows* rows : {(const vcam::yuv::Rows*)nullptr, &vcam::yuv::scalarRows()}) {
            if (rows && c.kind == vcam::FrameConverter::Copy)
                continue;
            converter.useRows(rows);
            const double ms = medianMs([&] {
                source[0] ^= 1;
                converter.convert(source.data(), source.size(), target.data(), target.size());
            });
            std::string figure = c.figure;
            if (rows)
                figure.insert(figure.size() - 3, "_scalar");
            std::printf("%s: %.3f ms\n", figure.c_str(), ms);
        }
    }
    converter.useRows(nullptr);

    // The placeholder as a client gets it while nothing is published.
    if (const auto picture = vcam::placeholderPicture()) {
        vcam::PulsingPlaceholder pulsing(picture);
        for (const auto& c : {cases[0], cases[1]}) {
            const auto planes = vcam::FrameConverter::packedPlanes(c.kind, kWidth, kHeight, target.data());
            int64_t t = 0;
            const double ms = medianMs([&] { pulsing.render(vcam::pulseFactor(t += 333333), c.kind, planes); });
            std::string figure = c.figure;
            figure.replace(0, figure.find('_'), "placeholder");
            std::printf("%s: %.3f ms\n", figure.c_str(), ms);
        }
    }
    std::fflush(stdout);
    return target[0] == 0xff && target[1] == 0xff ? 1 : 0; // keep the work observable
}
