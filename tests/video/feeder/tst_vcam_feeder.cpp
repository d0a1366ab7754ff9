// The feeder with the demo camera, the real frame channel and the real client
// counter: installation check, starting and stopping with clients, the stall
// restart, the flipped and processed frames in the channel, a second writer.
#include "BaseSettings.h"
#include "DemoCameraTools.h"
#include "FrameChannel.h"
#include "InstanceCounter.h"
#include "PostProcessor.h"
#include "VCam.h"

#include <QSignalSpy>
#include <QtTest>

#include <gst/gst.h>

namespace {

// How long a client check may take to notice a change: one period and a margin.
constexpr int kCheckMs = 2000 + 1500;

// Reads frames from the channel as a virtual camera client would.
struct ChannelClient
{
    FrameChannel::Handle* reader = nullptr;
    ~ChannelClient()
    {
        if (reader)
            FrameChannel::close(reader);
    }
    // The next new frame within `timeoutMs`, copied out.
    QImage nextFrame(int timeoutMs = 8000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            if (!reader)
                reader = FrameChannel::openReader();
            FrameChannel::Frame frame;
            if (reader) {
                switch (FrameChannel::pollFrame(reader, frame)) {
                case FrameChannel::Poll::NewFrame: {
                    QImage image(int(frame.width), int(frame.height), QImage::Format_RGB32);
                    std::memcpy(image.bits(), frame.pixels, size_t(image.sizeInBytes()));
                    if (FrameChannel::frameIntact(reader, frame))
                        return image;
                    break;
                }
                case FrameChannel::Poll::Reopen:
                    FrameChannel::close(reader);
                    reader = nullptr;
                    break;
                default:
                    break;
                }
            }
            QTest::qWait(15);
        }
        return {};
    }
};

} // namespace

class VCamFeederTest : public QObject
{
    Q_OBJECT
    std::unique_ptr<BaseSettings> settings;
    std::unique_ptr<InstanceCounter> clients;

private slots:
    void initTestCase()
    {
        gst_init(nullptr, nullptr);
        settings = std::make_unique<BaseSettings>();
        clients = std::make_unique<InstanceCounter>(InstanceCounter::kSectionName, InstanceCounter::kMutexName);
        QVERIFY(clients->createOrOpenSharedMemory());
    }

