#include "DSPFilter.h"

#include "BaseSettings.h"
#include "rnnoise.h"

#include <QDebug>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

QAudioFormat withSampleFormat(QAudioFormat f, QAudioFormat::SampleFormat sf)
{
    f.setSampleFormat(sf);
    return f;
}

// Replaces a sample's data; the conversions cached for the old data no longer
// describe it, so they are dropped. (A copy of the input carries the input's
// cache, and a later filter converting it would otherwise get the unfiltered
// audio back.)
void setData(AudioSample& s, const QByteArray& data)
{
    s.data = data;
    s.conversions.clear();
}

// Takes as many whole blocks of `blockBytes` as `pending` holds off its front;
// empty when it holds none. The rest waits for the next call.
QByteArray takeWholeBlocks(QByteArray& pending, qsizetype blockBytes)
{
    if (blockBytes <= 0)
        return {};
    QByteArray blocks = pending.left((pending.size() / blockBytes) * blockBytes);
    pending.remove(0, blocks.size());
    return blocks;
}

// The opening step of a filter that works in fixed blocks: `out` takes the
// input's format and time stamp, the input converted to the filter's `work`
// format joins `pending`, and the whole blocks come off its front (none while
// blockBytes is 0).
QByteArray takeBlocksOf(const AudioSample& in, AudioSample& out, const QAudioFormat& work, bool exact,
                        QByteArray& pending, qsizetype blockBytes)
{
    out.format = in.format;
    out.timestamp = in.timestamp;
    pending.append(in.convertTo(work, exact).data);
    return takeWholeBlocks(pending, blockBytes);
}

float* floats(QByteArray& b)
{
    return reinterpret_cast<float*>(b.data());
}

constexpr float kPi = 3.14159265358979323846f;

float db2lin(float x)
{
    return std::pow(10.0f, x / 20.0f);
}

float lin2db(float x)
{
    return 20.0f * std::log10(x);
}

float kneeCurve(const CompressorState& s, float x, float k)
{
    return s.linearThreshold + (1.0f - std::exp(-k * (x - s.linearThreshold))) / k;
}

float compCurve(const CompressorState& s, float x)
{
    if (x < s.linearThreshold)
        return x;
    if (s.knee <= 0.0f)
        return db2lin(s.threshold + s.slope * (lin2db(x) - s.threshold));
    if (x < s.linearThresholdKnee)
        return kneeCurve(s, x, s.k);
    return db2lin(s.kneeDbOffset + s.slope * (lin2db(x) - s.threshold - s.knee));
}

} // namespace

// ---------------------------------------------------------------- DSPFilter

DSPFilter::~DSPFilter() = default;

int DSPFilter::strengthSetting(const QVariantMap& subSettings)
{
    return subSettings.value(BaseSettings::keyName(BaseSettings::DSP_Strength), 0).toInt();
}

qint64 DSPFilter::lastModifiedSetting(const QVariantMap& subSettings)
{
    return subSettings.value(BaseSettings::keyName(BaseSettings::LastModified), 0).toLongLong();
}

float DSPFilter::centredStrength(int strength)
{
    return (float(strength) / 100.0f - 0.5f) * 2.0f;
}

bool DSPFilter::configure(const QVariantMap& subSettings, const AudioSample& in)
{
    const qint64 m = lastModifiedSetting(subSettings);
    const bool changed = !sameAudioFormat(in.format, inputFormat);
    const qint64 previous = lastModified;
    lastModified = m;
    inputFormat = in.format;
    return previous < m || changed;
}

bool DSPFilter::process(const QVariantMap& subSettings, const AudioSample& in, AudioSample& out)
{
    configure(subSettings, in);
    out = in;
    return true;
}

// ---------------------------------------------------------------- DSPRNNFilter

DSPRNNFilter::DSPRNNFilter()
    : denoiser(rnnoise_create(nullptr))
{
    if (!denoiser)
        qWarning() << "DSPRNNFilter: the noise suppressor could not start; audio passes through";
}

DSPRNNFilter::~DSPRNNFilter()
{
    rnnoise_destroy(denoiser);
}

bool DSPRNNFilter::configure(const QVariantMap& subSettings, const AudioSample& in)
{
    if (!DSPFilter::configure(subSettings, in))
        return false;
    workFormat = in.format;
    workFormat.setSampleRate(48000);
    workFormat.setChannelCount(1);
    workFormat.setSampleFormat(QAudioFormat::Int16);
    strength = float(strengthSetting(subSettings)) / 100.0f;
    dry = 1.0f - strength;
    qDebug() << "Init DSP RNN strength:" << strength;
    return false;
}

