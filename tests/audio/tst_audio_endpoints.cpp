// Capture and playback endpoints against a real PulseAudio daemon (started by
// tests/fixtures/pulseaudio-session): a fake camera microphone carrying a
// 440 Hz tone and a null sink standing in for the virtual cable.
#include "AudioDevice.h"

#include <QElapsedTimer>
#include <QMediaDevices>
#include <QMutex>
#include <QProcess>
#include <QTest>
#include <QThread>

#include <cfloat>
#include <csignal>
#include <cmath>
#include <vector>

namespace {

QAudioFormat mono16()
{
    QAudioFormat f;
    f.setSampleRate(48000);
    f.setChannelCount(1);
    f.setSampleFormat(QAudioFormat::Int16);
    return f;
}

QAudioDevice findDevice(const QList<QAudioDevice>& devices, const QString& text)
{
    for (const QAudioDevice& d : devices)
        if (d.description().contains(text, Qt::CaseInsensitive))
            return d;
    return {};
}

std::vector<qint16> samples(const QByteArray& b)
{
    std::vector<qint16> v(size_t(b.size()) / 2);
    memcpy(v.data(), b.constData(), v.size() * 2);
    return v;
}

double frequency(const std::vector<qint16>& v, double rate)
{
    int crossings = 0;
    for (size_t i = 1; i < v.size(); ++i)
        if ((v[i - 1] < 0) != (v[i] < 0))
            ++crossings;
    return crossings / 2.0 / (double(v.size()) / rate);
}

// The part of `signal` from `from` on, followed through `recorded`. When the
// feeding thread stalls (a loaded machine), the daemon plays silence and then
// drops the first few milliseconds that arrive late; such a gap, marked by
// that silence and skipping ahead at most `maxSkip` samples, is the daemon's
// and allowed. Anything else - a sample lost, repeated or changed while the
// stream played on, or a recording that ends early - is a fault.
struct Followed
{
    std::vector<qint16> played;
    int gaps = 0;
    QString fault;
};

Followed follow(const std::vector<qint16>& recorded, const std::vector<qint16>& signal, size_t from, size_t maxSkip)
{
    constexpr size_t kKey = 32;
    Followed f;
    auto found = std::search(recorded.begin(), recorded.end(), signal.begin() + qsizetype(from),
                             signal.begin() + qsizetype(from + 480));
    if (found == recorded.end()) {
        f.fault = QStringLiteral("signal not found in %1 recorded samples").arg(recorded.size());
        return f;
    }
    size_t p = size_t(found - recorded.begin());
    size_t q = from;
    while (q < signal.size()) {
        if (p < recorded.size() && recorded[p] == signal[q]) {
            f.played.push_back(signal[q]);
            ++p;
            ++q;
            continue;
        }
        size_t zeros = 0;
        while (p + zeros < recorded.size() && recorded[p + zeros] == 0)
            ++zeros;
        if (p + zeros + kKey > recorded.size()) {
            f.fault = QStringLiteral("the recording ends %1 samples short").arg(signal.size() - q);
            return f;
        }
        if (zeros < 16) {
            f.fault = QStringLiteral("sample %1 differs while the stream played on").arg(q);
            return f;
        }
        p += zeros;
        const auto lo = signal.begin() + qsizetype(q);
        const auto hi = signal.begin() + qsizetype(std::min(signal.size(), q + maxSkip + kKey));
        const auto resumed =
            std::search(lo, hi, recorded.begin() + qsizetype(p), recorded.begin() + qsizetype(p + kKey));
        if (resumed == hi) {
            f.fault = QStringLiteral("after a gap at sample %1 the signal does not resume within %2 samples")
                          .arg(q)
                          .arg(maxSkip);
            return f;
        }
        q = size_t(resumed - signal.begin());
        ++f.gaps;
    }
    return f;
}

double rmsDb(const std::vector<qint16>& v)
{
    double e = 0;
    for (qint16 s : v)
        e += double(s) * s;
    return 10 * std::log10(e / double(v.size()) / (32768.0 * 32768.0));
}

// Collects contiguous captured audio by taking the queue often.
std::vector<qint16> capture(AudioInput& in, int ms)
{
    std::vector<qint16> all;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        const AudioSample s = in.takeAll();
        if (s.isValid()) {
            const auto v = samples(s.data);
            all.insert(all.end(), v.begin(), v.end());
        }
        QThread::msleep(5);
    }
    return all;
}

