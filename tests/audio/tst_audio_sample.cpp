// Audio samples, format conversion, level measurement and the time-stamped queue.
#include "AudioBufferManager.h"
#include "AudioSample.h"

#include <QDateTime>
#include <QTest>
#include <QThread>

#include <cmath>
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

template <typename T>
QByteArray bytes(const std::vector<T>& v)
{
    return QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size() * sizeof(T)));
}

template <typename T>
std::vector<T> values(const QByteArray& b)
{
    std::vector<T> v(size_t(b.size()) / sizeof(T));
    if (!v.empty())
        memcpy(v.data(), b.constData(), v.size() * sizeof(T));
    return v;
}

const QAudioFormat kMono16 = fmt(48000, 1, QAudioFormat::Int16);

} // namespace

class TestAudioSample : public QObject
{
    Q_OBJECT
private slots:
    void sampleFormatRoundTripNeverYieldsMinus32768()
    {
        const auto f = fmt(48000, 1, QAudioFormat::Float);
        const QByteArray in = bytes(std::vector<qint16> {-32768, 32767, 0, 1, -1});
        const auto asFloat = values<float>(resampleAudio(in, kMono16, f, false));
        QCOMPARE(asFloat[0], -1.0f);
        const auto back = values<qint16>(resampleAudio(bytes(asFloat), f, kMono16, false));
        QCOMPARE(back, (std::vector<qint16> {-32767, 32766, 0, 0, 0}));
        // Out-of-range floats clamp symmetrically; NaN becomes silence.
        const auto clamped =
            values<qint16>(resampleAudio(bytes(std::vector<float> {1.5f, -1.5f, NAN, 0.5f}), f, kMono16, false));
        QCOMPARE(clamped, (std::vector<qint16> {32767, -32767, 0, 16383}));
    }

    void channelConversions()
    {
        const auto stereo16 = fmt(48000, 2, QAudioFormat::Int16);
        QCOMPARE(values<qint16>(resampleAudio(bytes(std::vector<qint16> {-3, -4, 7, 9}), stereo16, kMono16, false)),
                 (std::vector<qint16> {-3, 7}));
        QCOMPARE(values<qint16>(resampleAudio(bytes(std::vector<qint16> {5, -6}), kMono16, stereo16, false)),
                 (std::vector<qint16> {5, 5, -6, -6}));
        const auto stereoF = fmt(48000, 2, QAudioFormat::Float);
        const auto monoF = fmt(48000, 1, QAudioFormat::Float);
        QCOMPARE(values<float>(resampleAudio(bytes(std::vector<float> {0.25f, -0.75f}), stereoF, monoF, false)),
                 (std::vector<float> {-0.25f}));
    }

    void stereoFloat44k1ToMonoInt16At48k()
    {
        const auto from = fmt(44100, 2, QAudioFormat::Float);
        std::vector<float> in;
        for (int k = 0; k < 441; ++k) {
            in.push_back(float(k) / 1024.0f);
            in.push_back(k == 0 ? 1.5f : -float(k) / 2048.0f);
        }
        const auto out = values<qint16>(resampleAudio(bytes(in), from, kMono16, true));
        QCOMPARE(out.size(), size_t(480));
        const float ratio = 48000.0f / 44100.0f;
        for (size_t i = 0; i < out.size(); ++i) {
            const int j = int(float(i) / ratio);
            const auto l = qint16(std::clamp(std::trunc(double(in[2 * j]) * 32767.0), -32767.0, 32767.0));
            const auto r = qint16(std::clamp(std::trunc(double(in[2 * j + 1]) * 32767.0), -32767.0, 32767.0));
            const auto mono = qint16(l / 2 + r / 2);
            QCOMPARE(out[i], qint16(mono / 2 + mono / 2));
        }
        QCOMPARE(out[0], qint16(16383 / 2 * 2)); // right channel 1.5 clamped to 32767
        QCOMPARE(out[1], out[0]);                // input frame 0 is held for output frames 0 and 1
    }

