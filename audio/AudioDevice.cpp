#include "AudioDevice.h"

#include "Worker.h"
#include "platform/EndpointControl.h"

#include <QAudioSink>
#include <QAudioSource>
#include <QDateTime>
#include <QDebug>
#include <QIODevice>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace {

// How often the microphone's sound is read, and how long a live output
// watches its level before it cuts a standing backlog.
constexpr qint64 kInputPeriodUs = 5000; // half an RNNoise frame: a frame is ready as soon as its last sample is read
constexpr qint64 kBacklogWindowMs = 500;

// The server's buffer for a playback stream; for a live source also how much
// it queues before its playback starts, and the least its level (queue and
// device) keeps between bursts, above which a standing backlog is cut.
// Together they set the latency from microphone to cable. The default buffer,
// about 150 ms, would all be latency after a stall.
struct OutputBuffering
{
    qint64 bufferUs;
    qint64 cushionUs;     // a denoiser frame, and some for the bursts' jitter
    qint64 lowestLevelUs; // what a late burst may take without the device running dry
};
constexpr OutputBuffering kLongBuffer {25000, 17000, 7000};
constexpr OutputBuffering kShortBuffer {12500, 13000, 6000};

// PulseAudio takes a stream's sound, and reports room for more, a quarter of
// its buffer at a time, pulls about a quarter ahead, and after running dry
// waits for half of it before it plays again: for a live source the short
// buffer keeps all of these, and so what must stay queued, small. PipeWire's
// pulse server takes whole graph cycles instead and falls behind on a short
// buffer (the cable ran up to 130 ms late with 12.5 ms, and about 40 ms later
// with 20 ms): there a live source keeps the long one, room for its whole
// cushion.
OutputBuffering outputBuffering(bool liveSource)
{
    if (!liveSource)
        return kLongBuffer;
    const auto control = EndpointControl::create();
    const std::optional<bool> cycles = control ? control->runsInGraphCycles() : std::nullopt;
    return cycles == false ? kShortBuffer : kLongBuffer;
}

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// Qt audio objects must be destroyed on the thread that owns them; the close
// work runs there, so a plain delete is right.
template <typename T>
std::shared_ptr<T> owned(T* object)
{
    return std::shared_ptr<T>(object, [](T* o) { delete o; });
}

} // namespace

// ---------------------------------------------------------------- AudioDevice

AudioDevice::AudioDevice(QObject* parent)
    : QObject(nullptr)
    , buffer(this)
{
    // The endpoint lives on its own worker thread, and Qt moves no object that
    // has a parent: one given is refused rather than left half moved.
    if (parent)
        qWarning() << "An audio endpoint takes no parent: it lives on its own thread";
    worker = Worker::create(this, true);
}

AudioDevice::~AudioDevice()
{
    if (worker) {
        worker->stop();
        worker.reset();
    }
}

qint64 AudioDevice::bufferedTime()
{
    return buffer.endUs() - buffer.startUs();
}

qsizetype AudioDevice::bufferedBytes()
{
    return buffer.size();
}

bool AudioDevice::energyUpdateDue() const
{
    return _meteringEnabled && nowMs() - _lastEnergyMs >= 100;
}

void AudioDevice::setEnergy(double dB)
{
    if (!_meteringEnabled)
        return;
    const double x = (dB + 75.0) / 75.0;
    _lastEnergyMs = nowMs();
    _energyPercent = int(std::trunc(std::min(std::max(x, 0.0), 1.0) * 100.0));
    emit onAudioEnergyUpdated(_energyPercent / 100.0);
}

void AudioDevice::countBlock(bool input)
{
    if (++_blockCount % 1000 == 0)
        writeReport(input);
}

