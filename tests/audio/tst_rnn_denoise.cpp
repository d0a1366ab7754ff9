// Real noise suppression: synthetic speech (espeak-ng) with white noise at 10 dB
// SNR through the noise-suppression filter at full strength.
#include "BaseSettings.h"
#include "DSPFilter.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr size_t kFrame = 480;

bool run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(program, args);
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished(5000);
        return false;
    }
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Samples of a 16-bit PCM WAV file (the "data" chunk).
std::vector<qint16> readWav(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray all = f.readAll();
    qsizetype pos = 12;
    while (pos + 8 <= all.size()) {
        const QByteArray id = all.mid(pos, 4);
        quint32 len;
        memcpy(&len, all.constData() + pos + 4, 4);
        if (id == "data") {
            const qsizetype n = std::min<qsizetype>(len, all.size() - pos - 8) / 2;
            std::vector<qint16> v(static_cast<size_t>(n));
            memcpy(v.data(), all.constData() + pos + 8, size_t(n) * 2);
            return v;
        }
        pos += 8 + len + (len & 1);
    }
    return {};
}

double energy(const std::vector<double>& v, size_t from, size_t to)
{
    double e = 0;
    for (size_t i = from; i < to && i < v.size(); ++i)
        e += v[i] * v[i];
    return e;
}

std::vector<double> denoise(const std::vector<qint16>& input)
{
    const QVariantMap settings {{BaseSettings::keyName(BaseSettings::DSP_Strength), 100},
                                {BaseSettings::keyName(BaseSettings::LastModified), 1}};
    QAudioFormat f;
    f.setSampleRate(kRate);
    f.setChannelCount(1);
    f.setSampleFormat(QAudioFormat::Int16);
    DSPRNNFilter filter;
    std::vector<double> out;
    for (size_t at = 0; at + 1200 <= input.size(); at += 1200) { // 25 ms blocks
        AudioSample in;
        in.format = f;
        in.timestamp = 1 + at;
        in.data = QByteArray(reinterpret_cast<const char*>(input.data() + at), 1200 * 2);
        AudioSample o;
        filter.process(settings, in, o);
        const auto* s = reinterpret_cast<const qint16*>(o.data.constData());
        out.insert(out.end(), s, s + o.data.size() / 2);
    }
    return out;
}

} // namespace

class TestRnnDenoise : public QObject
{
    Q_OBJECT
private slots:
    void suppressesNoiseAndKeepsSpeech()
    {
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Init DSP RNN strength: 1"));
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Init DSP RNN strength: 1"));
        const QString dir = QDir::tempPath();
        const QString raw = dir + "/speech-raw.wav", wav = dir + "/speech-48k.wav";
        QVERIFY(run("espeak-ng", {"-w", raw,
                                  "The quick brown fox jumps over the lazy dog. "
                                  "Noise suppression keeps the voice and removes the hiss."}));
        // 48 kHz mono 16-bit, 2 s of silence before and 1 s after the speech, no
        // dither (the test must be repeatable).
        QVERIFY(run("sox", {"-v", "0.5", raw, "-D", "-r", "48000", "-c", "1", "-b", "16", "-e", "signed-integer", wav,
                            "pad", "2", "1"}));
        const std::vector<qint16> speech = readWav(wav);
        QVERIFY(speech.size() > size_t(5 * kRate));

        // Speech power over the active 10 ms frames; white noise 10 dB below it.
        std::vector<double> clean(speech.begin(), speech.end());
        double maxFrame = 0;
        for (size_t at = 0; at + kFrame <= clean.size(); at += kFrame)
            maxFrame = std::max(maxFrame, energy(clean, at, at + kFrame));
        std::vector<bool> active;
        double speechEnergy = 0;
        size_t activeFrames = 0;
        for (size_t at = 0; at + kFrame <= clean.size(); at += kFrame) {
            const double e = energy(clean, at, at + kFrame);
            active.push_back(e > maxFrame * 1e-3);
            if (active.back()) {
                speechEnergy += e;
                ++activeFrames;
            }
        }
        QVERIFY(activeFrames > 100);
        const double noiseSigma = std::sqrt(speechEnergy / double(activeFrames * kFrame) / 10.0);
        std::mt19937 rng(2024);
        std::normal_distribution<double> gauss(0.0, noiseSigma);
        std::vector<qint16> noisy(speech.size());
        for (size_t i = 0; i < noisy.size(); ++i)
            noisy[i] = qint16(std::clamp(std::lround(clean[i] + gauss(rng)), -32767L, 32767L));

        const std::vector<double> out = denoise(noisy);
        QVERIFY(out == denoise(noisy)); // identical input, identical output
        QVERIFY(out.size() >= noisy.size() - 1200);

        // Noise in speech-free stretches (the padding, after the model has
        // settled): at least 20 dB less energy.
        const std::vector<double> in(noisy.begin(), noisy.end());
        const size_t speechEnd = noisy.size() - size_t(kRate);
        const double noiseIn =
            energy(in, kRate / 2, 2 * kRate - kRate / 20) + energy(in, speechEnd + kRate / 5, out.size());
        const double noiseOut =
            energy(out, kRate / 2, 2 * kRate - kRate / 20) + energy(out, speechEnd + kRate / 5, out.size());
        const double reductionDb = 10 * std::log10(noiseIn / noiseOut);
        qInfo() << "noise reduction dB" << reductionDb;
        QVERIFY2(reductionDb >= 20.0, qPrintable(QString::number(reductionDb)));

        // Speech energy over the active frames changes by less than 1 dB. The
        // denoiser's output lags its input by a fixed delay; find it first.
        size_t bestLag = 0;
        double bestCorr = -1e300;
        for (size_t lag = 0; lag <= 5 * kFrame; ++lag) {
            double c = 0;
            for (size_t i = 2 * kRate; i < 3 * size_t(kRate); ++i)
                c += clean[i] * out[i + lag];
            if (c > bestCorr) {
                bestCorr = c;
                bestLag = lag;
            }
        }
        double outSpeech = 0, cleanSpeech = 0;
        for (size_t fi = 0; fi < active.size(); ++fi) {
            const size_t at = fi * kFrame;
            if (!active[fi] || at + kFrame + bestLag > out.size())
                continue;
            cleanSpeech += energy(clean, at, at + kFrame);
            outSpeech += energy(out, at + bestLag, at + bestLag + kFrame);
        }
        const double speechChangeDb = 10 * std::log10(outSpeech / cleanSpeech);
        qInfo() << "speech energy change dB" << speechChangeDb << "lag" << bestLag;
        QVERIFY2(std::fabs(speechChangeDb) < 1.0, qPrintable(QString::number(speechChangeDb)));
    }
};

QTEST_GUILESS_MAIN(TestRnnDenoise)
#include "tst_rnn_denoise.moc"
