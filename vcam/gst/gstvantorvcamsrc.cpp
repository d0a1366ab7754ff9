#include "gstvantorvcamsrc.h"

#include "LiveSource.h"

#include <ClientRegistration.h>
#include <FrameDelivery.h>

#include <gst/base/gstpushsrc.h>
#include <gst/video/video.h>

#include <cstring>

GST_DEBUG_CATEGORY_STATIC(vantor_vcam_src_debug);
#define GST_CAT_DEFAULT vantor_vcam_src_debug

namespace {

constexpr int kFrameRate = 30;
// Frames between two looks for clients that died without signing off.
constexpr guint64 kReapEveryFrames = 60;

struct OfferedFormat
{
    vcam::FormatId id;
    const char* gstName;
};

// The offered formats in the order clients see them.
constexpr OfferedFormat kFormats[] = {
    {vcam::FormatARGB32, "BGRA"}, {vcam::FormatRGB32, "BGRx"}, {vcam::FormatI420, "I420"},
    {vcam::FormatNV12, "NV12"},   {vcam::FormatYUY2, "YUY2"},
};

} // namespace

// The formats at full size, then the 32-bit ones at half size: a preview
// (the window's own is 640 x 360) then gets a quarter of the bytes, each pixel
// the mean of a 2 x 2 block, and scales nothing itself. Full size stays the
// choice of a client that leaves the size open.
GstCaps* vantor_vcam_offered_caps(void)
{
    GstCaps* caps = gst_caps_new_empty();
    const auto offer = [caps](const OfferedFormat& f, uint32_t width, uint32_t height) {
        GstStructure* s =
            gst_structure_new("video/x-raw", "format", G_TYPE_STRING, f.gstName, "width", G_TYPE_INT, int(width),
                              "height", G_TYPE_INT, int(height), "framerate", GST_TYPE_FRACTION, kFrameRate, 1,
                              "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
        // The converter's coefficients are those of BT.601 with studio range;
        // without saying so, a 1280 x 720 YUV picture would be read as BT.709.
        if (vcam::converterKind(f.id) != vcam::FrameConverter::Copy)
            gst_structure_set(s, "colorimetry", G_TYPE_STRING, "bt601", nullptr);
        gst_caps_append_structure(caps, s);
    };
    for (const OfferedFormat& f : kFormats)
        offer(f, vcam::kDefaultWidth, vcam::kDefaultHeight);
    for (const OfferedFormat& f : kFormats)
        if (vcam::converterKind(f.id) == vcam::FrameConverter::Copy)
            offer(f, vcam::kDefaultWidth / 2, vcam::kDefaultHeight / 2);
    return caps;
}

namespace {

vcam::FormatId formatOf(GstVideoFormat format)
{
    for (const OfferedFormat& f : kFormats)
        if (gst_video_format_from_string(f.gstName) == format)
            return f.id;
    return vcam::FormatUnknown;
}

GstClockTime frameDuration()
{
    return gst_util_uint64_scale_int(GST_SECOND, 1, kFrameRate);
}

} // namespace

struct VantorVCamSrc
{
    GstPushSrc parent;
    vcam::FrameDelivery* delivery;
    vcam::ClientRegistration* client;
    gstlive::FrameWait* wait;
    GstVideoInfo info;
    vcam::FormatId format;
    GstBuffer* last; // the last picture delivered, repeated when a frame brings nothing new
    guint64 frameIndex;
    GstClockTime firstTime; // running time of the first frame
};

struct VantorVCamSrcClass
{
    GstPushSrcClass parent_class;
};

G_DEFINE_TYPE(VantorVCamSrc, vantor_vcam_src, GST_TYPE_PUSH_SRC)

static void vantor_vcam_src_init(VantorVCamSrc* self)
{
    self->delivery = nullptr;
    self->client = nullptr;
    gst_video_info_init(&self->info);
    self->format = vcam::FormatUnknown;
    self->last = nullptr;
    self->wait = new gstlive::FrameWait;
    self->frameIndex = 0;
    self->firstTime = 0;
    gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
}

static void vantor_vcam_src_finalize(GObject* object)
{
    auto* self = reinterpret_cast<VantorVCamSrc*>(object);
    delete self->delivery;
    delete self->client;
    delete self->wait;
    if (self->last)
        gst_buffer_unref(self->last);
    G_OBJECT_CLASS(vantor_vcam_src_parent_class)->finalize(object);
}

static GstCaps* vantor_vcam_src_get_caps(GstBaseSrc*, GstCaps* filter)
{
    return gstlive::narrow(vantor_vcam_offered_caps(), filter);
}

// I420 unless downstream rules it out.
static GstCaps* vantor_vcam_src_fixate(GstBaseSrc* src, GstCaps* caps)
{
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        GstStructure* s = gst_caps_get_structure(caps, i);
        const GValue* format = gst_structure_get_value(s, "format");
        GValue i420 = G_VALUE_INIT;
        g_value_init(&i420, G_TYPE_STRING);
        g_value_set_static_string(&i420, "I420");
        const bool allowsI420 = format && gst_value_intersect(nullptr, format, &i420);
        g_value_unset(&i420);
        if (!allowsI420)
            continue;
        GstCaps* chosen = gst_caps_new_full(gst_structure_copy(s), nullptr);
        gst_caps_unref(caps);
        gst_structure_set(gst_caps_get_structure(chosen, 0), "format", G_TYPE_STRING, "I420", nullptr);
        caps = chosen;
        break;
    }
    return GST_BASE_SRC_CLASS(vantor_vcam_src_parent_class)->fixate(src, caps);
}

