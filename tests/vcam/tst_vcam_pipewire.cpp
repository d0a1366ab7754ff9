// The PipeWire camera as PipeWire programs see it, on a private PipeWire with
// WirePlumber (tests/fixtures/pipewire-session): the node is listed as a
// camera, every offered format streams at 30 frames per second carrying the
// channel's picture (or the pulsing placeholder), the camera counts as a
// client exactly while consumers stream, consumers come and go (one after
// another, two at once, killed), and the node comes back after the daemon is
// killed and started again. With the control application's feeder in the
// test process, the demo camera runs exactly while a consumer streams.
#include "VCamTestSupport.h"
#include "YuvReference.h"

#include <BaseSettings.h>
#include <CameraLayout.h>
#include <DemoCameraTools.h>
#include <FrameChannel.h>
#include <FrameDelivery.h>
#include <Placeholder.h>
#include <VCam.h>
#include <platform/CaptureBackend.h>

#include <QtTest>

#include <csignal>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

using namespace vcamtest;
namespace pwcam = vcam::pipewire;

namespace {

const char* referenceKind(const QByteArray& format)
{
    return format == "BGRx" ? "COPY" : format.constData();
}

// A consumer of the camera node in `format`, ending after `buffers` frames
// (0: never).
QByteArray consumerPipeline(const QByteArray& format, const QByteArray& sink, int buffers = 0)
{
    const QByteArray count = buffers > 0 ? " num-buffers=" + QByteArray::number(buffers) : QByteArray();
    return "pipewiresrc target-object=vantor-vcam" + count + " ! video/x-raw,format=" + format + " ! " + sink;
}

// A gst-launch-1.0 consumer; killed if still running when dropped.
struct Consumer
{
    explicit Consumer(const QByteArray& format, int buffers = 0)
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral("gst-launch-1.0"), QProcess::splitCommand(QString::fromLatin1(
                                                            consumerPipeline(format, "fakesink sync=false", buffers))));
    }
    ~Consumer()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    // True when the consumer ended by itself, successfully, within timeoutMs.
    bool finishes(int timeoutMs = 15000)
    {
        return process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    }
    QProcess process;
};

QByteArray run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished(5000);
    }
    return p.readAllStandardOutput();
}

bool alive(qint64 pid)
{
    return pid > 0 && ::kill(pid_t(pid), 0) == 0;
}

// Processor time (user and system) a process has used so far, in clock ticks.
qint64 cpuTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    // Fields after the command's closing parenthesis: state is field 3, utime 14, stime 15.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields[11].toLongLong() + fields[12].toLongLong() : -1;
}

// True when the channel's newest frame holds the demo camera's scene (its
// moving light), as the PipeWire camera would deliver it.
bool channelShowsTheScene()
{
    vcam::FrameDelivery delivery;
    QImage image(1280, 720, QImage::Format_RGB32);
    return delivery.produce(0, vcam::FormatRGB32, 1280, 720, image.bits(), size_t(image.sizeInBytes()))
            == vcam::FrameDelivery::Result::Live
        && !demo::lightRows(image).isEmpty();
}

// A V4L2-only program, run by the test through pw-v4l2: opens /dev/video0,
// asks for 1280 x 720 YUYV (taking the format the device answers with, as
// V4L2 programs do: PipeWire's layer answers with the node's current format
// while it has one), receives frames through memory-mapped buffers and prints
// the card's name, the format and how long 30 frames took after the first.
int v4l2Consumer()
{
    const int fd = ::open("/dev/video0", O_RDWR);
    if (fd < 0)
        return 2;
    v4l2_capability cap = {};
    v4l2_format format = {};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = 1280;
    format.fmt.pix.height = 720;
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    v4l2_requestbuffers request = {};
    request.count = 4;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (::ioctl(fd, VIDIOC_QUERYCAP, &cap) < 0 || ::ioctl(fd, VIDIOC_S_FMT, &format) < 0
        || ::ioctl(fd, VIDIOC_REQBUFS, &request) < 0 || request.count < 1)
        return 3;
    for (uint32_t i = 0; i < request.count; ++i) {
        v4l2_buffer b = {};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        b.index = i;
        if (::ioctl(fd, VIDIOC_QUERYBUF, &b) < 0
            || ::mmap(nullptr, b.length, PROT_READ, MAP_SHARED, fd, b.m.offset) == MAP_FAILED
            || ::ioctl(fd, VIDIOC_QBUF, &b) < 0)
            return 4;
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (::ioctl(fd, VIDIOC_STREAMON, &type) < 0)
        return 5;
    QElapsedTimer timer;
    for (int frame = 0; frame <= 30; ++frame) {
        pollfd p = {fd, POLLIN, 0};
        v4l2_buffer b = {};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        if (::poll(&p, 1, 3000) <= 0 || ::ioctl(fd, VIDIOC_DQBUF, &b) < 0 || b.bytesused < format.fmt.pix.sizeimage)
            return 6;
        if (frame == 0)
            timer.start();
        ::ioctl(fd, VIDIOC_QBUF, &b);
    }
    std::printf("card=%s format=%.4s ms=%lld\n", reinterpret_cast<const char*>(cap.card),
                reinterpret_cast<const char*>(&format.fmt.pix.pixelformat), static_cast<long long>(timer.elapsed()));
    ::ioctl(fd, VIDIOC_STREAMOFF, &type);
    ::close(fd);
    return 0;
}

} // namespace

