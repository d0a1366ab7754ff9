#include "CameraNode.h"

#include <DriverLog.h>

#include <spa/param/buffers.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <cstring>
#include <ctime>
#include <iterator>
#include <utility>

namespace vcam::pipewire {

namespace {

// Frames between two looks for clients that died without signing off.
constexpr uint64_t kReapEveryFrames = 60;
constexpr uint32_t kBuffers = 8;

uint64_t monotonicNanoseconds()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * SPA_NSEC_PER_SEC + uint64_t(now.tv_nsec);
}

// One EnumFormat per offered format, all at 1280 x 720 and 30 frames per
// second, BT.601 studio range (the converter's coefficients).
const spa_pod* buildFormat(spa_pod_builder* builder, const CameraFormat& format)
{
    spa_video_info_raw info = {};
    info.format = spa_video_format(format.spaFormat);
    info.size = SPA_RECTANGLE(kDefaultWidth, kDefaultHeight);
    info.framerate = SPA_FRACTION(kFrameRate, 1);
    if (format.id != FormatRGB32) {
        info.color_range = SPA_VIDEO_COLOR_RANGE_16_235;
        info.color_matrix = SPA_VIDEO_COLOR_MATRIX_BT601;
    }
    return spa_format_video_raw_build(builder, SPA_PARAM_EnumFormat, &info);
}

// A picture the core could not fill: black, so a consumer never sees the
// bytes of an older frame or of another format.
void fillBlack(FormatId format, const FrameLayout& layout, uint32_t width, uint32_t height, uint8_t* data)
{
    switch (format) {
    case FormatYUY2:
        for (uint32_t row = 0; row < height; ++row) {
            uint8_t* p = data + row * layout.stride[0];
            for (uint32_t i = 0; i < width; ++i) {
                p[2 * i] = 16;
                p[2 * i + 1] = 128;
            }
        }
        break;
    case FormatI420:
    case FormatNV12:
        std::memset(data, 16, layout.offset[1]);
        std::memset(data + layout.offset[1], 128, layout.size - layout.offset[1]);
        break;
    default:
        for (uint32_t row = 0; row < height; ++row) {
            uint8_t* p = data + row * layout.stride[0];
            for (uint32_t i = 0; i < width; ++i) {
                p[4 * i] = p[4 * i + 1] = p[4 * i + 2] = 0;
                p[4 * i + 3] = 255;
            }
        }
        break;
    }
}

} // namespace

CameraNode::CameraNode(pw_loop* loop, pw_core* core, std::function<void(const std::string&)> failed)
    : _loop(loop)
    , _failed(std::move(failed))
{
    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                          "Capture", PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_NODE_NAME, PipeWireCamera::kNodeName,
                          PW_KEY_NODE_DESCRIPTION, PipeWireCamera::kDescription, PW_KEY_NODE_NICK,
                          PipeWireCamera::kDescription, PW_KEY_MEDIA_NAME, PipeWireCamera::kDescription, nullptr);
    _stream = pw_stream_new(core, PipeWireCamera::kDescription, props);
    if (!_stream)
        return;
    static const pw_stream_events events = [] {
        pw_stream_events e = {};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = onStateChanged;
        e.param_changed = onParamChanged;
        e.process = onProcess;
        return e;
    }();
    pw_stream_add_listener(_stream, &_listener, &events, this);
    _tick = pw_loop_add_timer(_loop, onTick, this);
}

CameraNode::~CameraNode()
{
    if (_tick)
        pw_loop_destroy_source(_loop, _tick);
    if (_stream) {
        spa_hook_remove(&_listener);
        pw_stream_destroy(_stream);
    }
    _registration.end();
}

bool CameraNode::publish()
{
    if (!_stream || !_tick)
        return false;
    uint8_t storage[2048];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* params[std::size(kCameraFormats)];
    for (size_t i = 0; i < std::size(kCameraFormats); ++i)
        params[i] = buildFormat(&builder, kCameraFormats[i]);
    // The node drives its own graph: its tick sets the pace, so consumers get
    // 30 frames per second whatever else runs in the session.
    const auto flags = pw_stream_flags(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS);
    return pw_stream_connect(_stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, std::size(params)) == 0;
}

void CameraNode::onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error)
{
    auto* self = static_cast<CameraNode*>(data);
    const bool counts = countsAsClient(state);
    if (counts && !self->_registration.isActive()) {
        DriverLog::write(DriverLog::Level::Info, "a consumer streams from the camera");
        self->_frames = 0;
        self->_registration.begin();
    } else if (!counts && self->_registration.isActive()) {
        DriverLog::write(DriverLog::Level::Info, "no consumer streams from the camera any more");
        self->_registration.end();
    }
    self->setTicking(counts);
    if (state == PW_STREAM_STATE_ERROR && self->_failed)
        self->_failed(error ? error : "stream error");
}

