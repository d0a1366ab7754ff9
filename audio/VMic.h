#pragma once

#include "CameraSetting.h"

#include <QAudioDevice>
#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <memory>

class AudioInput;
class AudioOutput;
class BaseSettings;
class DSPAGCFilter;
class DSPBassFilter;
class DSPDynamicsCompressorFilter;
class DSPRNNFilter;
class DSPTrebleFilter;
class QTimer;
class Worker;

// The virtual microphone: the camera's microphone, improved by the DSP chain,
// played into the virtual audio cable's playback side ("Cable Input"), whose
// recording side other programs pick as their microphone. Lives on its own
// worker thread; a watchdog there every 2 s stops it when no program uses the
// virtual camera and restarts it when it stalls, loses its microphone or is
// needed again.
class VMic : public QObject
{
    Q_OBJECT
public:
    enum AudioSetting {
        Mute = 0,
        Volume = 1,
    };
    Q_ENUM(AudioSetting)

    // Renames the cable's endpoints to "Vantor Control", hides the cable's
    // 16-channel endpoint and moves the default devices off the cable.
    VMic(BaseSettings* settings, QObject* parent = nullptr);
    ~VMic() override;

    // (Re)starts capture and playback: true when both are open. Starts the
    // watchdog. Callable from any thread.
    bool start();
    void stop();
    bool startInput();
    bool startOutput();
    void stopInput();
    void stopOutput();

    // The first playback device described as "Vantor Control", or a null one.
    static QAudioDevice findVirtualOutputDevice(bool verbose);
    bool isRunning() const;

    // The microphone's system volume and mute state, for the main window
    // (callable from any thread).
    bool getVolume(CameraSetting& out) const;
    bool getMute(CameraSetting& out) const;
    bool setMute(bool mute);
    bool setVolume(int percent);

    // Whether any program uses the virtual camera (set from outside, read by
    // the watchdog).
    std::atomic<bool> clientsConnected {true};

signals:
    void onVolume(long value, bool autoMode);
    void onMute(long value, bool autoMode);
    void onMessage(QString msg);
    void onReconnecting(bool status);

private:
    using Clock = std::chrono::steady_clock;

    void processAudio();
    void checkState();
    bool inputOpen() const;
    bool outputOpen() const;
    QString inputDescription() const;
    void noteActivity();

    std::shared_ptr<Worker> _worker;
    QTimer* restartTimer = nullptr;
    BaseSettings* settings = nullptr;
    // When audio last went through (or input last started); empty after stopInput.
    std::atomic<int64_t> lastActivityMs {0};
    // Written on the worker; read (under the lock) by the getters on any thread.
    mutable QMutex devicesLock;
    QAudioDevice inputDevice;
    QAudioDevice outputDevice;
    AudioInput* input = nullptr;
    AudioOutput* output = nullptr;
    std::shared_ptr<DSPDynamicsCompressorFilter> compressor;
    std::shared_ptr<DSPBassFilter> bass;
    std::shared_ptr<DSPTrebleFilter> treble;
    std::shared_ptr<DSPAGCFilter> agc;
    std::shared_ptr<DSPRNNFilter> rnn;
};
