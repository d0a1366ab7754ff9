#include "CameraGrabber.h"

#include "CameraProperty.h"
#include "FrameMemory.h"
#include "platform/CameraControls.h"
#include "platform/CaptureBackend.h"

#include <QDateTime>
#include <QDebug>
#include <QMutexLocker>
#include <QScopeGuard>

#include <atomic>
#include <cstring>
#include <limits>

namespace {

// At most 60 frames per second are converted.
constexpr double kMinFrameIntervalMs = 1000.0 / 60.0;
// While a stop waits for the grabber, a sample callback gives up rather than
// hold the streaming thread the stop is waiting for.
constexpr int kCallbackLockSliceMs = 2;

} // namespace

bool CameraGrabber::isProductCamera(const QString& name)
{
    return name.contains(QLatin1String("Vantor Camera"), Qt::CaseInsensitive)
        && !name.contains(QLatin1String("IR "), Qt::CaseInsensitive);
}

struct CameraGrabber::Opaque
{
    struct Device
    {
        std::unique_ptr<CaptureDevice> device;
        bool configured = false;
        bool running = false;
    };

    Device* mainDevice = nullptr;
    Device* controlDevice = nullptr;
    CameraGrabber* owner = nullptr;
    std::vector<Device> devices;
    QImage latestFrame;
    qint64 lastFrameTime = 0;
    // Two images written in turn, so a frame someone still holds is never
    // written over and never needs copying away first.
    QImage workImage[2];
    int nextWorkImage = 0;
    bool flipVertical = false;

    std::unique_ptr<CaptureBackend> backend;
    std::atomic<int> stopping {0};

    void refresh()
    {
        devices.clear();
        for (auto& d : backend->enumerate())
            devices.push_back(Device {std::move(d)});
    }

    bool startDevice(Device& d, int width, int height, bool withCallback);
    void stopDevice(Device& d);
    // Opens the product camera as the control device: configured, not run.
    bool openControlDevice(int width, int height);
    void sampleCB(const CaptureSample& sample);
    bool getProperty(CameraProperty p, CameraSetting& setting);
    bool setProperty(CameraProperty p, long value, bool autoMode);
};

bool CameraGrabber::Opaque::startDevice(Device& d, int width, int height, bool withCallback)
{
    // The offered format nearest to the request: smallest product of the two
    // size differences, the first of equal candidates winning. The product is
    // taken in 64 bits so absurd sizes cannot wrap around.
    CameraFormat chosen {width, height, QString()};
    qint64 best = std::numeric_limits<int32_t>::max();
    for (const CameraFormat& f : d.device->formats()) {
        const qint64 score = std::abs(qint64(f.height) - height) * std::abs(qint64(f.width) - width);
        if (score < best) {
            best = score;
            chosen = f;
        }
    }
    const QString size = QStringLiteral("%1x%2").arg(chosen.width).arg(chosen.height);
    const char* preview = withCallback ? "PREVIEWING" : "NO PREVIEW";
    qDebug().noquote() << "Starting" << d.device->name() << "camera at" << size << preview;

    SampleCallback callback;
    if (withCallback)
        callback = [this](const CaptureSample& sample) { sampleCB(sample); };
    d.configured = d.device->configure(chosen, std::move(callback));
    if (withCallback && d.configured)
        d.running = d.device->run();

    if (!d.configured)
        qDebug().noquote() << "Failed to start" << d.device->name() << "camera at" << size << preview;
    else
        qDebug().noquote() << "Successfully started" << d.device->name() << "camera at" << size << 32 << "bits"
                           << preview;
    return d.configured;
}

void CameraGrabber::Opaque::stopDevice(Device& d)
{
    if (d.configured)
        d.device->stop();
    d.configured = false;
    d.running = false;
}

