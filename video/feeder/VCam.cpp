#include "VCam.h"

#include "CameraGrabber.h"
#include "FrameChannel.h"
#include "InstanceCounter.h"
#include "PostProcessor.h"
#include "Worker.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEvent>
#include <QDebug>
#include <QTimer>

#include <atomic>

namespace {

constexpr int kGrabberWidth = 1280;
// Negative: the grabber hands the picture over top row first, the order the
// effects, the channel and every client keep.
constexpr int kGrabberHeight = -720;
constexpr uint32_t kChannelWidth = 1280;
constexpr uint32_t kChannelHeight = 720;
constexpr uint64_t kFrameInterval = 330000; // 100-ns units
constexpr int kClientCheckMs = 2000;
constexpr qint64 kStallMs = 2000;
constexpr int kPendingFrames = 2;

// Confirmed once per process: the virtual camera is installed.
std::atomic<bool> installationConfirmed {false};

bool cameraPermissionGranted()
{
    // Access to cameras is governed by the device nodes here; there is no
    // separate permission to ask for.
    return true;
}

QImage fitToChannel(const QImage& image)
{
    const QSize target {int(kChannelWidth), int(kChannelHeight)};
    const QImage scaled = image.scaled(target, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    return scaled
        .copy(QRect(QPoint((scaled.width() - target.width()) / 2, (scaled.height() - target.height()) / 2), target))
        .convertToFormat(QImage::Format_RGB32);
}

} // namespace

struct VCam::Opaque
{
    explicit Opaque(VCam* o)
        : owner(o)
        , counter(InstanceCounter::kSectionName, InstanceCounter::kMutexName)
    {}
    ~Opaque() { qDebug() << "VCam::Opaque DCTOR"; }