class VCamPipeWireTest : public QObject
{
    Q_OBJECT

    QProcess camera;
    QByteArray cameraLog;
    InstanceCounter feeder {InstanceCounter::kSectionName, InstanceCounter::kMutexName};
    // The daemon and session manager started again by the restart test.
    QProcess daemon;
    QProcess sessionManager;

    QByteArray readCameraLog()
    {
        cameraLog += camera.readAll();
        return cameraLog;
    }
    bool waitForCameraLine(const QByteArray& text, int occurrences, int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (readCameraLog().count(text) < occurrences && !deadline.hasExpired())
            camera.waitForReadyRead(50);
        return cameraLog.count(text) >= occurrences;
    }
    // The camera node as pw-dump shows it (empty while it is not listed).
    QJsonObject cameraNodeProps()
    {
        const QJsonArray objects =
            QJsonDocument::fromJson(run(QStringLiteral("pw-dump"), {QStringLiteral("Node")})).array();
        for (const QJsonValue& o : objects) {
            const QJsonObject props = o[QStringLiteral("info")][QStringLiteral("props")].toObject();
            if (props[QStringLiteral("node.name")].toString() == QLatin1String("vantor-vcam"))
                return props;
        }
        return {};
    }
    bool waitForNode(int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (cameraNodeProps().isEmpty() && !deadline.hasExpired())
            QTest::qWait(100);
        return !cameraNodeProps().isEmpty();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(qEnvironmentVariableIsSet("VANTOR_PIPEWIRE_PID"), "run inside tests/fixtures/pipewire-session");
        gst_init(nullptr, nullptr);
        // Like the control application, keep the counter open all along.
        QVERIFY(feeder.createOrOpenSharedMemory());
        QCOMPARE(clientCount(), 0);
        camera.setProcessChannelMode(QProcess::MergedChannels);
        camera.start(QStringLiteral(VCAM_PIPEWIRE_PROGRAM));
        QVERIFY(waitForCameraLine("connected to PipeWire", 1));
    }

