#pragma once

#include <cstdint>

// One adjustable value with its range and automatic mode. Used for the effect
// settings of the pipeline, camera controls, audio volume and light values.
// For the pipeline, `defaultValue` is the value at which the effect is off.
struct CameraSetting
{
    int32_t value = 0;
    int32_t step = 0;
    int32_t maximum = 0;
    int32_t minimum = 0;
    int32_t defaultValue = 0;
    bool autoSupported = false;
    bool autoMode = false;

    bool isActive() const { return value != defaultValue; }

    // Where `value` sits in the range, 0 at `minimum` and 1 at `maximum` (beyond
    // for stored values outside it). An empty range counts as 0 so that a broken
    // record can never divide by zero.
    double fraction() const
    {
        if (maximum <= minimum)
            return 0.0;
        return (double(value) - double(minimum)) / (double(maximum) - double(minimum));
    }
};