bool DSPRNNFilter::process(const QVariantMap& subSettings, const AudioSample& in, AudioSample& out)
{
    configure(subSettings, in);
    if (std::fabs(strength) < 0.01f) {
        out = in;
        return true;
    }
    QByteArray processed = takeBlocksOf(in, out, workFormat, true, pending, kFrameSamples * qsizetype(sizeof(qint16)));
    if (processed.isEmpty())
        return true;
    const qsizetype frames = processed.size() / (kFrameSamples * qsizetype(sizeof(qint16)));
    auto* samples = reinterpret_cast<qint16*>(processed.data());
    for (qsizetype f = 0; f < frames; ++f) {
        qint16* block = samples + f * kFrameSamples;
        for (int i = 0; i < kFrameSamples; ++i)
            frame[size_t(i)] = float(block[i]);
        if (denoiser)
            rnnoise_process_frame(denoiser, frame.data(), frame.data());
        for (int i = 0; i < kFrameSamples; ++i) {
            double v = double(std::trunc(frame[size_t(i)] * strength)) + double(std::trunc(float(block[i]) * dry));
            if (std::isnan(v))
                v = 0;
            block[i] = qint16(std::clamp(v, -32767.0, 32767.0));
        }
    }
    setData(out, resampleAudio(processed, workFormat, in.format, true));
    return true;
}

// ---------------------------------------------------------------- shelves

void DSPBassFilter::lowShelf(ShelfState& s, double fs, double f, double slope, double gainDb)
{
    s = ShelfState {};
    const double A = std::pow(10.0, gainDb / 40.0);
    const double nf = f / (fs / 2.0);
    if (nf <= 0.0 || slope == 0.0) {
        s.b0 = 1.0f;
        return;
    }
    if (nf >= 1.0) {
        s.b0 = float(A * A);
        return;
    }
    const double w = 2.0 * M_PI * nf;
    const double cs = std::cos(w);
    const double alpha = std::sin(w) / 2.0 * std::sqrt(std::max(0.0, (A + 1.0 / A) * (1.0 / slope - 1.0) + 2.0));
    const double beta = 2.0 * std::sqrt(A) * alpha;
    const double a0 = (A + 1) + (A - 1) * cs + beta;
    s.b0 = float(A * ((A + 1) - (A - 1) * cs + beta) / a0);
    s.b1 = float(2 * A * ((A - 1) - (A + 1) * cs) / a0);
    s.b2 = float(A * ((A + 1) - (A - 1) * cs - beta) / a0);
    s.a1 = float(-2 * ((A - 1) + (A + 1) * cs) / a0);
    s.a2 = float(((A + 1) + (A - 1) * cs - beta) / a0);
}

void DSPBassFilter::highShelf(ShelfState& s, double fs, double f, double slope, double gainDb)
{
    s = ShelfState {};
    const double A = std::pow(10.0, gainDb / 40.0);
    const double nf = f / (fs / 2.0);
    if (nf >= 1.0 || slope == 0.0) {
        s.b0 = 1.0f;
        return;
    }
    if (nf <= 0.0) {
        s.b0 = float(A * A);
        return;
    }
    const double w = 2.0 * M_PI * nf;
    const double cs = std::cos(w);
    const double alpha = std::sin(w) / 2.0 * std::sqrt(std::max(0.0, (A + 1.0 / A) * (1.0 / slope - 1.0) + 2.0));
    const double beta = 2.0 * std::sqrt(A) * alpha;
    const double a0 = (A + 1) - (A - 1) * cs + beta;
    s.b0 = float(A * ((A + 1) + (A - 1) * cs + beta) / a0);
    s.b1 = float(-2 * A * ((A - 1) + (A + 1) * cs) / a0);
    s.b2 = float(A * ((A + 1) + (A - 1) * cs - beta) / a0);
    s.a1 = float(2 * ((A - 1) - (A + 1) * cs) / a0);
    s.a2 = float(((A + 1) - (A - 1) * cs - beta) / a0);
}

bool DSPBassFilter::configure(const QVariantMap& subSettings, const AudioSample& in)
{
    if (!DSPFilter::configure(subSettings, in))
        return false;
    workFormat = withSampleFormat(in.format, QAudioFormat::Float);
    amount = centredStrength(strengthSetting(subSettings));
    const float gain = std::clamp(10.0f * amount, -10.0f, 10.0f);
    if (isTreble()) {
        highShelf(shelf, in.format.sampleRate(), 2000.0, 1.0, gain);
        qDebug() << "Init DSP Trevle - gain:" << gain;
    } else {
        lowShelf(shelf, in.format.sampleRate(), 500.0, 1.0, gain);
        qDebug() << "Init DSP Bass - gain:" << gain;
    }
    return false;
}

