#include "LiveSource.h"

namespace gstlive {

FrameWait::FrameWait()
{
    g_mutex_init(&lock_);
    g_cond_init(&woken_);
    restart();
}

FrameWait::~FrameWait()
{
    g_cond_clear(&woken_);
    g_mutex_clear(&lock_);
}

void FrameWait::restart()
{
    monotonicStart_ = g_get_monotonic_time();
}

GstClockTime FrameWait::now(GstElement* element)
{
    GstClock* clock = gst_element_get_clock(element);
    if (!clock)
        return GstClockTime(g_get_monotonic_time() - monotonicStart_) * GST_USECOND;
    const GstClockTime now = gst_clock_get_time(clock);
    const GstClockTime base = gst_element_get_base_time(element);
    gst_object_unref(clock);
    return now > base ? now - base : 0;
}

GstFlowReturn FrameWait::until(GstElement* element, GstClockTime runningTime)
{
    GstClock* clock = gst_element_get_clock(element);
    g_mutex_lock(&lock_);
    if (!clock) {
        const gint64 due = monotonicStart_ + gint64(runningTime / GST_USECOND);
        while (!flushing_ && g_cond_wait_until(&woken_, &lock_, due)) {}
        const bool flushing = flushing_;
        g_mutex_unlock(&lock_);
        return flushing ? GST_FLOW_FLUSHING : GST_FLOW_OK;
    }
    if (flushing_) {
        g_mutex_unlock(&lock_);
        gst_object_unref(clock);
        return GST_FLOW_FLUSHING;
    }
    pending_ = gst_clock_new_single_shot_id(clock, gst_element_get_base_time(element) + runningTime);
    GstClockID id = gst_clock_id_ref(pending_);
    g_mutex_unlock(&lock_);
    const GstClockReturn result = gst_clock_id_wait(id, nullptr);
    g_mutex_lock(&lock_);
    gst_clock_id_unref(pending_);
    pending_ = nullptr;
    g_mutex_unlock(&lock_);
    gst_clock_id_unref(id);
    gst_object_unref(clock);
    return result == GST_CLOCK_UNSCHEDULED ? GST_FLOW_FLUSHING : GST_FLOW_OK;
}

void FrameWait::unlock()
{
    g_mutex_lock(&lock_);
    flushing_ = true;
    if (pending_)
        gst_clock_id_unschedule(pending_);
    g_cond_broadcast(&woken_);
    g_mutex_unlock(&lock_);
}

void FrameWait::unlockStop()
{
    g_mutex_lock(&lock_);
    flushing_ = false;
    g_mutex_unlock(&lock_);
}

void stampFrame(GstBuffer* buffer, GstClockTime pts, GstClockTime duration, guint64 index)
{
    GST_BUFFER_PTS(buffer) = pts;
    GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_DURATION(buffer) = duration;
    GST_BUFFER_OFFSET(buffer) = index;
    GST_BUFFER_OFFSET_END(buffer) = index + 1;
}

GstCaps* narrow(GstCaps* offered, GstCaps* filter)
{
    if (!filter)
        return offered;
    GstCaps* both = gst_caps_intersect_full(filter, offered, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(offered);
    return both;
}

gboolean answerLatency(GstQuery* query, GstClockTime frame)
{
    if (GST_QUERY_TYPE(query) != GST_QUERY_LATENCY)
        return FALSE;
    // No upper bound: a sink may add its processing deadline on top.
    gst_query_set_latency(query, TRUE, frame, GST_CLOCK_TIME_NONE);
    return TRUE;
}

GstDevice* newVideoSource(GType type, const char* displayName, GstCaps* caps, const char* api)
{
    GstStructure* props = gst_structure_new("properties", "device.api", G_TYPE_STRING, api, nullptr);
    auto* device = static_cast<GstDevice*>(g_object_new(type, "display-name", displayName, "caps", caps, "device-class",
                                                        "Video/Source", "properties", props, nullptr));
    gst_structure_free(props);
    return GST_DEVICE(gst_object_ref_sink(device));
}

} // namespace gstlive
