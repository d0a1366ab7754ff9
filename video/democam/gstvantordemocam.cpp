// GStreamer plugin "vantordemocam": a live source drawing the demo scene
// ("vantordemocamsrc") and a device provider that lists the demo devices.
#include "DemoCamera.h"

#include <LiveSource.h>

#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <memory>

using namespace democam;

GST_DEBUG_CATEGORY_STATIC(vantor_demo_cam_debug);
#define GST_CAT_DEFAULT vantor_demo_cam_debug

namespace {

constexpr int kFrameRate = 30;
// Property ids: 1 is the device name, then one value and one automatic flag per control.
constexpr guint kPropDeviceName = 1;
constexpr guint kPropConnected = 2;
constexpr guint kPropFirstControl = 3;

guint valueProperty(Control c)
{
    return kPropFirstControl + 2 * guint(c);
}

guint autoProperty(Control c)
{
    return kPropFirstControl + 2 * guint(c) + 1;
}

GstCaps* capsFor(const std::vector<Size>& sizes)
{
    GstCaps* caps = gst_caps_new_empty();
    for (const Size& s : sizes) {
        gst_caps_append_structure(caps, gst_structure_new("video/x-raw", "format", G_TYPE_STRING, "BGRx", "width",
                                                          G_TYPE_INT, s.width, "height", G_TYPE_INT, s.height,
                                                          "framerate", GST_TYPE_FRACTION, kFrameRate, 1,
                                                          "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr));
    }
    return caps;
}

std::vector<Size> sizesOf(const std::string& name)
{
    for (const DemoDevice& device : devicesFromEnvironment())
        if (device.name == name)
            return device.sizes;
    return defaultSizes();
}

} // namespace

// ---------------------------------------------------------------------------
// The source element

struct VantorDemoCamSrc
{
    GstPushSrc parent;
    gchar* deviceName;
    std::shared_ptr<DeviceState>* state;
    SceneRenderer* renderer;
    GstVideoInfo info;
    guint64 frameIndex;
    gstlive::FrameWait* wait;
};

struct VantorDemoCamSrcClass
{
    GstPushSrcClass parent_class;
};

G_DEFINE_TYPE(VantorDemoCamSrc, vantor_demo_cam_src, GST_TYPE_PUSH_SRC)

static void vantor_demo_cam_src_use_device(VantorDemoCamSrc* self, const gchar* name)
{
    g_free(self->deviceName);
    self->deviceName = g_strdup(name ? name : "Vantor Camera (demo)");
    *self->state = DeviceState::forDevice(self->deviceName);
}

static void vantor_demo_cam_src_init(VantorDemoCamSrc* self)
{
    self->deviceName = nullptr;
    self->state = new std::shared_ptr<DeviceState>();
    self->renderer = nullptr;
    self->frameIndex = 0;
    self->wait = new gstlive::FrameWait;
    gst_video_info_init(&self->info);
    vantor_demo_cam_src_use_device(self, nullptr);
    gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
}

static void vantor_demo_cam_src_finalize(GObject* object)
{
    auto* self = reinterpret_cast<VantorDemoCamSrc*>(object);
    delete self->renderer;
    delete self->state;
    g_free(self->deviceName);
    delete self->wait;
    G_OBJECT_CLASS(vantor_demo_cam_src_parent_class)->finalize(object);
}

static void vantor_demo_cam_src_set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec)
{
    auto* self = reinterpret_cast<VantorDemoCamSrc*>(object);
    if (id == kPropDeviceName) {
        vantor_demo_cam_src_use_device(self, g_value_get_string(value));
        return;
    }
    if (id == kPropConnected) {
        (*self->state)->setDisconnected(!g_value_get_boolean(value));
        return;
    }
    if (id >= kPropFirstControl && id < kPropFirstControl + 2 * ControlCount) {
        const auto control = Control((id - kPropFirstControl) / 2);
        if ((id - kPropFirstControl) % 2 == 0)
            (*self->state)->setValue(control, g_value_get_int(value));
        else
            (*self->state)->setAutoMode(control, g_value_get_boolean(value));
        return;
    }
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
}

static void vantor_demo_cam_src_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec)
{
    auto* self = reinterpret_cast<VantorDemoCamSrc*>(object);
    if (id == kPropDeviceName) {
        g_value_set_string(value, self->deviceName);
        return;
    }
    if (id == kPropConnected) {
        g_value_set_boolean(value, !(*self->state)->disconnected());
        return;
    }
    if (id >= kPropFirstControl && id < kPropFirstControl + 2 * ControlCount) {
        const auto control = Control((id - kPropFirstControl) / 2);
        if ((id - kPropFirstControl) % 2 == 0)
            g_value_set_int(value, (*self->state)->value(control));
        else
            g_value_set_boolean(value, (*self->state)->autoMode(control));
        return;
    }
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
}

