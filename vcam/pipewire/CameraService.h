// Keeps the camera node published for as long as the program runs: connects
// to the user's PipeWire, publishes the node, and when PipeWire is absent or
// goes away, logs it once and tries again every second until it is back.
// Ends on SIGTERM or SIGINT, signing the camera off first.
#pragma once

#include "CameraNode.h"

#include <pipewire/pipewire.h>

#include <memory>
#include <string>

namespace vcam::pipewire {

class CameraService
{
public:
    CameraService();
    ~CameraService();
    CameraService(const CameraService&) = delete;
    CameraService& operator=(const CameraService&) = delete;

    // Runs until a termination signal; returns the exit code.
    int run();

private:
    static void onCoreError(void* data, uint32_t id, int seq, int res, const char* message);
    static void onRetry(void* data, uint64_t expirations);
    static void onSignal(void* data, int signal);

    void connect();
    void disconnect();
    // Drops the connection at the next turn of the loop (never from inside a
    // PipeWire callback) and tries again after `seconds`.
    void retryLater(const std::string& reason, double seconds);

    pw_main_loop* _mainLoop = nullptr;
    pw_loop* _loop = nullptr;
    pw_context* _context = nullptr;
    pw_core* _core = nullptr;
    spa_hook _coreListener = {};
    spa_source* _retry = nullptr;
    spa_source* _signals[2] = {};
    std::unique_ptr<CameraNode> _node;
    bool _lossReported = false; // a failure was logged since the last connection
};

} // namespace vcam::pipewire