bool DSPBassFilter::process(const QVariantMap& subSettings, const AudioSample& in, AudioSample& out)
{
    configure(subSettings, in);
    out = in;
    if (std::fabs(amount) < 0.01f)
        return true;
    AudioSample c = in.convertTo(workFormat, false);
    if (c.data.size() < 4)
        return true;
    float* x = floats(c.data);
    const qsizetype n = c.data.size() / qsizetype(sizeof(float));
    ShelfState& s = shelf;
    for (qsizetype i = 0; i < n; ++i) {
        const float in0 = x[i];
        const float y = s.b0 * in0 + s.b1 * s.x1 + s.b2 * s.x2 - s.a1 * s.y1 - s.a2 * s.y2;
        s.x2 = s.x1;
        s.x1 = in0;
        s.y2 = s.y1;
        s.y1 = y;
        x[i] = y;
    }
    setData(out, resampleAudio(c.data, workFormat, in.format, false));
    return true;
}

// ---------------------------------------------------------------- AGC

bool DSPAGCFilter::configure(const QVariantMap& subSettings, const AudioSample& in)
{
    if (!DSPFilter::configure(subSettings, in))
        return false;
    workFormat = withSampleFormat(in.format, QAudioFormat::Float);
    gain = 1.0f;
    targetGain = std::max(0.3f * float(strengthSetting(subSettings)) / 100.0f, 0.001f);
    qDebug() << "Init AGC target gain:" << targetGain;
    return false;
}

bool DSPAGCFilter::process(const QVariantMap& subSettings, const AudioSample& in, AudioSample& out)
{
    configure(subSettings, in);
    QByteArray processed = takeBlocksOf(in, out, workFormat, false, pending, kBlockSamples * qsizetype(sizeof(float)));
    if (processed.isEmpty())
        return true;
    const qsizetype blocks = processed.size() / (kBlockSamples * qsizetype(sizeof(float)));
    float* x = floats(processed);
    for (qsizetype b = 0; b < blocks; ++b) {
        float* block = x + b * kBlockSamples;
        float sum = 0.0f;
        for (int i = 0; i < kBlockSamples; ++i)
            sum += block[i] * block[i];
        const float rms = std::sqrt(sum / float(kBlockSamples));
        const float desired = rms > 0.015f ? targetGain / rms : 1.0f;
        gain = std::min(gain * 0.997f + desired * 0.003f, 6.0f);
        for (int i = 0; i < kBlockSamples; ++i)
            block[i] = std::clamp(gain * block[i], -1.0f, 1.0f);
    }
    setData(out, resampleAudio(processed, workFormat, in.format, false));
    return true;
}

// ---------------------------------------------------------------- compressor

void DSPDynamicsCompressorFilter::initState(CompressorState& s, float fs, float pregainDb, float thresholdDb,
                                            float kneeDb, float ratio, float attack, float release, float predelay,
                                            float z1, float z2, float z3, float z4, float postgainDb, float wet)
{
    s.delayBufSize = std::clamp(int(fs * predelay), 1, int(s.delayBuf.size()));
    std::fill_n(s.delayBuf.begin(), s.delayBufSize, 0.0f);
    s.delayWritePos = 0;
    s.delayReadPos = s.delayBufSize > 1 ? 1 : 0;

    s.linearPregain = db2lin(pregainDb);
    s.linearThreshold = db2lin(thresholdDb);
    s.slope = 1.0f / ratio;
    s.threshold = thresholdDb;
    s.knee = kneeDb;

    if (kneeDb > 0.0f) {
        const float xKnee = db2lin(thresholdDb + kneeDb);
        float minK = 0.1f, maxK = 10000.0f, k = 5.0f;
        for (int i = 0; i < 15; ++i) {
            const float derivative =
                k * xKnee / ((k * s.linearThreshold + 1.0f) * std::exp(k * (xKnee - s.linearThreshold)) - 1.0f);
            if (derivative < s.slope)
                maxK = k;
            else
                minK = k;
            k = std::sqrt(minK * maxK);
        }
        s.k = k;
        s.kneeDbOffset = lin2db(kneeCurve(s, xKnee, k));
        s.linearThresholdKnee = db2lin(thresholdDb + kneeDb);
    } else {
        s.k = 5.0f;
        s.kneeDbOffset = 0.0f;
        s.linearThresholdKnee = 0.0f;
    }

    const float fullLevel = compCurve(s, 1.0f);
    s.masterGain = db2lin(postgainDb) * std::pow(1.0f / fullLevel, 0.6f);

    s.attackSamplesInv = 1.0f / (fs * attack);
    s.satReleaseSamplesInv = 1.0f / (fs * 0.0025f);
    s.wet = wet;
    s.dry = 1.0f - wet;

    const float R = fs * release;
    const float y1 = R * z1, y2 = R * z2, y3 = R * z3, y4 = R * z4;
    s.a = (-y1 + 3.0f * y2 - 3.0f * y3 + y4) / 6.0f;
    s.b = y1 - 2.5f * y2 + 2.0f * y3 - 0.5f * y4;
    s.c = (-11.0f * y1 + 18.0f * y2 - 9.0f * y3 + 2.0f * y4) / 6.0f;
    s.d = y1;

    s.detectorAvg = 0.0f;
    s.compGain = 1.0f;
    s.maxCompDiffDb = -1.0f;
}

