// The feeder end to end on the demo camera, with all effects off:
//   latency_capture_to_client_ms: median time from a camera frame being
//     published by the grabber to the same picture arriving in a client
//     program's buffer (an in-process vantorvcamsrc pipeline);
//   latency_capture_to_display_ms: the same for a client that shows buffers
//     on the pipeline clock. Camera and virtual camera both run at 30 frames
//     per second on their own clocks, so a run's figure depends on their phase;
//   vcam_client_cpu_percent: CPU of a gst-launch-1.0 client receiving I420
//     at 30 frames per second from the feeder (the virtual camera element's
//     work: pacing, reading the channel, converting), over 10 s, as a share
//     of one core;
//   feeder_idle_cpu_percent: CPU of the started feeder with no client (camera
//     stopped), over 10 s, as a share of one core.
#include "ProcessTools.h"
#include "BaseSettings.h"
#include "CameraGrabber.h"
#include "VCam.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QHash>
#include <QMutex>
#include <QTemporaryDir>
#include <QThread>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

size_t pictureHash(const uchar* bytes, qsizetype size)
{
    return qHashBits(bytes, size_t(size));
}

} // namespace

int main(int argc, char** argv)
{
    // A private settings store (all effects off) and shared-memory names of
    // its own, so a running Vantor is neither read nor disturbed.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    qputenv("VANTOR_TEST_NAMESPACE", QByteArray::number(QCoreApplication::applicationPid()));
    qputenv("GST_PLUGIN_PATH", VANTOR_GST_PLUGIN_DIR);
    qputenv("VANTOR_DEMO_CAMERA", "1");
    QCoreApplication app(argc, argv);
    gst_init(nullptr, nullptr);
    BaseSettings settings;

    VCam vcam(&settings);
    if (!vcam.start()) {
        std::fprintf(stderr, "the feeder did not start\n");
        return 1;
    }

    // Idle: no client, so the first client check stops the camera.
    waitFor([&] { return !vcam.isGrabberRunning(); }, 5000, 20);
    QThread::msleep(500);
    const double cpu0 = cpuSeconds();
    QElapsedTimer idle;
    idle.start();
    QThread::msleep(10000);
    const double idlePercent = 100.0 * (cpuSeconds() - cpu0) / (idle.nsecsElapsed() / 1e9);

    // A client arrives; the feeder starts the camera within one check. First a
    // client that takes buffers as they come, then one that shows them on the
    // pipeline clock (adding the one frame of latency the source reports).
    for (const bool sync : {false, true}) {
        const QByteArray description = QByteArray("vantorvcamsrc ! video/x-raw,format=BGRx ! appsink name=out "
                                                  "max-buffers=4 drop=false sync=")
                                     + (sync ? "true" : "false");
        GstElement* client = gst_parse_launch(description.constData(), nullptr);
        gst_element_set_state(client, GST_STATE_PLAYING);
        if (!waitFor([&] { return vcam.isGrabberRunning() && vcam.cameraGrabber(); }, 6000, 20)) {
            std::fprintf(stderr, "the feeder did not start the camera for the client\n");
            return 1;
        }
        QMutex lock;
        QHash<size_t, qint64> published;
        QElapsedTimer clock;
        clock.start();
        CameraGrabber* grabber = vcam.cameraGrabber();
        const QMetaObject::Connection watch = QObject::connect(
            grabber, &CameraGrabber::onNewFrameAvailable, grabber,
            [&] {
                QImage frame;
                grabber->getFrame(frame, nullptr);
                const size_t h = pictureHash(frame.constBits(), frame.sizeInBytes());
                QMutexLocker locker(&lock);
                published.insert(h, clock.nsecsElapsed());
            },
            Qt::DirectConnection);

        GstElement* sink = gst_bin_get_by_name(GST_BIN(client), "out");
        std::vector<double> latencies;
        QElapsedTimer run;
        run.start();
        while (run.elapsed() < 10000) {
            GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), GST_SECOND);
            if (!sample)
                continue;
            const qint64 arrived = clock.nsecsElapsed();
            GstBuffer* buffer = gst_sample_get_buffer(sample);
            GstMapInfo map;
            if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
                const size_t h = pictureHash(map.data, qsizetype(map.size));
                gst_buffer_unmap(buffer, &map);
                QMutexLocker locker(&lock);
                // Each picture counts once, at its first arrival.
                if (auto it = published.find(h); it != published.end()) {
                    latencies.push_back((arrived - it.value()) / 1e6);
                    published.erase(it);
                }
            }
            gst_sample_unref(sample);
        }
        QObject::disconnect(watch);
        gst_object_unref(sink);
        gst_element_set_state(client, GST_STATE_NULL);
        gst_object_unref(client);
        if (latencies.empty()) {
            std::fprintf(stderr, "no camera picture reached the client\n");
            return 1;
        }
        std::sort(latencies.begin(), latencies.end());
        const char* name = sync ? "latency_capture_to_display" : "latency_capture_to_client";
        std::printf("%s_ms: %.1f ms\n", name, latencies[latencies.size() / 2]);
        std::printf("%s_p95_ms: %.1f ms\n", name, latencies[latencies.size() * 95 / 100]);
        // Let the feeder notice the client has gone before the next one comes.
        waitFor([&] { return !vcam.isGrabberRunning(); }, 6000, 20);
    }
    // A client program of its own.
    {
        QProcess client;
        client.start(QStringLiteral("gst-launch-1.0"),
                     {QStringLiteral("-q"), QStringLiteral("vantorvcamsrc"), QStringLiteral("!"),
                      QStringLiteral("video/x-raw,format=I420"), QStringLiteral("!"), QStringLiteral("fakesink"),
                      QStringLiteral("sync=true")});
        if (!client.waitForStarted(5000)
            || !waitFor([&] { return vcam.isGrabberRunning() && vcam.cameraGrabber(); }, 6000, 20)) {
            std::fprintf(stderr, "the client program did not start the camera\n");
            return 1;
        }
        QThread::msleep(1000);
        const double percent = processCpuPercentOver(client.processId(), 10000);
        client.kill();
        client.waitForFinished(5000);
        std::printf("vcam_client_cpu_percent: %.2f %%\n", percent);
        waitFor([&] { return !vcam.isGrabberRunning(); }, 6000, 20);
    }
    std::printf("feeder_idle_cpu_percent: %.2f %%\n", idlePercent);
    vcam.stop();
    // The shared-memory objects of this run's own namespace go with it.
    const QString suffix = QStringLiteral(".%1-").arg(QCoreApplication::applicationPid());
    for (const QString& name : QDir(QStringLiteral("/dev/shm")).entryList(QDir::Files))
        if (name.contains(suffix))
            QFile::remove(QStringLiteral("/dev/shm/") + name);
    return 0;
}
