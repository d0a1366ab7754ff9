// CPU used to capture 1280x720 at 30 frames per second from the demo camera:
// the whole process (camera and grabber), the demo camera alone, and the
// grabber's share (the difference), each over 10 s, as a share of one core.
#include "CameraGrabber.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <gst/gst.h>

#include <atomic>
#include <cstdio>
#include <sys/resource.h>

namespace {

constexpr int kSeconds = 10;

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU share of one core spent while `run` keeps going for kSeconds.
template <typename Start, typename Stop>
double measure(Start start, Stop stop)
{
    start();
    QThread::msleep(1000); // settle
    const double cpu0 = cpuSeconds();
    QElapsedTimer timer;
    timer.start();
    QThread::msleep(kSeconds * 1000);
    const double cpu = cpuSeconds() - cpu0;
    const double wall = timer.nsecsElapsed() / 1e9;
    stop();
    return 100.0 * cpu / wall;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("GST_PLUGIN_PATH", VANTOR_GST_PLUGIN_DIR);
    qputenv("VANTOR_DEMO_CAMERA", "1");
    QCoreApplication app(argc, argv);
    gst_init(nullptr, nullptr);

    CameraGrabber grabber;
    std::atomic<int> frames {0};
    QObject::connect(
        &grabber, &CameraGrabber::onNewFrameAvailable, &grabber, [&] { ++frames; }, Qt::DirectConnection);
    const double whole = measure([&] { grabber.startCamera(1280, -720, 0, QStringLiteral("Vantor Camera"), false); },
                                 [&] { grabber.stopCamera(); });
    const double fps = frames.load() / double(kSeconds + 1);

    GstElement* pipeline =
        gst_parse_launch("vantordemocamsrc ! video/x-raw,width=1280,height=720 ! fakesink sync=false", nullptr);
    const double camera = measure([&] { gst_element_set_state(pipeline, GST_STATE_PLAYING); },
                                  [&] { gst_element_set_state(pipeline, GST_STATE_NULL); });
    gst_object_unref(pipeline);

    std::printf("capture_720p_cpu_percent: %.1f %%\n", whole);
    std::printf("demo_camera_720p_cpu_percent: %.1f %%\n", camera);
    std::printf("grabber_720p_cpu_percent: %.1f %%\n", whole - camera);
    std::printf("capture_720p_fps: %.1f fps\n", fps);
    return 0;
}
