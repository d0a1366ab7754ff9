// The PipeWire camera with the feeder and the demo camera, on a private
// PipeWire with WirePlumber (the program runs itself again inside the tests'
// isolated environment and PipeWire session fixtures):
//   pipewire_consumer_link_to_camera_start_ms: a pipewiresrc consumer links
//     (the camera's stream starts streaming) -> the demo camera's first frame
//     in the channel; bounded by the feeder's 2-second client check;
//   pipewire_delivery_cpu_percent: processor share of vantor-vcam-pipewire
//     (of one core) delivering 1280 x 720 YUY2 at 30 frames per second from
//     the feeder's frames to one consumer, over 10 s.
#include "ProcessTools.h"
#include "BaseSettings.h"
#include "VCam.h"

#include <FrameChannel.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <gst/gst.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

// The sequence number of the channel's newest frame (0 without one).
class ChannelWatch
{
public:
    ~ChannelWatch() { FrameChannel::close(_reader); }
    uint32_t newest()
    {
        if (!_reader)
            _reader = FrameChannel::openReader();
        FrameChannel::Frame frame;
        switch (FrameChannel::pollFrame(_reader, frame)) {
        case FrameChannel::Poll::NewFrame:
        case FrameChannel::Poll::Repeat:
            return frame.sequence;
        case FrameChannel::Poll::Reopen:
            FrameChannel::close(_reader);
            _reader = nullptr;
            return _last;
        default:
            return _last;
        }
    }
    // Remembers the newest frame; later frames count as new.
    void mark() { _last = newest(); }
    bool hasNewFrame() { return newest() != _last; }

private:
    FrameChannel::Handle* _reader = nullptr;
    uint32_t _last = 0;
};

bool waitForLine(QProcess& process, const QByteArray& text, int ms)
{
    QByteArray seen;
    return waitFor(
        [&] {
            process.waitForReadyRead(2);
            seen += process.readAll();
            return seen.contains(text);
        },
        ms);
}

QProcess* startConsumer()
{
    auto* consumer = new QProcess;
    consumer->start(QStringLiteral("gst-launch-1.0"),
                    QProcess::splitCommand(QStringLiteral("-q pipewiresrc target-object=vantor-vcam ! "
                                                          "video/x-raw,format=YUY2 ! fakesink sync=false")));
    return consumer;
}

int measure(int argc, char** argv)
{
    qputenv("GST_PLUGIN_PATH", VANTOR_GST_PLUGIN_DIR);
    qputenv("VANTOR_DEMO_CAMERA", "1");
    QCoreApplication app(argc, argv);
    gst_init(nullptr, nullptr);
    BaseSettings settings;
    VCam feeder(&settings);
    if (!feeder.start()) {
        std::fprintf(stderr, "the feeder did not start\n");
        return 1;
    }
    QProcess camera;
    camera.setProcessChannelMode(QProcess::MergedChannels);
    camera.start(QStringLiteral(VANTOR_VCAM_PIPEWIRE));
    if (!waitForLine(camera, "connected to PipeWire", 10000)) {
        std::fprintf(stderr, "the PipeWire camera did not connect\n");
        return 1;
    }
    ChannelWatch channel;
    int status = 0;
    std::vector<double> starts;
    for (int round = 0; round < 3 && status == 0; ++round) {
        // Idle first: no consumer, so the feeder stops the camera.
        waitFor([&] { return !feeder.isGrabberRunning(); }, 6000);
        QThread::msleep(300);
        channel.mark();
        std::unique_ptr<QProcess> consumer(startConsumer());
        QElapsedTimer sinceLink;
        if (!waitForLine(camera, "a consumer streams", 10000)) {
            std::fprintf(stderr, "the consumer did not link\n");
            status = 1;
            break;
        }
        sinceLink.start();
        if (!waitFor([&] { return channel.hasNewFrame(); }, 8000)) {
            std::fprintf(stderr, "the camera did not start\n");
            status = 1;
            break;
        }
        starts.push_back(sinceLink.nsecsElapsed() / 1e6);
        if (round == 0) {
            QThread::msleep(1000);
            std::printf("pipewire_delivery_cpu_percent: %.2f %%\n", processCpuPercentOver(camera.processId(), 10000));
        }
        consumer->kill();
        consumer->waitForFinished(5000);
    }
    if (!starts.empty()) {
        std::sort(starts.begin(), starts.end());
        std::printf("pipewire_consumer_link_to_camera_start_ms: %.0f ms (median of %zu; %.0f to %.0f)\n",
                    starts[starts.size() / 2], starts.size(), starts.front(), starts.back());
    }
    camera.terminate();
    if (!camera.waitForFinished(5000)) {
        camera.kill();
        camera.waitForFinished(5000);
    }
    feeder.stop();
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    // Outside the fixtures, run again inside them: a private environment
    // (settings, shared-memory names) and a private PipeWire, stopped after.
    if (qEnvironmentVariableIsEmpty("VANTOR_PIPEWIRE_PID")) {
        const QByteArray fixtures = VANTOR_SOURCE_DIR "/tests/fixtures/";
        const QByteArray command = "'" + fixtures + "isolated' '" + fixtures + "pipewire-session' '"
                                 + QFile::encodeName(QFileInfo(QString::fromLocal8Bit(argv[0])).absoluteFilePath())
                                 + "'";
        return std::system(command.constData()) == 0 ? 0 : 1;
    }
    return measure(argc, argv);
}
