#include "SubProcessor.h"

#include "Worker.h"

#include <QDateTime>
#include <QMutexLocker>

SubProcessor::SubProcessor(int64_t maxRate)
    : _maxRate(maxRate)
{
    _opaque = std::make_shared<OpaqueBase>(this);
    _worker = Worker::create(this, true);
}

SubProcessor::~SubProcessor()
{
    stopWorker();
}

void SubProcessor::stopWorker()
{
    if (_worker)
        _worker->stop();
}

BitmapPtr SubProcessor::processImage(BitmapPtr input, float&, float&, const CameraSetting&)
{
    input.reset();
    return {};
}

BitmapPtr SubProcessor::processImageAsync(BitmapPtr input, float& width, float& height, const CameraSetting& setting)
{
    const float w = width;
    const float h = height;
    _worker->runFunctionAsync([this, input, w, h, setting](QObject*) mutable {
        float ww = w;
        float hh = h;
        processImage(std::move(input), ww, hh, setting);
    });
    return currentOutput();
}

BitmapPtr SubProcessor::processImagePair(BitmapPtr first, BitmapPtr second)
{
    first.reset();
    second.reset();
    return {};
}

BitmapPtr SubProcessor::currentOutput()
{
    QMutexLocker locker(&_mutex);
    return _opaque ? _opaque->output : BitmapPtr();
}

bool SubProcessor::shouldRun()
{
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    const int64_t interval = _maxRate > 0 ? 1000 / _maxRate : 0;
    const int64_t elapsed = now - _lastRunTime;
    // A clock set back would otherwise stall the stage until it caught up again.
    if (elapsed >= interval || elapsed < 0) {
        _lastRunTime = now;
        return true;
    }
    return false;
}

void SubProcessor::setOutput(const BitmapPtr& bmp)
{
    QMutexLocker locker(&_mutex);
    if (_opaque && _opaque->output != bmp)
        _opaque->output = bmp;
}
