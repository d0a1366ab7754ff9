// The DSP filters: block sizes and outputs per call, bypass, the formulas'
// observable effects, re-initialisation rules.
#include "BaseSettings.h"
#include "DSPFilter.h"

#include <QTest>

#include <cmath>
#include <random>
#include <vector>

namespace {

QAudioFormat fmt(int rate, int channels, QAudioFormat::SampleFormat sf)
{
    QAudioFormat f;
    f.setSampleRate(rate);
    f.setChannelCount(channels);
    f.setSampleFormat(sf);
    return f;
}

const QAudioFormat kMono16 = fmt(48000, 1, QAudioFormat::Int16);
const QAudioFormat kMonoF = fmt(48000, 1, QAudioFormat::Float);

QVariantMap settings(int strength, qint64 lastModified = 1)
{
    return {{BaseSettings::keyName(BaseSettings::DSP_Strength), strength},
            {BaseSettings::keyName(BaseSettings::LastModified), lastModified}};
}

template <typename T>
AudioSample sample(const QAudioFormat& f, const std::vector<T>& v, quint64 ts = 1000)
{
    AudioSample s;
    s.format = f;
    s.timestamp = ts;
    s.data = QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size() * sizeof(T)));
    return s;
}

template <typename T>
std::vector<T> values(const AudioSample& s)
{
    std::vector<T> v(size_t(s.data.size()) / sizeof(T));
    memcpy(v.data(), s.data.constData(), v.size() * sizeof(T));
    return v;
}

std::vector<qint16> sine16(size_t n, double freq, double amp, double rate = 48000)
{
    std::vector<qint16> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = qint16(std::lround(amp * 32767 * std::sin(2 * M_PI * freq * double(i) / rate)));
    return v;
}

std::vector<float> sineF(size_t n, double freq, double amp, size_t offset = 0)
{
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = float(amp * std::sin(2 * M_PI * freq * double(i + offset) / 48000.0));
    return v;
}

template <typename T>
double rmsDb(const std::vector<T>& v, size_t from = 0, double scale = 1)
{
    double e = 0;
    for (size_t i = from; i < v.size(); ++i)
        e += double(v[i]) / scale * double(v[i]) / scale;
    return 10 * std::log10(e / double(v.size() - from));
}

void ignoreInit(const char* pattern)
{
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(pattern));
}

} // namespace

class TestDspFilters : public QObject
{
    Q_OBJECT
private slots:
    void outputsPerCall()
    {
        const auto in = sample(kMono16, sine16(1200, 440, 0.5), 777);
        ignoreInit("Init DSP RNN strength: 1");
        DSPRNNFilter rnn;
        AudioSample out;
        QVERIFY(rnn.process(settings(100), in, out));
        QCOMPARE(out.data.size(), 960 * 2);
        QCOMPARE(out.timestamp, quint64(777));
        QCOMPARE(rnn.pendingBytes(), 240 * 2);
        AudioSample out2;
        rnn.process(settings(100), in, out2); // 240 + 1200 = 1440: three frames, none left
        QCOMPARE(out2.data.size(), 1440 * 2);
        QCOMPARE(rnn.pendingBytes(), 0);

        ignoreInit("Init AGC target gain: 0.3");
        DSPAGCFilter agc;
        AudioSample agcOut;
        agc.process(settings(100), in, agcOut);
        QCOMPARE(agcOut.data.size(), 1200 * 2);
        QCOMPARE(agc.pendingBytes(), 0);

        ignoreInit("Init DSP Dynamics Compressor - threshold: -50  ratio: 6  makeUpGain: 6  release: 1");
        DSPDynamicsCompressorFilter comp;
        AudioSample compOut;
        comp.process(settings(100), in, compOut);
        QCOMPARE(compOut.data.size(), 1184 * 2);
        QCOMPARE(comp.pendingBytes(), 16 * 4);
        QVERIFY(sameAudioFormat(compOut.format, kMono16));
    }

    void incompleteBlockGivesEmptyOutputWithFormatAndTimestamp()
    {
        const auto in = sample(kMono16, std::vector<qint16>(100, 1000), 4242);
        ignoreInit("Init DSP RNN");
        DSPRNNFilter rnn;
        AudioSample out;
        rnn.process(settings(100), in, out);
        QVERIFY(!out.isValid());
        QCOMPARE(out.timestamp, quint64(4242));
        QVERIFY(sameAudioFormat(out.format, kMono16));

        ignoreInit("Init AGC");
        DSPAGCFilter agc;
        AudioSample agcOut;
        agc.process(settings(50), in, agcOut);
        QVERIFY(!agcOut.isValid());
        QCOMPARE(agcOut.timestamp, quint64(4242));
    }

