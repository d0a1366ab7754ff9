#pragma once

#include "CameraProperty.h"

// The image controls of one capture device. Flags follow the capture
// interface's convention: 1 = automatic, 2 = manual.
class CameraControls
{
public:
    enum Flags : long { Auto = 1, Manual = 2 };

    virtual ~CameraControls() = default;

    // Whether the device offers the control group the property belongs to.
    virtual bool hasGroup(ControlGroup group) const = 0;
    virtual bool getRange(CameraProperty p, long& minimum, long& maximum, long& step, long& defaultValue,
                          long& capsFlags) = 0;
    virtual bool get(CameraProperty p, long& value, long& flags) = 0;
    virtual bool set(CameraProperty p, long value, long flags) = 0;
};
