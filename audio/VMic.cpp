#include "VMic.h"

#include "AVFUtils.h"
#include "AudioDevice.h"
#include "BaseSettings.h"
#include "DSPFilter.h"
#include "Worker.h"

#include <QDebug>
#include <QMediaDevices>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

#include <cmath>
#include <utility>

namespace {

constexpr int kWatchdogMs = 2000;
const char* const kCableOutput = "Cable Output";
const char* const kCableInput = "Cable Input";
const char* const kCable16ch = "CABLE in 16ch";
const char* const kVirtualName = "Vantor Control";
const char* const kCameraMicrophone = "Vantor Camera";
const char* const kInfrared = "IR ";
const char* const kIcon = ":/assets/app.ico";

// The cable's own endpoints, by the names they carry before and after they are
// renamed (and the cable driver's name where it has one).
bool isCable(const QString& description)
{
    for (const char* name : {"VB-Audio", kVirtualName, kCableInput, kCableOutput})
        if (description.contains(QLatin1String(name), Qt::CaseInsensitive))
            return true;
    return false;
}

// Moves the default device of a direction off the cable, to the first other
// device that can be a default (a monitor of a playback device cannot), when
// the cable holds it.
void moveDefaultOffCable(bool capture)
{
    const QString current = AVFUtils::getDefaultDeviceId(capture);
    const QList<QAudioDevice> devices = capture ? QMediaDevices::audioInputs() : QMediaDevices::audioOutputs();
    bool onCable = false;
    for (const QAudioDevice& d : devices)
        onCable = onCable || (QString::fromUtf8(d.id()) == current && isCable(d.description()));
    if (!onCable)
        return;
    for (const QAudioDevice& d : devices)
        if (!isCable(d.description()) && AVFUtils::setDefaultDevice(QString::fromUtf8(d.id())))
            return;
}

QAudioFormat monoInt16(const QAudioDevice& device)
{
    QAudioFormat format = device.preferredFormat();
    format.setSampleRate(48000);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Int16);
    format.setChannelConfig(QAudioFormat::ChannelConfigUnknown);
    return format;
}

QString describe(const AudioDevice& endpoint)
{
    const QAudioFormat f = endpoint.format();
    return QStringLiteral("%1 %2 %3 (%4)")
        .arg(int(f.sampleFormat()))
        .arg(f.channelCount())
        .arg(f.sampleRate())
        .arg(endpoint.name());
}

// Takes an endpoint and its device out of VMic's fields under their lock (the
// getters read them from other threads), then closes and deletes it.
template <typename Endpoint>
void closeEndpoint(QMutex& lock, Endpoint*& endpoint, QAudioDevice& device)
{
    Endpoint* closing = nullptr;
    {
        QMutexLocker locker(&lock);
        closing = std::exchange(endpoint, nullptr);
        if (closing)
            qDebug() << "Closing " << device.description() << "(" << closing->name() << ")";
        device = QAudioDevice();
    }
    if (closing) {
        closing->close();
        delete closing;
    }
}

} // namespace

VMic::VMic(BaseSettings* settings, QObject* parent)
    : QObject(nullptr)
    , settings(settings)
{
    // VMic lives on its worker thread, where Qt moves no object with a parent.
    if (parent)
        qWarning() << "VMic takes no parent: it lives on its own thread";
    AVFUtils::setDevicePropertiesByName(QLatin1String(kCableOutput), QLatin1String(kVirtualName), QLatin1String(kIcon),
                                        true);
    AVFUtils::setDevicePropertiesByName(QLatin1String(kCableInput), QLatin1String(kVirtualName), QLatin1String(kIcon),
                                        false);
    AVFUtils::hideDeviceByName(QLatin1String(kCable16ch), false);
    moveDefaultOffCable(true);
    moveDefaultOffCable(false);

    compressor = std::make_shared<DSPDynamicsCompressorFilter>();
    bass = std::make_shared<DSPBassFilter>();
    treble = std::make_shared<DSPTrebleFilter>();
    agc = std::make_shared<DSPAGCFilter>();
    rnn = std::make_shared<DSPRNNFilter>();

    _worker = Worker::create(this);
    _worker->runFunctionSync([this](QObject*) {
        restartTimer = new QTimer(this);
        connect(restartTimer, &QTimer::timeout, this, &VMic::checkState);
    });
}

