#pragma once

#include <QList>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class CameraControls;

// One frame size a capture device offers, with its pixel format's name.
struct CameraFormat
{
    int32_t width = 0;
    int32_t height = 0;
    QString subtype;

    bool operator==(const CameraFormat&) const = default;
};

// One delivered sample. The grabber reads it in device-independent-bitmap
// order, bottom row first, as capture drivers traditionally deliver RGB; a
// backend whose buffers hold the top row first says so with `topDown`, and the
// grabber then reads its rows from the end.
struct CaptureSample
{
    const uint8_t* data = nullptr;
    int64_t length = 0;
    int width = 0;
    int height = 0;
    int bitsPerPixel = 0;
    int stride = 0;
    bool topDown = false;
};

using SampleCallback = std::function<void(const CaptureSample&)>;

// A capture device with its stream ready to be configured and run. Samples
// arrive on the device's streaming thread.
class CaptureDevice
{
public:
    virtual ~CaptureDevice() = default;

    virtual QString name() const = 0;
    virtual QList<CameraFormat> formats() const = 0;
    // The device's image controls, or null when it has none.
    virtual CameraControls* controls() = 0;

    // Sets the stream to `format` (32-bit output) and prepares it; samples go
    // to `callback` once running. Returns whether the stream could be set up.
    virtual bool configure(const CameraFormat& format, SampleCallback callback) = 0;
    virtual bool run() = 0;
    virtual bool pause() = 0;
    // Stops the stream and waits until it has stopped; no sample arrives after.
    virtual void stop() = 0;
};

class CaptureBackend
{
public:
    virtual ~CaptureBackend() = default;
    // The capture devices present now, in a stable order.
    virtual std::vector<std::unique_ptr<CaptureDevice>> enumerate() = 0;

    static std::unique_ptr<CaptureBackend> create();
};
