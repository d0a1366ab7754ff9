#pragma once

#include "AudioSample.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QByteArray>
#include <QObject>
#include <QRecursiveMutex>

#include <limits>

// A thread-safe, time-stamped byte queue of audio in one format. Every
// operation holds the queue's lock for its whole duration, so taking (copy and
// remove) is atomic with respect to pushes from another thread.
//
// Invariant after every operation: startUs == endUs - format.durationForBytes(size).
class AudioBufferManager : public QObject
{
public:
    // Overflow handling: 0 or 1 empty the whole queue (0 is the default),
    // 2 or 3 drop the oldest excess bytes (2 also logs).
    enum DropPolicy { DropAll = 0, DropAllQuiet = 1, DropOldestLogged = 2, DropOldest = 3 };

    explicit AudioBufferManager(QObject* parent = nullptr);

    void reset();
    void init(const QAudioDevice& device, const QAudioFormat& format);
    int setMaxDuration(double seconds);
    qint64 bufferedTime() const;

    void push(const QByteArray& bytes, qint64 timestampUs, qint64 maxDelayMs);
    void pushSample(const AudioSample& sample, qint64 maxDelayMs);
    AudioSample peek(qint64 len, bool strict) const;
    AudioSample take(qint64 len, bool strict);
    void consume(qint64 n);

    void setDropPolicy(int policy);
    int dropPolicy() const;
    QAudioFormat format() const;
    QAudioDevice device() const;
    int maxBytes() const;
    qint64 startUs() const;
    qint64 endUs() const;
    qsizetype size() const;

private:
    void updateStart();
    QString deviceKind() const;

    mutable QRecursiveMutex _mutex;
    QAudioFormat _format;
    // No cap until setMaxDuration is called.
    int _maxBytes = std::numeric_limits<int>::max();
    qint64 _startUs = 0;
    qint64 _endUs = 0;
    QByteArray _data;
    QAudioDevice _device;
    int _dropPolicy = DropAll;
};
