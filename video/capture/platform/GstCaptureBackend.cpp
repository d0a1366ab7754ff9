// Capture through GStreamer: devices from the device monitor (Video/Source),
// each streamed by "device ! videoconvert ! videoscale ! BGRx caps ! appsink".
#include "CameraControls.h"
#include "CaptureBackend.h"
#include "V4l2CameraControls.h"

#include <PipeWireCamera.h>

#include <QDebug>
#include <QFileInfo>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <atomic>
#include <mutex>

namespace {

// Controls of a source element that exposes them as integer properties (the
// demo camera does): "<name>" for the value and "<name>-auto" for the mode.
class ElementCameraControls final : public CameraControls
{
public:
    explicit ElementCameraControls(GstElement* element)
        : _element(GST_ELEMENT(gst_object_ref(element)))
    {}
    ~ElementCameraControls() override { gst_object_unref(_element); }

    static bool supports(GstElement* element)
    {
        for (const CameraPropertyInfo& info : kCameraProperties)
            if (intSpec(element, info.property))
                return true;
        return false;
    }

    bool hasGroup(ControlGroup group) const override
    {
        for (const CameraPropertyInfo& info : kCameraProperties)
            if (info.group == group && intSpec(_element, info.property))
                return true;
        return false;
    }

    bool getRange(CameraProperty p, long& minimum, long& maximum, long& step, long& defaultValue,
                  long& capsFlags) override
    {
        GParamSpecInt* param = intSpec(_element, p);
        if (!param)
            return false;
        minimum = param->minimum;
        maximum = param->maximum;
        step = 1;
        defaultValue = param->default_value;
        capsFlags = autoSpec(p) ? long(Manual | Auto) : long(Manual);
        return true;
    }

    bool get(CameraProperty p, long& value, long& flags) override
    {
        GParamSpecInt* param = intSpec(_element, p);
        if (!param)
            return false;
        gint v = 0;
        g_object_get(_element, G_PARAM_SPEC(param)->name, &v, nullptr);
        value = v;
        gboolean on = FALSE;
        if (GParamSpec* a = autoSpec(p))
            g_object_get(_element, a->name, &on, nullptr);
        flags = on ? Auto : Manual;
        return true;
    }

    bool set(CameraProperty p, long value, long flags) override
    {
        GParamSpecInt* param = intSpec(_element, p);
        if (!param)
            return false;
        GParamSpec* a = autoSpec(p);
        if (flags & Auto) {
            if (!a)
                return false;
            g_object_set(_element, a->name, TRUE, nullptr);
            return true;
        }
        if (value < param->minimum || value > param->maximum)
            return false;
        if (a)
            g_object_set(_element, a->name, FALSE, nullptr);
        g_object_set(_element, G_PARAM_SPEC(param)->name, gint(value), nullptr);
        return true;
    }

private:
    static const char* propertyName(CameraProperty p)
    {
        static const char* const names[] = {
            "brightness", "contrast", "saturation", "sharpness", "white-balance", "backlight-compensation",
            "power-line", "zoom",     "exposure",   "focus"};
        return names[size_t(p)];
    }

    static GParamSpecInt* intSpec(GstElement* element, CameraProperty p)
    {
        GParamSpec* param = g_object_class_find_property(G_OBJECT_GET_CLASS(element), propertyName(p));
        return param && G_IS_PARAM_SPEC_INT(param) ? G_PARAM_SPEC_INT(param) : nullptr;
    }

    GParamSpec* autoSpec(CameraProperty p) const
    {
        const QByteArray name = QByteArray(propertyName(p)) + "-auto";
        GParamSpec* param = g_object_class_find_property(G_OBJECT_GET_CLASS(_element), name.constData());
        return param && G_IS_PARAM_SPEC_BOOLEAN(param) ? param : nullptr;
    }