    void streamResamplerKeepsTheRateAcrossBlocks()
    {
        // A stream read in uneven blocks (as a capture device delivers them)
        // comes out with exactly the frames its duration calls for, and each
        // output frame holds the input frame its position falls in, block
        // ends included. Converted block by block without a carried position,
        // the same stream would come out short.
        struct Case
        {
            int fromRate, toRate, channels;
            QAudioFormat::SampleFormat sampleFormat;
            std::vector<int> blockFrames;
        };
        const Case cases[] = {
            {44100, 48000, 2, QAudioFormat::Float, {220, 221, 220, 221, 1, 441}},
            {32000, 48000, 1, QAudioFormat::Int16, {80, 79, 81, 3}},
            {48000, 44100, 1, QAudioFormat::Int16, {240, 239, 1, 961}},
        };
        for (const Case& c : cases) {
            const QAudioFormat from = fmt(c.fromRate, c.channels, c.sampleFormat);
            const QAudioFormat to = fmt(c.toRate, 1, QAudioFormat::Int16);
            const int seconds = 10;
            const qsizetype totalFrames = qsizetype(c.fromRate) * seconds;
            // Input frame k carries 8 k (mod 32000) on every channel, so each
            // output sample names the input frame it was taken from.
            std::vector<qint16> out;
            qsizetype statelessFrames = 0;
            StreamResampler resampler;
            for (qsizetype at = 0, b = 0; at < totalFrames; ++b) {
                const qsizetype n =
                    std::min<qsizetype>(c.blockFrames[size_t(b) % c.blockFrames.size()], totalFrames - at);
                QByteArray block;
                if (c.sampleFormat == QAudioFormat::Float) {
                    std::vector<float> v;
                    for (qsizetype k = at; k < at + n; ++k)
                        v.insert(v.end(), size_t(c.channels), float(k % 4000 * 8) / 32767.0f);
                    block = bytes(v);
                } else {
                    std::vector<qint16> v;
                    for (qsizetype k = at; k < at + n; ++k)
                        v.insert(v.end(), size_t(c.channels), qint16(k % 4000 * 8));
                    block = bytes(v);
                }
                const auto converted = values<qint16>(resampler.convert(block, from, to, false));
                out.insert(out.end(), converted.begin(), converted.end());
                statelessFrames += resampleAudio(block, from, to, false).size() / 2;
                at += n;
            }
            const qsizetype expected = qsizetype(c.toRate) * seconds;
            QVERIFY2(qAbs(qsizetype(out.size()) - expected) <= 1, qPrintable(QString::number(out.size())));
            QVERIFY(statelessFrames < expected - expected / 1000);
            for (size_t i = 0; i < out.size(); ++i) {
                const qint64 source = qint64(double(i) * c.fromRate / c.toRate);
                const int want = int(source % 4000 * 8);
                // Within a frame either way: samples lose up to two units on the
                // way to mono Int16, and a position that falls exactly on a
                // frame's start may round to either side.
                const int off = (int(out[i]) - want + 32000) % 32000;
                if (off > 10 && off < 31990)
                    QFAIL(qPrintable(QStringLiteral("%1 -> %2: output frame %3 holds %4, not input frame %5")
                                         .arg(c.fromRate)
                                         .arg(c.toRate)
                                         .arg(i)
                                         .arg(out[i])
                                         .arg(source)));
            }
        }
    }