    void bypassIsBitExact()
    {
        const auto in = sample(kMono16, sine16(1200, 300, 0.7));
        ignoreInit("Init DSP Bass - gain: 0");
        DSPBassFilter bass;
        AudioSample b;
        bass.process(settings(50), in, b);
        QCOMPARE(b.data, in.data);
        ignoreInit("Init DSP Trevle - gain: 0");
        DSPTrebleFilter treble;
        AudioSample t;
        treble.process(settings(50), in, t);
        QCOMPARE(t.data, in.data);
        ignoreInit("Init DSP RNN strength: 0");
        DSPRNNFilter rnn;
        AudioSample r;
        rnn.process(settings(0), in, r);
        QCOMPARE(r.data, in.data);
        QCOMPARE(rnn.pendingBytes(), 0);
    }

    void shelfGains_data()
    {
        QTest::addColumn<bool>("treble");
        QTest::addColumn<int>("strength");
        QTest::addColumn<double>("lowDb");
        QTest::addColumn<double>("highDb");
        QTest::newRow("bass +10") << false << 100 << 10.0 << 0.0;
        QTest::newRow("bass -10") << false << 0 << -10.0 << 0.0;
        QTest::newRow("bass +0.2") << false << 51 << 0.2 << 0.0;
        QTest::newRow("bass -0.2") << false << 49 << -0.2 << 0.0;
        QTest::newRow("treble +10") << true << 100 << 0.0 << 10.0;
        QTest::newRow("treble -10") << true << 0 << 0.0 << -10.0;
    }

    void shelfGains()
    {
        QFETCH(bool, treble);
        QFETCH(int, strength);
        QFETCH(double, lowDb);
        QFETCH(double, highDb);
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Init DSP (Bass|Trevle) - gain:"));
        std::unique_ptr<DSPBassFilter> f(treble ? new DSPTrebleFilter : new DSPBassFilter);
        AudioSample out;
        f->process(settings(strength), sample(kMonoF, std::vector<float>(4, 0.0f)), out);
        const ShelfState& s = f->shelfState();
        // Gain at DC (z = 1) and at Nyquist (z = -1) of the biquad.
        const double dc = (s.b0 + s.b1 + s.b2) / (1.0 + s.a1 + s.a2);
        const double ny = (s.b0 - s.b1 + s.b2) / (1.0 - s.a1 + s.a2);
        QVERIFY2(qAbs(20 * std::log10(dc) - lowDb) < 0.01, qPrintable(QString::number(20 * std::log10(dc))));
        QVERIFY2(qAbs(20 * std::log10(ny) - highDb) < 0.01, qPrintable(QString::number(20 * std::log10(ny))));
    }

    void bassShelfBoostsLowTonesInTheSignal()
    {
        // At 48 kHz the shelf sits where a 1000 Hz cookbook shelf would: 60 Hz gets
        // almost the full +10 dB, 12 kHz nothing.
        ignoreInit("Init DSP Bass - gain: 10");
        DSPBassFilter bass;
        std::vector<double> gains;
        for (double freq : {60.0, 12000.0}) {
            const auto in = sineF(48000, freq, 0.1);
            AudioSample out;
            bass.process(settings(100), sample(kMonoF, in), out);
            gains.push_back(rmsDb(values<float>(out), 24000) - rmsDb(in, 24000));
        }
        QVERIFY2(gains[0] > 9.5 && gains[0] < 10.1, qPrintable(QString::number(gains[0])));
        QVERIFY2(qAbs(gains[1]) < 0.3, qPrintable(QString::number(gains[1])));
    }

    void shelfOutputIsNotUndoneByTheNextFilter()
    {
        // The bass output must carry its own audio into the treble filter, not a
        // conversion cached for the unfiltered input.
        const auto in = sample(kMono16, sine16(4800, 100, 0.2));
        ignoreInit("Init DSP Bass");
        ignoreInit("Init DSP Trevle");
        ignoreInit("Init DSP Trevle");
        DSPBassFilter bass;
        DSPTrebleFilter treble, reference;
        AudioSample b, t, expected;
        in.convertTo(kMonoF, false); // as an earlier stage may have done
        bass.process(settings(100), in, b);
        treble.process(settings(100), b, t);
        AudioSample fresh;
        fresh.format = b.format;
        fresh.timestamp = b.timestamp;
        fresh.data = b.data;
        reference.process(settings(100), fresh, expected);
        QCOMPARE(t.data, expected.data);
        QVERIFY(rmsDb(values<qint16>(t)) - rmsDb(values<qint16>(in)) > 8.0);
    }

