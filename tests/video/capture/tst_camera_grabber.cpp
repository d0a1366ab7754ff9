// The grabber's own rules on a scripted capture device: device choice, format
// choice, sample conversion, the frame-rate cap and the property table.
#include "CameraGrabber.h"
#include "platform/CameraControls.h"
#include "platform/CaptureBackend.h"

#include <QSignalSpy>
#include <QtTest>

#include <map>

namespace {

struct Script
{
    struct Device
    {
        QString name;
        QList<CameraFormat> formats;
        bool configurable = true;
    };
    QList<Device> devices;
    // What the devices saw.
    QMap<QString, CameraFormat> configured;
    QList<std::tuple<CameraProperty, long, long>> sets;
    SampleCallback callback;
    bool withControls = true;
};

class ScriptedControls : public CameraControls
{
public:
    explicit ScriptedControls(Script& s)
        : _s(s)
    {}
    bool hasGroup(ControlGroup) const override { return true; }
    bool getRange(CameraProperty p, long& mn, long& mx, long& st, long& def, long& caps) override
    {
        const auto& info = cameraPropertyInfo(p);
        mn = info.minimum * 2;
        mx = info.maximum * 2;
        st = 2;
        def = info.defaultValue;
        caps = info.autoSupported ? 3 : 2;
        return true;
    }
    bool get(CameraProperty p, long& value, long& flags) override
    {
        value = long(p) + 100;
        flags = 1;
        return true;
    }
    bool set(CameraProperty p, long value, long flags) override
    {
        _s.sets.append({p, value, flags});
        return p != CameraProperty::Zoom; // the camera refuses zoom
    }

private:
    Script& _s;
};

class ScriptedDevice : public CaptureDevice
{
public:
    ScriptedDevice(Script& s, Script::Device d)
        : _s(s)
        , _d(std::move(d))
        , _controls(s)
    {}
    QString name() const override { return _d.name; }
    QList<CameraFormat> formats() const override { return _d.formats; }
    CameraControls* controls() override { return _s.withControls ? &_controls : nullptr; }
    bool configure(const CameraFormat& format, SampleCallback cb) override
    {
        if (!_d.configurable)
            return false;
        _s.configured.insert(_d.name, format);
        if (cb)
            _s.callback = std::move(cb);
        return true;
    }
    bool run() override { return true; }
    bool pause() override { return true; }
    void stop() override { _s.callback = nullptr; }

private:
    Script& _s;
    Script::Device _d;
    ScriptedControls _controls;
};

class ScriptedBackend : public CaptureBackend
{
public:
    explicit ScriptedBackend(Script& s)
        : _s(s)
    {}
    std::vector<std::unique_ptr<CaptureDevice>> enumerate() override
    {
        std::vector<std::unique_ptr<CaptureDevice>> list;
        for (const auto& d : _s.devices)
            list.push_back(std::make_unique<ScriptedDevice>(_s, d));
        return list;
    }

private:
    Script& _s;
};

// A w x h BGRx sample whose pixel (x, y) holds B = x, G = y, R = 7, x-byte 0.
std::vector<uint8_t> gradient(int w, int h, int stride)
{
    std::vector<uint8_t> data(size_t(stride) * h, 0xee);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &data[size_t(y) * stride + size_t(x) * 4];
            p[0] = uint8_t(x);
            p[1] = uint8_t(y);
            p[2] = 7;
            p[3] = 0;
        }
    return data;
}

CaptureSample sampleOf(const std::vector<uint8_t>& data, int w, int h, int stride)
{
    return CaptureSample {data.data(), int64_t(data.size()), w, h, 32, stride};
}

const QList<CameraFormat> kCommon {{640, 480, "YUY2"}, {1280, 720, "YUY2"}, {1920, 1080, "YUY2"}};

} // namespace