void DSPDynamicsCompressorFilter::processSamples(CompressorState& s, float* samples, int n)
{
    for (int chunk = 0; chunk + kChunkSamples <= n; chunk += kChunkSamples) {
        if (!std::isfinite(s.detectorAvg))
            s.detectorAvg = 1.0f;
        const float scaledDesired = std::asin(s.detectorAvg) * 2.0f / kPi;
        float diff = lin2db(s.compGain / scaledDesired);
        float envelopeRate;
        if (diff < 0.0f) {
            if (!std::isfinite(diff))
                diff = -1.0f;
            s.maxCompDiffDb = -1.0f;
            const float x = (std::clamp(diff, -12.0f, 0.0f) + 12.0f) * 0.25f;
            const float releaseSamples = s.a * x * x * x + s.b * x * x + s.c * x + s.d;
            envelopeRate = db2lin(5.0f / releaseSamples);
        } else {
            if (!std::isfinite(diff))
                diff = 1.0f;
            if (s.maxCompDiffDb == -1.0f || s.maxCompDiffDb < diff)
                s.maxCompDiffDb = diff;
            envelopeRate = 1.0f - std::pow(0.25f / std::max(0.5f, s.maxCompDiffDb), s.attackSamplesInv);
        }

        for (int i = chunk; i < chunk + kChunkSamples; ++i) {
            const float v = s.linearPregain * samples[i];
            s.delayBuf[size_t(s.delayWritePos)] = v;
            const float av = std::fabs(v);
            const float attenuation = av < 0.0001f ? 1.0f : compCurve(s, av) / av;

            float rate = 1.0f;
            if (attenuation > s.detectorAvg)
                rate = db2lin(std::max(2.0f, -lin2db(attenuation)) * s.satReleaseSamplesInv) - 1.0f;
            s.detectorAvg += (attenuation - s.detectorAvg) * rate;
            s.detectorAvg = std::min(s.detectorAvg, 1.0f);
            if (!std::isfinite(s.detectorAvg))
                s.detectorAvg = 1.0f;

            if (envelopeRate < 1.0f)
                s.compGain += (scaledDesired - s.compGain) * envelopeRate;
            else
                s.compGain = std::min(s.compGain * envelopeRate, 1.0f);

            const float premix = std::sin(kPi / 2.0f * s.compGain);
            samples[i] = s.delayBuf[size_t(s.delayReadPos)] * (s.dry + s.wet * s.masterGain * premix);

            s.delayReadPos = (s.delayReadPos + 1) % s.delayBufSize;
            s.delayWritePos = (s.delayWritePos + 1) % s.delayBufSize;
        }
    }
}

bool DSPDynamicsCompressorFilter::configure(const QVariantMap& subSettings, const AudioSample& in)
{
    if (!DSPFilter::configure(subSettings, in))
        return false;
    state = CompressorState {};
    workFormat = withSampleFormat(in.format, QAudioFormat::Float);
    const float u = centredStrength(strengthSetting(subSettings));
    const float threshold = std::clamp(-25.0f - 25.0f * u, -50.0f, -10.0f);
    const float ratio = std::clamp(3.0f * u + 3.0f, 2.0f, 6.0f);
    const float makeUpGain = std::clamp(5.0f * u + 1.0f, 1.0f, 6.0f);
    const float release = std::clamp(0.75f * u + 0.25f, 0.25f, 1.0f);
    initState(state, float(in.format.sampleRate()), 0.0f, threshold, 30.0f, ratio, 0.003f, release, 0.006f, 0.09f,
              0.16f, 0.42f, 0.98f, makeUpGain, 1.0f);
    qDebug() << "Init DSP Dynamics Compressor - threshold:" << threshold << " ratio:" << ratio
             << " makeUpGain:" << makeUpGain << " release:" << release;
    return false;
}

bool DSPDynamicsCompressorFilter::process(const QVariantMap& subSettings, const AudioSample& in, AudioSample& out)
{
    configure(subSettings, in);
    // Without a delay line (not configured) the input only waits.
    const qsizetype chunkBytes = state.delayBufSize < 1 ? 0 : kChunkSamples * qsizetype(sizeof(float));
    QByteArray processed = takeBlocksOf(in, out, workFormat, false, pending, chunkBytes);
    if (processed.isEmpty())
        return true;
    processSamples(state, floats(processed), int(processed.size() / qsizetype(sizeof(float))));
    setData(out, resampleAudio(processed, workFormat, in.format, false));
    return true;
}
