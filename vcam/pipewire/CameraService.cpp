#include "CameraService.h"

#include <DriverLog.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <pthread.h>

namespace vcam::pipewire {

namespace {

constexpr double kRetrySeconds = 1.0;

timespec after(double seconds)
{
    timespec t = {};
    t.tv_sec = time_t(seconds);
    t.tv_nsec = long((seconds - double(t.tv_sec)) * 1e9);
    if (t.tv_sec == 0 && t.tv_nsec == 0)
        t.tv_nsec = 1; // a zero time would disarm the timer
    return t;
}

} // namespace

CameraService::CameraService()
{
    // The loop reads the termination signals from a descriptor; blocked here,
    // before PipeWire starts threads of its own, they reach no thread as a
    // plain signal (whose default would end the program without signing off).
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGINT);
    sigaddset(&termination, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &termination, nullptr);
    pw_init(nullptr, nullptr);
    _mainLoop = pw_main_loop_new(nullptr);
    if (!_mainLoop)
        return;
    _loop = pw_main_loop_get_loop(_mainLoop);
    _context = pw_context_new(_loop, nullptr, 0);
    _retry = pw_loop_add_timer(_loop, onRetry, this);
    _signals[0] = pw_loop_add_signal(_loop, SIGINT, onSignal, this);
    _signals[1] = pw_loop_add_signal(_loop, SIGTERM, onSignal, this);
}

CameraService::~CameraService()
{
    disconnect();
    if (_loop) {
        for (spa_source* s : _signals)
            if (s)
                pw_loop_destroy_source(_loop, s);
        if (_retry)
            pw_loop_destroy_source(_loop, _retry);
    }
    if (_context)
        pw_context_destroy(_context);
    if (_mainLoop)
        pw_main_loop_destroy(_mainLoop);
    pw_deinit();
}

int CameraService::run()
{
    if (!_mainLoop || !_context || !_retry) {
        DriverLog::write(DriverLog::Level::Warning, "cannot set up the PipeWire main loop");
        return 1;
    }
    connect();
    pw_main_loop_run(_mainLoop);
    disconnect();
    DriverLog::write(DriverLog::Level::Info, "stopped");
    return 0;
}

void CameraService::connect()
{
    _core = pw_context_connect(_context, nullptr, 0);
    if (!_core) {
        const int error = errno;
        if (!_lossReported)
            DriverLog::write(DriverLog::Level::Warning,
                             "cannot connect to PipeWire (%s): is it running? Trying again every second",
                             std::strerror(error));
        _lossReported = true;
        retryLater({}, kRetrySeconds);
        return;
    }
    static const pw_core_events events = [] {
        pw_core_events e = {};
        e.version = PW_VERSION_CORE_EVENTS;
        e.error = onCoreError;
        return e;
    }();
    pw_core_add_listener(_core, &_coreListener, &events, this);
    _node = std::make_unique<CameraNode>(_loop, _core, [this](const std::string& reason) {
        retryLater("the camera stream failed (" + reason + ")", kRetrySeconds);
    });
    if (!_node->publish()) {
        retryLater("PipeWire refused the camera stream", kRetrySeconds);
        return;
    }
    _lossReported = false;
    DriverLog::write(DriverLog::Level::Info, "connected to PipeWire; publishing \"%s\" as node %s",
                     PipeWireCamera::kDescription, PipeWireCamera::kNodeName);
}

void CameraService::disconnect()
{
    _node.reset(); // stops counting before the connection goes
    if (_core) {
        spa_hook_remove(&_coreListener);
        pw_core_disconnect(_core);
        _core = nullptr;
    }
}

void CameraService::retryLater(const std::string& reason, double seconds)
{
    // One line per loss: the failed attempts that follow are part of it.
    if (!reason.empty() && !_lossReported)
        DriverLog::write(DriverLog::Level::Warning, "%s; trying again every second", reason.c_str());
    if (!reason.empty())
        _lossReported = true;
    timespec value = after(seconds), interval = {};
    pw_loop_update_timer(_loop, _retry, &value, &interval, false);
}

void CameraService::onCoreError(void* data, uint32_t id, int, int res, const char* message)
{
    auto* self = static_cast<CameraService*>(data);
    // Errors of single objects (a consumer's failed link) leave the
    // connection standing; a broken connection is reported on the core.
    if (id != PW_ID_CORE)
        return;
    if (res == -EPIPE)
        self->retryLater("lost the connection to PipeWire", kRetrySeconds);
    else
        self->retryLater(std::string("PipeWire reported an error: ") + (message ? message : std::strerror(-res)),
                         kRetrySeconds);
}

void CameraService::onRetry(void* data, uint64_t)
{
    auto* self = static_cast<CameraService*>(data);
    self->disconnect();
    self->connect();
}

void CameraService::onSignal(void* data, int)
{
    pw_main_loop_quit(static_cast<CameraService*>(data)->_mainLoop);
}

} // namespace vcam::pipewire
