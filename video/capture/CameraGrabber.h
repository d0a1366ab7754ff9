#pragma once

#include "CameraSetting.h"

#include <QImage>
#include <QObject>
#include <QRecursiveMutex>
#include <QStringList>

#include <functional>
#include <memory>

// Finds the capture devices, runs one of them, converts every delivered sample
// into a 32-bit image (optionally flipped vertically) and keeps the latest
// frame. Also reads and writes the image controls of the product camera.
class CameraGrabber : public QObject
{
    Q_OBJECT
public:
    explicit CameraGrabber(QObject* parent = nullptr);
    // Uses `backend` for devices instead of the platform's capture interface.
    CameraGrabber(std::unique_ptr<class CaptureBackend> backend, QObject* parent = nullptr);
    ~CameraGrabber() override;

    QStringList getDeviceNames();
    // The product's own camera: named like "Vantor Camera", not its infrared one.
    static bool isProductCamera(const QString& name);

    // A negative height asks for a vertical flip; its absolute value is the height.
    bool startCamera(int width, int height, int index, const QString& name, bool openControlDevice);
    // Only the product camera's controls, without any picture: the main
    // device is closed, and the product camera is opened but not run.
    bool startControlDevice(int width, int height);
    void stopCamera();
    void startPreview();
    void stopPreview();
    bool isCameraStarted();
    bool isPreviewing();

    // `frame` becomes a shared copy of the latest frame; `done` is told whether
    // there was one, before the grabber's lock is released.
    void getFrame(QImage& frame, const std::function<void(bool)>& done);

    bool getBrightness(CameraSetting& setting);
    bool getContrast(CameraSetting& setting);
    bool getSaturation(CameraSetting& setting);
    bool getSharpness(CameraSetting& setting);
    bool getWhiteBalance(CameraSetting& setting);
    bool getBacklightCompensation(CameraSetting& setting);
    bool getPowerLine(CameraSetting& setting);
    bool getZoom(CameraSetting& setting);
    bool getExposure(CameraSetting& setting);
    bool getFocus(CameraSetting& setting);

    bool setBrightness(long value, bool autoMode);
    bool setContrast(long value, bool autoMode);
    bool setSaturation(long value, bool autoMode);
    bool setSharpness(long value, bool autoMode);
    bool setWhiteBalance(long value, bool autoMode);
    bool setBacklightCompensation(long value, bool autoMode);
    bool setPowerLine(long value, bool autoMode);
    bool setZoom(long value, bool autoMode);
    bool setExposure(long value, bool autoMode);
    bool setFocus(long value, bool autoMode);

    struct Opaque;

signals:
    void onNewFrameAvailable();
    void onBrightness(long value, bool autoMode);
    void onContrast(long value, bool autoMode);
    void onExposure(long value, bool autoMode);
    void onSaturation(long value, bool autoMode);
    void onSharpness(long value, bool autoMode);
    void onZoom(long value, bool autoMode);
    void onWhiteBalance(long value, bool autoMode);
    void onFocus(long value, bool autoMode);
    void onBacklightCompensation(long value, bool autoMode);
    void onPowerLine(long value, bool autoMode);

private:
    std::shared_ptr<Opaque> _opaque;
    QRecursiveMutex _mutex;
};