static gboolean vantor_vcam_src_set_caps(GstBaseSrc* src, GstCaps* caps)
{
    auto* self = reinterpret_cast<VantorVCamSrc*>(src);
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, caps))
        return FALSE;
    const vcam::FormatId format = formatOf(GST_VIDEO_INFO_FORMAT(&info));
    const uint32_t w = uint32_t(GST_VIDEO_INFO_WIDTH(&info));
    const uint32_t h = uint32_t(GST_VIDEO_INFO_HEIGHT(&info));
    // Even sizes for the formats that pair or block their pixels; rows may
    // have any padding (buffers are written through their strides).
    if (format == vcam::FormatUnknown || vcam::FrameConverter::requiredBytes(vcam::converterKind(format), w, h) == 0) {
        GST_ERROR_OBJECT(self, "unsupported caps %" GST_PTR_FORMAT, caps);
        return FALSE;
    }
    self->info = info;
    self->format = format;
    if (self->last) { // a picture in the old format cannot be repeated
        gst_buffer_unref(self->last);
        self->last = nullptr;
    }
    GST_DEBUG_OBJECT(self, "delivering %s", gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&info)));
    return TRUE;
}

static gboolean vantor_vcam_src_start(GstBaseSrc* src)
{
    auto* self = reinterpret_cast<VantorVCamSrc*>(src);
    delete self->delivery;
    self->delivery = new vcam::FrameDelivery();
    if (!self->client)
        self->client = new vcam::ClientRegistration();
    self->client->begin();
    self->frameIndex = 0;
    self->wait->restart();
    return TRUE;
}

static gboolean vantor_vcam_src_stop(GstBaseSrc* src)
{
    auto* self = reinterpret_cast<VantorVCamSrc*>(src);
    if (self->client)
        self->client->end();
    delete self->delivery;
    self->delivery = nullptr;
    if (self->last) {
        gst_buffer_unref(self->last);
        self->last = nullptr;
    }
    return TRUE;
}

static gboolean vantor_vcam_src_query(GstBaseSrc* src, GstQuery* query)
{
    return gstlive::answerLatency(query, frameDuration())
        || GST_BASE_SRC_CLASS(vantor_vcam_src_parent_class)->query(src, query);
}