    GstElement* _element;
};

QString subtypeOf(const GstStructure* s)
{
    const char* media = gst_structure_get_name(s);
    if (g_str_equal(media, "image/jpeg"))
        return QStringLiteral("MJPG");
    if (const char* format = gst_structure_get_string(s, "format"))
        return QString::fromLatin1(format);
    return QString::fromLatin1(media);
}

QList<CameraFormat> formatsOf(GstCaps* caps)
{
    QList<CameraFormat> formats;
    if (!caps)
        return formats;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        const GstStructure* s = gst_caps_get_structure(caps, i);
        int w = 0, h = 0;
        // Only fixed sizes describe a format; ranges and lists say nothing usable.
        if (!gst_structure_get_int(s, "width", &w) || !gst_structure_get_int(s, "height", &h) || w <= 0 || h <= 0)
            continue;
        const CameraFormat f {w, h, subtypeOf(s)};
        if (!formats.contains(f))
            formats.append(f);
    }
    return formats;
}

QString v4l2NodeOf(GstDevice* device)
{
    GstStructure* props = gst_device_get_properties(device);
    if (!props)
        return {};
    QString node;
    for (const char* key : {"api.v4l2.path", "device.path"}) {
        const char* value = gst_structure_get_string(props, key);
        if (value && g_str_has_prefix(value, "/dev/video")) {
            node = QString::fromLocal8Bit(value);
            break;
        }
    }
    gst_structure_free(props);
    return node;
}

// The suite's own PipeWire camera as GStreamer's PipeWire device provider
// lists it (ahead of the suite's own provider): the same "Vantor Control",
// reached through PipeWire. Left out: a second hop for nothing, and a
// pipewiresrc in this process makes that provider's later device searches
// hang or corrupt memory (GStreamer's PipeWire plugin 0.3.65).
bool isOwnPipeWireCamera(GstDevice* device)
{
    GstStructure* props = gst_device_get_properties(device);
    if (!props)
        return false;
    const char* node = gst_structure_get_string(props, "node.name");
    const bool own = node && g_str_equal(node, PipeWireCamera::kNodeName);
    gst_structure_free(props);
    return own;
}

class GstCaptureDevice final : public CaptureDevice
{
public:
    explicit GstCaptureDevice(GstDevice* device)
        : _device(GST_DEVICE(gst_object_ref(device)))
    {
        gchar* name = gst_device_get_display_name(device);
        _name = QString::fromUtf8(name);
        g_free(name);
        GstCaps* caps = gst_device_get_caps(device);
        _formats = formatsOf(caps);
        if (caps)
            gst_caps_unref(caps);
    }

    ~GstCaptureDevice() override
    {
        stop();
        _controls.reset();
        if (_controlElement)
            gst_object_unref(_controlElement);
        gst_object_unref(_device);
    }

    QString name() const override { return _name; }
    QList<CameraFormat> formats() const override { return _formats; }

    CameraControls* controls() override
    {
        if (_controls)
            return _controls.get();
        const QString node = v4l2NodeOf(_device);
        if (!node.isEmpty()) {
            _controls = std::make_unique<V4l2CameraControls>(V4l2Io::open(node));
        } else {
            if (!_controlElement) {
                _controlElement = gst_device_create_element(_device, nullptr);
                if (_controlElement)
                    gst_object_ref_sink(_controlElement);
            }
            if (_controlElement && ElementCameraControls::supports(_controlElement))
                _controls = std::make_unique<ElementCameraControls>(_controlElement);
        }
        return _controls.get();
    }

