// EndpointControl over libpulse, which PulseAudio and PipeWire's pulse server
// both speak. A plain main loop driven on the calling thread: each wait polls
// it with the time that is left, so no call outlasts its limit.
#include "EndpointControl.h"

#include <QDebug>

#include <pulse/ext-device-manager.h>
#include <pulse/pulseaudio.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kConnectLimit {2000};
constexpr std::chrono::milliseconds kCallLimit {2000};

class PulseEndpointControl final : public EndpointControl
{
public:
    PulseEndpointControl() = default;
    ~PulseEndpointControl() override
    {
        if (_context) {
            pa_context_disconnect(_context);
            pa_context_unref(_context);
        }
        if (_loop)
            pa_mainloop_free(_loop);
    }

    bool connect()
    {
        _loop = pa_mainloop_new();
        if (!_loop)
            return false;
        _context = pa_context_new(pa_mainloop_get_api(_loop), "Vantor Control");
        if (!_context || pa_context_connect(_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            qWarning() << "Cannot reach the sound server:" << error();
            return false;
        }
        const bool ready =
            runUntil([this] { return pa_context_get_state(_context) == PA_CONTEXT_READY; }, kConnectLimit);
        if (!ready)
            qWarning() << "Cannot reach the sound server:" << error();
        return ready;
    }

    std::optional<Endpoint> find(const QString& text, bool capture) override
    {
        std::vector<Endpoint> found;
        pa_operation* op = capture ? pa_context_get_source_info_list(_context, collectSource, &found)
                                   : pa_context_get_sink_info_list(_context, collectSink, &found);
        if (!finish(op))
            return std::nullopt;
        for (const Endpoint& endpoint : found)
            if (endpoint.description.contains(text, Qt::CaseInsensitive))
                return endpoint;
        return std::nullopt;
    }

    std::optional<float> volume(const Endpoint& endpoint) override
    {
        const auto info = details(endpoint);
        if (!info)
            return std::nullopt;
        return std::min(1.0f, float(pa_cvolume_max(&info->volume)) / float(PA_VOLUME_NORM));
    }

    bool setVolume(const Endpoint& endpoint, float volume) override
    {
        const auto info = details(endpoint);
        if (!info)
            return false;
        // Rounded up, so that reading back and truncating to whole percent
        // gives the percent that was set.
        pa_cvolume levels = info->volume;
        pa_cvolume_set(&levels, levels.channels, pa_volume_t(std::ceil(double(volume) * PA_VOLUME_NORM)));
        Outcome outcome;
        return finish(
                   endpoint.capture
                       ? pa_context_set_source_volume_by_index(_context, endpoint.index, &levels, succeeded, &outcome)
                       : pa_context_set_sink_volume_by_index(_context, endpoint.index, &levels, succeeded, &outcome))
            && outcome.success;
    }

    std::optional<bool> mute(const Endpoint& endpoint) override
    {
        const auto info = details(endpoint);
        return info ? std::optional<bool>(info->mute) : std::nullopt;
    }

    bool setMute(const Endpoint& endpoint, bool mute) override
    {
        Outcome outcome;
        return finish(endpoint.capture
                          ? pa_context_set_source_mute_by_index(_context, endpoint.index, mute, succeeded, &outcome)
                          : pa_context_set_sink_mute_by_index(_context, endpoint.index, mute, succeeded, &outcome))
            && outcome.success;
    }

    bool setDescription(const Endpoint& endpoint, const QString& description) override
    {
        // PulseAudio renames devices through its device-manager extension
        // (module-device-manager); PipeWire's pulse server has no such means.
        Outcome present;
        if (!finish(pa_ext_device_manager_test(_context, tested, &present)) || !present.success) {
            qWarning() << "The sound server offers no way to rename" << endpoint.description
                       << "(no device-manager extension)";
            return false;
        }
        const QByteArray device = (endpoint.capture ? "source:" : "sink:") + endpoint.id.toUtf8();
        Outcome outcome;
        if (!finish(pa_ext_device_manager_set_device_description(_context, device.constData(),
                                                                 description.toUtf8().constData(), succeeded, &outcome))
            || !outcome.success)
            return false;
        // The extension records the name; the device takes it at once.
        const auto renamed = details(endpoint);
        return renamed && renamed->description == description;
    }

    bool setIcon(const Endpoint& endpoint, const QString&) override
    {
        // Neither server lets a client change a device's properties after it
        // was made; the cable carries its icon from its creation.
        qWarning() << "The sound server keeps the icon of" << endpoint.description;
        return false;
    }

    QString defaultId(bool capture) override
    {
        const std::optional<ServerInfo> info = server();
        if (!info)
            return {};
        return capture ? info->defaultSource : info->defaultSink;
    }

    std::optional<bool> runsInGraphCycles() override
    {
        const std::optional<ServerInfo> info = server();
        if (!info || info->name.isEmpty())
            return std::nullopt;
        return info->name.contains(QLatin1String("PipeWire"));
    }

    bool setDefault(const QString& id) override
    {
        const QByteArray name = id.toUtf8();
        for (bool capture : {false, true}) {
            std::vector<Endpoint> all;
            if (!finish(capture ? pa_context_get_source_info_list(_context, collectSource, &all)
                                : pa_context_get_sink_info_list(_context, collectSink, &all)))
                return false;
            for (const Endpoint& endpoint : all) {
                if (endpoint.id != id)
                    continue;
                Outcome outcome;
                return finish(capture ? pa_context_set_default_source(_context, name.constData(), succeeded, &outcome)
                                      : pa_context_set_default_sink(_context, name.constData(), succeeded, &outcome))
                    && outcome.success;
            }
        }
        return false;
    }

private:
    struct Outcome
    {
        bool success = false;
    };
    // The fields read back from the server's information.
    struct ServerInfo
    {
        QString name;
        QString defaultSink;
        QString defaultSource;
    };
    std::optional<ServerInfo> server()
    {
        ServerInfo info;
        if (!finish(pa_context_get_server_info(_context, readServer, &info)))
            return std::nullopt;
        return info;
    }
    // The fields read back from a device's information.
    struct Details
    {
        pa_cvolume volume {};
        bool mute = false;
        QString description;
    };

    std::optional<Details> details(const Endpoint& endpoint)
    {
        std::optional<Details> found;
        pa_operation* op =
            endpoint.capture
                ? pa_context_get_source_info_by_index(_context, endpoint.index, readDetails<pa_source_info>, &found)
                : pa_context_get_sink_info_by_index(_context, endpoint.index, readDetails<pa_sink_info>, &found);
        if (!finish(op))
            return std::nullopt;
        return found;
    }

    // Drives the loop until `done` holds, the connection fails or the time is up.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
    {
        const Clock::time_point deadline = Clock::now() + limit;
        while (!done()) {
            const pa_context_state_t state = pa_context_get_state(_context);
            if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED)
                return false;
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            if (pa_mainloop_prepare(_loop, int(left.count())) < 0 || pa_mainloop_poll(_loop) < 0
                || pa_mainloop_dispatch(_loop) < 0)
                return false;
        }
        return true;
    }

