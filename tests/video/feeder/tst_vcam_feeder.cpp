// The feeder with the demo camera, the real frame channel and the real client
// counter: installation check, starting and stopping with clients, the stall
// restart, the flipped and processed frames in the channel, a second writer.
#include "BaseSettings.h"
#include "DemoCameraTools.h"
#include "FrameChannel.h"
#include "InstanceCounter.h"
#include "PostProcessor.h"
#include "VCam.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QtTest>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include "Placeholder.h"

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

// A program using the virtual camera: an in-process pipeline ending in appsink.
struct Client
{
    GstElement* pipeline = nullptr;
    ~Client() { stop(); }
    bool start()
    {
        pipeline = gst_parse_launch(
            "vantorvcamsrc ! video/x-raw,format=BGRx ! appsink name=out max-buffers=2 drop=true", nullptr);
        return pipeline && gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
    }
    void stop()
    {
        if (!pipeline)
            return;
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
        pipeline = nullptr;
    }
    QImage nextFrame()
    {
        GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "out");
        GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 2 * GST_SECOND);
        gst_object_unref(sink);
        if (!sample)
            return {};
        QImage image(1280, 720, QImage::Format_RGB32);
        GstMapInfo map;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            if (map.size >= size_t(image.sizeInBytes()))
                std::memcpy(image.bits(), map.data, size_t(image.sizeInBytes()));
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
        return image;
    }
    // The placeholder picture, dimmed by its pulse: every pixel a fixed share
    // (one half to all) of the artwork's.
    bool showsPlaceholderSoon()
    {
        const auto art = vcam::placeholderPicture();
        if (!art)
            return false;
        // Within a few frames: the two the client had queued, then the next.
        for (int attempt = 0; attempt < 6; ++attempt) {
            const QImage frame = nextFrame();
            bool matches = !frame.isNull();
            for (int y = 40; matches && y < 720; y += 97) {
                for (int x = 30; matches && x < 1280; x += 131) {
                    const uint8_t* a = &art->pixels[(size_t(y) * 1280 + size_t(x)) * 4];
                    const QRgb p = frame.pixel(x, y);
                    const int got[3] = {qBlue(p), qGreen(p), qRed(p)};
                    for (int c = 0; c < 3; ++c)
                        matches = matches && got[c] <= a[c] + 1 && got[c] + 1 >= a[c] / 2;
                }
            }
            if (matches)
                return true;
        }
        return false;
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
        // No "Vantor Control" device among the cameras: its provider is set
        // aside for this test, as if the plugin were not installed.
        qputenv("VANTOR_DEMO_CAMERA", "Vantor Camera (demo)");
        GstPluginFeature* provider = gst_registry_lookup_feature(gst_registry_get(), "vantorvcamprovider");
        QVERIFY(provider);
        const guint rank = gst_plugin_feature_get_rank(provider);
        gst_plugin_feature_set_rank(provider, GST_RANK_NONE);
        const auto restore = qScopeGuard([&] {
            gst_plugin_feature_set_rank(provider, rank);
            gst_object_unref(provider);
        });
        VCam vcam(settings.get());
        QSignalSpy messages(&vcam, &VCam::onMessage);
        QSignalSpy reconnecting(&vcam, &VCam::onReconnecting);
        QVERIFY(!vcam.start());
        QCOMPARE(messages.count(), 1);
        QCOMPARE(
            messages[0][0].toString(),
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
        // The channel carries the picture upright: the scene's light, which runs
        // along the bottom of the picture, is in the last rows.
        const QList<int> rows = demo::lightRows(plain);
        QVERIFY(!rows.isEmpty());
        QVERIFY2(rows.first() > 620, qPrintable(QString::number(rows.first())));

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

    void aClientProgramDrivesTheCamera()
    {
        qputenv("VANTOR_DEMO_CAMERA", "1");
        VCam vcam(settings.get());
        QSignalSpy connected(&vcam, &VCam::onClientsConnectedChanged);
        QVERIFY(vcam.start());
        QTRY_VERIFY_WITH_TIMEOUT(!vcam.isGrabberRunning(), kCheckMs); // nobody watches yet

        // A program opens the virtual camera.
        Client client;
        QVERIFY(client.start());
        QTRY_VERIFY_WITH_TIMEOUT(vcam.isGrabberRunning(), kCheckMs);
        QTRY_VERIFY_WITH_TIMEOUT(!connected.isEmpty() && connected.last()[0].toBool(), kCheckMs);
        // Upright: the scene's light runs along the bottom of the client's picture.
        QImage upright;
        for (QDeadlineTimer wait(8000); !wait.hasExpired() && demo::lightRows(upright).isEmpty();)
            upright = client.nextFrame();
        QVERIFY(!demo::lightRows(upright).isEmpty());
        QVERIFY(demo::lightRows(upright).first() > 620);
        QVERIFY(vcam.postProcessor()->setCameraRotation(1, false));
        const auto unset = qScopeGuard([&] { vcam.postProcessor()->setCameraRotation(0, false); });
        QImage frame;
        QDeadlineTimer deadline(8000);
        while (!deadline.hasExpired()) {
            frame = client.nextFrame();
            if (!frame.isNull() && qGray(frame.pixel(5, 360)) == 0 && !demo::lightRows(frame).isEmpty())
                break;
        }
        // The client sees the processed camera picture: the fitted turn's bars.
        QCOMPARE(qGray(frame.pixel(5, 360)), 0);
        QVERIFY(!demo::lightRows(frame).isEmpty());

        // The feeder stops publishing (its channel is closed): the client shows
        // the placeholder at once.
        vcam.stop();
        QVERIFY(client.showsPlaceholderSoon());

        // The program closes the camera: the feeder stops it and says so once.
        QVERIFY(vcam.start());
        client.stop();
        const qsizetype before = connected.count();
        QTRY_VERIFY_WITH_TIMEOUT(connected.count() == before + 1, kCheckMs);
        QCOMPARE(connected.last()[0].toBool(), false);
        QVERIFY(!vcam.isGrabberRunning());
        QTest::qWait(2500);
        QCOMPARE(connected.count(), before + 1);
    }

    void aGstLaunchClientDrivesTheCamera()
    {
#ifdef VANTOR_SANITIZED
        QSKIP("gst-launch-1.0 is not sanitized and cannot load the sanitized plugin");
#endif
        qputenv("VANTOR_DEMO_CAMERA", "1");
        VCam vcam(settings.get());
        QSignalSpy connected(&vcam, &VCam::onClientsConnectedChanged);
        QVERIFY(vcam.start());
        QTRY_VERIFY_WITH_TIMEOUT(!vcam.isGrabberRunning(), kCheckMs); // nobody watches yet
        QProcess client;
        const auto end = qScopeGuard([&] {
            client.kill();
            client.waitForFinished(3000);
        });
        client.start(QStringLiteral("gst-launch-1.0"),
                     {QStringLiteral("-q"), QStringLiteral("vantorvcamsrc"), QStringLiteral("!"),
                      QStringLiteral("video/x-raw,format=I420"), QStringLiteral("!"), QStringLiteral("fakesink"),
                      QStringLiteral("sync=true")});
        QVERIFY(client.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(vcam.isGrabberRunning(), 2 * kCheckMs);
        QVERIFY(!connected.isEmpty());
        QCOMPARE(connected.last()[0].toBool(), true);
        // The program is ended without counting itself off; the feeder releases it.
        client.terminate();
        if (!client.waitForFinished(3000)) {
            client.kill();
            client.waitForFinished(3000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!vcam.isGrabberRunning(), 2 * kCheckMs);
        QCOMPARE(connected.last()[0].toBool(), false);
    }

    // What the user places is where every client sees it: a client program
    // finds a logo set "top left" in its top left corner, right way up (red
    // half above blue half), and text set "top right" upright (the bars of
    // "TTT" above their stems).
    void overlaysStandWhereTheUserPutThem()
    {
#ifdef VANTOR_SANITIZED
        QSKIP("gst-launch-1.0 is not sanitized and cannot load the sanitized plugin");
#endif
        QImage logo(64, 64, QImage::Format_ARGB32);
        logo.fill(QColor(255, 0, 0));
        for (int y = 32; y < 64; ++y)
            for (int x = 0; x < 64; ++x)
                logo.setPixel(x, y, qRgb(0, 0, 255));
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(logo.save(&buffer, "PNG"));
        using S = BaseSettings;
        const auto set = [&](S::Settings group, S::SubSettings key, const QVariant& value) {
            QVERIFY(settings->setSetting(group, key, value));
        };
        set(S::LogoOverlay, S::ImageData, png);
        set(S::LogoOverlay, S::Size, 0.2); // 144 x 144 with a 28-pixel shadow on each side
        set(S::LogoOverlay, S::Enabled, true);
        set(S::TextOverlay, S::TextLine1, QStringLiteral("TTT"));
        set(S::TextOverlay, S::TextLine2, QString());
        set(S::TextOverlay, S::TextFillColor, QColor(0, 255, 0));
        set(S::TextOverlay, S::HAlign, 2);
        set(S::TextOverlay, S::MarginX, 0.0);
        set(S::TextOverlay, S::MarginY, 0.0);
        set(S::TextOverlay, S::Enabled, true);
        const auto unset = qScopeGuard([&] {
            settings->setSetting(S::LogoOverlay, S::Enabled, false);
            settings->setSetting(S::TextOverlay, S::Enabled, false);
        });

        qputenv("VANTOR_DEMO_CAMERA", "1");
        VCam vcam(settings.get());
        QVERIFY(vcam.start());
        QProcess client;
        const auto end = qScopeGuard([&] {
            client.kill();
            client.waitForFinished(3000);
        });
        client.start(QStringLiteral("gst-launch-1.0"),
                     QProcess::splitCommand(QStringLiteral("-q vantorvcamsrc ! video/x-raw,format=BGRx ! fdsink")));
        const qsizetype frameBytes = 1280 * 720 * 4;
        const auto isRed = [](QRgb p) { return qRed(p) > 200 && qGreen(p) < 60 && qBlue(p) < 60; };
        const auto isBlue = [](QRgb p) { return qBlue(p) > 200 && qGreen(p) < 60 && qRed(p) < 60; };
        QImage frame;
        QByteArray pending;
        for (QDeadlineTimer deadline(20000); !deadline.hasExpired();) {
            client.waitForReadyRead(100);
            pending += client.readAllStandardOutput();
            if (pending.size() < frameBytes)
                continue;
            // The newest whole frame; older ones are dropped.
            const qsizetype whole = pending.size() / frameBytes * frameBytes;
            frame = QImage(reinterpret_cast<const uchar*>(pending.constData() + whole - frameBytes), 1280, 720,
                           QImage::Format_RGB32)
                        .copy();
            pending.remove(0, whole);
            if (isRed(frame.pixel(100, 60)))
                break;
        }
        QVERIFY2(!frame.isNull(), "the client received no frame");
        QVERIFY(isRed(frame.pixel(100, 60)));
        QVERIFY(isBlue(frame.pixel(100, 140)));
        QVERIFY(!isRed(frame.pixel(100, 720 - 60)) && !isBlue(frame.pixel(100, 720 - 140)));

        // The text's green ink in the top right quarter: heavier in the upper
        // half of its box, where the bars of the T's are.
        int top = 720, bottom = -1;
        qint64 rows = 0, count = 0;
        for (int y = 0; y < 360; ++y)
            for (int x = 640; x < 1280; ++x) {
                const QRgb p = frame.pixel(x, y);
                if (qGreen(p) > 180 && qRed(p) < 100 && qBlue(p) < 100) {
                    top = std::min(top, y);
                    bottom = std::max(bottom, y);
                    rows += y;
                    ++count;
                }
            }
        QVERIFY2(count > 500, "no text in the top right corner");
        const double centre = double(rows) / double(count);
        QVERIFY2(centre < (top + bottom) / 2.0,
                 qPrintable(QStringLiteral("ink centre %1 in rows %2..%3").arg(centre).arg(top).arg(bottom)));
        frame.save(QDir::temp().absoluteFilePath(QStringLiteral("client-overlays.png")));
    }

    void aKilledClientIsReleased()
    {
        qputenv("VANTOR_DEMO_CAMERA", "1");
        VCam vcam(settings.get());
        QVERIFY(vcam.start());
        QProcess client;
        client.start(QStringLiteral(VCAM_CLIENT_PEER),
                     {QStringLiteral("count"), QString::fromLatin1(InstanceCounter::kSectionName),
                      QString::fromLatin1(InstanceCounter::kMutexName)});
        QDeadlineTimer deadline(10000);
        QByteArray said;
        while (said != "counted" && !deadline.hasExpired() && client.waitForReadyRead(200))
            while (client.canReadLine() && said != "counted")
                said = client.readLine().trimmed();
        QCOMPARE(said, QByteArray("counted"));
        QTRY_VERIFY_WITH_TIMEOUT(vcam.isGrabberRunning(), 2 * kCheckMs);

        // Killed without a word: the feeder takes it off the count itself and
        // stops the camera it no longer needs.
        QTest::ignoreMessage(QtWarningMsg, "Released clients that ended without saying so: 1");
        client.kill();
        QVERIFY(client.waitForFinished(5000));
        QTRY_VERIFY_WITH_TIMEOUT(!vcam.isGrabberRunning(), kCheckMs);
        int32_t count = -1;
        QVERIFY(clients->readValue(count));
        QCOMPARE(count, 0);
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