static GstCaps* vantor_demo_cam_src_get_caps(GstBaseSrc* src, GstCaps* filter)
{
    auto* self = reinterpret_cast<VantorDemoCamSrc*>(src);
    return gstlive::narrow(capsFor(sizesOf(self->deviceName)), filter);
}

static gboolean vantor_demo_cam_src_set_caps(GstBaseSrc* src, GstCaps* caps)
{
    auto* self = reinterpret_cast<VantorDemoCamSrc*>(src);
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, caps))
        return FALSE;
    self->info = info;
    if (!self->renderer)
        self->renderer = new SceneRenderer(*self->state);
    self->renderer->configure(GST_VIDEO_INFO_WIDTH(&info), GST_VIDEO_INFO_HEIGHT(&info));
    GST_DEBUG_OBJECT(self, "streaming %dx%d", GST_VIDEO_INFO_WIDTH(&info), GST_VIDEO_INFO_HEIGHT(&info));
    return TRUE;
}

static gboolean vantor_demo_cam_src_start(GstBaseSrc* src)
{
    auto* self = reinterpret_cast<VantorDemoCamSrc*>(src);
    if ((*self->state)->disconnected()) {
        GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("Camera \"%s\" is not connected.", self->deviceName), (nullptr));
        return FALSE;
    }
    self->frameIndex = 0;
    self->wait->restart();
    return TRUE;
}

static gboolean vantor_demo_cam_src_query(GstBaseSrc* src, GstQuery* query)
{
    return gstlive::answerLatency(query, gst_util_uint64_scale_int(GST_SECOND, 1, kFrameRate))
        || GST_BASE_SRC_CLASS(vantor_demo_cam_src_parent_class)->query(src, query);
}

static GstFlowReturn vantor_demo_cam_src_create(GstPushSrc* src, GstBuffer** out)
{
    auto* self = reinterpret_cast<VantorDemoCamSrc*>(src);
    if ((*self->state)->disconnected()) {
        GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("Camera \"%s\" was disconnected.", self->deviceName), (nullptr));
        return GST_FLOW_ERROR;
    }
    if (!self->renderer || GST_VIDEO_INFO_WIDTH(&self->info) <= 0)
        return GST_FLOW_NOT_NEGOTIATED;

    const GstClockTime duration = gst_util_uint64_scale_int(GST_SECOND, 1, kFrameRate);
    const GstClockTime pts = self->frameIndex * duration;
    // A camera delivers a frame only once it has been exposed.
    const GstFlowReturn waited = self->wait->until(GST_ELEMENT(self), pts + duration);
    if (waited != GST_FLOW_OK)
        return waited;

    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&self->info), nullptr);
    if (!buffer)
        return GST_FLOW_ERROR;
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
        gst_buffer_unref(buffer);
        return GST_FLOW_ERROR;
    }
    self->renderer->render(map.data, GST_VIDEO_INFO_PLANE_STRIDE(&self->info, 0), double(pts) / GST_SECOND);
    gst_buffer_unmap(buffer, &map);
    gstlive::stampFrame(buffer, pts, duration, self->frameIndex++);
    *out = buffer;
    return GST_FLOW_OK;
}

static void vantor_demo_cam_src_class_init(VantorDemoCamSrcClass* klass)
{
    GObjectClass* object = G_OBJECT_CLASS(klass);
    object->finalize = vantor_demo_cam_src_finalize;
    object->set_property = vantor_demo_cam_src_set_property;
    object->get_property = vantor_demo_cam_src_get_property;

    const auto flags = GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
    g_object_class_install_property(
        object, kPropDeviceName,
        g_param_spec_string("device-name", "Device name", "The demo device to show", "Vantor Camera (demo)", flags));
    g_object_class_install_property(object, kPropConnected,
                                    g_param_spec_boolean("connected", "Connected",
                                                         "Whether the device is plugged in; unplugging stops every "
                                                         "stream of the device with an error",
                                                         TRUE, flags));
    for (int c = 0; c < ControlCount; ++c) {
        const ControlInfo& info = controlInfo(Control(c));
        g_object_class_install_property(object, valueProperty(Control(c)),
                                        g_param_spec_int(info.property, info.property, "Camera control", info.minimum,
                                                         info.maximum, info.defaultValue, flags));
        if (!info.autoSupported)
            continue;
        gchar* autoName = g_strdup_printf("%s-auto", info.property);
        g_object_class_install_property(
            object, autoProperty(Control(c)),
            g_param_spec_boolean(g_intern_string(autoName), g_intern_string(autoName), "Automatic mode", TRUE, flags));
        g_free(autoName);
    }

    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    gst_element_class_set_static_metadata(element, "Vantor demo camera", "Source/Video",
                                          "A synthetic camera showing a moving scene with emulated camera controls",
                                          "Vantor Control");
    GstCaps* templ = gst_caps_from_string("video/x-raw, format=BGRx, width=[16, 7680], height=[16, 4320], "
                                          "framerate=30/1, pixel-aspect-ratio=1/1");
    gst_element_class_add_pad_template(element, gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, templ));
    gst_caps_unref(templ);

    GstBaseSrcClass* base = GST_BASE_SRC_CLASS(klass);
    base->get_caps = vantor_demo_cam_src_get_caps;
    base->set_caps = vantor_demo_cam_src_set_caps;
    base->start = vantor_demo_cam_src_start;
    base->query = vantor_demo_cam_src_query;
    gstlive::installUnlock<VantorDemoCamSrc>(base);
    GST_PUSH_SRC_CLASS(klass)->create = vantor_demo_cam_src_create;
}

