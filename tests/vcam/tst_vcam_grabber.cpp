// The preview's use of the virtual camera: a CameraGrabber finds "Vantor
// Control" among the capture devices, opens it asking for 640 x 360 and
// receives its pictures (the placeholder, then the frames a writer
// publishes), counting as a client while it runs. The camera offers only
// 1280 x 720, which the grabber picks as the nearest format, as it would of
// the Windows filter.
#include "VCamTestSupport.h"

#include "CameraGrabber.h"

#include <QtTest>

using namespace vcamtest;

namespace {

QImage waitForFrame(CameraGrabber& grabber, const std::function<bool(const QImage&)>& wanted, int timeoutMs = 10000)
{
    QImage frame;
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        grabber.getFrame(frame, nullptr);
        if (!frame.isNull() && wanted(frame))
            return frame;
        QTest::qWait(20);
    }
    return {};
}

bool near(QRgb pixel, int r, int g, int b, int tolerance)
{
    return std::abs(qRed(pixel) - r) <= tolerance && std::abs(qGreen(pixel) - g) <= tolerance
        && std::abs(qBlue(pixel) - b) <= tolerance;
}

} // namespace

class VCamGrabberTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        gst_init(nullptr, nullptr);
        QCOMPARE(clientCount(), 0);
    }

    // Asked to, the grabber gives a 640 x 360 preview of the 1280 x 720
    // camera: the same picture at half the size.
    void halvedPreviewKeepsThePicture()
    {
        CameraGrabber grabber;
        grabber.setShrinkToRequest(true);
        const QStringList names = grabber.getDeviceNames();
        QVERIFY(grabber.startCamera(640, -360, int(names.indexOf(QStringLiteral("Vantor Control"))),
                                    QStringLiteral("Vantor Control"), false));
        grabber.startPreview();
        const QImage frame = waitForFrame(grabber, [](const QImage&) { return true; });
        QCOMPARE(frame.size(), QSize(640, 360));
        QVERIFY(qGray(frame.pixel(262, 175)) > 105);
        QVERIFY(qGray(frame.pixel(5, 5)) < 40);
        QCOMPARE(qAlpha(frame.pixel(320, 180)), 255);
        grabber.stopCamera();
    }

    void previewShowsTheVirtualCamera()
    {
        {
            CameraGrabber grabber;
            const QStringList names = grabber.getDeviceNames();
            QVERIFY2(names.contains(QStringLiteral("Vantor Control")), qPrintable(names.join(", ")));
            QVERIFY(grabber.startCamera(640, 360, int(names.indexOf(QStringLiteral("Vantor Control"))),
                                        QStringLiteral("Vantor Control"), false));
            grabber.startPreview();

            // The placeholder, scaled: a light camera body on a dark background.
            QImage frame = waitForFrame(grabber, [](const QImage&) { return true; });
            QCOMPARE(frame.size(), QSize(1280, 720));
            QVERIFY(qGray(frame.pixel(524, 350)) > 105);
            QVERIFY(qGray(frame.pixel(10, 10)) < 40);
            QCOMPARE(clientCount(), 1);

            // Published frames replace it, colours kept through the YUV road.
            Peer writer({"write", "200", "40", "90"});
            QVERIFY(writer.waitForLine("writing"));
            frame = waitForFrame(grabber, [](const QImage& f) { return near(f.pixel(640, 360), 200, 40, 90, 6); });
            QVERIFY(!frame.isNull());
            QVERIFY(near(frame.pixel(0, 0), 200, 40, 90, 6) && near(frame.pixel(1279, 719), 200, 40, 90, 6));
            writer.say("close");
            QVERIFY(writer.process.waitForFinished(5000));

            grabber.stopCamera();
            QCOMPARE(clientCount(), 0);
        }
        QCOMPARE(clientCount(), 0);
    }
};

QTEST_MAIN(VCamGrabberTest)
#include "tst_vcam_grabber.moc"