VMic::~VMic()
{
    qDebug() << "VMic DCTOR! - before runFunctionSync";
    _worker->runFunctionSync([this](QObject*) {
        restartTimer->stop();
        restartTimer->deleteLater();
    });
    qDebug() << "VMic DCTOR! - after runFunctionSync";
    stop();
    qDebug() << "VMic DCTOR! - after stop";
    _worker->stop();
    _worker.reset();
    qDebug() << "VMic DCTOR! - after _worker.reset()";
}

bool VMic::start()
{
    // Starting and stopping run on VMic's thread, one after another with the
    // watchdog's, so a caller's start cannot interleave with a watchdog stop.
    if (QThread::currentThread() != thread())
        return _worker->runFunctionSyncEx<bool>([this](QObject*) { return start(); });
    stop();
    bool ok = startInput();
    if (ok)
        ok = startOutput();
    _worker->runFunctionSync([this](QObject*) {
        if (!restartTimer->isActive())
            restartTimer->start(kWatchdogMs);
    });
    emit onReconnecting(ok);
    return ok;
}

void VMic::stop()
{
    if (QThread::currentThread() != thread()) {
        _worker->runFunctionSync([this](QObject*) { stop(); });
        return;
    }
    qDebug() << "VMic::stop";
    stopInput();
    stopOutput();
}

bool VMic::startInput()
{
    stopInput();
    noteActivity();
    QAudioDevice chosen;
    for (const QAudioDevice& d : QMediaDevices::audioInputs()) {
        qDebug() << "Input audio device" << d.id() << d.description();
        if (chosen.isNull() && d.description().contains(QLatin1String(kCameraMicrophone), Qt::CaseInsensitive)
            && !d.description().contains(QLatin1String(kInfrared), Qt::CaseInsensitive)) {
            chosen = d;
            qDebug() << "Found physicial input audio device" << d.id() << d.description();
        }
    }
    if (!chosen.isNull()) {
        _worker->runFunctionSync([this, chosen](QObject*) {
            auto* endpoint = new AudioInput();
            qDebug() << "preferred input format for" << chosen.description() << chosen.preferredFormat();
            if (endpoint->open(chosen, monoInt16(chosen)) != QAudio::NoError) {
                delete endpoint;
                return;
            }
            endpoint->setName(QStringLiteral("Physical_Audio_Input"));
            endpoint->setVolume(1.0f);
            // Each block the microphone gives is processed on this thread;
            // queued, so the endpoint's own thread never waits for VMic.
            connect(endpoint, &AudioInput::onDataRead, this, &VMic::processAudio, Qt::QueuedConnection);
            QMutexLocker locker(&devicesLock);
            inputDevice = chosen;
            input = endpoint;
            qDebug() << "Successfully opened audio input " << chosen.description() << "format: " << describe(*endpoint);
        });
    }
    return inputOpen();
}

bool VMic::startOutput()
{
    stopOutput();
    if (!inputOpen())
        return false;
    const QAudioDevice device = findVirtualOutputDevice(true);
    if (device.isNull())
        return false;
    _worker->runFunctionSync([this, device](QObject*) {
        if (!input)
            return;
        auto* endpoint = new AudioOutput();
        endpoint->setLiveSource(true);
        qDebug() << "preferred output format for" << device.description() << device.preferredFormat();
        if (endpoint->open(device, monoInt16(device)) != QAudio::NoError) {
            delete endpoint;
            return;
        }
        endpoint->setName(QStringLiteral("Virtual_Audio_Output"));
        endpoint->setVolume(1.0f);
        {
            QMutexLocker locker(&devicesLock);
            outputDevice = device;
            output = endpoint;
        }
        qDebug() << "Successfully opened audio output " << device.description() << "format: " << describe(*endpoint);

        // The cable at full level on both sides.
        const QString cable = device.description();
        AVFUtils::setDeviceVolumeByName(cable, 1.0f, true);
        AVFUtils::setDeviceVolumeByName(cable, 1.0f, false);
        AVFUtils::setDeviceMuteByName(cable, false, true);
        AVFUtils::setDeviceMuteByName(cable, false, false);
        // The microphone at 15 % and unmuted, when its level can be read.
        const QString microphone = inputDescription();
        float unused = 0;
        if (AVFUtils::getDeviceVolumeByName(microphone, unused, true)) {
            AVFUtils::setDeviceVolumeByName(microphone, 0.0f, true);
            AVFUtils::setDeviceVolumeByName(microphone, 0.15f, true);
            AVFUtils::setDeviceMuteByName(microphone, false, true);
        }
    });
    return outputOpen();
}

