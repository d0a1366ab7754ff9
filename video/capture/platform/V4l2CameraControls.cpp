#include "V4l2CameraControls.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

struct Mapping
{
    unsigned control;
    unsigned autoControl; // 0: none
};

Mapping mappingFor(CameraProperty p)
{
    switch (p) {
    case CameraProperty::Brightness:
        return {V4L2_CID_BRIGHTNESS, 0};
    case CameraProperty::Contrast:
        return {V4L2_CID_CONTRAST, 0};
    case CameraProperty::Saturation:
        return {V4L2_CID_SATURATION, 0};
    case CameraProperty::Sharpness:
        return {V4L2_CID_SHARPNESS, 0};
    case CameraProperty::WhiteBalance:
        return {V4L2_CID_WHITE_BALANCE_TEMPERATURE, V4L2_CID_AUTO_WHITE_BALANCE};
    case CameraProperty::BacklightCompensation:
        return {V4L2_CID_BACKLIGHT_COMPENSATION, 0};
    case CameraProperty::PowerLine:
        return {V4L2_CID_POWER_LINE_FREQUENCY, 0};
    case CameraProperty::Zoom:
        return {V4L2_CID_ZOOM_ABSOLUTE, 0};
    case CameraProperty::Exposure:
        return {V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CID_EXPOSURE_AUTO};
    case CameraProperty::Focus:
        return {V4L2_CID_FOCUS_ABSOLUTE, V4L2_CID_FOCUS_AUTO};
    }
    return {0, 0};
}

class DeviceNode final : public V4l2Io
{
public:
    explicit DeviceNode(QString path)
        : _path(std::move(path))
    {}
    ~DeviceNode() override
    {
        if (_fd >= 0)
            ::close(_fd);
    }

    int xioctl(unsigned long request, void* arg) override
    {
        if (_fd < 0) {
            _fd = ::open(QFile::encodeName(_path).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (_fd < 0)
                return -1;
        }
        int r;
        do {
            r = ::ioctl(_fd, request, arg);
        } while (r < 0 && errno == EINTR);
        return r;
    }

private:
    QString _path;
    int _fd = -1;
};

} // namespace

std::unique_ptr<V4l2Io> V4l2Io::open(const QString& path)
{
    return std::make_unique<DeviceNode>(path);
}

V4l2CameraControls::V4l2CameraControls(std::unique_ptr<V4l2Io> io)
    : _io(std::move(io))
{}

bool V4l2CameraControls::query(unsigned id, long& minimum, long& maximum, long& step, long& def) const
{
    v4l2_queryctrl q {};
    q.id = id;
    if (_io->xioctl(VIDIOC_QUERYCTRL, &q) != 0 || (q.flags & V4L2_CTRL_FLAG_DISABLED))
        return false;
    minimum = q.minimum;
    maximum = q.maximum;
    step = q.step;
    def = q.default_value;
    return true;
}

bool V4l2CameraControls::read(unsigned id, long& value) const
{
    v4l2_control c {};
    c.id = id;
    if (_io->xioctl(VIDIOC_G_CTRL, &c) != 0)
        return false;
    value = c.value;
    return true;
}

bool V4l2CameraControls::write(unsigned id, long value)
{
    v4l2_control c {};
    c.id = id;
    c.value = int(value);
    return _io->xioctl(VIDIOC_S_CTRL, &c) == 0;
}

bool V4l2CameraControls::hasGroup(ControlGroup group) const
{
    for (const CameraPropertyInfo& info : kCameraProperties) {
        long a, b, c, d;
        if (info.group == group && query(mappingFor(info.property).control, a, b, c, d))
            return true;
    }
    return false;
}

bool V4l2CameraControls::isAuto(CameraProperty p, bool& on) const
{
    const unsigned autoId = mappingFor(p).autoControl;
    long value = 0;
    if (autoId == 0 || !read(autoId, value))
        return false;
    // Exposure's automatic control is a menu: everything but "manual" is automatic.
    on = autoId == V4L2_CID_EXPOSURE_AUTO ? value != V4L2_EXPOSURE_MANUAL : value != 0;
    return true;
}

bool V4l2CameraControls::setAuto(CameraProperty p, bool on)
{
    const unsigned autoId = mappingFor(p).autoControl;
    if (autoId == 0)
        return !on;
    if (autoId != V4L2_CID_EXPOSURE_AUTO)
        return write(autoId, on ? 1 : 0);
    if (!on)
        return write(autoId, V4L2_EXPOSURE_MANUAL);
    // Most webcams offer only aperture priority as their automatic exposure.
    return write(autoId, V4L2_EXPOSURE_APERTURE_PRIORITY) || write(autoId, V4L2_EXPOSURE_AUTO);
}

bool V4l2CameraControls::getRange(CameraProperty p, long& minimum, long& maximum, long& step, long& defaultValue,
                                  long& capsFlags)
{
    if (!query(mappingFor(p).control, minimum, maximum, step, defaultValue))
        return false;
    capsFlags = Manual;
    long a, b, c, d;
    if (mappingFor(p).autoControl && query(mappingFor(p).autoControl, a, b, c, d))
        capsFlags |= Auto;
    return true;
}

bool V4l2CameraControls::get(CameraProperty p, long& value, long& flags)
{
    if (!read(mappingFor(p).control, value))
        return false;
    bool on = false;
    flags = isAuto(p, on) && on ? Auto : Manual;
    return true;
}

bool V4l2CameraControls::set(CameraProperty p, long value, long flags)
{
    if (flags & Auto)
        return setAuto(p, true);
    // Manual: leave the automatic mode first, or the camera ignores the value.
    if (mappingFor(p).autoControl) {
        bool on = false;
        if (isAuto(p, on) && on && !setAuto(p, false))
            return false;
    }
    return write(mappingFor(p).control, value);
}