// Counts log lines with a given text from any thread and keeps the last one;
// other lines pass on.
struct MessageCounter
{
    static inline QAtomicInt count;
    static inline QString text;
    static inline QString last;
    static inline QMutex lock;
    static inline QtMessageHandler previous = nullptr;
    static void handler(QtMsgType type, const QMessageLogContext& ctx, const QString& msg)
    {
        if (msg.contains(text)) {
            count.fetchAndAddRelaxed(1);
            QMutexLocker l(&lock);
            last = msg;
        } else {
            previous(type, ctx, msg);
        }
    }
    explicit MessageCounter(const QString& t)
    {
        text = t;
        count = 0;
        previous = qInstallMessageHandler(handler);
    }
    ~MessageCounter() { qInstallMessageHandler(previous); }
};

// Exposes the block counter that drives the periodic report.
struct ReportProbe : AudioInput
{
    using AudioDevice::countBlock;
};

// Drives the output pump by hand.
struct PumpProbe : AudioOutput
{
    using AudioOutput::writePending;
};

// A device that accepts at most `accept` bytes per write (Qt's PulseAudio sink
// takes every write whole, so a short write needs a device of our own).
class ShortWriteDevice : public QIODevice
{
public:
    qint64 accept = 0;
    QByteArray received;
    ShortWriteDevice() { open(QIODevice::WriteOnly); }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 len) override
    {
        const qint64 n = std::min(len, accept);
        if (n > 0)
            received.append(data, n);
        return n;
    }
};

} // namespace

class TestAudioEndpoints : public QObject
{
    Q_OBJECT
    QAudioDevice mic, cable;

private slots:
    void initTestCase()
    {
        QTRY_VERIFY_WITH_TIMEOUT(!(mic = findDevice(QMediaDevices::audioInputs(), "Vantor Camera")).isNull(), 10000);
        cable = findDevice(QMediaDevices::audioOutputs(), "Cable Input");
        QVERIFY(!cable.isNull());
        const QAudioFormat pref = mic.preferredFormat();
        QCOMPARE(pref.sampleRate(), 44100);
        QCOMPARE(pref.channelCount(), 2);
        QCOMPARE(pref.sampleFormat(), QAudioFormat::Float);
    }

    void captureQueuesBlocksOfTheRequestedFormat()
    {
        AudioInput in;
        in.setName("Physical_Audio_Input");
        QCOMPARE(in.volume(), 0.0f); // closed
        QCOMPARE(in.open(mic, mono16()), QAudio::NoError);
        QVERIFY(sameAudioFormat(in.buffer.format(), mono16()));
        QCOMPARE(in.buffer.maxBytes(), 9600);

        // Queue sizes right after each block, seen on the capture thread.
        QMutex lock;
        std::vector<qsizetype> sizes;
        connect(
            &in, &AudioInput::onDataRead, &in,
            [&] {
                QMutexLocker l(&lock);
                sizes.push_back(in.bufferedBytes());
            },
            Qt::DirectConnection);
        QTRY_VERIFY_WITH_TIMEOUT(in.blockCount() > 0, 10000);
        QTest::qWait(700); // nobody takes: the queue overflows and starts afresh
        {
            QMutexLocker l(&lock);
            QVERIFY2(sizes.size() > 10, qPrintable(QString::number(sizes.size())));
            bool emptied = false;
            for (size_t i = 0; i < sizes.size(); ++i) {
                QVERIFY(sizes[i] <= 9600);
                const qsizetype grew = i ? sizes[i] - sizes[i - 1] : sizes[i];
                if (grew > 0)
                    QVERIFY2(grew <= 2400, qPrintable(QString::number(grew)));
                else
                    emptied = true;
            }
            QVERIFY(emptied);
        }
        disconnect(&in, &AudioInput::onDataRead, &in, nullptr);

        // (Taken right after an overflow emptied it, the queue is empty.)
        AudioSample s = in.takeAll();
        for (int tries = 0; tries < 100 && !s.isValid(); ++tries) {
            QTest::qWait(10);
            s = in.takeAll();
        }
        QVERIFY(s.isValid());
        const qint64 newestUs = qint64(s.timestamp) + mono16().durationForBytes(int(s.data.size()));
        QVERIFY(qAbs(newestUs / 1000 - QDateTime::currentMSecsSinceEpoch()) < 150);

        // The 440 Hz tone arrives at 48 kHz mono.
        const auto audio = capture(in, 1000);
        QVERIFY2(audio.size() > 12000,
                 qPrintable(QString::number(audio.size()))); // a busy machine reads late, in big pieces
        const double f = frequency(audio, 48000);
        QVERIFY2(qAbs(f - 440) < 10, qPrintable(QString::number(f)));
        QVERIFY(rmsDb(audio) > -40);
        QVERIFY(in.blockCount() > 20);
    }