void CameraGrabber::Opaque::sampleCB(const CaptureSample& sample)
{
    QRecursiveMutex& mutex = owner->_mutex;
    while (!mutex.tryLock(kCallbackLockSliceMs)) {
        if (stopping.load())
            return;
    }
    const auto unlock = qScopeGuard([&mutex] { mutex.unlock(); });

    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (sample.length <= 0 || !sample.data || double(now - lastFrameTime) < kMinFrameIntervalMs || !mainDevice)
        return;
    const int w = sample.width;
    const int h = sample.height;
    const int bpp = sample.bitsPerPixel;
    if (w <= 0 || h <= 0 || (bpp != 32 && bpp != 24))
        return;
    const qsizetype rowBytes = qsizetype(w) * (bpp / 8);
    const int stride = sample.stride > 0 ? sample.stride : int(rowBytes);
    // A sample shorter than its stated size is dropped rather than over-read.
    if (stride < rowBytes || sample.length < qint64(stride) * (h - 1) + rowBytes)
        return;

    const QImage::Format format = bpp == 32 ? QImage::Format_RGB32 : QImage::Format_RGB888;
    QImage& image = workImage[nextWorkImage];
    if (image.size() != QSize(w, h) || image.format() != format || !image.isDetached())
        image = framememory::createImage(w, h, format);
    if (image.isNull())
        return;

    // A flip asks for the picture top row first (a capture interface's
    // bottom-up rows turned right way up), no flip for the rows as a bottom-up
    // bitmap holds them. GStreamer's samples run top first already: with a
    // flip their rows are copied in order, without one they are reversed.
    const bool reverse = flipVertical != sample.topDown;
    for (int r = 0; r < h; ++r) {
        const uint8_t* src = sample.data + qsizetype(r) * stride;
        uchar* dst = image.scanLine(reverse ? h - 1 - r : r);
        if (flipVertical && bpp == 32) {
            // Opaque, as a painted RGB32 image must be: the row copied whole,
            // then every pixel's alpha byte set (one vectorised pass).
            std::memcpy(dst, src, size_t(rowBytes));
            auto* pixels = reinterpret_cast<quint32*>(dst);
            for (int x = 0; x < w; ++x)
                pixels[x] |= 0xff000000u;
        } else if (bpp == 32) {
            std::memcpy(dst, src, size_t(rowBytes));
        } else {
            // 24-bit samples are B, G, R; the image keeps R, G, B.
            for (int x = 0; x < w; ++x) {
                dst[3 * x] = src[3 * x + 2];
                dst[3 * x + 1] = src[3 * x + 1];
                dst[3 * x + 2] = src[3 * x];
            }
        }
    }
    latestFrame = image;
    nextWorkImage ^= 1;
    lastFrameTime = now;
    emit owner->onNewFrameAvailable();
}

bool CameraGrabber::Opaque::getProperty(CameraProperty p, CameraSetting& setting)
{
    const CameraPropertyInfo& info = cameraPropertyInfo(p);
    setting = info.fallback();
    QMutexLocker locker(&owner->_mutex);
    if (!controlDevice)
        return false;
    setting = CameraSetting {};
    CameraControls* controls = controlDevice->device->controls();
    long minimum = 0, maximum = 0, step = 0, def = 0, caps = 0;
    if (!controls || !controls->hasGroup(info.group) || !controls->getRange(p, minimum, maximum, step, def, caps))
        return false;
    setting.minimum = int32_t(minimum);
    setting.maximum = int32_t(maximum);
    setting.step = int32_t(step);
    setting.defaultValue = int32_t(def);
    setting.autoSupported = (caps & CameraControls::Auto) != 0;
    long value = 0, flags = 0;
    if (!controls->get(p, value, flags))
        return false;
    setting.value = int32_t(value);
    setting.autoMode = (flags & CameraControls::Auto) != 0;
    return true;
}

bool CameraGrabber::Opaque::setProperty(CameraProperty p, long value, bool autoMode)
{
    const CameraPropertyInfo& info = cameraPropertyInfo(p);
    QMutexLocker locker(&owner->_mutex);
    CameraControls* controls = controlDevice ? controlDevice->device->controls() : nullptr;
    if (!controls || !controls->hasGroup(info.group))
        return false;
    const long flag = autoMode ? CameraControls::Auto : CameraControls::Manual;
    const bool ok = controls->set(p, value, flag);
    if (!ok && info.group == ControlGroup::CameraControl)
        qWarning() << "Error setting value " << value << "with automode (" << flag << ") on property" << info.id;
    return ok;
}

CameraGrabber::CameraGrabber(QObject* parent)
    : CameraGrabber(CaptureBackend::create(), parent)
{}

CameraGrabber::CameraGrabber(std::unique_ptr<CaptureBackend> backend, QObject* parent)
    : QObject(parent)
    , _opaque(std::make_shared<Opaque>())
{
    _opaque->owner = this;
    _opaque->backend = std::move(backend);
    _opaque->refresh();
}

CameraGrabber::~CameraGrabber()
{
    stopCamera();
    // Tear the devices down before the mutex they lock goes away.
    _opaque->devices.clear();
}

QStringList CameraGrabber::getDeviceNames()
{
    QMutexLocker locker(&_mutex);
    QStringList names;
    for (const auto& d : _opaque->devices)
        names << d.device->name();
    return names;
}

