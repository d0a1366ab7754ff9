#include "gstvantorvcamprovider.h"

#include "LiveSource.h"
#include "gstvantorvcamsrc.h"

GST_DEBUG_CATEGORY_STATIC(vantor_vcam_provider_debug);
#define GST_CAT_DEFAULT vantor_vcam_provider_debug

namespace {

constexpr char kDeviceName[] = "Vantor Control";

} // namespace

struct VantorVCamDevice
{
    GstDevice parent;
};

struct VantorVCamDeviceClass
{
    GstDeviceClass parent_class;
};

G_DEFINE_TYPE(VantorVCamDevice, vantor_vcam_device, GST_TYPE_DEVICE)

static void vantor_vcam_device_init(VantorVCamDevice*) {}

static GstElement* vantor_vcam_device_create_element(GstDevice*, const gchar* name)
{
    return gst_element_factory_make("vantorvcamsrc", name);
}

static void vantor_vcam_device_class_init(VantorVCamDeviceClass* klass)
{
    GST_DEVICE_CLASS(klass)->create_element = vantor_vcam_device_create_element;
}

struct VantorVCamProvider
{
    GstDeviceProvider parent;
};

struct VantorVCamProviderClass
{
    GstDeviceProviderClass parent_class;
};

G_DEFINE_TYPE(VantorVCamProvider, vantor_vcam_provider, GST_TYPE_DEVICE_PROVIDER)

static void vantor_vcam_provider_init(VantorVCamProvider*) {}

static GList* vantor_vcam_provider_probe(GstDeviceProvider* provider)
{
    GstCaps* caps = vantor_vcam_offered_caps();
    GstDevice* device = gstlive::newVideoSource(vantor_vcam_device_get_type(), kDeviceName, caps, "vantor-vcam");
    gst_caps_unref(caps);
    GST_DEBUG_OBJECT(provider, "listing \"%s\"", kDeviceName);
    return g_list_append(nullptr, device);
}

static void vantor_vcam_provider_class_init(VantorVCamProviderClass* klass)
{
    GST_DEBUG_CATEGORY_INIT(vantor_vcam_provider_debug, "vantorvcamprovider", 0,
                            "Vantor Control virtual camera device provider");
    GST_DEVICE_PROVIDER_CLASS(klass)->probe = vantor_vcam_provider_probe;
    gst_device_provider_class_set_static_metadata(GST_DEVICE_PROVIDER_CLASS(klass), "Vantor Control camera provider",
                                                  "Source/Video", "Lists the Vantor Control virtual camera",
                                                  "Vantor Control");
}