    void playbackArrivesBitExactOnTheCable()
    {
        QProcess rec;
        rec.start("parec", {"-d", "cable.monitor", "--rate=48000", "--channels=1", "--format=s16le", "--raw",
                            "--latency-msec=20"});
        QVERIFY(rec.waitForStarted(5000));
        QVERIFY(rec.waitForReadyRead(5000));

        AudioOutput out;
        out.setName("Virtual_Audio_Output");
        QCOMPARE(out.open(cable, mono16()), QAudio::NoError);
        QVERIFY(sameAudioFormat(out.format(), mono16()));

        // 3 s of a 1 kHz tone at half scale with a little deterministic noise, so
        // every sample can be found again.
        std::vector<qint16> signal(144000);
        quint32 lcg = 12345;
        for (size_t i = 0; i < signal.size(); ++i) {
            lcg = lcg * 1664525u + 1013904223u;
            const int noise = int(lcg >> 24) - 128;
            signal[i] = qint16(std::lround(16384 * std::sin(2 * M_PI * 1000 * double(i) / 48000)) + noise);
        }
        // Fed 25 ms at a time whenever at most 75 ms are queued, so the pump
        // always has audio to offer. (Only the pump shrinks the queue, so the
        // check cannot let it overflow.)
        QElapsedTimer t;
        t.start();
        for (size_t at = 0; at < signal.size() && t.elapsed() < 20000; at += 1200) {
            while (out.bufferedBytes() > 7200 && t.elapsed() < 20000)
                QThread::msleep(1);
            AudioSample s;
            s.format = mono16();
            s.timestamp = 1;
            s.data = QByteArray(reinterpret_cast<const char*>(signal.data() + at), 1200 * 2);
            out.pushConverted(s, false);
        }
        QTRY_COMPARE_WITH_TIMEOUT(out.bufferedBytes(), 0, 2000);
        // 50 ms of silence behind it: after an underrun the server holds a
        // stream's last few milliseconds until enough follows to play on.
        AudioSample tail;
        tail.format = mono16();
        tail.timestamp = 1;
        tail.data = QByteArray(4800, '\0');
        out.pushConverted(tail, false);
        QTRY_COMPARE_WITH_TIMEOUT(out.bufferedBytes(), 0, 2000);
        // The device plays out what it holds in real time; the recorder, told
        // to stop with SIGINT, first writes out what it has.
        const qint64 emptied = t.elapsed();
        while (t.elapsed() < std::max<qint64>(3800, emptied + 500))
            QTest::qWait(50);
        ::kill(pid_t(rec.processId()), SIGINT);
        QVERIFY(rec.waitForFinished(5000));
        // Partial writes must neither lose nor repeat bytes. (The daemon ramps
        // the first few samples of a new stream, so the comparison starts 10 ms in.)
        const Followed f = follow(samples(rec.readAllStandardOutput()), signal, 480, 960);
        QVERIFY2(f.fault.isEmpty(), qPrintable(f.fault));
        if (f.gaps > 0)
            qDebug() << "The stream ran dry" << f.gaps << "times on this busy machine";
        const std::vector<qint16>& played = f.played;
        QVERIFY(qAbs(frequency(played, 48000) - 1000) < 5);
        QVERIFY(qAbs(rmsDb(played) - (-9.03)) < 0.3);
    }