    VCam* owner;
    CameraGrabber* grabber = nullptr;
    FrameChannel::Handle* channel = nullptr;
    InstanceCounter counter;
};

VCam::VCam(BaseSettings* settings, QObject* parent)
    : QObject(parent)
    , _opaque(std::make_shared<Opaque>(this))
{
    if (!_opaque->counter.createOrOpenSharedMemory())
        qWarning() << "Unable to create InstanceCounter!!!";
    // Owned by shared pointer alone (the user interface takes its own
    // reference), so it has no Qt parent that could delete it a second time.
    _postProcessor = std::make_shared<PostProcessor>(settings, nullptr);
    _worker = Worker::create(this, true);
    _worker->setLimit(kPendingFrames);
    _worker->runFunctionSync([this](QObject*) {
        _clientsTimer = new QTimer(this);
        connect(_clientsTimer, &QTimer::timeout, this, &VCam::checkClients);
    });
}

VCam::~VCam()
{
    _worker->runFunctionSync([this](QObject*) {
        if (_clientsTimer)
            _clientsTimer->stop();
    });
    stopGrabber();
    // Deletes left for the worker's loop (the grabber's deleteLater) run before it ends.
    _worker->runFunctionSync([this](QObject*) {
        delete _clientsTimer;
        _clientsTimer = nullptr;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    });
    _worker->stop();
    _worker.reset();
    _postProcessor.reset();
    _opaque.reset();
}

bool VCam::start()
{
    stop();
    if (!installationConfirmed.load() && cameraPermissionGranted()) {
        CameraGrabber probe;
        for (const QString& name : probe.getDeviceNames()) {
            if (name.contains(QLatin1String("Vantor Control"), Qt::CaseInsensitive))
                installationConfirmed = true;
        }
    }
    if (!installationConfirmed.load()) {
        emit onMessage(tr("Vantor Control camera not installed. Try to uninstall and reinstall the application."));
        return false;
    }
    startGrabber();
    _worker->runFunctionSync([this](QObject*) {
        if (!_clientsTimer->isActive())
            _clientsTimer->start(kClientCheckMs);
    });
    return true;
}

bool VCam::startGrabber()
{
    stopGrabber();
    _worker->runFunctionSync([this](QObject*) { setUpGrabber(); });
    const bool running = isGrabberRunning();
    emit onReconnecting(running);
    return running;
}

void VCam::setUpGrabber()
{
    _lastFrameTime = 0;
    auto* grabber = new CameraGrabber();
    _opaque->grabber = grabber;
    const QStringList names = grabber->getDeviceNames();
    int index = -1;
    for (int i = 0; i < names.size(); ++i) {
        if (CameraGrabber::isProductCamera(names[i])) {
            index = i;
            break;
        }
    }
    if (index < 0)
        return;
    if (!grabber->startCamera(kGrabberWidth, kGrabberHeight, index, names[index], false)) {
        emit onMessage(tr("Unable to start physical camera.<br>Make sure you've allowed access to camera devices."));
        return;
    }
    _opaque->channel = FrameChannel::createWriter(kChannelWidth, kChannelHeight, kFrameInterval);
    if (!_opaque->channel) {
        emit onMessage(tr("Unable to create communication mechanism between physical and virtual drivers!"));
        return;
    }
    connect(grabber, &CameraGrabber::onNewFrameAvailable, this, &VCam::onGrabberFrame);
}

void VCam::onGrabberFrame()
{
    if (!_worker->runFunctionAsync([this](QObject*) { processFrame(); }))
        qDebug() << "skipping processSampleBuffer, too much work in queue...";
}

void VCam::processFrame()
{
    if (!_opaque->grabber || !_postProcessor || !_opaque->channel)
        return;
    _lastFrameTime = QDateTime::currentMSecsSinceEpoch();
    QImage frame;
    _opaque->grabber->getFrame(frame, [](bool) {});
    if (frame.isNull())
        return;
    QImage result = _postProcessor->process(frame);
    if (result.isNull())
        return;
    // The channel carries 1280 x 720 frames. A camera without that size (a 4:3
    // one, say) is cropped to 16:9 and scaled, rather than written as rows of
    // the wrong length that would shear the picture.
    if (result.size() != QSize(int(kChannelWidth), int(kChannelHeight)))
        result = fitToChannel(result);
    FrameChannel::writeFrame(_opaque->channel, result.constBits(), uint32_t(result.height() * result.bytesPerLine()),
                             0);
    if (FrameChannel::isLost(_opaque->channel)) {
        // Somebody shrank the section under us: the frames went nowhere.
        // A fresh channel replaces it for the next frame.
        qWarning() << "VCam: the frame channel was damaged; making a new one";
        FrameChannel::close(_opaque->channel);
        _opaque->channel = FrameChannel::createWriter(kChannelWidth, kChannelHeight, kFrameInterval);
        return;
    }
    emit onNewFrameAvailable();
}

void VCam::stopGrabber()
{
    _worker->runFunctionSync([this](QObject*) {
        if (CameraGrabber* grabber = _opaque->grabber) {
            grabber->stopCamera();
            grabber->deleteLater();
            _opaque->grabber = nullptr;
        }
        if (_opaque->channel) {
            FrameChannel::close(_opaque->channel);
            _opaque->channel = nullptr;
        }
    });
}

void VCam::stop()
{
    stopGrabber();
}

bool VCam::isGrabberRunning()
{
    return _worker->runFunctionSyncEx<bool>(
        [this](QObject*) { return _opaque->grabber && _opaque->grabber->isPreviewing() && _opaque->channel; });
}

CameraGrabber* VCam::cameraGrabber()
{
    return _worker->runFunctionSyncEx<CameraGrabber*>([this](QObject*) { return _opaque->grabber; });
}

bool VCam::clientsConnected()
{
    return _clientsConnected;
}

void VCam::setClientsConnected(bool value)
{
    if (value == _clientsConnected)
        return;
    _clientsConnected = value;
    emit onClientsConnectedChanged(value);
}

void VCam::checkClients()
{
    // A counter that could not be opened (or was damaged) is tried again.
    if (!_opaque->counter.isUsable() && !_opaque->counter.createOrOpenSharedMemory())
        qWarning() << "Unable to create InstanceCounter!!!";
    // A client program that was killed never took itself off the count; its
    // mark is released here so that the camera does not run on for nobody.
    if (const int released = _opaque->counter.releaseDeadClients(); released > 0)
        qWarning() << "Released clients that ended without saying so:" << released;
    int32_t count = 0;
    const bool read = _opaque->counter.readValue(count);
    if (read)
        qWarning() << "Connected clients:" << count;
    else
        qWarning() << "Unable to check if there are any clients connected";

    if (read && count <= 0) {
        setClientsConnected(false);
        qDebug() << "Opaque::areAnyClientsConnected() == FALSE";
        if (isGrabberRunning()) {
            qDebug() << "stopping VCam physical grabber - there are no clients connected!";
            stopGrabber();
        }
        return;
    }
    setClientsConnected(true);
    qDebug() << "Opaque::areAnyClientsConnected() == TRUE";
    if (isGrabberRunning()) {
        if (QDateTime::currentMSecsSinceEpoch() - _lastFrameTime < kStallMs)
            return;
        qDebug() << "restarting VCam physical grabber - elapsed >=" << kStallMs;
        startGrabber();
        return;
    }
    qDebug() << "restarting VCam physical grabber, it's not running!";
    startGrabber();
}
