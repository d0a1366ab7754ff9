// The preview's use of the virtual camera: a CameraGrabber finds "Vantor
// Control" among the capture devices, opens it and receives its pictures (the
// placeholder, then the frames a writer publishes), counting as a client while
// it runs. The camera gives 1280 x 720, and its 32-bit formats at 640 x 360
// too, which a preview asking for that size gets.
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

    // Asked for 640 x 360, the grabber gives the camera's own half-size
    // picture: the same picture, at half the size.
    void halvedPreviewKeepsThePicture()
    {
        CameraGrabber grabber;
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
            QVERIFY(grabber.startCamera(1280, 720, int(names.indexOf(QStringLiteral("Vantor Control"))),
                                        QStringLiteral("Vantor Control"), false));
            grabber.startPreview();

            // The placeholder, scaled: a light camera body on a dark background.
            QImage frame = waitForFrame(grabber, [](const QImage&) { return true; });
            QCOMPARE(frame.size(), QSize(1280, 720));
            QVERIFY(qGray(frame.pixel(524, 350)) > 105);
            QVERIFY(qGray(frame.pixel(10, 10)) < 40);
            QCOMPARE(clientCount(), 1);

            // Published frames replace it, colours kept.
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