    void audioFasterThanRealTimeCannotPileUp()
    {
        // 3 s of tone pushed twelve times faster than it plays: the queue drops
        // what it cannot hold and the device buffer stays small, so only a
        // fraction of a second is played.
        QProcess rec;
        rec.start("parec", {"-d", "cable.monitor", "--rate=48000", "--channels=1", "--format=s16le", "--raw",
                            "--latency-msec=20"});
        QVERIFY(rec.waitForStarted(5000));
        QVERIFY(rec.waitForReadyRead(5000));
        AudioOutput out;
        QCOMPARE(out.open(cable, mono16()), QAudio::NoError);
        std::vector<qint16> chunk(1200);
        for (size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = qint16(std::lround(16384 * std::sin(2 * M_PI * 1000 * double(i) / 48000)));
        for (int n = 0; n < 120; ++n) {
            QThread::usleep(2000);
            AudioSample s;
            s.format = mono16();
            s.timestamp = 1;
            s.data = QByteArray(reinterpret_cast<const char*>(chunk.data()), 1200 * 2);
            out.pushConverted(s, false);
        }
        QTest::qWait(1500);
        rec.terminate();
        QVERIFY(rec.waitForFinished(5000));
        const auto got = samples(rec.readAllStandardOutput());
        const auto loud = std::count_if(got.begin(), got.end(), [](qint16 x) { return qAbs(x) > 2000; });
        // A 1 kHz sine at half scale exceeds 2000 in ~92 % of its samples.
        const double playedSeconds = double(loud) / 0.92 / 48000.0;
        QVERIFY2(playedSeconds > 0.02 && playedSeconds < 0.6, qPrintable(QString::number(playedSeconds)));
    }

    void liveOutputStartsPlayingWithACushionInHand()
    {
        // A live source's first bursts are held until 17 ms are queued; what
        // the last one brought beyond that is dropped (nothing has played
        // yet), and later bursts go as they come. An ordinary producer's sound
        // is written as it comes from the start.
        for (const bool live : {false, true}) {
            PumpProbe out;
            out.buffer.init(QAudioDevice(), mono16());
            out.buffer.setMaxDuration(0.1);
            out.setLiveSource(live);
            ShortWriteDevice dev;
            dev.accept = 1 << 20;
            const QByteArray burst(480, '\1');                  // 5 ms
            const qsizetype expected[] = {0, 0, 0, 1632, 2112}; // bytes written after each burst, live
            for (int n = 1; n <= 5; ++n) {
                out.buffer.push(burst, 1000000, -1);
                out.writePending(9600, &dev);
                QCOMPARE(dev.received.size(), live ? expected[n - 1] : n * burst.size());
                QCOMPARE(out.bufferedBytes(), live && n < 4 ? n * burst.size() : 0);
            }
        }
    }

    void liveOutputCutsAStandingBacklog()
    {
        // After a stall, 60 ms stand in the queue of a live source that then
        // arrives exactly as fast as the device takes it. Marked live, the
        // backlog is cut to the 7 ms kept between bursts within a window;
        // unmarked, all stays.
        for (const bool live : {false, true}) {
            PumpProbe out;
            out.buffer.init(QAudioDevice(), mono16());
            out.buffer.setMaxDuration(0.1);
            out.setLiveSource(live);
            out.buffer.push(QByteArray(5760, '\0'), 1000000, -1);
            ShortWriteDevice dev;
            dev.accept = 96; // 1 ms
            QElapsedTimer t;
            t.start();
            while (t.elapsed() < 700) {
                out.buffer.push(QByteArray(96, '\1'), 1000000 + t.elapsed() * 1000, -1);
                out.writePending(9600, &dev);
                QThread::msleep(1);
            }
            const qint64 ms = mono16().durationForBytes(int(out.bufferedBytes())) / 1000;
            QVERIFY2(live ? ms >= 6 && ms <= 8 : ms == 60, qPrintable(QString::number(ms)));
        }
    }

    void pumpConsumesExactlyWhatTheDeviceAccepted()
    {
        PumpProbe out;
        out.buffer.init(QAudioDevice(), mono16());
        out.buffer.setMaxDuration(0.1);
        QByteArray audio(4800, Qt::Uninitialized);
        for (int i = 0; i < audio.size(); ++i)
            audio[i] = char(i * 7);
        out.buffer.push(audio, 1000000, -1);

        ShortWriteDevice dev;
        dev.accept = 1000;
        out.writePending(9600, &dev); // offers all 4800, 1000 taken
        QCOMPARE(out.bufferedBytes(), 3800);
        QCOMPARE(out.blockCount(), quint64(1));
        dev.accept = 0;
        out.writePending(9600, &dev); // nothing taken: nothing consumed, not counted
        QCOMPARE(out.bufferedBytes(), 3800);
        QCOMPARE(out.blockCount(), quint64(1));
        dev.accept = 3000;
        out.writePending(9600, &dev);
        dev.accept = 100000;
        out.writePending(9600, &dev);
        QCOMPARE(out.bufferedBytes(), 0);
        QCOMPARE(dev.received, audio); // in order, nothing lost or repeated
        QCOMPARE(out.blockCount(), quint64(3));
        out.writePending(9600, &dev); // empty queue: a 1 ms rest, nothing else
        QCOMPARE(out.blockCount(), quint64(3));

        // Muted: queued audio is discarded and counted as muted.
        out.buffer.push(audio, 2000000, -1);
        out.setMuted(true);
        out.writePending(9600, &dev);
        QCOMPARE(out.bufferedBytes(), 0);
        QCOMPARE(out.mutedBlockCount(), quint64(1));
        QCOMPARE(dev.received.size(), audio.size());
    }

    void outputOverflowEmptiesTheQueue()
    {
        AudioOutput out;
        QCOMPARE(out.open(cable, mono16()), QAudio::NoError);
        AudioSample s;
        s.format = mono16();
        s.timestamp = 1;
        s.data = QByteArray(14400, 0); // 150 ms, over the 100 ms cap
        out.pushConverted(s, false);
        QCOMPARE(out.bufferedBytes(), 0);
        // Another format is converted on the way in.
        AudioSample stereo;
        stereo.format = mono16();
        stereo.format.setChannelCount(2);
        stereo.timestamp = 1;
        stereo.data = QByteArray(400, 0);
        out.pushConverted(stereo, false);
        QVERIFY(out.bufferedBytes() <= 200);
    }

    void reopenCloseAndFailures()
    {
        AudioInput in;
        QCOMPARE(in.open(mic, mono16()), QAudio::NoError);
        QCOMPARE(in.open(mic, mono16()), QAudio::NoError); // replaces the stream
        const quint64 before = in.blockCount();
        QTRY_VERIFY_WITH_TIMEOUT(in.blockCount() > before + 3, 3000);
        QVERIFY(in.volume() > 0.99f);

        std::unique_ptr<AudioDevice> copy(in.clone());
        QVERIFY(copy);
        QVERIFY(sameAudioFormat(copy->format(), mono16()));
        // Endpoints live on their own threads: no parent, not even a clone's.
        QVERIFY(!copy->parent() && copy->thread() != QThread::currentThread());
        QObject owner;
        QTest::ignoreMessage(QtWarningMsg, "An audio endpoint takes no parent: it lives on its own thread");
        AudioOutput orphan(&owner);
        QVERIFY(!orphan.parent() && orphan.thread() != QThread::currentThread());
        const quint64 copyBefore = copy->blockCount();
        QTRY_VERIFY_WITH_TIMEOUT(copy->blockCount() > copyBefore + 3, 3000);

        in.close();
        in.close(); // closing a closed endpoint is harmless
        QCOMPARE(in.volume(), 0.0f);
        QCOMPARE(in.bufferedBytes(), 0);
        const quint64 closedAt = in.blockCount();
        QTest::qWait(200);
        QCOMPARE(in.blockCount(), closedAt);

        // A device that does not exist: an error, and the endpoint stays closed.
        AudioOutput out;
        QVERIFY(out.open(QAudioDevice(), mono16()) != QAudio::NoError);
        QCOMPARE(out.volume(), 0.0f);
        out.close();
    }

    void unconvertibleDeviceFormatIsQueuedAsIs()
    {
        const QAudioDevice int32Mic = findDevice(QMediaDevices::audioInputs(), "Int32 Mic");
        QVERIFY(!int32Mic.isNull());
        QCOMPARE(int32Mic.preferredFormat().sampleFormat(), QAudioFormat::Int32);
        MessageCounter warnings("resampleAudio unsupported sample format conversion");
        AudioInput in;
        QCOMPARE(in.open(int32Mic, mono16()), QAudio::NoError);
        QTRY_VERIFY_WITH_TIMEOUT(in.blockCount() > 5, 5000);
        // The queued bytes are the device's own 32-bit samples: read as such they
        // carry the 440 Hz tone at 48 kHz. A read longer than the queue's cap
        // (counted in the requested format) overflows it, so each taken chunk is
        // judged on its own.
        in.takeAll();
        int chunks = 0;
        QByteArray raw;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 1500) {
            raw += in.takeAll().data;
            if (raw.size() >= 4800) {
                std::vector<qint16> high(size_t(raw.size()) / 4); // upper halves of the samples
                for (size_t i = 0; i < high.size(); ++i)
                    memcpy(&high[i], raw.constData() + i * 4 + 2, 2);
                const double f = frequency(high, 48000);
                QVERIFY2(qAbs(f - 440) < 30, qPrintable(QString::number(f)));
                ++chunks;
                raw.clear();
            }
            QThread::msleep(5);
        }
        in.close();
        QVERIFY(chunks >= 2);
        // One warning per read.
        QVERIFY(warnings.count.loadRelaxed() >= 1);
        QVERIFY(quint64(warnings.count.loadRelaxed()) <= in.blockCount());
    }

