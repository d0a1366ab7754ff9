#pragma once

#include "CameraControls.h"

#include <QString>

#include <memory>

// The control requests a V4L2 device node answers; tests put an emulated device
// in its place.
class V4l2Io
{
public:
    virtual ~V4l2Io() = default;
    // As ioctl(2): 0 on success, -1 with errno set on failure.
    virtual int xioctl(unsigned long request, void* arg) = 0;

    // The device node at `path`, opened on first use.
    static std::unique_ptr<V4l2Io> open(const QString& path);
};

// Camera controls through the V4L2 control interface: each property maps to a
// V4L2 control and, where the camera has one, the control switching its
// automatic mode.
class V4l2CameraControls final : public CameraControls
{
public:
    explicit V4l2CameraControls(std::unique_ptr<V4l2Io> io);

    bool hasGroup(ControlGroup group) const override;
    bool getRange(CameraProperty p, long& minimum, long& maximum, long& step, long& defaultValue,
                  long& capsFlags) override;
    bool get(CameraProperty p, long& value, long& flags) override;
    bool set(CameraProperty p, long value, long flags) override;

private:
    bool query(unsigned id, long& minimum, long& maximum, long& step, long& def) const;
    bool read(unsigned id, long& value) const;
    bool write(unsigned id, long value);
    bool isAuto(CameraProperty p, bool& on) const;
    bool setAuto(CameraProperty p, bool on);

    std::unique_ptr<V4l2Io> _io;
};