void CameraNode::onParamChanged(void* data, uint32_t id, const spa_pod* param)
{
    if (id == SPA_PARAM_Format)
        static_cast<CameraNode*>(data)->setFormat(param);
}

// A consumer's format: the buffers it needs (one block holding every plane,
// in memory PipeWire can hand to other processes) and a header for the time
// stamps.
void CameraNode::setFormat(const spa_pod* param)
{
    _format = nullptr;
    _lastPicture = nullptr; // the stream's buffers are made afresh
    if (!param)
        return; // the format was cleared (no consumer any more)
    spa_video_info_raw info = {};
    if (spa_format_video_raw_parse(param, &info) < 0)
        return;
    const CameraFormat* format = cameraFormatForSpa(info.format);
    const FrameLayout layout = format ? frameLayout(format->id, info.size.width, info.size.height) : FrameLayout {};
    if (layout.size == 0) {
        pw_stream_set_error(_stream, -EINVAL, "unsupported format");
        return;
    }
    _format = format;
    _width = info.size.width;
    _height = info.size.height;
    _layout = layout;
    DriverLog::write(DriverLog::Level::Info, "delivering %s at %ux%u", format->name, _width, _height);

    uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(kBuffers, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
        SPA_POD_Int(int(layout.size)), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(int(layout.stride[0])),
        SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(int(sizeof(spa_meta_header)))));
    pw_stream_update_params(_stream, params, 2);
}

// The driver's clock: a periodic timer while the stream runs, each tick one
// graph cycle (and so one process call).
void CameraNode::setTicking(bool on)
{
    if (!_tick)
        return;
    timespec value = {}, interval = {};
    if (on) {
        interval.tv_nsec = long(SPA_NSEC_PER_SEC / kFrameRate);
        value = interval;
    }
    pw_loop_update_timer(_loop, _tick, &value, &interval, false);
}

void CameraNode::onTick(void* data, uint64_t)
{
    auto* self = static_cast<CameraNode*>(data);
    pw_stream_trigger_process(self->_stream);
}

void CameraNode::onProcess(void* data)
{
    auto* self = static_cast<CameraNode*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(self->_stream);
    if (!buffer)
        return; // every buffer is with the consumers: this tick brings nothing
    self->fill(buffer);
    pw_stream_queue_buffer(self->_stream, buffer);
}

void CameraNode::fill(pw_buffer* buffer)
{
    spa_buffer* b = buffer->buffer;
    if (b->n_datas < 1)
        return;
    spa_data& d = b->datas[0];
    d.chunk->offset = 0;
    d.chunk->flags = 0;
    auto* base = static_cast<uint8_t*>(d.data);
    if (!_format || !base || d.maxsize < _layout.size) {
        d.chunk->size = 0; // nothing to show: an empty chunk, not stale bytes
        d.chunk->flags = SPA_CHUNK_FLAG_CORRUPTED;
        return;
    }
    if (_frames > 0 && _frames % kReapEveryFrames == 0)
        _registration.reapDeadClients();

    FrameConverter::Planes planes;
    for (uint32_t p = 0; p < _layout.planes; ++p) {
        planes.data[p] = base + _layout.offset[p];
        planes.stride[p] = _layout.stride[p];
    }
    const int64_t t = int64_t(_frames * kDefaultFrameInterval);
    if (_delivery.produce(t, _format->id, _width, _height, planes) == FrameDelivery::Result::Unfilled) {
        // Nothing new to show (a frame dropped as torn, the channel being
        // opened again): the last picture once more, black before the first.
        if (!_lastPicture)
            fillBlack(_format->id, _layout, _width, _height, base);
        else if (_lastPicture != base)
            std::memcpy(base, _lastPicture, _layout.size);
    }
    _lastPicture = base;
    ++_frames;

    d.chunk->size = uint32_t(_layout.size);
    d.chunk->stride = int32_t(_layout.stride[0]);
    if (auto* header =
            static_cast<spa_meta_header*>(spa_buffer_find_meta_data(b, SPA_META_Header, sizeof(spa_meta_header)))) {
        header->flags = 0;
        header->offset = 0;
        header->pts = int64_t(monotonicNanoseconds());
        header->dts_offset = 0;
        header->seq = _sequence++;
    }
}

} // namespace vcam::pipewire