    bool configure(const CameraFormat& format, SampleCallback callback) override
    {
        stop();
        if (!callback) {
            // Used for its controls only: the device must exist, nothing streams.
            GstElement* probe = gst_device_create_element(_device, nullptr);
            if (!probe)
                return false;
            gst_object_unref(gst_object_ref_sink(probe));
            return true;
        }
        _callback = std::move(callback);
        if (!buildPipeline(format))
            return false;
        _delivering = true;
        // Opening the device happens on the way to PAUSED; a device that is gone fails here.
        if (gst_element_set_state(_pipeline, GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE) {
            stop();
            return false;
        }
        return true;
    }

    bool run() override
    {
        return _pipeline && gst_element_set_state(_pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
    }

    bool pause() override
    {
        return _pipeline && gst_element_set_state(_pipeline, GST_STATE_PAUSED) != GST_STATE_CHANGE_FAILURE;
    }

    void stop() override
    {
        if (!_pipeline)
            return;
        _delivering = false;
        gst_element_set_state(_pipeline, GST_STATE_NULL);
        gst_object_unref(_pipeline);
        _pipeline = nullptr;
        _callback = nullptr;
    }

private:
    bool buildPipeline(const CameraFormat& format)
    {
        GstElement* source = gst_device_create_element(_device, nullptr);
        if (!source)
            return false;
        _pipeline = gst_pipeline_new("camera");
        GstElement* chosen = gst_element_factory_make("capsfilter", nullptr);
        GstElement* decoder =
            format.subtype == QLatin1String("MJPG") ? gst_element_factory_make("jpegdec", nullptr) : nullptr;
        GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
        GstElement* scale = gst_element_factory_make("videoscale", nullptr);
        GstElement* output = gst_element_factory_make("capsfilter", nullptr);
        GstElement* sink = gst_element_factory_make("appsink", nullptr);
        if (!chosen || !convert || !scale || !output || !sink
            || (format.subtype == QLatin1String("MJPG") && !decoder)) {
            qWarning() << "CameraGrabber: missing GStreamer elements (videoconvert, videoscale, appsink, jpegdec)";
            for (GstElement* e : {source, chosen, decoder, convert, scale, output, sink})
                if (e)
                    gst_object_unref(gst_object_ref_sink(e));
            gst_object_unref(_pipeline);
            _pipeline = nullptr;
            return false;
        }

        // The device's own format at the chosen size, then 32-bit output at
        // that size. A device that offers the output's own BGRx at that size
        // is asked for it instead of BGRA (the same colour bytes), so the
        // converter passes its frames through rather than rewriting each pixel.
        GstCaps* deviceCaps = gst_caps_new_empty_simple(decoder ? "image/jpeg" : "video/x-raw");
        if (format.width > 0 && format.height > 0)
            gst_caps_set_simple(deviceCaps, "width", G_TYPE_INT, format.width, "height", G_TYPE_INT, format.height,
                                nullptr);
        const CameraFormat bgrx {format.width, format.height, QStringLiteral("BGRx")};
        const QString subtype =
            format.subtype == QLatin1String("BGRA") && _formats.contains(bgrx) ? bgrx.subtype : format.subtype;
        if (!decoder && !subtype.isEmpty() && subtype.size() == 4)
            gst_caps_set_simple(deviceCaps, "format", G_TYPE_STRING, subtype.toLatin1().constData(), nullptr);
        g_object_set(chosen, "caps", deviceCaps, nullptr);
        gst_caps_unref(deviceCaps);

        GstCaps* outCaps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRx", nullptr);
        if (format.width > 0 && format.height > 0)
            gst_caps_set_simple(outCaps, "width", G_TYPE_INT, format.width, "height", G_TYPE_INT, format.height,
                                nullptr);
        g_object_set(output, "caps", outCaps, nullptr);
        gst_caps_unref(outCaps);

        g_object_set(sink, "max-buffers", 2u, "drop", TRUE, "sync", FALSE, "emit-signals", FALSE, nullptr);
        GstAppSinkCallbacks callbacks {};
        callbacks.new_sample = &GstCaptureDevice::onNewSample;
        gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, this, nullptr);

        gst_bin_add_many(GST_BIN(_pipeline), source, chosen, convert, scale, output, sink, nullptr);
        bool linked;
        if (decoder) {
            gst_bin_add(GST_BIN(_pipeline), decoder);
            linked = gst_element_link_many(source, chosen, decoder, convert, scale, output, sink, nullptr);
        } else {
            linked = gst_element_link_many(source, chosen, convert, scale, output, sink, nullptr);
        }
        GstBus* bus = gst_element_get_bus(_pipeline);
        gst_bus_set_sync_handler(bus, &GstCaptureDevice::onBusMessage, this, nullptr);
        gst_object_unref(bus);
        if (!linked) {
            gst_object_unref(_pipeline);
            _pipeline = nullptr;
        }
        return linked;
    }

    static GstFlowReturn onNewSample(GstAppSink* sink, gpointer data)
    {
        auto* self = static_cast<GstCaptureDevice*>(data);
        GstSample* sample = gst_app_sink_pull_sample(sink);
        if (!sample)
            return GST_FLOW_OK;
        GstVideoInfo info;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (self->_delivering && buffer && gst_video_info_from_caps(&info, gst_sample_get_caps(sample))
            && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            CaptureSample s;
            s.data = map.data;
            s.length = qint64(map.size);
            s.width = GST_VIDEO_INFO_WIDTH(&info);
            s.height = GST_VIDEO_INFO_HEIGHT(&info);
            s.bitsPerPixel = 32;
            s.stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
            s.topDown = true; // GStreamer's raw video holds the top row first
            self->_callback(s);
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    }

    static GstBusSyncReply onBusMessage(GstBus*, GstMessage* message, gpointer data)
    {
        auto* self = static_cast<GstCaptureDevice*>(data);
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR || GST_MESSAGE_TYPE(message) == GST_MESSAGE_WARNING) {
            GError* error = nullptr;
            gchar* debug = nullptr;
            if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR)
                gst_message_parse_error(message, &error, &debug);
            else
                gst_message_parse_warning(message, &error, &debug);
            qWarning().noquote() << "CameraGrabber:" << self->_name << "->"
                                 << (error ? error->message : "unknown error");
            g_clear_error(&error);
            g_free(debug);
        }
        return GST_BUS_DROP;
    }