// ---------------------------------------------------------------------------
// Devices and their provider

struct VantorDemoCamDevice
{
    GstDevice parent;
};

struct VantorDemoCamDeviceClass
{
    GstDeviceClass parent_class;
};

G_DEFINE_TYPE(VantorDemoCamDevice, vantor_demo_cam_device, GST_TYPE_DEVICE)

static void vantor_demo_cam_device_init(VantorDemoCamDevice*) {}

static GstElement* vantor_demo_cam_device_create_element(GstDevice* device, const gchar* name)
{
    GstElement* element = gst_element_factory_make("vantordemocamsrc", name);
    if (element) {
        gchar* display = gst_device_get_display_name(device);
        g_object_set(element, "device-name", display, nullptr);
        g_free(display);
    }
    return element;
}

static void vantor_demo_cam_device_class_init(VantorDemoCamDeviceClass* klass)
{
    GST_DEVICE_CLASS(klass)->create_element = vantor_demo_cam_device_create_element;
}

struct VantorDemoCamProvider
{
    GstDeviceProvider parent;
};

struct VantorDemoCamProviderClass
{
    GstDeviceProviderClass parent_class;
};

G_DEFINE_TYPE(VantorDemoCamProvider, vantor_demo_cam_provider, GST_TYPE_DEVICE_PROVIDER)

static void vantor_demo_cam_provider_init(VantorDemoCamProvider*) {}

static GList* vantor_demo_cam_provider_probe(GstDeviceProvider*)
{
    GList* devices = nullptr;
    for (const DemoDevice& demo : devicesFromEnvironment()) {
        if (DeviceState::forDevice(demo.name)->disconnected())
            continue;
        GstCaps* caps = capsFor(demo.sizes);
        devices = g_list_append(devices, gstlive::newVideoSource(vantor_demo_cam_device_get_type(), demo.name.c_str(),
                                                                 caps, "vantor-demo"));
        gst_caps_unref(caps);
    }
    return devices;
}

static void vantor_demo_cam_provider_class_init(VantorDemoCamProviderClass* klass)
{
    GST_DEVICE_PROVIDER_CLASS(klass)->probe = vantor_demo_cam_provider_probe;
    gst_device_provider_class_set_static_metadata(GST_DEVICE_PROVIDER_CLASS(klass), "Vantor demo camera provider",
                                                  "Source/Video", "Lists the demo cameras named in VANTOR_DEMO_CAMERA",
                                                  "Vantor Control");
}

static gboolean plugin_init(GstPlugin* plugin)
{
    GST_DEBUG_CATEGORY_INIT(vantor_demo_cam_debug, "vantordemocam", 0, "Vantor demo camera");
    // The device list depends on this variable, so a changed value must not be
    // answered from the registry cache.
    gst_plugin_add_dependency_simple(plugin, "VANTOR_DEMO_CAMERA", nullptr, nullptr, GST_PLUGIN_DEPENDENCY_FLAG_NONE);
    return gst_element_register(plugin, "vantordemocamsrc", GST_RANK_NONE, vantor_demo_cam_src_get_type())
        && gst_device_provider_register(plugin, "vantordemocamprovider", GST_RANK_SECONDARY,
                                        vantor_demo_cam_provider_get_type());
}

#define PACKAGE "vantor-control"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, vantordemocam, "Vantor demo camera", plugin_init, "0.25.8",
                  "Proprietary", "Vantor Control", "Vantor Control")