    // The pure rules the program builds on: plane layouts for tight and
    // padded strides, sizes the formats refuse, and which states count.
    void layoutsAndCounting_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("stride");
        QTest::addColumn<QList<qlonglong>>("expected"); // planes, offsets 1 and 2, strides 0..2, size
        QTest::newRow("YUY2") << int(vcam::FormatYUY2) << 1280 << 720 << 0
                              << QList<qlonglong> {1, 0, 0, 2560, 0, 0, 2560 * 720};
        QTest::newRow("YUY2 padded") << int(vcam::FormatYUY2) << 1280 << 720 << 2600
                                     << QList<qlonglong> {1, 0, 0, 2600, 0, 0, 2600 * 720};
        QTest::newRow("BGRx") << int(vcam::FormatRGB32) << 1280 << 720 << 0
                              << QList<qlonglong> {1, 0, 0, 5120, 0, 0, 5120 * 720};
        QTest::newRow("I420") << int(vcam::FormatI420) << 1280 << 720 << 0
                              << QList<qlonglong> {3, 921600, 1152000, 1280, 640, 640, 1382400};
        QTest::newRow("I420 odd half row")
            << int(vcam::FormatI420) << 1282 << 2 << 0 << QList<qlonglong> {3, 2568, 3212, 1284, 644, 644, 3856};
        QTest::newRow("I420 padded") << int(vcam::FormatI420) << 1280 << 720 << 1344
                                     << QList<qlonglong> {3, 967680, 1209600, 1344, 672, 672, 1451520};
        QTest::newRow("NV12") << int(vcam::FormatNV12) << 1280 << 720 << 0
                              << QList<qlonglong> {2, 921600, 0, 1280, 1280, 0, 1382400};
        QTest::newRow("stride too short")
            << int(vcam::FormatYUY2) << 1280 << 720 << 2000 << QList<qlonglong> {0, 0, 0, 0, 0, 0, 0};
        QTest::newRow("odd height I420") << int(vcam::FormatI420) << 1280 << 719 << 0
                                         << QList<qlonglong> {0, 0, 0, 0, 0, 0, 0};
        QTest::newRow("unoffered format")
            << int(vcam::FormatUYVY) << 1280 << 720 << 0 << QList<qlonglong> {0, 0, 0, 0, 0, 0, 0};
    }

    void layoutsAndCounting()
    {
        QFETCH(int, format);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, stride);
        QFETCH(QList<qlonglong>, expected);
        const pwcam::FrameLayout l =
            pwcam::frameLayout(vcam::FormatId(format), uint32_t(width), uint32_t(height), size_t(stride));
        const QList<qlonglong> got {qlonglong(l.planes),    qlonglong(l.offset[1]), qlonglong(l.offset[2]),
                                    qlonglong(l.stride[0]), qlonglong(l.stride[1]), qlonglong(l.stride[2]),
                                    qlonglong(l.size)};
        QCOMPARE(got, expected);
        for (const auto state : {PW_STREAM_STATE_ERROR, PW_STREAM_STATE_UNCONNECTED, PW_STREAM_STATE_CONNECTING,
                                 PW_STREAM_STATE_PAUSED, PW_STREAM_STATE_STREAMING})
            QCOMPARE(pwcam::countsAsClient(state), state == PW_STREAM_STATE_STREAMING);
        for (const pwcam::CameraFormat& f : pwcam::kCameraFormats)
            QCOMPARE(pwcam::cameraFormatForSpa(f.spaFormat), &f);
    }

    void nodeIsListedAsACameraWithoutCounting()
    {
        QVERIFY(waitForNode());
        const QJsonObject props = cameraNodeProps();
        QCOMPARE(props[QStringLiteral("media.class")].toString(), QStringLiteral("Video/Source"));
        QCOMPARE(props[QStringLiteral("media.role")].toString(), QStringLiteral("Camera"));
        QCOMPARE(props[QStringLiteral("node.description")].toString(), QStringLiteral("Vantor Control"));
        // The suite's own camera list shows it once (GStreamer's PipeWire
        // device provider lists the node too).
        int listed = 0;
        for (const auto& device : CaptureBackend::create()->enumerate())
            listed += device->name() == QLatin1String("Vantor Control") ? 1 : 0;
        QCOMPARE(listed, 1);
        // Listed is not streaming: the physical camera stays off.
        QTest::qWait(500);
        QCOMPARE(clientCount(), 0);
    }

    // Each format, consumed in this process: 30 frames per second, each
    // exactly the channel's picture converted, counted as one client.
    void everyFormatCarriesTheChannelAtThirtyFramesPerSecond_data()
    {
        QTest::addColumn<QByteArray>("format");
        for (const pwcam::CameraFormat& f : pwcam::kCameraFormats)
            QTest::newRow(f.name) << QByteArray(f.name);
    }

    void everyFormatCarriesTheChannelAtThirtyFramesPerSecond()
    {
        QFETCH(QByteArray, format);
        FrameChannel::Handle* writer = FrameChannel::createWriter(1280, 720, 333333);
        QVERIFY(writer);
        const auto closeWriter = qScopeGuard([writer] { FrameChannel::close(writer); });
        std::vector<uint8_t> picture(size_t(1280) * 720 * 4);
        std::mt19937 gen(uint32_t(qHash(format)));
        for (auto& b : picture)
            b = uint8_t(gen());
        FrameChannel::writeFrame(writer, picture.data(), uint32_t(picture.size()), 0);
        const QByteArray expected = yuvref::convert(referenceKind(format), picture.data(), 1280, 720);

        Pipeline p(consumerPipeline(format, "appsink name=sink sync=false max-buffers=4 drop=true"));
        QVERIFY(p.play());
        QVERIFY(p.pull().data.size() > 0);
        QCOMPARE(clientCount(), 1);
        QElapsedTimer timer;
        int matching = 0;
        for (int i = 0; i < 31; ++i) {
            // The writer repeats its frame (a channel left alone is let go).
            FrameChannel::writeFrame(writer, picture.data(), uint32_t(picture.size()), 0);
            const Frame f = p.pull();
            if (i == 0)
                timer.start();
            matching += f.data == expected ? 1 : 0;
        }
        const qint64 ms = timer.elapsed();
        QVERIFY2(ms > 850 && ms < 1200, qPrintable(QStringLiteral("30 frames in %1 ms").arg(ms)));
        QVERIFY2(matching >= 30, qPrintable(QStringLiteral("%1 of 31 frames were the picture").arg(matching)));
    }

    // Without a writer the consumer sees the placeholder, pulsing: each
    // frame is the placeholder picture scaled by one factor.
    void placeholderWithoutTheApplication()
    {
        QVERIFY(waitForCount(0, 3000));
        const auto picture = vcam::placeholderPicture();
        Pipeline p(consumerPipeline("BGRx", "appsink name=sink sync=false max-buffers=4 drop=true"));
        QVERIFY(p.play());
        const size_t body = (size_t(350) * 1280 + 520) * 4 + 1; // green of the camera body
        QSet<int> levels;
        for (int i = 0; i < 40; ++i) {
            const Frame f = p.pull();
            QCOMPARE(f.data.size(), qsizetype(picture->pixels.size()));
            const double m = double(uint8_t(f.data[qsizetype(body)])) / picture->pixels[body];
            levels.insert(uint8_t(f.data[qsizetype(body)]));
            for (size_t at = 0; at < picture->pixels.size(); at += 4 * 997) // every 997th pixel
                for (size_t c = 0; c < 3; ++c)
                    QVERIFY(qAbs(int(uint8_t(f.data[qsizetype(at + c)])) - int(picture->pixels[at + c] * m)) <= 2);
        }
        QVERIFY2(levels.size() > 1, "the placeholder does not pulse");
    }

    // One or two streaming consumers are one client; the count falls to 0
    // within a feeder period (2 s) after the last one leaves or is killed.
    void countFollowsConsumers()
    {
        QVERIFY(waitForCount(0, 3000));
        {
            Consumer first("YUY2");
            QVERIFY(waitForCount(1));
            Consumer second("YUY2");
            QVERIFY(waitForCameraLine("a consumer streams", 1));
            QTest::qWait(1000);
            QCOMPARE(clientCount(), 1);
            ::kill(pid_t(first.process.processId()), SIGKILL);
            QVERIFY(first.process.waitForFinished(5000));
            QTest::qWait(1000);
            QCOMPARE(clientCount(), 1); // the second one still streams
            second.process.terminate();
            QVERIFY(second.process.waitForFinished(5000));
            QVERIFY(waitForCount(0, 2000));
        }
        {
            Consumer killed("I420");
            QVERIFY(waitForCount(1));
            killed.process.kill();
            QVERIFY(killed.process.waitForFinished(5000));
            QVERIFY(waitForCount(0, 2000));
        }
    }

    // Consumers leaving must not starve the ones after them.
    void consumersInSequenceAndTogetherAllReceiveFrames()
    {
        for (int i = 0; i < 4; ++i) {
            Consumer c("NV12", 30);
            QVERIFY2(c.finishes(), qPrintable(QStringLiteral("consumer %1: %2").arg(i).arg(c.process.readAll())));
        }
        Consumer a("NV12", 60);
        Consumer b("NV12", 60);
        QVERIFY2(a.finishes(), a.process.readAll().constData());
        QVERIFY2(b.finishes(), b.process.readAll().constData());
        QVERIFY(waitForCount(0, 2000));
    }

    // A program that opens /dev/video0 itself finds the camera through
    // PipeWire's V4L2 layer, with 30 frames per second.
    void aV4l2ProgramStreamsThroughPwV4l2()
    {
        QProcess program;
        program.start(QStringLiteral("pw-v4l2"),
                      {QCoreApplication::applicationFilePath(), QStringLiteral("--v4l2-consumer")});
        QVERIFY(program.waitForFinished(15000));
        const QByteArray out = program.readAllStandardOutput();
        QVERIFY2(program.exitCode() == 0, qPrintable(QStringLiteral("exit %1 %2")
                                                         .arg(program.exitCode())
                                                         .arg(QString::fromLocal8Bit(program.readAllStandardError()))));
        QVERIFY2(out.contains("card=Vantor Control format="), out.constData());
        const int ms = out.mid(out.indexOf("ms=") + 3).trimmed().toInt();
        QVERIFY2(ms > 850 && ms < 1200, out.constData());
        QVERIFY(waitForCount(0, 2000));
    }

    // The control application runs the (demo) camera for the PipeWire
    // camera's consumer, and stops it at its next check after it leaves.
    void theCameraRunsWhileAConsumerStreams()
    {
        constexpr int kCheckMs = 2000 + 1500; // the feeder looks at the count every 2 s
        qputenv("VANTOR_DEMO_CAMERA", "1");
        BaseSettings settings;
        VCam vcam(&settings);
        QVERIFY(vcam.start());
        const auto stop = qScopeGuard([&] { vcam.stop(); });
        QTest::qWait(kCheckMs);
        QVERIFY(!vcam.isGrabberRunning()); // the camera node is only listed
        {
            // A consumer process, as in real use: with a pipewiresrc streaming
            // in this program, the feeder's camera start here (a GStreamer
            // device search in the same program) never finished.
            Consumer consumer("BGRx");
            QTRY_VERIFY_WITH_TIMEOUT(vcam.isGrabberRunning(), kCheckMs);
            // The camera's frames reach the channel the PipeWire camera reads.
            QTRY_VERIFY_WITH_TIMEOUT(channelShowsTheScene(), 8000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!vcam.isGrabberRunning(), kCheckMs);
    }

    // The daemon dies under the camera: one line in the log, a retry a
    // second without spinning, and the node back once PipeWire is.
    void nodeReturnsAfterThePipeWireRestart()
    {
        const qint64 daemonPid = qEnvironmentVariableIntValue("VANTOR_PIPEWIRE_PID");
        const qint64 managerPid = qEnvironmentVariableIntValue("VANTOR_WIREPLUMBER_PID");
        QVERIFY(alive(daemonPid));
        {
            Consumer streaming("YUY2");
            QVERIFY(waitForCount(1));
            QVERIFY(::kill(pid_t(daemonPid), SIGKILL) == 0);
            QVERIFY(waitForCameraLine("lost the connection to PipeWire", 1));
            // Losing the daemon ends the stream: the camera stops counting.
            QVERIFY(waitForCount(0, 2000));
        }
        QDeadlineTimer managerGone(3000); // WirePlumber ends with its daemon
        while (alive(managerPid) && !managerGone.hasExpired())
            QTest::qWait(50);
        if (alive(managerPid))
            ::kill(pid_t(managerPid), SIGTERM);

        const qint64 before = cpuTicks(camera.processId());
        QTest::qWait(2500);
        const qint64 used = cpuTicks(camera.processId()) - before;
        QVERIFY2(used >= 0 && used < 25, qPrintable(QStringLiteral("%1 ticks while PipeWire was away").arg(used)));
        QCOMPARE(readCameraLog().count("lost the connection to PipeWire"), 1);
        QCOMPARE(cameraLog.count("cannot connect"), 0); // the same loss, not logged again

        daemon.start(QStringLiteral("pipewire"), {});
        QVERIFY(daemon.waitForStarted());
        QDeadlineTimer up(5000);
        while (run(QStringLiteral("pw-cli"), {QStringLiteral("info"), QStringLiteral("0")}).isEmpty()
               && !up.hasExpired())
            QTest::qWait(50);
        sessionManager.start(QStringLiteral("wireplumber"), {});
        QVERIFY(sessionManager.waitForStarted());
        QVERIFY(waitForCameraLine("connected to PipeWire", 2));
        QVERIFY(waitForNode());
        QDeadlineTimer ready(10000);
        while (!run(QStringLiteral("pw-cli"), {QStringLiteral("ls"), QStringLiteral("Metadata")}).contains("default")
               && !ready.hasExpired())
            QTest::qWait(100);
        Consumer after("I420", 30);
        QVERIFY2(after.finishes(), after.process.readAll().constData());
        QVERIFY(waitForCount(0, 2000));
    }

    // SIGTERM ends the camera at once, signing its client off.
    void terminationSignsOff()
    {
        Consumer streaming("BGRx");
        QVERIFY(waitForCount(1, 10000));
        camera.terminate();
        QVERIFY(camera.waitForFinished(5000));
        QCOMPARE(camera.exitStatus(), QProcess::NormalExit);
        QCOMPARE(camera.exitCode(), 0);
        QCOMPARE(clientCount(), 0);
        QVERIFY(readCameraLog().contains("stopped"));
    }

    void cleanupTestCase()
    {
        for (QProcess* p : {&camera, &sessionManager, &daemon}) {
            if (p->state() == QProcess::NotRunning)
                continue;
            p->terminate();
            if (!p->waitForFinished(5000)) {
                p->kill();
                p->waitForFinished(5000);
            }
        }
    }
};

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--v4l2-consumer") == 0)
        return v4l2Consumer();
    QCoreApplication app(argc, argv);
    VCamPipeWireTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_vcam_pipewire.moc"