    void unsupportedConversionsLogAndPassThrough()
    {
        const QByteArray raw("\x01\x02\x03\x04\x05\x06", 6);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("resampleAudio unsupported sample format conversion"));
        QCOMPARE(resampleAudio(raw, fmt(44100, 1, QAudioFormat::UInt8), kMono16, false), raw);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("resampleAudio unsupported sample format conversion"));
        QCOMPARE(resampleAudio(raw, fmt(48000, 1, QAudioFormat::Int32), kMono16, false), raw);

        // Three channels cannot be mixed down; the sample format step still applies.
        const auto three = fmt(48000, 3, QAudioFormat::Float);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("resampleAudio unsupported channels conversion"));
        QCOMPARE(values<qint16>(resampleAudio(bytes(std::vector<float> {0.5f, -0.5f, 0.0f}), three, kMono16, false)),
                 (std::vector<qint16> {16383, -16383, 0}));
        // Same format: bytes come back untouched, even partial frames.
        QCOMPARE(resampleAudio(raw.left(3), kMono16, kMono16, false), raw.left(3));
    }

    void levels()
    {
        const auto f = fmt(48000, 1, QAudioFormat::Float);
        QCOMPARE(levelDb(bytes(std::vector<float>(480, 0.0f)), f), -100.0f);
        QCOMPARE(levelDb(bytes(std::vector<qint16>(480, 0)), kMono16), -100.0f);
        std::vector<float> square(480);
        for (size_t i = 0; i < square.size(); ++i)
            square[i] = (i / 24) % 2 ? 1.0f : -1.0f;
        QCOMPARE(levelDb(bytes(square), f), 0.0f);
        std::vector<qint16> half(480);
        for (size_t i = 0; i < half.size(); ++i)
            half[i] = (i % 2) ? 16384 : -16384;
        QVERIFY(qAbs(levelDb(bytes(half), kMono16) - (-6.0206f)) < 1e-3f);
        QCOMPARE(levelDb(QByteArray(), f), 0.0f);
        QCOMPARE(levelDb(QByteArray(10, 'x'), fmt(48000, 1, QAudioFormat::UInt8)), 0.0f);
    }

    void validityAndConversionCache()
    {
        AudioSample s;
        QVERIFY(!s.isValid());
        s.data = bytes(std::vector<float>(96, 0.5f));
        QVERIFY(s.isValid()); // unset (all ones) time stamp counts as set
        s.timestamp = 0;
        QVERIFY(!s.isValid());

        s.timestamp = 123456;
        s.format = fmt(44100, 2, QAudioFormat::Float);
        QCOMPARE(AudioSample::conversionKey(kMono16), QStringLiteral("1.48000.2"));
        const AudioSample first = s.convertTo(kMono16, false);
        QCOMPARE(first.timestamp, quint64(123456));
        QVERIFY(sameAudioFormat(first.format, kMono16));
        QCOMPARE(s.conversions.size(), 1);
        // A second conversion comes from the cache: changing the source data now
        // does not show in it.
        s.data.fill(0);
        const AudioSample second = s.convertTo(kMono16, false);
        QCOMPARE(second.data, first.data);
        QCOMPARE(s.conversions.size(), 1);
        // Equal format (channel configuration ignored): a plain copy.
        auto same = s.format;
        same.setChannelConfig(QAudioFormat::ChannelConfigStereo);
        QCOMPARE(s.convertTo(same, false).data, s.data);
    }

    void queueOverflowEmptiesUnderDefaultPolicy()
    {
        AudioBufferManager q;
        q.init(QAudioDevice(), kMono16);
        QCOMPARE(q.setMaxDuration(0.1), 9600);
        const qint64 before = QDateTime::currentMSecsSinceEpoch() * 1000;
        q.push(QByteArray(14400, 1), before, -1); // 150 ms
        const qint64 after = QDateTime::currentMSecsSinceEpoch() * 1000;
        QCOMPARE(q.size(), 0);
        QCOMPARE(q.startUs(), q.endUs());
        QVERIFY(q.endUs() >= before && q.endUs() <= after);
    }

    void queueDropOldestPolicies()
    {
        AudioBufferManager q;
        q.init(QAudioDevice(), kMono16);
        q.setMaxDuration(0.1);
        q.setDropPolicy(AudioBufferManager::DropOldest);
        QByteArray a(4800, 'a'), b(7200, 'b');
        q.push(a, 1000000, -1);
        q.push(b, 1050000, -1);
        QCOMPARE(q.size(), 9600);
        QCOMPARE(q.endUs(), 1050000 + 75000);
        QCOMPARE(q.startUs(), q.endUs() - 100000);
        QCOMPARE(q.peek(-1, true).data, QByteArray(2400, 'a') + b);

        q.setDropPolicy(AudioBufferManager::DropOldestLogged);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("DROPPING \\(diff: .* 0.025 s\\) \\(max: 0.1 s\\)"));
        q.push(QByteArray(2400, 'c'), 1125000, -1);
        QCOMPARE(q.size(), 9600);
    }

    void peekTakeConsume()
    {
        AudioBufferManager q;
        q.init(QAudioDevice(), kMono16);
        q.push(QByteArray(1000, 'x'), 5000000, -1);
        const qint64 start = q.startUs();
        QCOMPARE(start, 5000000); // the first byte carries the pushed time stamp
        const AudioSample p = q.peek(4800, false);
        QCOMPARE(p.data.size(), 1000);
        QCOMPARE(p.timestamp, quint64(start));
        QVERIFY(!q.peek(4800, true).isValid());
        QVERIFY(!q.take(4800, true).isValid());
        QCOMPARE(q.size(), 1000);

        const AudioSample t = q.take(400, true);
        QCOMPARE(t.data.size(), 400);
        QCOMPARE(q.size(), 600);
        QCOMPARE(q.startUs(), q.endUs() - kMono16.durationForBytes(600));
        q.consume(100);
        QCOMPARE(q.size(), 500);
        QCOMPARE(q.startUs(), q.endUs() - kMono16.durationForBytes(500));
        q.consume(10000); // more than queued: empties, never underflows
        QCOMPARE(q.size(), 0);
        QCOMPARE(q.bufferedTime(), 0);
        QVERIFY(!q.take(-1, true).isValid());
    }

    void pushSampleChecksFormatAndDelay()
    {
        AudioBufferManager q;
        q.init(QAudioDevice(), kMono16);
        AudioSample s;
        s.format = fmt(48000, 1, QAudioFormat::Float);
        s.timestamp = 1;
        s.data = QByteArray(8, 0);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("pushSample invalid formats! "));
        q.pushSample(s, -1);
        QCOMPARE(q.size(), 0);
        s.data.clear();
        q.pushSample(s, -1); // invalid: ignored silently
        s.format = kMono16;
        s.data = QByteArray(96, 0);
        s.timestamp = quint64(QDateTime::currentMSecsSinceEpoch() * 1000);
        q.pushSample(s, -1);
        QCOMPARE(q.size(), 96);
        // Audio time-stamped a second ago exceeds a 500 ms delay limit.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Time diff for"));
        q.push(QByteArray(96, 0), (QDateTime::currentMSecsSinceEpoch() - 1000) * 1000, 500);
        QCOMPARE(q.size(), 0);
    }

    void concurrentPushAndTakeLoseNothing()
    {
        AudioBufferManager q;
        q.init(QAudioDevice(), kMono16);
        constexpr int kBlocks = 20000;
        QThread* producer = QThread::create([&q] {
            for (int i = 0; i < kBlocks; ++i)
                q.push(QByteArray(4, char(i)), 1000000 + i, -1);
        });
        producer->start();
        qint64 taken = 0;
        while (!producer->isFinished() || q.size() > 0) {
            const AudioSample s = q.take(-1, true);
            if (s.isValid())
                taken += s.data.size();
        }
        producer->wait();
        delete producer;
        QCOMPARE(taken, qint64(kBlocks) * 4);
    }
};

QTEST_GUILESS_MAIN(TestAudioSample)
#include "tst_audio_sample.moc"