class CameraGrabberTest : public QObject
{
    Q_OBJECT

private slots:
    void productCameraIsFoundByNameInAnyCaseButNeverTheIrCamera()
    {
        Script s;
        s.devices = {{"Vantor Camera IR front", kCommon},
                     {"VANTOR CAMERA ir rear", kCommon},
                     {"Vantor Control", kCommon},
                     {"usb vantor camera hd", kCommon}};
        CameraGrabber grabber(std::make_unique<ScriptedBackend>(s));
        QCOMPARE(grabber.getDeviceNames(), (QStringList {"Vantor Camera IR front", "VANTOR CAMERA ir rear",
                                                         "Vantor Control", "usb vantor camera hd"}));
        QVERIFY(grabber.startCamera(640, 360, 2, "Vantor Control", true));
        QCOMPARE(s.configured.keys(), (QStringList {"Vantor Control", "usb vantor camera hd"}));
        // The controls act on the product camera.
        QVERIFY(grabber.setFocus(100, true));
        QCOMPARE(s.sets.size(), 1);

        Script none;
        none.devices = {{"Vantor Camera IR ", kCommon}, {"Webcam", kCommon}};
        CameraGrabber without(std::make_unique<ScriptedBackend>(none));
        QVERIFY(!without.startCamera(640, 360, 1, "Webcam", true));
        QVERIFY(!without.isCameraStarted());
        QVERIFY(none.configured.isEmpty());
    }

    void mainDeviceSearchPrefersPositionsUpToTheIndex()
    {
        Script s;
        s.devices = {{"Cam A", kCommon}, {"Cam B", kCommon}, {"Cam A2", kCommon}};
        CameraGrabber grabber(std::make_unique<ScriptedBackend>(s));
        QVERIFY(grabber.startCamera(640, 480, 1, "cam a", false));
        QCOMPARE(s.configured.keys(), QStringList {"Cam A"});
        s.configured.clear();
        QVERIFY(grabber.startCamera(640, 480, 0, "A2", false)); // found beyond the index
        QCOMPARE(s.configured.keys(), QStringList {"Cam A2"});
        QVERIFY(!grabber.startCamera(640, 480, 3, "Cam", false)); // index past the list
        QVERIFY(!grabber.startCamera(640, 480, 0, "Nothing like it", false));
        QVERIFY(!grabber.isCameraStarted());
    }

    void nearestFormatIsChosen_data()
    {
        QTest::addColumn<QList<CameraFormat>>("offered");
        QTest::addColumn<QSize>("request");
        QTest::addColumn<QSize>("chosen");
        QTest::newRow("exact among three") << kCommon << QSize(1280, 720) << QSize(1280, 720);
        QTest::newRow("zero product wins")
            << QList<CameraFormat> {{1280, 960, "MJPG"}, {1920, 1080, "MJPG"}} << QSize(1280, 720) << QSize(1280, 960);
        QTest::newRow("first of equals") << QList<CameraFormat> {{800, 600, "A"}, {800, 600, "B"}} << QSize(640, 360)
                                         << QSize(800, 600);
        QTest::newRow("no formats: the request") << QList<CameraFormat> {} << QSize(640, 360) << QSize(640, 360);
        QTest::newRow("absurd sizes do not wrap")
            << QList<CameraFormat> {{2000000000, 2000000000, "X"}, {320, 240, "Y"}} << QSize(1280, 720)
            << QSize(320, 240);
    }

    void nearestFormatIsChosen()
    {
        QFETCH(QList<CameraFormat>, offered);
        QFETCH(QSize, request);
        QFETCH(QSize, chosen);
        Script s;
        s.devices = {{"Vantor Camera", offered}};
        CameraGrabber grabber(std::make_unique<ScriptedBackend>(s));
        QVERIFY(grabber.startCamera(request.width(), -request.height(), 0, "Vantor Camera", false));
        QCOMPARE(QSize(s.configured["Vantor Camera"].width, s.configured["Vantor Camera"].height), chosen);
    }