    void reportEveryThousandthBlock()
    {
        ReportProbe probe;
        probe.setName("Physical_Audio_Input");
        MessageCounter reports("Report for input");
        for (int i = 0; i < 999; ++i)
            probe.countBlock(true);
        QCOMPARE(reports.count.loadRelaxed(), 0);
        probe.countBlock(true);
        QCOMPARE(reports.count.loadRelaxed(), 1);
        for (int i = 0; i < 999; ++i)
            probe.countBlock(true);
        QCOMPARE(reports.count.loadRelaxed(), 1);
        QMutexLocker l(&MessageCounter::lock);
        // Metering off and the endpoint closed: "en -1%", "Vol 0%", "Amp N/A".
        const QRegularExpression line("^Report for input \"Physical_Audio_Input\" - \"en -1%\" \"Vol 0%\" "
                                      "\"Amp N/A\" - \"\" -?\\d+ buff time: 0 ms  max\\( 0 ms\\)$");
        QVERIFY2(line.match(MessageCounter::last).hasMatch(), qPrintable(MessageCounter::last));
    }

    void muteAndMeter()
    {
        AudioInput in;
        in.setMuted(true);
        QCOMPARE(in.open(mic, mono16()), QAudio::NoError);
        QTRY_VERIFY_WITH_TIMEOUT(in.mutedBlockCount() > 3, 3000);
        QCOMPARE(in.bufferedBytes(), 0);
        QCOMPARE(in.blockCount(), quint64(0));
        QCOMPARE(in.volume(), 0.0f);

        in.setMuted(false);
        in.setMeteringEnabled(true);
        QList<double> levels;
        QMutex lock;
        connect(
            &in, &AudioDevice::onAudioEnergyUpdated, &in,
            [&](double v) {
                QMutexLocker l(&lock);
                levels.append(v);
            },
            Qt::DirectConnection);
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                QMutexLocker l(&lock);
                return levels.size() >= 2;
            }(),
            3000);
        {
            QMutexLocker l(&lock);
            QVERIFY(levels.first() > 0.0 && levels.first() <= 1.0);
        }
        in.close(); // closing drives the meter to 0 %
        QCOMPARE(in.energyPercent(), 0);
        disconnect(&in, &AudioDevice::onAudioEnergyUpdated, &in, nullptr);
    }
};

QTEST_GUILESS_MAIN(TestAudioEndpoints)
#include "tst_audio_endpoints.moc"
