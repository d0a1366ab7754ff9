// What the project's live GStreamer sources share (the virtual camera here,
// the demo camera in video/democam): frames paced on the pipeline clock by a
// wait that unlock() cuts short, offered caps narrowed by a filter, the
// latency answer of a source that delivers each frame one interval after it
// began, and the device objects their providers list.
#pragma once

#include <gst/base/gstbasesrc.h>
#include <gst/gst.h>

namespace gstlive {

// The wait of a live source for a frame's time. unlock() ends a wait under
// way, and every later one until unlockStop(), as GstBaseSrc asks of its
// unlock and unlock_stop.
class FrameWait
{
public:
    FrameWait();
    ~FrameWait();
    FrameWait(const FrameWait&) = delete;
    FrameWait& operator=(const FrameWait&) = delete;

    // Starts the element's time afresh (used only when it has no clock).
    void restart();
    // The element's running time: on its clock, or the monotonic time since
    // restart() when it has none.
    GstClockTime now(GstElement* element);
    // Waits until `runningTime` (as now() counts it). GST_FLOW_FLUSHING when
    // unlocked meanwhile.
    GstFlowReturn until(GstElement* element, GstClockTime runningTime);

    void unlock();
    void unlockStop();

private:
    GMutex lock_;
    GCond woken_;
    GstClockID pending_ = nullptr;
    bool flushing_ = false;
    gint64 monotonicStart_ = 0;
};

// Makes GstBaseSrc's unlock and unlock_stop cut short the FrameWait that
// `Element::wait` points to.
template <typename Element>
void installUnlock(GstBaseSrcClass* base)
{
    base->unlock = [](GstBaseSrc* src) -> gboolean {
        reinterpret_cast<Element*>(src)->wait->unlock();
        return TRUE;
    };
    base->unlock_stop = [](GstBaseSrc* src) -> gboolean {
        reinterpret_cast<Element*>(src)->wait->unlockStop();
        return TRUE;
    };
}

// Stamps frame number `index` of a live stream: its time, duration and offsets.
void stampFrame(GstBuffer* buffer, GstClockTime pts, GstClockTime duration, guint64 index);

// `offered` narrowed to `filter` (when there is one), filter's order first.
// Takes `offered`.
GstCaps* narrow(GstCaps* offered, GstCaps* filter);

// Answers a latency query for a live source whose frames leave at most `frame`
// after their time stamp, with no upper bound (a sink may add its processing
// deadline): TRUE when `query` was one.
gboolean answerLatency(GstQuery* query, GstClockTime frame);

// A device of class Video/Source for a provider's list (reference owned by
// the caller, not floating). `type` derives from GstDevice.
GstDevice* newVideoSource(GType type, const char* displayName, GstCaps* caps, const char* api);

} // namespace gstlive