    void notInstalledStartsNothing()
    {
        // No "Vantor Control" device among the cameras.
        qputenv("VANTOR_DEMO_CAMERA", "Vantor Camera (demo)");
        VCam vcam(settings.get());
        QSignalSpy messages(&vcam, &VCam::onMessage);
        QSignalSpy reconnecting(&vcam, &VCam::onReconnecting);
        QVERIFY(!vcam.start());
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages[0][0].toString(),
                 QStringLiteral("Vantor Control camera not installed. Try to uninstall and reinstall the application."));
        QCOMPARE(reconnecting.count(), 0);
        QVERIFY(!vcam.isGrabberRunning());
    }

    void followsItsClients()
    {
        // The IR camera comes first; the product camera is found in lower case.
        qputenv("VANTOR_DEMO_CAMERA", "Vantor Camera IR ;vantor camera main;Vantor Control");
        int32_t count = -1;
        QVERIFY(clients->readValue(count));
        QCOMPARE(count, 0);

        VCam vcam(settings.get());
        QSignalSpy connected(&vcam, &VCam::onClientsConnectedChanged);
        QSignalSpy reconnecting(&vcam, &VCam::onReconnecting);
        QVERIFY(vcam.start());
        QCOMPARE(reconnecting.count(), 1);
        QCOMPARE(reconnecting[0][0].toBool(), true);
        QVERIFY(vcam.clientsConnected());

        // Nobody watches: the first check stops the camera and says so once.
        QTRY_VERIFY_WITH_TIMEOUT(!vcam.isGrabberRunning(), kCheckMs);
        QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kCheckMs);
        QCOMPARE(connected[0][0].toBool(), false);
        QTest::qWait(2500);
        QCOMPARE(connected.count(), 1);

        // A client arrives: the camera starts and processed frames flow.
        QVERIFY(clients->increment());
        const auto leave = qScopeGuard([this] { clients->decrement(); });
        QTRY_VERIFY_WITH_TIMEOUT(vcam.isGrabberRunning(), kCheckMs);
        QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 2, kCheckMs);
        QCOMPARE(connected[1][0].toBool(), true);

        ChannelClient client;
        const QImage plain = client.nextFrame();
        QCOMPARE(plain.size(), QSize(1280, 720));
        // The channel carries the rows bottom-up: the scene's light, which runs
        // along the bottom of the picture, is in the first rows.
        const QList<int> rows = demo::lightRows(plain);
        QVERIFY(!rows.isEmpty());
        QVERIFY2(rows.last() < 100, qPrintable(QString::number(rows.last())));

        // An effect switched on shows up in the published frames: the fitted
        // turn puts black bars on both sides.
        QVERIFY(vcam.postProcessor()->setCameraRotation(1, false));
        const auto unset = qScopeGuard([&] { vcam.postProcessor()->setCameraRotation(0, false); });
        QImage turned;
        QDeadlineTimer deadline(8000);
        while (!deadline.hasExpired()) {
            turned = client.nextFrame();
            if (!turned.isNull() && qGray(turned.pixel(5, 360)) == 0 && qGray(turned.pixel(1274, 360)) == 0)
                break;
        }
        QCOMPARE(qGray(turned.pixel(5, 360)), 0);
        QCOMPARE(qGray(turned.pixel(1274, 360)), 0);
        QVERIFY(qGray(turned.pixel(640, 360)) > 0);
        vcam.postProcessor()->setCameraRotation(0, false);

        // The camera goes silent: after 2000 ms without a frame the feeder
        // restarts it, and without the product camera that start fails.
        reconnecting.clear();
        demo::setProperty("vantor camera main", "connected", false);
        QTRY_VERIFY_WITH_TIMEOUT(!reconnecting.isEmpty(), 2 * kCheckMs);
        QCOMPARE(reconnecting.last()[0].toBool(), false);
        QVERIFY(!vcam.isGrabberRunning());
        demo::setProperty("vantor camera main", "connected", true);
        QTRY_VERIFY_WITH_TIMEOUT(vcam.isGrabberRunning(), kCheckMs);
        QVERIFY(!client.nextFrame().isNull());

        // The client leaves: the camera stops within one check.
        QVERIFY(clients->decrement());
        QTRY_VERIFY_WITH_TIMEOUT(!vcam.isGrabberRunning(), kCheckMs);
        QCOMPARE(connected.last()[0].toBool(), false);
        QVERIFY(clients->increment()); // for the scope guard's decrement
    }

    void secondWriterIsRefused()
    {
        qputenv("VANTOR_DEMO_CAMERA", "Vantor Camera (demo);Vantor Control");
        FrameChannel::Handle* other = FrameChannel::createWriter(1280, 720, 330000);
        QVERIFY(other);
        const auto release = qScopeGuard([other] { FrameChannel::close(other); });
        VCam vcam(settings.get());
        QSignalSpy messages(&vcam, &VCam::onMessage);
        QVERIFY(vcam.start()); // installed; the camera starts but cannot publish
        QTRY_VERIFY(!messages.isEmpty());
        QCOMPARE(messages.last()[0].toString(),
                 QStringLiteral("Unable to create communication mechanism between physical and virtual drivers!"));
        QVERIFY(!vcam.isGrabberRunning());
    }

    void closingMarksTheChannelClosed()
    {
        qputenv("VANTOR_DEMO_CAMERA", "Vantor Camera (demo);Vantor Control");
        QVERIFY(clients->increment());
        const auto leave = qScopeGuard([this] { clients->decrement(); });
        auto vcam = std::make_unique<VCam>(settings.get());
        QVERIFY(vcam->start());
        ChannelClient client;
        QVERIFY(!client.nextFrame().isNull());
        vcam.reset();
        // The writer is gone: readers are told to let go at once.
        FrameChannel::Frame frame;
        QCOMPARE(FrameChannel::pollFrame(client.reader, frame), FrameChannel::Poll::Reopen);
    }
};

QTEST_MAIN(VCamFeederTest)
#include "tst_vcam_feeder.moc"