    void samplesBecomeFramesFlippedOrNot()
    {
        Script s;
        s.devices = {{"Cam", kCommon}};
        CameraGrabber grabber(std::make_unique<ScriptedBackend>(s));
        QSignalSpy published(&grabber, &CameraGrabber::onNewFrameAvailable);

        QVERIFY(grabber.startCamera(64, 48, 0, "Cam", false));
        const auto data = gradient(64, 48, 64 * 4 + 16); // padded rows
        s.callback(sampleOf(data, 64, 48, 64 * 4 + 16));
        QCOMPARE(published.count(), 1);
        QImage frame;
        bool had = false;
        grabber.getFrame(frame, [&](bool ok) { had = ok; });
        QVERIFY(had);
        QCOMPARE(frame.size(), QSize(64, 48));
        QCOMPARE(frame.format(), QImage::Format_RGB32);
        QCOMPARE(qBlue(frame.pixel(5, 9)), 5);
        QCOMPARE(qGreen(frame.pixel(5, 9)), 9);
        QCOMPARE(qRed(frame.pixel(5, 9)), 7);

        QVERIFY(grabber.startCamera(64, -48, 0, "Cam", false));
        QTest::qSleep(20);
        s.callback(sampleOf(data, 64, 48, 64 * 4 + 16));
        grabber.getFrame(frame, nullptr);
        for (int y = 0; y < 48; ++y) {
            const uchar* row = frame.constScanLine(y);
            QCOMPARE(int(row[4 * 3 + 1]), 47 - y); // rows reversed
            for (int x = 0; x < 64; ++x)
                QCOMPARE(int(row[4 * x + 3]), 255); // alpha set on the way
        }

        // A buffer that holds the top row first is read from its end: flipped,
        // its rows land as they are in memory.
        QTest::qSleep(20);
        CaptureSample topDown = sampleOf(data, 64, 48, 64 * 4 + 16);
        topDown.topDown = true;
        s.callback(topDown);
        grabber.getFrame(frame, nullptr);
        for (int y = 0; y < 48; ++y)
            QCOMPARE(int(frame.constScanLine(y)[4 * 3 + 1]), y);
    }

    void atMostSixtyFramesPerSecond()
    {
        Script s;
        s.devices = {{"Cam", kCommon}};
        CameraGrabber grabber(std::make_unique<ScriptedBackend>(s));
        QSignalSpy published(&grabber, &CameraGrabber::onNewFrameAvailable);
        QVERIFY(grabber.startCamera(32, 32, 0, "Cam", false));
        auto first = gradient(32, 32, 128);
        auto second = gradient(32, 32, 128);
        second[0] = 200;
        s.callback(sampleOf(first, 32, 32, 128));
        QTest::qSleep(10);
        s.callback(sampleOf(second, 32, 32, 128));
        QCOMPARE(published.count(), 1);
        QImage frame;
        grabber.getFrame(frame, nullptr);
        QCOMPARE(qBlue(frame.pixel(0, 0)), 0); // the first one stayed
        QTest::qSleep(20);
        s.callback(sampleOf(second, 32, 32, 128));
        QCOMPARE(published.count(), 2);
    }

    void framesHandedOutStayIntactAndSizeMayChange()
    {
        Script s;
        s.devices = {{"Cam", kCommon}};
        CameraGrabber grabber(std::make_unique<ScriptedBackend>(s));
        QVERIFY(grabber.startCamera(32, 32, 0, "Cam", false));
        QList<QImage> held;
        for (int i = 0; i < 5; ++i) {
            auto data = gradient(32, 32, 128);
            data[0] = uint8_t(i * 10);
            s.callback(sampleOf(data, 32, 32, 128));
            QImage f;
            grabber.getFrame(f, nullptr);
            held << f;
            QTest::qSleep(18);
        }
        for (int i = 0; i < 5; ++i)
            QCOMPARE(qBlue(held[i].pixel(0, 0)), i * 10);

        const auto big = gradient(80, 60, 320);
        s.callback(sampleOf(big, 80, 60, 320));
        QImage f;
        grabber.getFrame(f, nullptr);
        QCOMPARE(f.size(), QSize(80, 60));
    }

    void damagedSamplesAreDropped()
    {
        Script s;
        s.devices = {{"Cam", kCommon}};
        CameraGrabber grabber(std::make_unique<ScriptedBackend>(s));
        QSignalSpy published(&grabber, &CameraGrabber::onNewFrameAvailable);
        QVERIFY(grabber.startCamera(32, 32, 0, "Cam", false));
        const auto data = gradient(32, 32, 128);
        s.callback(CaptureSample {data.data(), 0, 32, 32, 32, 128});                        // empty
        s.callback(CaptureSample {data.data(), int64_t(data.size()) - 1, 32, 32, 32, 128}); // short
        s.callback(CaptureSample {data.data(), int64_t(data.size()), 32, 32, 16, 64});      // odd depth
        s.callback(CaptureSample {data.data(), int64_t(data.size()), 0, 32, 32, 128});      // no width
        s.callback(CaptureSample {data.data(), int64_t(data.size()), 64, 32, 32, 128});     // stride too small
        s.callback(CaptureSample {nullptr, 4096, 32, 32, 32, 128});
        QCOMPARE(published.count(), 0);
        QImage f;
        bool had = true;
        grabber.getFrame(f, [&](bool ok) { had = ok; });
        QVERIFY(!had);
        QVERIFY(f.isNull());
    }

