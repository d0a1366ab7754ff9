// Cost of handing work to a Worker: one asynchronous job from submission to run,
// and one synchronous round trip.
#include "Worker.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>
#include <QSemaphore>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QObject target;
    auto worker = Worker::create(&target, true);

    constexpr int kJobs = 200000;
    QSemaphore done(0);
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kJobs; ++i)
        worker->runFunctionAsync([&done](QObject*) { done.release(); });
    done.acquire(kJobs);
    std::printf("worker_async_job_us: %.3f us\n", double(timer.nsecsElapsed()) / kJobs / 1000.0);

    constexpr int kRoundTrips = 20000;
    timer.restart();
    for (int i = 0; i < kRoundTrips; ++i)
        worker->runFunctionSync([](QObject*) {});
    std::printf("worker_sync_roundtrip_us: %.3f us\n", double(timer.nsecsElapsed()) / kRoundTrips / 1000.0);
    return 0;
}