void AudioDevice::writeReport(bool input)
{
    const int energy = _energyPercent;
    const QChar fill(' ');
    qDebug() << (input ? "Report for input" : "Report for output") << _name << "-"
             << QStringLiteral("en %1%").arg(energy, 0, 10, fill)
             << QStringLiteral("Vol %1%").arg(int(std::trunc(volume() * 100.0f)), 0, 10, fill)
             << QStringLiteral("Amp %1").arg(energy < 0 ? QStringLiteral("N/A")
                                                        : QStringLiteral("%1%").arg(energy, 0, 10, fill))
             << "-" << _device.description().left(40) << nowMs() - buffer.endUs() / 1000
             << "buff time:" << bufferedTime() / 1000 << "ms"
             << " max(" << buffer.format().durationForBytes(buffer.maxBytes()) / 1000 << "ms)";
}

// ---------------------------------------------------------------- AudioInput

AudioInput::AudioInput(QObject* parent)
    : AudioDevice(parent)
{}

AudioInput::~AudioInput()
{
    close();
}

AudioDevice* AudioInput::clone(const QAudioFormat* format)
{
    auto* copy = new AudioInput();
    if (copy->open(_device, format ? *format : _format) != QAudio::NoError) {
        delete copy;
        return nullptr;
    }
    return copy;
}

QAudio::Error AudioInput::open(QAudioDevice device, QAudioFormat format)
{
    worker->runFunctionSync([this](QObject*) { closeWork(); });
    return worker->runFunctionSyncEx<QAudio::Error>(
        [this, device, format](QObject*) { return openWork(device, format); });
}

void AudioInput::close()
{
    worker->runFunctionSync([this](QObject*) { closeWork(); });
}

QAudio::Error AudioInput::openWork(const QAudioDevice& device, const QAudioFormat& requested)
{
    _device = device;
    _format = requested;
    source = owned(new QAudioSource(device, device.preferredFormat(), worker.get()));
    // Qt reads the stream once per fragment, 50 ms unless told: short ones
    // keep the microphone's sound from waiting in the server.
    source->setBufferSize(device.preferredFormat().bytesForDuration(kInputPeriodUs));
    QIODevice* io = source->start();
    if (io && source->error() == QAudio::NoError && io->isReadable()) {
        const QAudioFormat actual = source->format();
        buffer.init(device, requested);
        buffer.setMaxDuration(0.1);
        resampler.reset();
        const int chunk = (requested.bytesForDuration(100000) / 2) / 2;
        connect(io, &QIODevice::readyRead, this, [this, io, actual, chunk] { readAvailable(io, actual, chunk); });
        return QAudio::NoError;
    }
    QAudio::Error err = source->error();
    qDebug() << "Failed to open input " << device.description() << " error: " << err;
    closeWork();
    // No usable stream is a failure even when Qt reports no error.
    return err == QAudio::NoError ? QAudio::OpenError : err;
}

void AudioInput::closeWork()
{
    // Qt 6.4's PulseAudio source may still deliver a queued read while it is
    // being destroyed, after its stream is gone, which aborts in libpulse:
    // suspended first, it ignores such a read.
    if (source)
        source->suspend();
    source.reset();
    buffer.reset();
    setEnergy(-DBL_MAX);
}

void AudioInput::readAvailable(QIODevice* io, const QAudioFormat& actual, int chunk)
{
    const QByteArray raw = io->readAll();
    if (raw.isEmpty())
        return;
    const QByteArray bytes = resampler.convert(raw, actual, _format, false);
    // A format without a byte size gives no block size; take the read whole.
    const qsizetype step = chunk > 0 ? chunk : std::max<qsizetype>(bytes.size(), 1);
    for (qsizetype at = 0; at < bytes.size(); at += step) {
        if (_muted) {
            ++_mutedBlockCount;
            continue;
        }
        const QByteArray block = bytes.mid(at, step);
        if (energyUpdateDue())
            setEnergy(levelDb(block, _format));
        countBlock(true);
        buffer.push(block, nowMs() * 1000, -1);
        emit onDataRead();
    }
}

void AudioInput::setVolume(const float& volume)
{
    const float v = volume;
    worker->runFunctionSync([this, v](QObject*) {
        if (source)
            source->setVolume(v);
    });
}

float AudioInput::volume()
{
    if (_muted)
        return 0.0f;
    return worker->runFunctionSyncEx<float>([this](QObject*) { return source ? float(source->volume()) : 0.0f; });
}

