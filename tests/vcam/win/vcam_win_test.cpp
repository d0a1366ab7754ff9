// The virtual camera core built for Windows (run under Wine): the converter
// gives the same bytes as the reference formulas and never writes past its
// destination, pacing reaches its deadline on the Windows clock, and a client
// counts itself through the Win32 named counter objects.
#include "../YuvReferenceCore.h"

#include <ClientRegistration.h>
#include <FrameConverter.h>
#include <YuvRows.h>
#include <Pacer.h>

#include <cstdio>
#include <random>
#include <string>

namespace {

int failures = 0;

void check(bool ok, const char* what)
{
    std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what);
    if (!ok)
        ++failures;
}

} // namespace

int main()
{
    using vcam::FrameConverter;
    const int w = 1280, h = 720;
    std::vector<uint8_t> src(size_t(w) * h * 4);
    std::mt19937 gen(7);
    for (auto& b : src)
        b = uint8_t(gen());
    const std::pair<FrameConverter::Kind, const char*> kinds[] = {{FrameConverter::I420, "I420"},
                                                                  {FrameConverter::NV12, "NV12"},
                                                                  {FrameConverter::YUY2, "YUY2"},
                                                                  {FrameConverter::Copy, "COPY"}};
    // Every row-loop build this processor runs, picked at run time as on Linux.
    std::vector<std::pair<const vcam::yuv::Rows*, const char*>> loops {{&vcam::yuv::scalarRows(), "scalar"}};
    const std::pair<simd::Level, const char*> levels[] = {
        {simd::Level::Baseline, "SSE2"}, {simd::Level::Avx2, "AVX2"}, {simd::Level::Avx512, "AVX-512"}};
    for (auto [level, name] : levels)
        if (const vcam::yuv::Rows* rows = vcam::yuv::vectorRows(level))
            loops.push_back({rows, name});
    check(loops.size() > 1, "vector row loops run");
    for (auto [rows, loopName] : loops)
        for (auto [kind, name] : kinds) {
            const std::vector<uint8_t> expected = yuvref::convertBytes(name, src.data(), w, h);
            FrameConverter converter;
            converter.reset(w, h, w, h);
            converter.setKind(kind);
            converter.useRows(rows);
            std::vector<uint8_t> dst(expected.size() + 32, 0xA5);
            const bool converted = converter.convert(src.data(), src.size(), dst.data(), expected.size());
            bool guard = true;
            for (size_t i = expected.size(); i < dst.size(); ++i)
                guard = guard && dst[i] == 0xA5;
            dst.resize(expected.size());
            const std::string what = std::string(name) + ", " + loopName;
            check(converted && dst == expected && guard, ("converter matches the formulas: " + what).c_str());
            std::vector<uint8_t> small(expected.size() - 1, 0x5A);
            check(!converter.convert(src.data(), src.size(), small.data(), small.size())
                      && small == std::vector<uint8_t>(small.size(), 0x5A),
                  ("short destination untouched: " + what).c_str());
        }

    const vcam::PacerClock clock = vcam::systemPacerClock();
    const int64_t deadline = clock.now() + 500000; // 50 ms
    check(vcam::waitUntil(deadline, clock, nullptr) && clock.now() >= deadline, "pacing reaches the deadline");

    const std::string section = "VantorVCamWinTest" + std::to_string(gen());
    {
        vcam::ClientRegistration a(section, section + "Mux");
        vcam::ClientRegistration b(section, section + "Mux");
        a.begin();
        b.begin();
        InstanceCounter counter(section, section + "Mux");
        int32_t value = 0;
        check(counter.createOrOpenSharedMemory() && counter.readValue(value) && value == 2, "two clients counted");
        b.end();
        check(counter.readValue(value) && value == 1, "one client left");
        a.end();
        check(counter.readValue(value) && value == 0, "no client left");
    }

    std::printf("%s (%d failures)\n", failures ? "FAILED" : "PASSED", failures);
    return failures ? 1 : 0;
}