// Buffers come from a pool: downstream's when it offers one (with its row
// padding when it reads video meta), else one of our own, and are reused from
// frame to frame instead of allocated afresh.
static gboolean vantor_vcam_src_decide_allocation(GstBaseSrc* src, GstQuery* query)
{
    GstCaps* caps = nullptr;
    gst_query_parse_allocation(query, &caps, nullptr);
    GstVideoInfo info;
    if (!caps || !gst_video_info_from_caps(&info, caps))
        return FALSE;
    GstBufferPool* pool = nullptr;
    guint size = guint(GST_VIDEO_INFO_SIZE(&info)), min = 0, max = 0;
    const bool offered = gst_query_get_n_allocation_pools(query) > 0;
    if (offered) {
        gst_query_parse_nth_allocation_pool(query, 0, &pool, &size, &min, &max);
        size = MAX(size, guint(GST_VIDEO_INFO_SIZE(&info)));
    }
    // One buffer more than downstream needs: the element keeps the last
    // picture, to repeat it when the channel brings nothing new.
    ++min;
    if (max != 0 && max < min)
        max = min;
    const bool videoMeta = gst_query_find_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
    const auto configure = [&](GstBufferPool* candidate) {
        GstStructure* config = gst_buffer_pool_get_config(candidate);
        gst_buffer_pool_config_set_params(config, caps, size, min, max);
        if (videoMeta)
            gst_buffer_pool_config_add_option(config, GST_BUFFER_POOL_OPTION_VIDEO_META);
        return gst_buffer_pool_set_config(candidate, config);
    };
    // A pool downstream gave that cannot take this configuration is left for one of ours.
    if (pool && !configure(pool)) {
        gst_object_unref(pool);
        pool = nullptr;
    }
    if (!pool) {
        pool = gst_video_buffer_pool_new();
        max = 0;
        if (!configure(pool)) {
            gst_object_unref(pool);
            return FALSE;
        }
    }
    if (offered)
        gst_query_set_nth_allocation_pool(query, 0, pool, size, min, max);
    else
        gst_query_add_allocation_pool(query, pool, size, min, max);
    gst_object_unref(pool);
    return GST_BASE_SRC_CLASS(vantor_vcam_src_parent_class)->decide_allocation(src, query);
}

// A picture nothing has been delivered into yet: black, row by row (a row's
// padding is left as it is).
static void vantor_vcam_src_fill_black(GstVideoFrame* frame)
{
    const GstVideoFormat format = GST_VIDEO_FRAME_FORMAT(frame);
    for (guint p = 0; p < GST_VIDEO_FRAME_N_PLANES(frame); ++p) {
        gint components[GST_VIDEO_MAX_COMPONENTS];
        gst_video_format_info_component(frame->info.finfo, p, components);
        const gint c = components[0];
        const gsize rowBytes = gsize(GST_VIDEO_FRAME_COMP_WIDTH(frame, c)) * GST_VIDEO_FRAME_COMP_PSTRIDE(frame, c);
        for (gint row = 0; row < GST_VIDEO_FRAME_COMP_HEIGHT(frame, c); ++row) {
            auto* data = static_cast<guint8*>(GST_VIDEO_FRAME_PLANE_DATA(frame, p))
                       + gsize(row) * GST_VIDEO_FRAME_PLANE_STRIDE(frame, p);
            if (format == GST_VIDEO_FORMAT_I420 || format == GST_VIDEO_FORMAT_NV12) {
                std::memset(data, p == 0 ? 16 : 128, rowBytes);
            } else if (format == GST_VIDEO_FORMAT_YUY2) {
                for (gsize i = 0; i + 1 < rowBytes; i += 2) {
                    data[i] = 16;
                    data[i + 1] = 128;
                }
            } else {
                for (gsize i = 0; i + 3 < rowBytes; i += 4) {
                    data[i] = data[i + 1] = data[i + 2] = 0;
                    data[i + 3] = 255;
                }
            }
        }
    }
}

