// Cost of the microphone processing path: one RNNoise frame, the whole DSP chain
// on 48 kHz mono as a share of one core, and the capture-side format conversion.
#include "AudioSample.h"
#include "BaseSettings.h"
#include "DSPFilter.h"
#include "rnnoise.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <random>
#include <vector>

namespace {

double threadCpuSeconds()
{
    timespec ts {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void quietDebug(QtMsgType type, const QMessageLogContext&, const QString& msg)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(msg));
}

// Speech-like test signal: a few tones with a slow envelope plus noise.
std::vector<qint16> testSignal(size_t n)
{
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0, 800);
    std::vector<qint16> v(n);
    for (size_t i = 0; i < n; ++i) {
        const double t = double(i) / 48000.0;
        const double env = 0.5 + 0.5 * std::sin(2 * M_PI * 1.5 * t);
        const double x =
            env * (6000 * std::sin(2 * M_PI * 220 * t) + 3000 * std::sin(2 * M_PI * 1330 * t)) + noise(rng);
        v[i] = qint16(std::clamp(x, -32767.0, 32767.0));
    }
    return v;
}

void benchRnnoiseFrame()
{
    DenoiseState* st = rnnoise_create(nullptr);
    const auto sig = testSignal(480 * 200);
    std::vector<float> frame(480);
    constexpr int kFrames = 5000;
    for (int f = 0; f < 200; ++f) { // warm-up
        for (int i = 0; i < 480; ++i)
            frame[size_t(i)] = sig[size_t(f * 480 + i)];
        rnnoise_process_frame(st, frame.data(), frame.data());
    }
    const double start = threadCpuSeconds();
    for (int f = 0; f < kFrames; ++f) {
        const size_t base = size_t(f % 200) * 480;
        for (int i = 0; i < 480; ++i)
            frame[size_t(i)] = sig[base + size_t(i)];
        rnnoise_process_frame(st, frame.data(), frame.data());
    }
    const double elapsed = threadCpuSeconds() - start;
    rnnoise_destroy(st);
    std::printf("rnnoise_frame_us: %.2f us\n", elapsed / kFrames * 1e6);
}

void benchDspChain()
{
    QAudioFormat f;
    f.setSampleRate(48000);
    f.setChannelCount(1);
    f.setSampleFormat(QAudioFormat::Int16);
    auto settings = [](int strength) {
        return QVariantMap {{BaseSettings::keyName(BaseSettings::DSP_Strength), strength},
                            {BaseSettings::keyName(BaseSettings::LastModified), 1}};
    };
    std::vector<std::pair<std::unique_ptr<DSPFilter>, QVariantMap>> chain;
    chain.emplace_back(std::make_unique<DSPRNNFilter>(), settings(100));
    chain.emplace_back(std::make_unique<DSPBassFilter>(), settings(70));
    chain.emplace_back(std::make_unique<DSPTrebleFilter>(), settings(70));
    chain.emplace_back(std::make_unique<DSPAGCFilter>(), settings(70));
    chain.emplace_back(std::make_unique<DSPDynamicsCompressorFilter>(), settings(70));

    constexpr int kSeconds = 20;
    const auto sig = testSignal(48000 * kSeconds);
    const double start = threadCpuSeconds();
    for (size_t at = 0; at + 1200 <= sig.size(); at += 1200) { // 25 ms blocks, as captured
        AudioSample in;
        in.format = f;
        in.timestamp = 1 + at;
        in.data = QByteArray(reinterpret_cast<const char*>(sig.data() + at), 1200 * 2);
        for (auto& [filter, s] : chain) {
            AudioSample out;
            filter->process(s, in, out);
            in = out;
        }
    }
    const double elapsed = threadCpuSeconds() - start;
    std::printf("dsp_chain_cpu_percent: %.2f %%\n", elapsed / kSeconds * 100.0);
}

void benchResample()
{
    QAudioFormat from, to;
    from.setSampleRate(44100);
    from.setChannelCount(2);
    from.setSampleFormat(QAudioFormat::Float);
    to.setSampleRate(48000);
    to.setChannelCount(1);
    to.setSampleFormat(QAudioFormat::Int16);
    std::vector<float> block(1103 * 2); // 25 ms of 44.1 kHz stereo
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = float(0.5 * std::sin(double(i) * 0.01));
    const QByteArray bytes(reinterpret_cast<const char*>(block.data()), qsizetype(block.size() * sizeof(float)));
    constexpr int kRuns = 20000;
    qsizetype sink = 0;
    const double start = threadCpuSeconds();
    for (int r = 0; r < kRuns; ++r)
        sink += resampleAudio(bytes, from, to, false).size();
    const double elapsed = threadCpuSeconds() - start;
    if (sink == 0)
        std::fprintf(stderr, "no output\n");
    std::printf("resample_44k1_stereo_to_48k_mono_us_per_25ms: %.2f us\n", elapsed / kRuns * 1e6);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietDebug);
    benchRnnoiseFrame();
    benchDspChain();
    benchResample();
    return 0;
}
