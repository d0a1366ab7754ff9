#pragma once

#include "CameraSetting.h"

#include <QImage>
#include <QObject>

#include <memory>

#include <opencv2/core.hpp>

class BaseSettings;

// Turns one camera frame into the picture the virtual camera shows. For each
// frame it reads the user's video settings, decides which effect stages are
// active, runs them in the fixed order (segmentation with blur, tone,
// rotation, logo overlay, text overlay) and hands the result back in the
// caller's image: an image the pipeline keeps from frame to frame, which the
// caller's then shares. The caller's frame itself is only read. With no effect
// active the frame is returned untouched.
//
// process() runs on the feeder's worker thread; the getters and setters run on
// the user-interface thread.
class PostProcessor : public QObject
{
    Q_OBJECT
public:
    struct Opaque;

    explicit PostProcessor(BaseSettings* settings, QObject* parent = nullptr);
    ~PostProcessor() override;

    bool getSkinTone(CameraSetting& setting);
    bool getBackgroundBlur(CameraSetting& setting);
    bool getCameraRotation(CameraSetting& setting);
    bool getFineCameraRotation(CameraSetting& setting);

    bool setSkinTone(long value, bool autoMode);
    bool setBackgroundBlur(long value, bool autoMode);
    bool setCameraRotation(long value, bool autoMode);
    bool setFineCameraRotation(long value, bool autoMode);

    // Runs the pipeline on the frame and returns the same object, now holding
    // the result.
    QImage& process(QImage& image);

    // Copies a premultiplied B8G8R8A8 result into the image row by row (source
    // stride: the result's step). A result of another size replaces the image by
    // a Format_ARGB32 image of that size. False, and the image untouched, when
    // the result is empty or not B8G8R8A8.
    static bool readBack(const cv::Mat& result, QImage& image);

signals:
    void onSkinTone(long value, bool autoMode);
    void onBackgroundBlur(long value, bool autoMode);
    void onCameraRotation(long value, bool autoMode);
    void onFineCameraRotation(long value, bool autoMode);

private:
    std::shared_ptr<Opaque> _opaque;
};