    void propertiesFallBackWithoutAControlDevice()
    {
        Script s;
        s.devices = {{"Vantor Camera", kCommon}};
        CameraGrabber grabber(std::make_unique<ScriptedBackend>(s));
        CameraSetting e;
        QVERIFY(!grabber.getExposure(e));
        QCOMPARE(e.minimum, 3);
        QCOMPARE(e.maximum, 2041);
        QCOMPARE(e.value, 166);
        QCOMPARE(e.defaultValue, 166);
        QCOMPARE(e.step, 1);
        QVERIFY(e.autoSupported);
        QVERIFY(!e.autoMode);
        CameraSetting b;
        QVERIFY(!grabber.getBrightness(b));
        QCOMPARE(b.minimum, -64);
        QVERIFY(!b.autoSupported);
        QVERIFY(!grabber.setBrightness(10, false));
        QVERIFY(s.sets.isEmpty());
    }

    void propertiesComeFromTheControlDevice()
    {
        Script s;
        s.devices = {{"Vantor Control", kCommon}, {"Vantor Camera", kCommon}};
        CameraGrabber grabber(std::make_unique<ScriptedBackend>(s));
        QVERIFY(grabber.startCamera(640, 360, 0, "Vantor Control", true));
        CameraSetting f;
        QVERIFY(grabber.getFocus(f));
        QCOMPARE(f.minimum, 0);
        QCOMPARE(f.maximum, 2046);
        QCOMPARE(f.step, 2);
        QCOMPARE(f.value, int(CameraProperty::Focus) + 100);
        QVERIFY(f.autoSupported);
        QVERIFY(f.autoMode);

        QVERIFY(grabber.setFocus(100, true));
        QVERIFY(grabber.setFocus(100, false));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Error setting value .*with automode.*on property 3"));
        QVERIFY(!grabber.setZoom(5, false));
        QCOMPARE(s.sets.size(), 3);
        QCOMPARE(s.sets[0], std::make_tuple(CameraProperty::Focus, 100L, 1L));
        QCOMPARE(s.sets[1], std::make_tuple(CameraProperty::Focus, 100L, 2L));

        // A control device without controls reports a zeroed record.
        s.withControls = false;
        CameraSetting z;
        z.maximum = 99;
        QVERIFY(!grabber.getZoom(z));
        QCOMPARE(z.maximum, 0);
        QCOMPARE(z.minimum, 0);
    }

    void startingAgainRestartsOnFreshDevices()
    {
        Script s;
        s.devices = {{"Cam", kCommon}};
        CameraGrabber grabber(std::make_unique<ScriptedBackend>(s));
        QVERIFY(grabber.startCamera(640, 480, 0, "Cam", false));
        QVERIFY(grabber.isCameraStarted());
        QVERIFY(grabber.isPreviewing());
        grabber.stopPreview();
        QVERIFY(!grabber.isPreviewing());
        grabber.startPreview();
        QVERIFY(grabber.isPreviewing());
        QVERIFY(grabber.startCamera(1280, 720, 0, "Cam", false));
        QCOMPARE(s.configured["Cam"].width, 1280);

        // The device is gone by the next start.
        s.devices.clear();
        grabber.stopCamera();
        QVERIFY(!grabber.isCameraStarted());
        QVERIFY(grabber.getDeviceNames().isEmpty());
        QVERIFY(!grabber.startCamera(1280, 720, 0, "Cam", false));
        // And a device that cannot be set up is not started.
        s.devices = {{"Cam", kCommon, false}};
        QVERIFY(!grabber.startCamera(1280, 720, 0, "Cam", false));
        QVERIFY(!grabber.isCameraStarted());
    }
};

QTEST_MAIN(CameraGrabberTest)
#include "tst_camera_grabber.moc"
