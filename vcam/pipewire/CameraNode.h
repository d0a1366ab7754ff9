// The camera node on one PipeWire connection: an output stream that drives
// its own graph at 30 frames per second while consumers are linked, fills each
// buffer from the virtual camera core, and counts as one client of the
// instance counter exactly while it streams.
#pragma once

#include "CameraLayout.h"

#include <ClientRegistration.h>
#include <FrameDelivery.h>
#include <PipeWireCamera.h>

#include <pipewire/pipewire.h>

#include <functional>
#include <string>

namespace vcam::pipewire {

class CameraNode
{
public:
    // `failed` is called (from the loop) when the stream fails; the owner
    // then replaces the node, never from inside that call.
    CameraNode(pw_loop* loop, pw_core* core, std::function<void(const std::string&)> failed);
    ~CameraNode(); // stops counting and destroys the stream
    CameraNode(const CameraNode&) = delete;
    CameraNode& operator=(const CameraNode&) = delete;

    // Publishes the node; false when PipeWire refused the stream.
    bool publish();

private:
    static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error);
    static void onParamChanged(void* data, uint32_t id, const spa_pod* param);
    static void onProcess(void* data);
    static void onTick(void* data, uint64_t expirations);

    void setFormat(const spa_pod* param);
    void setTicking(bool on);
    void fill(pw_buffer* buffer);

    pw_loop* _loop;
    pw_stream* _stream = nullptr;
    spa_hook _listener = {};
    spa_source* _tick = nullptr;
    std::function<void(const std::string&)> _failed;

    const CameraFormat* _format = nullptr; // null until a consumer's format is set
    uint32_t _width = 0;
    uint32_t _height = 0;
    FrameLayout _layout;
    uint64_t _frames = 0; // frames delivered since streaming began
    uint64_t _sequence = 0;
    // The buffer memory filled last (it stays mapped while the stream's
    // buffers exist): what a tick without news shows again.
    const uint8_t* _lastPicture = nullptr;

    FrameDelivery _delivery;
    ClientRegistration _registration;
};

} // namespace vcam::pipewire
