// The sandboxed RNNoise library: API contract, real denoising, determinism and
// recovery from a fault inside the module.
#include "rnnoise.h"
#include "rnnoise_testing.h"

#include <QTest>

#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr int kFrame = 480;

std::vector<float> whiteNoise(int frames, unsigned seed, float amplitude)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    std::vector<float> v(size_t(frames) * kFrame);
    for (float& x : v)
        x = dist(rng);
    return v;
}

double energy(const float* x, size_t n)
{
    double e = 0;
    for (size_t i = 0; i < n; ++i)
        e += double(x[i]) * x[i];
    return e;
}

struct Denoiser
{
    DenoiseState* st = rnnoise_create(nullptr);
    ~Denoiser() { rnnoise_destroy(st); }
    std::vector<float> run(const std::vector<float>& in, size_t fromFrame, size_t toFrame)
    {
        std::vector<float> out((toFrame - fromFrame) * kFrame);
        for (size_t f = fromFrame; f < toFrame; ++f)
            rnnoise_process_frame(st, out.data() + (f - fromFrame) * kFrame, in.data() + f * kFrame);
        return out;
    }
};

} // namespace

class TestRnnoise : public QObject
{
    Q_OBJECT
private slots:
    void apiContract()
    {
        QCOMPARE(rnnoise_get_frame_size(), kFrame);
        // Only the built-in model exists; a foreign model pointer is refused.
        QVERIFY(rnnoise_create(reinterpret_cast<RNNModel*>(this)) == nullptr);
        rnnoise_destroy(nullptr);
    }

    void suppressesStationaryNoiseDeterministically()
    {
        const auto noise = whiteNoise(300, 7, 3000.0f);
        Denoiser a, b;
        QVERIFY(a.st && b.st);
        const auto outA = a.run(noise, 0, 300);
        const auto outB = b.run(noise, 0, 300);
        QVERIFY(outA == outB);

        // After the model has settled, plain white noise is strongly attenuated.
        const size_t from = 100 * kFrame;
        const double inE = energy(noise.data() + from, noise.size() - from);
        const double outE = energy(outA.data() + from, outA.size() - from);
        QVERIFY2(10 * std::log10(inE / outE) > 10.0, qPrintable(QString::number(10 * std::log10(inE / outE))));
    }

    void inPlaceMatchesSeparateBuffers()
    {
        const auto noise = whiteNoise(20, 3, 1000.0f);
        Denoiser a, b;
        const auto expected = a.run(noise, 0, 20);
        auto buf = noise;
        for (int f = 0; f < 20; ++f)
            rnnoise_process_frame(b.st, buf.data() + f * kFrame, buf.data() + f * kFrame);
        QVERIFY(buf == expected);
    }

    void trapReplacesTheInstance()
    {
        const auto noise = whiteNoise(60, 11, 2000.0f);
        Denoiser a;
        a.run(noise, 0, 20);
        QCOMPARE(rnnoise_testing_restart_count(a.st), 0u);

        rnnoise_testing_corrupt(a.st);
        std::vector<float> out(kFrame);
        const float vad = rnnoise_process_frame(a.st, out.data(), noise.data() + 20 * kFrame);
        QCOMPARE(rnnoise_testing_restart_count(a.st), 1u);
        QCOMPARE(vad, 0.0f);
        // The faulted frame passes through unchanged.
        QVERIFY(std::equal(out.begin(), out.end(), noise.begin() + 20 * kFrame));

        // The replacement behaves exactly like a brand-new denoiser.
        Denoiser fresh;
        QVERIFY(a.run(noise, 21, 60) == fresh.run(noise, 21, 60));
        QCOMPARE(rnnoise_testing_restart_count(a.st), 1u);
    }
};

QTEST_GUILESS_MAIN(TestRnnoise)
#include "tst_rnnoise.moc"
