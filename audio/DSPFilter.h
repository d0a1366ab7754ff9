#pragma once

#include "AudioSample.h"

#include <QAudioFormat>
#include <QByteArray>
#include <QVariantMap>

#include <array>

struct DenoiseState;

// One stage of the microphone's processing chain. A filter takes a sample and
// produces one of the same format, working internally in a format of its own.
// It is driven by the sub-settings of its settings entry: "DSP_Strength"
// (0..100) and "LastModified"; a newer stamp or a new input format
// re-initialises it on the next call.
//
// The caller passes a fresh, empty `out`. Filters that work in fixed blocks keep
// leftovers in `pending` and fill out.data only with whole processed blocks, so
// `out` may come back invalid (no data) when no block completed.
class DSPFilter
{
public:
    DSPFilter() = default;
    DSPFilter(const DSPFilter&) = delete;
    DSPFilter& operator=(const DSPFilter&) = delete;
    virtual ~DSPFilter();

    virtual bool process(const QVariantMap& subSettings, const AudioSample& in, AudioSample& out);
    // True when the filter must re-initialise (newer LastModified or a new input
    // format). Derived filters re-initialise themselves and return false.
    virtual bool configure(const QVariantMap& subSettings, const AudioSample& in);

    static int strengthSetting(const QVariantMap& subSettings);
    static qint64 lastModifiedSetting(const QVariantMap& subSettings);

protected:
    // u in [-1, 1]: -1 at strength 0, 0 at 50, +1 at 100.
    static float centredStrength(int strength);

    qint64 lastModified = 0;
    QAudioFormat inputFormat;
};

// Neural noise suppression (RNNoise) on 480-sample frames of 48 kHz mono Int16,
// mixed with the dry signal by strength.
class DSPRNNFilter : public DSPFilter
{
public:
    static constexpr int kFrameSamples = 480;

    DSPRNNFilter();
    ~DSPRNNFilter() override;

    bool process(const QVariantMap& subSettings, const AudioSample& in, AudioSample& out) override;
    bool configure(const QVariantMap& subSettings, const AudioSample& in) override;

    qsizetype pendingBytes() const { return pending.size(); }

private:
    DenoiseState* denoiser = nullptr;
    QByteArray pending;
    std::array<float, kFrameSamples> frame {};
    QAudioFormat workFormat;
    float strength = 0.0f;
    float dry = 1.0f;
};

// Biquad coefficients and direct-form-I history.
struct ShelfState
{
    float b0 = 0, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    float x1 = 0, x2 = 0, y1 = 0, y2 = 0;
};

// Low shelf (frequency parameter 500) of up to +-10 dB, by strength.
class DSPBassFilter : public DSPFilter
{
public:
    bool process(const QVariantMap& subSettings, const AudioSample& in, AudioSample& out) override;
    bool configure(const QVariantMap& subSettings, const AudioSample& in) override;

    const ShelfState& shelfState() const { return shelf; }

    // Audio EQ Cookbook shelves with slope S, placed at w = 2*pi*f/(fs/2).
    static void lowShelf(ShelfState& s, double fs, double f, double slope, double gainDb);
    static void highShelf(ShelfState& s, double fs, double f, double slope, double gainDb);

protected:
    virtual bool isTreble() const { return false; }

    ShelfState shelf;
    QAudioFormat workFormat;
    float amount = 0.0f;
};

// High shelf (frequency parameter 2000) of up to +-10 dB, by strength.
class DSPTrebleFilter : public DSPBassFilter
{
protected:
    bool isTreble() const override { return true; }
};

// Automatic gain control on blocks of 240 floats toward a target RMS.
class DSPAGCFilter : public DSPFilter
{
public:
    static constexpr int kBlockSamples = 240;

    bool process(const QVariantMap& subSettings, const AudioSample& in, AudioSample& out) override;
    bool configure(const QVariantMap& subSettings, const AudioSample& in) override;

    float currentGain() const { return gain; }
    float currentTargetGain() const { return targetGain; }
    qsizetype pendingBytes() const { return pending.size(); }

private:
    QByteArray pending;
    QAudioFormat workFormat;
    float gain = 1.0f;
    float targetGain = 0.0f;
};

// State of the dynamics compressor (soft knee, adaptive release, pre-delay).
struct CompressorState
{
    float threshold = 0, knee = 0, linearPregain = 0, linearThreshold = 0, slope = 0;
    float attackSamplesInv = 0, satReleaseSamplesInv = 0, wet = 0, dry = 0;
    float k = 0, kneeDbOffset = 0, linearThresholdKnee = 0, masterGain = 0;
    float a = 0, b = 0, c = 0, d = 0;
    float detectorAvg = 0, compGain = 0, maxCompDiffDb = 0;
    int delayBufSize = 0, delayWritePos = 0, delayReadPos = 0;
    std::array<float, 1024> delayBuf {};
};

// Dynamics compressor on chunks of 32 floats.
class DSPDynamicsCompressorFilter : public DSPFilter
{
public:
    static constexpr int kChunkSamples = 32;

    bool process(const QVariantMap& subSettings, const AudioSample& in, AudioSample& out) override;
    bool configure(const QVariantMap& subSettings, const AudioSample& in) override;

    const CompressorState& compressorState() const { return state; }
    qsizetype pendingBytes() const { return pending.size(); }

    static void initState(CompressorState& s, float fs, float pregainDb, float thresholdDb, float kneeDb, float ratio,
                          float attack, float release, float predelay, float z1, float z2, float z3, float z4,
                          float postgainDb, float wet);
    // Processes n samples in place; n must be a multiple of 32.
    static void processSamples(CompressorState& s, float* samples, int n);

private:
    CompressorState state;
    QByteArray pending;
    QAudioFormat workFormat;
};