AudioSample AudioInput::takeAll()
{
    return buffer.take(-1, true);
}

// ---------------------------------------------------------------- AudioOutput

AudioOutput::AudioOutput(QObject* parent)
    : AudioDevice(parent)
    , _cushionUs(kLongBuffer.cushionUs)
    , _lowestLevelUs(kLongBuffer.lowestLevelUs)
{}

AudioOutput::~AudioOutput()
{
    close();
}

AudioDevice* AudioOutput::clone(const QAudioFormat* format)
{
    auto* copy = new AudioOutput();
    if (copy->open(_device, format ? *format : _format) != QAudio::NoError) {
        delete copy;
        return nullptr;
    }
    return copy;
}

QAudio::Error AudioOutput::open(QAudioDevice device, QAudioFormat format)
{
    worker->runFunctionSync([this](QObject*) { closeWork(); });
    return worker->runFunctionSyncEx<QAudio::Error>(
        [this, device, format](QObject*) { return openWork(device, format); });
}

void AudioOutput::close()
{
    worker->runFunctionSync([this](QObject*) { closeWork(); });
}

QAudio::Error AudioOutput::openWork(const QAudioDevice& device, const QAudioFormat& requested)
{
    _device = device;
    const QAudioFormat fmt = device.isFormatSupported(requested) ? requested : device.preferredFormat();
    _format = fmt;
    sink = owned(new QAudioSink(device, fmt, worker.get()));
    const OutputBuffering buffering = outputBuffering(_liveSource);
    _cushionUs = buffering.cushionUs;
    _lowestLevelUs = buffering.lowestLevelUs;
    sink->setBufferSize(fmt.bytesForDuration(buffering.bufferUs));
    QIODevice* io = sink->start();
    qDebug() << "Starting output device" << device.description() << "@" << _format << "with"
             << buffering.bufferUs / 1000.0 << "ms of server buffer";
    pumpTimer = owned(new QTimer(worker.get()));
    if (io && sink->error() == QAudio::NoError && io->isWritable()) {
        _format = sink->format();
        const qint64 len = 2 * (_format.bytesForDuration(100000) / 2);
        buffer.init(device, _format);
        buffer.setMaxDuration(0.1);
        _filling = true;
        connect(pumpTimer.get(), &QTimer::timeout, this, [this, len, io] { writePending(len, io); });
        pumpTimer->start(1);
        return QAudio::NoError;
    }
    QAudio::Error err = sink->error();
    qDebug() << "Failed to open output " << device.description() << " error: " << err;
    closeWork();
    return err == QAudio::NoError ? QAudio::OpenError : err;
}

void AudioOutput::closeWork()
{
    if (pumpTimer) {
        pumpTimer->stop();
        pumpTimer.reset();
    }
    sink.reset();
    buffer.reset();
    setEnergy(-DBL_MAX);
}

qint64 AudioOutput::levelBytes() const
{
    // The device's part as the server reports it. PipeWire's pulse server
    // takes a stream's sound in whole graph cycles, so there it reads low.
    const qint64 device = sink ? std::max<qint64>(sink->bufferSize() - sink->bytesFree(), 0) : 0;
    return buffer.size() + device;
}

bool AudioOutput::waitForCushion()
{
    // A live source's sound comes in bursts (a read period, or a denoiser
    // frame). Played as it comes, the device would hold only the latest burst
    // and run dry at the least delay of the next; PulseAudio then plays on
    // with silence and, when sound comes back, rewinds to put it where the
    // silence was, which a recorder of the cable hears as a click. Holding
    // a cushion before playing starts keeps the device fed across the bursts:
    // sound then arrives as fast as it plays, so the cushion stays.
    if (!_filling)
        return false;
    const QAudioFormat format = buffer.format();
    const qint64 cushion = format.bytesForDuration(_cushionUs);
    if (buffer.size() < cushion)
        return true;
    // The last burst may have brought more than the cushion needs; what is
    // beyond it would be standing latency, and nothing has played yet.
    const qint64 frame = std::max(format.bytesPerFrame(), 1);
    buffer.consume((buffer.size() - cushion) / frame * frame);
    _filling = false;
    // The level is watched from here on, where playback starts.
    _backlogWindowStartMs = nowMs();
    _backlogFloor = _queueFloor = std::numeric_limits<qint64>::max();
    return false;
}