    // Waits for an operation within the call limit; false when it did not
    // complete (it is cancelled then, so its callback never runs later).
    bool finish(pa_operation* op)
    {
        if (!op) {
            qWarning() << "Sound server request refused:" << error();
            return false;
        }
        const bool done = runUntil([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, kCallLimit);
        if (!done) {
            pa_operation_cancel(op);
            qWarning() << "The sound server did not answer in time";
        }
        pa_operation_unref(op);
        return done;
    }

    QString error() const { return QString::fromUtf8(pa_strerror(_context ? pa_context_errno(_context) : 0)); }

    static void collectSink(pa_context*, const pa_sink_info* info, int eol, void* user)
    {
        if (eol || !info)
            return;
        static_cast<std::vector<Endpoint>*>(user)->push_back(
            {QString::fromUtf8(info->name), QString::fromUtf8(info->description), info->index, false});
    }
    static void collectSource(pa_context*, const pa_source_info* info, int eol, void* user)
    {
        if (eol || !info || info->monitor_of_sink != PA_INVALID_INDEX)
            return;
        static_cast<std::vector<Endpoint>*>(user)->push_back(
            {QString::fromUtf8(info->name), QString::fromUtf8(info->description), info->index, true});
    }
    // A sink's or a source's information: both carry these fields.
    template <typename Info>
    static void readDetails(pa_context*, const Info* info, int eol, void* user)
    {
        if (!eol && info)
            *static_cast<std::optional<Details>*>(user) =
                Details {info->volume, info->mute != 0, QString::fromUtf8(info->description)};
    }
    static void readServer(pa_context*, const pa_server_info* info, void* user)
    {
        if (info)
            *static_cast<ServerInfo*>(user) =
                ServerInfo {QString::fromUtf8(info->server_name), QString::fromUtf8(info->default_sink_name),
                            QString::fromUtf8(info->default_source_name)};
    }
    static void succeeded(pa_context*, int success, void* user) { static_cast<Outcome*>(user)->success = success; }
    static void tested(pa_context*, uint32_t version, void* user)
    {
        static_cast<Outcome*>(user)->success = version != PA_INVALID_INDEX;
    }

    pa_mainloop* _loop = nullptr;
    pa_context* _context = nullptr;
};

} // namespace

std::unique_ptr<EndpointControl> EndpointControl::create()
{
    auto control = std::make_unique<PulseEndpointControl>();
    if (!control->connect())
        return nullptr;
    return control;
}