bool CameraGrabber::startCamera(int width, int height, int index, const QString& name, bool openControlDevice)
{
    stopCamera();
    qDebug() << "CameraGrabber::startCamera";
    QMutexLocker locker(&_mutex);
    Opaque& o = *_opaque;
    o.flipVertical = height < 0;
    height = std::abs(height);

    const int count = int(o.devices.size());
    if (index >= count)
        return false;

    if (openControlDevice && !o.openControlDevice(width, height))
        return false;

    for (int i = 0; i <= index && !o.mainDevice; ++i) {
        if (o.devices[size_t(i)].device->name().contains(name, Qt::CaseInsensitive))
            o.mainDevice = &o.devices[size_t(i)];
    }
    for (int i = 0; i < count && !o.mainDevice; ++i) {
        if (o.devices[size_t(i)].device->name().contains(name, Qt::CaseInsensitive))
            o.mainDevice = &o.devices[size_t(i)];
    }
    if (o.mainDevice && !o.startDevice(*o.mainDevice, width, height, true))
        o.mainDevice = nullptr;
    return o.mainDevice && o.mainDevice->configured;
}

bool CameraGrabber::Opaque::openControlDevice(int width, int height)
{
    for (auto& d : devices) {
        if (isProductCamera(d.device->name())) {
            controlDevice = &d;
            break;
        }
    }
    if (controlDevice && !startDevice(*controlDevice, width, height, false))
        controlDevice = nullptr;
    return controlDevice != nullptr;
}

bool CameraGrabber::startControlDevice(int width, int height)
{
    stopCamera();
    qDebug() << "CameraGrabber::startControlDevice";
    QMutexLocker locker(&_mutex);
    return _opaque->openControlDevice(width, std::abs(height));
}

void CameraGrabber::stopCamera()
{
    qDebug() << "CameraGrabber::stopCamera";
    ++_opaque->stopping;
    {
        QMutexLocker locker(&_mutex);
        Opaque& o = *_opaque;
        if (o.mainDevice)
            o.stopDevice(*o.mainDevice);
        if (o.controlDevice)
            o.stopDevice(*o.controlDevice);
        o.mainDevice = nullptr;
        o.controlDevice = nullptr;
        o.refresh();
    }
    --_opaque->stopping;
}

void CameraGrabber::startPreview()
{
    qDebug() << "startPreview";
    QMutexLocker locker(&_mutex);
    if (auto* d = _opaque->mainDevice; d && d->configured && d->device->run())
        d->running = true;
}

void CameraGrabber::stopPreview()
{
    qDebug() << "stopPreview";
    QMutexLocker locker(&_mutex);
    if (auto* d = _opaque->mainDevice; d && d->configured && d->device->pause())
        d->running = false;
}

bool CameraGrabber::isCameraStarted()
{
    QMutexLocker locker(&_mutex);
    return _opaque->mainDevice && _opaque->mainDevice->configured;
}

bool CameraGrabber::isPreviewing()
{
    QMutexLocker locker(&_mutex);
    return _opaque->mainDevice && _opaque->mainDevice->configured && _opaque->mainDevice->running;
}

void CameraGrabber::getFrame(QImage& frame, const std::function<void(bool)>& done)
{
    QMutexLocker locker(&_mutex);
    frame = _opaque->latestFrame;
    if (done)
        done(!frame.isNull());
}

#define VANTOR_CAMERA_PROPERTY(Name)                                                                                   \
    bool CameraGrabber::get##Name(CameraSetting& setting)                                                              \
    {                                                                                                                  \
        return _opaque->getProperty(CameraProperty::Name, setting);                                                    \
    }                                                                                                                  \
    bool CameraGrabber::set##Name(long value, bool autoMode)                                                           \
    {                                                                                                                  \
        return _opaque->setProperty(CameraProperty::Name, value, autoMode);                                            \
    }

VANTOR_CAMERA_PROPERTY(Brightness)
VANTOR_CAMERA_PROPERTY(Contrast)
VANTOR_CAMERA_PROPERTY(Saturation)
VANTOR_CAMERA_PROPERTY(Sharpness)
VANTOR_CAMERA_PROPERTY(WhiteBalance)
VANTOR_CAMERA_PROPERTY(BacklightCompensation)
VANTOR_CAMERA_PROPERTY(PowerLine)
VANTOR_CAMERA_PROPERTY(Zoom)
VANTOR_CAMERA_PROPERTY(Exposure)
VANTOR_CAMERA_PROPERTY(Focus)

#undef VANTOR_CAMERA_PROPERTY
