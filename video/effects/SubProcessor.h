#pragma once

#include "Bitmap.h"
#include "CameraSetting.h"

#include <QObject>
#include <QRecursiveMutex>

#include <cstdint>
#include <memory>

class Worker;

// Base of every effect stage of the pipeline. A stage takes the previous stage's
// picture and returns its own result, normally a target bitmap it keeps between
// frames. Runs are throttled to `maxRate` per second: a call that comes sooner
// returns the previous result. Each stage owns a worker thread, used only by
// processImageAsync.
class SubProcessor : public QObject
{
    Q_OBJECT
public:
    // Private state of a stage; each stage derives its own from this.
    struct OpaqueBase
    {
        explicit OpaqueBase(SubProcessor* owner)
            : owner(owner)
        {}
        virtual ~OpaqueBase() = default;
        OpaqueBase(const OpaqueBase&) = delete;
        OpaqueBase& operator=(const OpaqueBase&) = delete;

        SubProcessor* owner; // not owned
        BitmapPtr output;    // the latest result, guarded by the stage mutex
    };

    explicit SubProcessor(int64_t maxRate = 1000);
    ~SubProcessor() override;

    virtual BitmapPtr processImage(BitmapPtr input, float& width, float& height, const CameraSetting& setting);
    // Posts processImage with copies of the arguments to the stage's worker and
    // returns at once with the current output.
    virtual BitmapPtr processImageAsync(BitmapPtr input, float& width, float& height, const CameraSetting& setting);
    virtual BitmapPtr processImagePair(BitmapPtr first, BitmapPtr second);
    virtual BitmapPtr currentOutput();

    int64_t maxRate() const { return _maxRate; }
    // Runs allowed per second; at 1001 and above the throttle never skips.
    void setMaxRate(int64_t rate) { _maxRate = rate; }

protected:
    // The throttle: true (and the run time noted) when the stage may run now.
    bool shouldRun();
    // Publishes `bmp` as the stage's output under the stage mutex.
    void setOutput(const BitmapPtr& bmp);
    // Stops and joins the worker; derived destructors call it before their own
    // state goes, so no queued run can reach a half-destroyed stage.
    void stopWorker();

    std::shared_ptr<OpaqueBase> _opaque;
    std::shared_ptr<Worker> _worker;
    QRecursiveMutex _mutex;
    int64_t _lastRunTime = 0;
    int64_t _maxRate = 1000;
};
