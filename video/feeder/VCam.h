#pragma once

#include <QImage>
#include <QObject>

#include <memory>

class BaseSettings;
class PostProcessor;
class QTimer;
class Worker;

// The control application's end of the virtual camera: runs the product camera
// while some program uses the virtual camera, passes every frame through the
// post-processor and publishes it into the shared frame channel. All camera,
// channel and timer work happens on the feeder's own worker thread, where the
// object itself lives.
class VCam : public QObject
{
    Q_OBJECT
public:
    // The feeder moves itself into its worker thread, so it takes no parent.
    VCam(BaseSettings* settings, QObject* parent = nullptr);
    ~VCam() override;

    std::shared_ptr<PostProcessor> postProcessor() const { return _postProcessor; }
    // The grabber feeding the channel now, or null; it lives on the feeder's
    // thread and is replaced on every restart. For measurements and diagnostics.
    class CameraGrabber* cameraGrabber();

    struct Opaque;

public slots:
    virtual bool start();
    virtual bool startGrabber();
    virtual void stopGrabber();
    virtual void stop();
    virtual bool isGrabberRunning();
    virtual bool clientsConnected();
    virtual void setClientsConnected(bool value);

signals:
    void onMessage(QString msg);
    void onNewFrameAvailable();
    void onReconnecting(bool status);
    void onClientsConnectedChanged(bool status);

private:
    void setUpGrabber();
    void onGrabberFrame();
    void processFrame();
    void checkClients();

    std::shared_ptr<Opaque> _opaque;
    std::shared_ptr<Worker> _worker;
    std::shared_ptr<PostProcessor> _postProcessor;
    QTimer* _clientsTimer = nullptr;
    qint64 _lastFrameTime = 0;
    bool _clientsConnected = true;
};