    void agcConverges()
    {
        ignoreInit("Init AGC target gain: 0.3");
        DSPAGCFilter agc;
        std::vector<float> loud(240 * 100);
        for (size_t i = 0; i < loud.size(); ++i)
            loud[i] = (i / 20) % 2 ? 1.0f : -1.0f; // RMS 1
        for (int call = 0; call < 30; ++call) {
            AudioSample out;
            agc.process(settings(100), sample(kMonoF, loud), out);
        }
        QVERIFY2(qAbs(agc.currentGain() - 0.3f) < 0.01f, qPrintable(QString::number(agc.currentGain())));
        AudioSample last;
        agc.process(settings(100), sample(kMonoF, loud), last);
        QVERIFY(qAbs(rmsDb(values<float>(last)) - 20 * std::log10(0.3)) < 0.1);

        // Quiet input (RMS 0.01, below the 0.015 floor) pulls the gain back to 1.
        std::vector<float> quiet(loud.size());
        for (size_t i = 0; i < quiet.size(); ++i)
            quiet[i] = loud[i] * 0.01f;
        for (int call = 0; call < 30; ++call) {
            AudioSample out;
            agc.process(settings(100), sample(kMonoF, quiet), out);
        }
        QVERIFY2(agc.currentGain() > 0.99f && agc.currentGain() <= 1.0f,
                 qPrintable(QString::number(agc.currentGain())));

        // Soft speech (RMS 0.02) would want gain 15; it is capped at 6.
        std::vector<float> soft(loud.size());
        for (size_t i = 0; i < soft.size(); ++i)
            soft[i] = loud[i] * 0.02f;
        for (int call = 0; call < 30; ++call) {
            AudioSample out;
            agc.process(settings(100), sample(kMonoF, soft), out);
            for (float x : values<float>(out))
                QVERIFY(qAbs(x) <= 0.02f * 6.0f + 1e-6f);
        }
        QCOMPARE(agc.currentGain(), 6.0f);
    }

    void compressorDelayAndCompression()
    {
        ignoreInit("Init DSP Dynamics Compressor - threshold: -25  ratio: 3  makeUpGain: 1  release: 0.25");
        DSPDynamicsCompressorFilter comp;
        AudioSample out;
        comp.process(settings(50), sample(kMonoF, std::vector<float>(1024, 0.5f)), out);
        QCOMPARE(comp.compressorState().delayBufSize, 288);
        const auto y = values<float>(out);
        QCOMPARE(y.size(), size_t(1024));
        for (int i = 0; i < 287; ++i)
            QCOMPARE(y[size_t(i)], 0.0f);
        QVERIFY(y[287] != 0.0f);

        // Strength 100 (threshold -50 dB, ratio 6): a 40 dB step in input level
        // becomes a far smaller step at the output (the soft tone sits inside the
        // 30 dB knee, so the step shrinks by well over 15 dB, not by 5/6).
        auto levelAt = [](double amp) {
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Init DSP Dynamics Compressor"));
            DSPDynamicsCompressorFilter c;
            const auto in = sineF(48000 * 2, 1000, amp);
            AudioSample o;
            c.process(settings(100), sample(kMonoF, in), o);
            return rmsDb(values<float>(o), 48000);
        };
        const double loud = levelAt(0.5), soft = levelAt(0.005);
        QVERIFY2(loud - soft < 25.0 && loud - soft > 4.0, qPrintable(QString::number(loud - soft)));
        QVERIFY(loud < 0.0);
    }

    void reinitialisesOnNewerStampOrFormat()
    {
        ignoreInit("Init AGC target gain: 0.3");
        DSPAGCFilter agc;
        const std::vector<float> loud(2400, 0.9f);
        AudioSample out;
        agc.process(settings(100, 5), sample(kMonoF, loud), out);
        QVERIFY(agc.currentGain() < 1.0f);

        // Same stamp and format: no re-initialisation, the gain keeps moving.
        const float before = agc.currentGain();
        agc.process(settings(100, 5), sample(kMonoF, loud), out);
        QVERIFY(agc.currentGain() < before);

        // A newer stamp with the same strength re-initialises (gain back to 1).
        ignoreInit("Init AGC target gain: 0.3");
        agc.process(settings(100, 6), sample(kMonoF, std::vector<float>(10, 0.9f)), out);
        QCOMPARE(agc.currentGain(), 1.0f);

        // An older stamp does not.
        agc.process(settings(100, 5), sample(kMonoF, loud), out);
        QVERIFY(agc.currentGain() < 1.0f);

        // A new input format does, and the strength is read again.
        ignoreInit("Init AGC target gain: 0.15");
        agc.process(settings(50, 5), sample(fmt(44100, 1, QAudioFormat::Float), std::vector<float>(10, 0.f)), out);
        QCOMPARE(agc.currentGain(), 1.0f);
        QCOMPARE(agc.currentTargetGain(), 0.15f);
    }
};

QTEST_GUILESS_MAIN(TestDspFilters)
#include "tst_dsp_filters.moc"