static GstFlowReturn vantor_vcam_src_create(GstPushSrc* src, GstBuffer** out)
{
    auto* self = reinterpret_cast<VantorVCamSrc*>(src);
    if (!self->delivery || self->format == vcam::FormatUnknown)
        return GST_FLOW_NOT_NEGOTIATED;

    // Frame n covers the n-th interval from the first frame's time (on the
    // pipeline clock, or the monotonic clock without one): stamped with the
    // interval's start, it shows the channel as it stands at the interval's
    // end and leaves then, one frame after its time stamp, which is the
    // latency the element reports.
    const GstClockTime duration = frameDuration();
    if (self->frameIndex == 0)
        self->firstTime = self->wait->now(GST_ELEMENT(self));
    const GstClockTime pts = self->firstTime + self->frameIndex * duration;
    const GstFlowReturn waited = self->wait->until(GST_ELEMENT(self), pts + duration);
    if (waited != GST_FLOW_OK)
        return waited;

    if (self->frameIndex > 0 && self->frameIndex % kReapEveryFrames == 0 && self->client)
        self->client->reapDeadClients();

    GstBuffer* buffer = nullptr;
    const GstFlowReturn allocated =
        GST_BASE_SRC_CLASS(vantor_vcam_src_parent_class)
            ->alloc(GST_BASE_SRC(self), self->frameIndex, GST_VIDEO_INFO_SIZE(&self->info), &buffer);
    if (allocated != GST_FLOW_OK)
        return allocated;
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &self->info, buffer, GST_MAP_WRITE)) {
        gst_buffer_unref(buffer);
        return GST_FLOW_ERROR;
    }
    vcam::FrameConverter::Planes planes;
    for (guint p = 0; p < GST_VIDEO_FRAME_N_PLANES(&frame) && p < 3; ++p) {
        planes.data[p] = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, p));
        planes.stride[p] = size_t(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p));
    }
    // A frame the channel repeats is not converted again: the last picture
    // goes out once more, sharing its memory.
    self->delivery->allowRepeats(self->last != nullptr);
    const auto result = self->delivery->produce(gint64(pts / 100), self->format, GST_VIDEO_INFO_WIDTH(&self->info),
                                                GST_VIDEO_INFO_HEIGHT(&self->info), planes);
    using Result = vcam::FrameDelivery::Result;
    const bool nothingNew = result == Result::Unfilled || result == Result::Repeated;
    if (nothingNew && !self->last)
        vantor_vcam_src_fill_black(&frame);
    gst_video_frame_unmap(&frame);
    if (nothingNew && self->last) {
        // Nothing new this tick: the previous picture again, sharing its memory.
        gst_buffer_unref(buffer);
        buffer = gst_buffer_copy(self->last);
    } else {
        if (self->last)
            gst_buffer_unref(self->last);
        self->last = gst_buffer_ref(buffer);
    }
    gstlive::stampFrame(buffer, pts, duration, self->frameIndex++);
    *out = buffer;
    return GST_FLOW_OK;
}

static void vantor_vcam_src_class_init(VantorVCamSrcClass* klass)
{
    GObjectClass* object = G_OBJECT_CLASS(klass);
    object->finalize = vantor_vcam_src_finalize;

    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    gst_element_class_set_static_metadata(element, "Vantor Control virtual camera", "Source/Video",
                                          "The processed camera picture published by Vantor Control", "Vantor Control");
    GST_DEBUG_CATEGORY_INIT(vantor_vcam_src_debug, "vantorvcamsrc", 0, "Vantor Control virtual camera source");
    GstCaps* templ = vantor_vcam_offered_caps();
    gst_element_class_add_pad_template(element, gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, templ));
    gst_caps_unref(templ);

    GstBaseSrcClass* base = GST_BASE_SRC_CLASS(klass);
    base->get_caps = vantor_vcam_src_get_caps;
    base->fixate = vantor_vcam_src_fixate;
    base->set_caps = vantor_vcam_src_set_caps;
    base->start = vantor_vcam_src_start;
    base->stop = vantor_vcam_src_stop;
    base->query = vantor_vcam_src_query;
    base->decide_allocation = vantor_vcam_src_decide_allocation;
    gstlive::installUnlock<VantorVCamSrc>(base);
    GST_PUSH_SRC_CLASS(klass)->create = vantor_vcam_src_create;
}
