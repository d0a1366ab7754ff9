#pragma once

#include "AudioBufferManager.h"
#include "AudioSample.h"

#include <QAudio>
#include <QAudioDevice>
#include <QAudioFormat>
#include <QObject>
#include <QString>

#include <atomic>
#include <limits>
#include <memory>

class QAudioSink;
class QAudioSource;
class QIODevice;
class QTimer;
class Worker;

// Common base of the capture and playback endpoints. Each endpoint owns a
// worker thread on which its Qt audio objects are created, driven and closed;
// the endpoint object itself lives on that thread. open() and close() may be
// called from any thread and block until the worker has done the work.
class AudioDevice : public QObject
{
    Q_OBJECT
public:
    // `parent` is refused (warned about): the endpoint lives on its own thread.
    explicit AudioDevice(QObject* parent = nullptr);
    ~AudioDevice() override;

    virtual AudioDevice* clone(const QAudioFormat* format = nullptr) = 0;
    virtual QAudio::Error open(QAudioDevice device, QAudioFormat format) = 0;
    virtual void setVolume(const float& volume) = 0;
    virtual float volume() = 0;
    virtual qint64 bufferedTime();
    virtual qsizetype bufferedBytes();

    void setEnergy(double dB);
    bool energyUpdateDue() const;

    QAudioDevice device() const { return _device; }
    QAudioFormat format() const { return _format; }
    QString name() const { return _name; }
    void setName(const QString& name) { _name = name; }
    bool meteringEnabled() const { return _meteringEnabled; }
    void setMeteringEnabled(bool on) { _meteringEnabled = on; }
    bool muted() const { return _muted; }
    void setMuted(bool on) { _muted = on; }
    int energyPercent() const { return _energyPercent; }
    quint64 blockCount() const { return _blockCount; }
    quint64 mutedBlockCount() const { return _mutedBlockCount; }

    // The endpoint's queue (thread-safe).
    AudioBufferManager buffer;

signals:
    void onAudioEnergyUpdated(double val);

protected:
    // Counts one block passed through; writes the periodic report line on every
    // 1000th block.
    void countBlock(bool input);
    void writeReport(bool input);

    std::shared_ptr<Worker> worker;
    QAudioDevice _device;
    QAudioFormat _format;
    QString _name;
    std::atomic<bool> _meteringEnabled {false};
    std::atomic<bool> _muted {false};
    std::atomic<qint64> _lastEnergyMs {0};
    std::atomic<int> _energyPercent {-1};
    std::atomic<quint64> _blockCount {0};
    std::atomic<quint64> _mutedBlockCount {0};
};

// Capture endpoint on a QAudioSource in push mode. Captured audio is converted
// to the requested format, cut into blocks of 25 ms and queued (at most 100 ms).
class AudioInput : public AudioDevice
{
    Q_OBJECT
public:
    explicit AudioInput(QObject* parent = nullptr);
    ~AudioInput() override;

    AudioDevice* clone(const QAudioFormat* format = nullptr) override;
    QAudio::Error open(QAudioDevice device, QAudioFormat format) override;
    void close();
    void setVolume(const float& volume) override;
    float volume() override;

    // Everything queued, removed from the queue, stamped with its oldest byte.
    AudioSample takeAll();

signals:
    void onDataRead();

private:
    QAudio::Error openWork(const QAudioDevice& device, const QAudioFormat& requested);
    void closeWork();
    void readAvailable(QIODevice* io, const QAudioFormat& actual, int chunk);

    std::shared_ptr<QAudioSource> source;
    StreamResampler resampler;
};

// Playback endpoint on a QAudioSink in push mode. A 1 ms pump offers up to
// 100 ms of queued audio per tick and consumes exactly what the device took.
class AudioOutput : public AudioDevice
{
    Q_OBJECT
public:
    explicit AudioOutput(QObject* parent = nullptr);
    ~AudioOutput() override;

    AudioDevice* clone(const QAudioFormat* format = nullptr) override;
    QAudio::Error open(QAudioDevice device, QAudioFormat format) override;
    void close();
    void setVolume(const float& volume) override;
    float volume() override;

    // Converts `sample` to the output format and queues it.
    void pushConverted(const AudioSample& sample, bool verbose);

    // For sound from a live source, which arrives in bursts exactly as fast as
    // it plays. Playback then starts only once a small cushion is queued, so
    // the bursts' jitter does not empty the device; and a backlog that stands
    // above what the bursts need (after a stall) is latency, and is trimmed.
    // Where the server allows, the stream also keeps less sound (set this
    // before open). Off by default, for a producer that runs ahead and wants
    // every byte played at once.
    void setLiveSource(bool enabled) { _liveSource = enabled; }

signals:
    void onOutputNewAudioSample(QAudioFormat f, qulonglong ts, QByteArray buf);

protected:
    // One pump tick: offers up to `len` queued bytes to `io` and consumes what
    // it accepted.
    void writePending(qint64 len, QIODevice* io);

private:
    // Live sources: whether to hold playback back while the cushion fills.
    bool waitForCushion();
    void trimBacklog();
    // Live sources: what the queue and the device hold together.
    qint64 levelBytes() const;

    QAudio::Error openWork(const QAudioDevice& device, const QAudioFormat& requested);
    void closeWork();

    std::shared_ptr<QAudioSink> sink;
    std::shared_ptr<QTimer> pumpTimer;
    std::atomic<bool> _liveSource {false};
    // Live sources: the cushion and the least level kept, as the server's
    // buffer allows (set at open).
    qint64 _cushionUs = 0;
    qint64 _lowestLevelUs = 0;
    bool _filling = true;
    qint64 _backlogWindowStartMs = 0;
    qint64 _backlogFloor = std::numeric_limits<qint64>::max();
    qint64 _queueFloor = std::numeric_limits<qint64>::max();
};