    GstDevice* _device;
    QString _name;
    QList<CameraFormat> _formats;
    GstElement* _pipeline = nullptr;
    GstElement* _controlElement = nullptr;
    std::unique_ptr<CameraControls> _controls;
    SampleCallback _callback;
    std::atomic<bool> _delivering {false};
};

// Whether a PipeWire daemon's socket is there for this session's clients to
// reach (where libpipewire looks for it).
bool pipeWireReachable()
{
    QByteArray name = qgetenv("PIPEWIRE_REMOTE");
    if (name.isEmpty())
        name = "pipewire-0";
    if (name.startsWith('/'))
        return QFileInfo::exists(QString::fromLocal8Bit(name));
    for (const char* variable : {"PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR", "USERPROFILE"}) {
        const QByteArray dir = qgetenv(variable);
        if (!dir.isEmpty())
            return QFileInfo::exists(QString::fromLocal8Bit(dir + '/' + name));
    }
    return false;
}

// GStreamer's PipeWire device provider, searched without a daemon, makes and
// destroys a PipeWire context at once, and with 0.3.65 that destruction now
// and then waits forever for a loop thread that missed its stop. Without a
// daemon it has nothing to list anyway: the device monitor passes over it
// (as it does every provider ranked none) until a daemon is there.
void rankPipeWireProviderByDaemon()
{
    GstDeviceProviderFactory* factory = gst_device_provider_factory_find("pipewiredeviceprovider");
    if (!factory)
        return;
    auto* feature = GST_PLUGIN_FEATURE(factory);
    // Its own rank, read on the first search, before anything here changed it.
    static const guint ownRank = gst_plugin_feature_get_rank(feature);
    gst_plugin_feature_set_rank(feature, pipeWireReachable() ? ownRank : guint(GST_RANK_NONE));
    gst_object_unref(factory);
}

class GstCaptureBackend final : public CaptureBackend
{
public:
    std::vector<std::unique_ptr<CaptureDevice>> enumerate() override
    {
        std::vector<std::unique_ptr<CaptureDevice>> result;
        rankPipeWireProviderByDaemon();
        GstDeviceMonitor* monitor = gst_device_monitor_new();
        gst_device_monitor_add_filter(monitor, "Video/Source", nullptr);
        GList* devices = gst_device_monitor_get_devices(monitor);
        for (GList* l = devices; l; l = l->next)
            if (!isOwnPipeWireCamera(GST_DEVICE(l->data)))
                result.push_back(std::make_unique<GstCaptureDevice>(GST_DEVICE(l->data)));
        g_list_free_full(devices, gst_object_unref);
        gst_object_unref(monitor);
        return result;
    }
};

} // namespace

std::unique_ptr<CaptureBackend> CaptureBackend::create()
{
    static std::once_flag once;
    std::call_once(once, [] {
        GError* error = nullptr;
        if (!gst_init_check(nullptr, nullptr, &error)) {
            qWarning() << "CameraGrabber: GStreamer could not start:" << (error ? error->message : "");
            g_clear_error(&error);
        }
    });
    return std::make_unique<GstCaptureBackend>();
}