void AudioOutput::writePending(qint64 len, QIODevice* io)
{
    if (_liveSource) {
        if (waitForCushion()) {
            QThread::msleep(1);
            return;
        }
        trimBacklog();
    }
    const AudioSample s = buffer.peek(len, false);
    if (!s.isValid()) {
        QThread::msleep(1);
        return;
    }
    if (_muted) {
        buffer.consume(s.data.size());
        ++_mutedBlockCount;
        return;
    }
    // Qt 6.4's PulseAudio sink takes every push-mode write whole and buffers it
    // without limit, so audio arriving faster than it plays would pile up as
    // latency there. Offering no more than the sink's free space keeps the
    // device buffer bounded, as a hardware buffer is, and leaves the excess in
    // the queue, whose cap then bounds the latency.
    const qint64 room = sink ? sink->bytesFree() : s.data.size();
    const QByteArray offer = room < s.data.size() ? s.data.left(std::max<qint64>(room, 0)) : s.data;
    const qint64 written = !io ? s.data.size() : offer.isEmpty() ? 0 : io->write(offer);
    if (written < 1) {
        if (io && sink
            && (written < 0 || io->errorString() != QLatin1String("Unknown error") || sink->error() != QAudio::NoError))
            qDebug() << "Invalid output data written for" << _name << "-" << written << io->errorString()
                     << sink->error();
        return;
    }
    if (energyUpdateDue())
        setEnergy(levelDb(s.data, s.format));
    countBlock(false);
    buffer.consume(written);
}

void AudioOutput::trimBacklog()
{
    // Sound arrives as fast as it plays, so whatever piles up while the
    // device is not taking it (a stall, a slow start) stays for good as
    // latency. The lowest level (queue and device together) seen over a window
    // is that standing backlog: what exceeds the level kept between bursts is
    // cut, once. Only sound that stood in the queue the whole window is cut:
    // the device's part is as the server reports it, and PipeWire's pulse
    // server can report a stream full while it plays on. Every cut is a jump
    // in the sound, so less than a read period is left alone: it would buy
    // next to no latency for a click.
    const qint64 now = nowMs();
    _backlogFloor = std::min<qint64>(_backlogFloor, levelBytes());
    _queueFloor = std::min<qint64>(_queueFloor, buffer.size());
    if (now - _backlogWindowStartMs < kBacklogWindowMs)
        return;
    const QAudioFormat format = buffer.format();
    const qint64 lowest = format.bytesForDuration(_lowestLevelUs);
    const qint64 frame = std::max(format.bytesPerFrame(), 1);
    const qint64 excess = std::min<qint64>(_backlogFloor - lowest, _queueFloor) / frame * frame;
    if (excess >= format.bytesForDuration(kInputPeriodUs)) {
        qDebug() << "Dropping" << format.durationForBytes(int(excess)) / 1000 << "ms of standing backlog for" << _name;
        buffer.consume(excess);
    }
    _backlogWindowStartMs = now;
    _backlogFloor = _queueFloor = std::numeric_limits<qint64>::max();
}

void AudioOutput::setVolume(const float& volume)
{
    const float v = volume;
    worker->runFunctionSync([this, v](QObject*) {
        if (sink)
            sink->setVolume(v);
    });
}

float AudioOutput::volume()
{
    if (_muted)
        return 0.0f;
    return worker->runFunctionSyncEx<float>([this](QObject*) { return sink ? float(sink->volume()) : 0.0f; });
}

void AudioOutput::pushConverted(const AudioSample& sample, bool verbose)
{
    const AudioSample c = sample.convertTo(buffer.format(), verbose);
    if (c.isValid())
        buffer.pushSample(c, -1);
}