void VMic::stopInput()
{
    qDebug() << "VMic::stopInput";
    _worker->runFunctionSync([this](QObject*) {
        closeEndpoint(devicesLock, input, inputDevice);
        lastActivityMs = 0;
    });
}

void VMic::stopOutput()
{
    qDebug() << "VMic::stopOutput";
    _worker->runFunctionSync([this](QObject*) { closeEndpoint(devicesLock, output, outputDevice); });
}

QAudioDevice VMic::findVirtualOutputDevice(bool verbose)
{
    for (const QAudioDevice& d : QMediaDevices::audioOutputs()) {
        if (verbose)
            qDebug() << "Output audio device" << d.id() << d.description();
        if (d.description().contains(QLatin1String(kVirtualName), Qt::CaseInsensitive)) {
            qDebug() << "Found virtual output audio device" << d.id() << d.description();
            return d;
        }
    }
    return {};
}

bool VMic::isRunning() const
{
    return outputOpen();
}

bool VMic::inputOpen() const
{
    QMutexLocker locker(&devicesLock);
    return !inputDevice.isNull() && input;
}

bool VMic::outputOpen() const
{
    QMutexLocker locker(&devicesLock);
    return !outputDevice.isNull() && output;
}

QString VMic::inputDescription() const
{
    QMutexLocker locker(&devicesLock);
    return inputDevice.description();
}

void VMic::noteActivity()
{
    lastActivityMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

bool VMic::getVolume(CameraSetting& out) const
{
    float volume = 0;
    const bool ok = AVFUtils::getDeviceVolumeByName(inputDescription(), volume, true);
    out.value = int32_t(std::trunc(volume * 100.0f));
    out.step = 1;
    out.maximum = 100;
    out.minimum = 0;
    out.defaultValue = 15;
    out.autoSupported = false;
    out.autoMode = false;
    return ok;
}

bool VMic::getMute(CameraSetting& out) const
{
    bool mute = false;
    const bool ok = AVFUtils::getDeviceMuteByName(inputDescription(), mute, true);
    out.value = out.step = out.maximum = out.minimum = out.defaultValue = 0;
    out.autoSupported = true;
    out.autoMode = mute || !ok;
    return ok;
}

bool VMic::setMute(bool mute)
{
    return AVFUtils::setDeviceMuteByName(inputDescription(), mute, true);
}

bool VMic::setVolume(int percent)
{
    return AVFUtils::setDeviceVolumeByName(inputDescription(), float(percent) / 100.0f, true);
}

void VMic::processAudio()
{
    AudioSample in = input ? input->takeAll() : AudioSample();
    if (!in.isValid() || !output)
        return;
    const std::pair<BaseSettings::Settings, DSPFilter*> chain[] = {
        {BaseSettings::DSPRNN, rnn.get()},
        {BaseSettings::DSPBass, bass.get()},
        {BaseSettings::DSPTreble, treble.get()},
        {BaseSettings::DSPAGC, agc.get()},
        {BaseSettings::DSPCompressor, compressor.get()},
    };
    for (const auto& [group, filter] : chain) {
        if (!settings->getSetting(group, BaseSettings::Enabled).toBool())
            continue;
        QVariantMap subSettings;
        settings->loadGroup(group, subSettings);
        AudioSample out;
        filter->process(subSettings, in, out);
        in = out;
    }
    output->pushConverted(in, true);
    noteActivity();
}

void VMic::checkState()
{
    const bool running = inputOpen() && outputOpen();
    const bool clients = clientsConnected.load();
    qDebug() << "VMic, clientsConnected" << clients;
    if (!running) {
        if (clients) {
            qDebug() << "restarting VMic, it's not running!";
            start();
        }
        return;
    }
    if (!clients) {
        qDebug() << "stopping VMic, no clientsConnected!";
        stop();
        return;
    }
    if (!AVFUtils::isDeviceAvailable(inputDescription(), true)) {
        qDebug() << "input device stopped being available!";
        stop();
    }
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
    if (now - lastActivityMs.load() >= kWatchdogMs) {
        qDebug() << "restarting VMic - elapsed >=!" << kWatchdogMs;
        start();
    }
}
