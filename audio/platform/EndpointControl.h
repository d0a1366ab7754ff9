#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

// What the audio endpoint utilities need of the sound server beyond Qt
// Multimedia: endpoints found by description, their volume and mute state, a
// new description and icon, and the default devices. One object is one
// connection to the user's server; every wait on it has a time limit, so a
// stalled server costs a bounded delay and a failure, never a hang.
class EndpointControl
{
public:
    struct Endpoint
    {
        QString id; // the server's name for it, as QAudioDevice::id() gives it
        QString description;
        uint32_t index = 0;
        bool capture = false;
    };

    virtual ~EndpointControl() = default;

    // A connection, or null when the server cannot be reached in time (the
    // reason is logged).
    static std::unique_ptr<EndpointControl> create();

    // The first endpoint of the server's list whose description contains
    // `text`, ignoring case. Monitors of playback endpoints are not recording
    // endpoints here.
    virtual std::optional<Endpoint> find(const QString& text, bool capture) = 0;

    // 0 to 1: the loudest channel against the server's normal volume (higher
    // settings read as 1).
    virtual std::optional<float> volume(const Endpoint& endpoint) = 0;
    // Every channel to `volume` (0 to 1) of the normal volume.
    virtual bool setVolume(const Endpoint& endpoint, float volume) = 0;
    virtual std::optional<bool> mute(const Endpoint& endpoint) = 0;
    virtual bool setMute(const Endpoint& endpoint, bool mute) = 0;
    // A new description, by whatever means the server offers; false, with the
    // reason logged, where it offers none.
    virtual bool setDescription(const Endpoint& endpoint, const QString& description) = 0;
    // The icon the desktop shows for the endpoint, a freedesktop icon name or
    // file; false where the server cannot change it.
    virtual bool setIcon(const Endpoint& endpoint, const QString& icon) = 0;
    // The id of the default endpoint of a direction; empty when unknown.
    virtual QString defaultId(bool capture) = 0;
    // Makes the endpoint with this id (playback or recording) the default one
    // of its direction.
    virtual bool setDefault(const QString& id) = 0;
    // Whether the server runs its graph in whole cycles, taking a stream's
    // sound a cycle at a time (PipeWire's pulse server) rather than as the
    // stream's own buffer sets (PulseAudio); unknown if it does not answer.
    virtual std::optional<bool> runsInGraphCycles() = 0;
};
