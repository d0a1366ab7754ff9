// GStreamer plugin "vantorvcam": the live source "vantorvcamsrc" and the
// device provider that lists "Vantor Control".
#include "gstvantorvcamprovider.h"
#include "gstvantorvcamsrc.h"

#include <DriverLog.h>

GST_DEBUG_CATEGORY_STATIC(vantor_vcam_shared_debug);

namespace {

// The plugin runs inside client programs, some of which write video to their
// standard output (`... ! fdsink`): the shared code's lines (clients counted,
// objects refused) go to GStreamer's debug log instead.
void logToGStreamer(DriverLog::Level level, const char* line)
{
    GST_CAT_LEVEL_LOG(vantor_vcam_shared_debug, level == DriverLog::Level::Info ? GST_LEVEL_INFO : GST_LEVEL_WARNING,
                      nullptr, "%s", line);
}

} // namespace

static gboolean plugin_init(GstPlugin* plugin)
{
    GST_DEBUG_CATEGORY_INIT(vantor_vcam_shared_debug, "vantorvcam", 0,
                            "Vantor Control virtual camera: frame channel and client count");
    DriverLog::setSink(logToGStreamer);
    return gst_element_register(plugin, "vantorvcamsrc", GST_RANK_NONE, vantor_vcam_src_get_type())
        && gst_device_provider_register(plugin, "vantorvcamprovider", GST_RANK_SECONDARY,
                                        vantor_vcam_provider_get_type());
}

#define PACKAGE "vantor-control"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, vantorvcam, "Vantor Control virtual camera", plugin_init,
                  "0.25.8", "Proprietary", "Vantor Control", "Vantor Control")
