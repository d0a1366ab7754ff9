#include "AudioBufferManager.h"

#include <QDateTime>
#include <QDebug>
#include <QMutexLocker>

#include <algorithm>

namespace {
qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}
} // namespace

AudioBufferManager::AudioBufferManager(QObject* parent)
    : QObject(parent)
{
    reset();
}

void AudioBufferManager::reset()
{
    QMutexLocker lock(&_mutex);
    _data.clear();
    _startUs = _endUs = nowMs() * 1000;
}

void AudioBufferManager::init(const QAudioDevice& device, const QAudioFormat& format)
{
    QMutexLocker lock(&_mutex);
    reset();
    _device = device;
    _format = format;
}

int AudioBufferManager::setMaxDuration(double seconds)
{
    QMutexLocker lock(&_mutex);
    _maxBytes = _format.bytesForDuration(qint64(seconds * 1000000.0));
    return _maxBytes;
}

qint64 AudioBufferManager::bufferedTime() const
{
    QMutexLocker lock(&_mutex);
    return _endUs - _startUs;
}

QString AudioBufferManager::deviceKind() const
{
    switch (_device.mode()) {
    case QAudioDevice::Input:
        return QStringLiteral("AudioInput");
    case QAudioDevice::Output:
        return QStringLiteral("AudioOutput");
    default:
        return QStringLiteral("N/A");
    }
}

void AudioBufferManager::updateStart()
{
    _startUs = _endUs - _format.durationForBytes(int(_data.size()));
}

void AudioBufferManager::push(const QByteArray& bytes, qint64 timestampUs, qint64 maxDelayMs)
{
    QMutexLocker lock(&_mutex);
    if (bytes.isEmpty())
        return;
    _data.append(bytes);
    _endUs = timestampUs + _format.durationForBytes(int(bytes.size()));
    if (_data.size() > _maxBytes) {
        const qsizetype excess = _data.size() - _maxBytes;
        if (_dropPolicy == DropOldestLogged)
            qWarning() << deviceKind() << _device.description()
                       << "DROPPING (diff: " << _format.durationForBytes(int(excess)) / 1e6
                       << "s) (max:" << _format.durationForBytes(_maxBytes) / 1e6 << "s)";
        if (_dropPolicy == DropOldestLogged || _dropPolicy == DropOldest)
            _data.remove(0, excess);
        else
            reset();
    }
    updateStart();
    if (maxDelayMs > 0) {
        const qint64 delay = nowMs() - _endUs / 1000;
        if (delay >= maxDelayMs) {
            qWarning() << "Time diff for" << _device.description() << delay
                       << ", buff time:" << (_endUs - _startUs) / 1000 << "ms";
            reset();
        }
    }
}

void AudioBufferManager::pushSample(const AudioSample& sample, qint64 maxDelayMs)
{
    QMutexLocker lock(&_mutex);
    if (!sample.isValid())
        return;
    if (!sameAudioFormat(sample.format, _format)) {
        qWarning() << "pushSample invalid formats! " << _device.description() << "is " << _format << " vs "
                   << sample.format;
        return;
    }
    push(sample.data, qint64(sample.timestamp), maxDelayMs);
}

AudioSample AudioBufferManager::peek(qint64 len, bool strict) const
{
    QMutexLocker lock(&_mutex);
    AudioSample result;
    result.format = _format;
    qint64 n = len >= 0 ? len : _data.size();
    if (!strict)
        n = std::min<qint64>(n, _data.size());
    if (n <= _data.size()) {
        result.timestamp = quint64(_startUs);
        result.data = _data.left(n);
    }
    return result;
}

AudioSample AudioBufferManager::take(qint64 len, bool strict)
{
    QMutexLocker lock(&_mutex);
    AudioSample result = peek(len, strict);
    if (result.isValid()) {
        _data.remove(0, result.data.size());
        updateStart();
    }
    return result;
}

void AudioBufferManager::consume(qint64 n)
{
    QMutexLocker lock(&_mutex);
    _data.remove(0, std::clamp<qint64>(n, 0, _data.size()));
    updateStart();
}

void AudioBufferManager::setDropPolicy(int policy)
{
    QMutexLocker lock(&_mutex);
    _dropPolicy = policy;
}

int AudioBufferManager::dropPolicy() const
{
    QMutexLocker lock(&_mutex);
    return _dropPolicy;
}

QAudioFormat AudioBufferManager::format() const
{
    QMutexLocker lock(&_mutex);
    return _format;
}

QAudioDevice AudioBufferManager::device() const
{
    QMutexLocker lock(&_mutex);
    return _device;
}

int AudioBufferManager::maxBytes() const
{
    QMutexLocker lock(&_mutex);
    return _maxBytes;
}

qint64 AudioBufferManager::startUs() const
{
    QMutexLocker lock(&_mutex);
    return _startUs;
}

qint64 AudioBufferManager::endUs() const
{
    QMutexLocker lock(&_mutex);
    return _endUs;
}

qsizetype AudioBufferManager::size() const
{
    QMutexLocker lock(&_mutex);
    return _data.size();
}
