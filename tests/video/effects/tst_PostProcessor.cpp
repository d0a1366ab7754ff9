#include "BaseSettings.h"
#include "FrameHelpers.h"
#include "ImageToneSP.h"
#include "PostProcessor.h"

#include <QTest>
#include <QThread>

using namespace testframes;

class TestPostProcessor : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        BaseSettings s;
        s.clear();
        s.sync();
    }

    void settingRangesAndDefaults()
    {
        BaseSettings settings;
        PostProcessor pp(&settings);
        CameraSetting tone, blur, rot, fine;
        QVERIFY(pp.getSkinTone(tone) && pp.getBackgroundBlur(blur));
        QVERIFY(pp.getCameraRotation(rot) && pp.getFineCameraRotation(fine));
        auto check = [](const CameraSetting& s, int value, int max, int min, int def) {
            QCOMPARE(s.value, value);
            QCOMPARE(s.step, 1);
            QCOMPARE(s.maximum, max);
            QCOMPARE(s.minimum, min);
            QCOMPARE(s.defaultValue, def);
            QVERIFY(!s.autoSupported && !s.autoMode && !s.isActive());
        };
        check(tone, 50, 100, 0, 50);
        check(blur, 0, 100, 0, 0);
        check(rot, 0, 2, 0, 0);
        check(fine, 0, 20, -20, 0);
    }

    void setterWritesValueButNotAutoMode()
    {
        {
            BaseSettings settings;
            PostProcessor pp(&settings);
            QVERIFY(pp.setSkinTone(70, true));
            QVERIFY(pp.setFineCameraRotation(-7, false));
            CameraSetting s;
            pp.getSkinTone(s);
            QCOMPARE(s.value, 70);
            QVERIFY(s.autoMode);
            QCOMPARE(s.maximum, 100);
        }
        // A fresh store and pipeline, as after a restart.
        BaseSettings settings;
        QCOMPARE(settings.value("SkinTone").toInt(), 70);
        PostProcessor pp(&settings);
        CameraSetting s;
        pp.getSkinTone(s);
        QCOMPARE(s.value, 70);
        QVERIFY(!s.autoMode);
        pp.getFineCameraRotation(s);
        QCOMPARE(s.value, -7);
    }

    void nullAndInactiveFramesUntouched()
    {
        BaseSettings settings;
        PostProcessor pp(&settings);
        QImage null;
        QVERIFY(pp.process(null).isNull());

        // Every setting at its default and both overlays off: no copy, no write.
        QImage frame = randomFrame(64, 48);
        const QImage shared = frame;
        const uchar* before = frame.constBits();
        QImage& result = pp.process(frame);
        QCOMPARE(&result, &frame);
        QCOMPARE(frame.constBits(), before);
        QVERIFY(!frame.isDetached());

        // Low-power mode switches the blur off: no segmentation, no blur.
        settings.setValue("BackgroundBlur", 40);
        settings.setSetting(BaseSettings::General, BaseSettings::LowPowerMode, true);
        PostProcessor withBlur(&settings);
        withBlur.process(frame);
        QCOMPARE(frame, shared);
        settings.setSetting(BaseSettings::General, BaseSettings::LowPowerMode, false);
        withBlur.process(frame);
        QVERIFY(frame != shared);
    }

    void activeStageWritesIntoCallersImageOnly()
    {
        BaseSettings settings;
        settings.setValue("SkinTone", 0);
        PostProcessor pp(&settings);
        QImage frame(32, 8, QImage::Format_RGB32);
        const Px skin = fromYCbCr(0.5, -0.1, 0.1);
        frame.fill(QColor(skin.r, skin.g, skin.b));
        const QImage grabberCopy = frame;
        pp.process(frame);
        QCOMPARE(frame.size(), QSize(32, 8));
        QCOMPARE(frame.format(), QImage::Format_RGB32);
        QVERIFY(maxDiff(at(frame, 5, 5), skin) > 10);
        // The grabber's own frame never changes.
        QCOMPARE(maxDiff(at(grabberCopy, 5, 5), skin), 0);
    }

    void resultsHandedOutStayAsTheyWere()
    {
        BaseSettings settings;
        settings.setValue("FineCameraRotation", 12);
        PostProcessor pp(&settings);
        const QImage first = randomFrame(80, 60, 1), second = randomFrame(80, 60, 2);

        // The result of the first frame, held on to by the caller, is not
        // written over by the second frame's.
        QImage a = first;
        pp.process(a);
        const QImage kept = a.copy();
        QThread::msleep(2); // past the stages' throttle
        QImage b = second;
        pp.process(b);
        QVERIFY(b != kept);
        QCOMPARE(a, kept);
        QVERIFY(a.constBits() != b.constBits());

        // Once let go, its memory serves a later frame again.
        const uchar* memory = b.constBits();
        b = QImage();
        QThread::msleep(2);
        QImage c = first;
        pp.process(c);
        QCOMPARE(c.constBits(), memory);
        QCOMPARE(c, kept);
        // The input frames were only read.
        QCOMPARE(first, randomFrame(80, 60, 1));
        QCOMPARE(second, randomFrame(80, 60, 2));
    }

    void fineRotationAloneActivatesRotation()
    {
        BaseSettings settings;
        settings.setValue("FineCameraRotation", 12);
        PostProcessor pp(&settings);
        QImage frame = randomFrame(80, 60);
        const QImage original = frame.copy();
        pp.process(frame);
        QVERIFY(frame != original);
    }

    void readBackHonoursStrideAndSize()
    {
        // A result whose rows are longer than width x 4 bytes.
        cv::Mat wide(6, 10, CV_8UC4, cv::Scalar(1, 2, 3, 255));
        cv::Mat result = wide(cv::Rect(2, 1, 5, 4));
        cv::Mat(result.size(), CV_8UC4, cv::Scalar(10, 20, 30, 255)).copyTo(result);
        set(result, 4, 3, {200, 100, 50, 255});
        QImage image(5, 4, QImage::Format_RGB32);
        image.fill(Qt::black);
        QVERIFY(PostProcessor::readBack(result, image));
        QCOMPARE(image.format(), QImage::Format_RGB32);
        QCOMPARE(maxDiff(at(image, 0, 0), {10, 20, 30, 255}), 0);
        QCOMPARE(maxDiff(at(image, 4, 3), {200, 100, 50, 255}), 0);

        // Another size replaces the image.
        QImage small(3, 3, QImage::Format_RGB32);
        QVERIFY(PostProcessor::readBack(result, small));
        QCOMPARE(small.size(), QSize(5, 4));
        QCOMPARE(small.format(), QImage::Format_ARGB32);
        QCOMPARE(maxDiff(at(small, 4, 3), {200, 100, 50, 255}), 0);

        // Not B8G8R8A8, or empty: refused, image untouched.
        QImage keep = image.copy();
        QTest::ignoreMessage(QtWarningMsg, "Unsupported pixel format. Expected B8G8R8A8.");
        QVERIFY(!PostProcessor::readBack(cv::Mat(4, 5, CV_8UC3), image));
        QVERIFY(!PostProcessor::readBack(cv::Mat(), image));
        QCOMPARE(image, keep);
    }

    void badFramesNeverCrash()
    {
        BaseSettings settings;
        settings.setValue("SkinTone", 10);
        settings.setValue("CameraRotation", 1);
        settings.setValue("FineCameraRotation", 5);
        PostProcessor pp(&settings);
        for (QSize size : {QSize(1, 1), QSize(3, 5), QSize(7, 1), QSize(1, 9)}) {
            QImage frame = randomFrame(size.width(), size.height());
            pp.process(frame);
            QCOMPARE(frame.size(), size);
            QThread::msleep(2);
        }
        // Larger than any frame the pipeline takes: returned as it was.
        QImage huge(bitmap::kMaxDimension + 1, 2, QImage::Format_RGB32);
        huge.fill(Qt::red);
        const QImage hugeCopy = huge;
        pp.process(huge);
        QCOMPARE(huge.constBits(), hugeCopy.constBits());
        // A frame in another pixel layout is converted, not read past its rows.
        QImage rgb(17, 9, QImage::Format_RGB888);
        rgb.fill(Qt::green);
        pp.process(rgb);
        QCOMPARE(rgb.size(), QSize(17, 9));
        QCOMPARE(rgb.depth(), 32);
    }

    void outOfRangeStoredValuesAreHarmless()
    {
        BaseSettings settings;
        settings.setValue("SkinTone", "not a number");
        settings.setValue("CameraRotation", 7);
        settings.setValue("FineCameraRotation", 2000000000);
        PostProcessor pp(&settings);
        CameraSetting s;
        pp.getSkinTone(s);
        QCOMPARE(s.value, 50);
        QImage frame = randomFrame(40, 30);
        pp.process(frame);
        QCOMPARE(frame.size(), QSize(40, 30));
    }

    void settingsChangeWhileFramesRun()
    {
        // The user interface writes settings while the feeder processes frames.
        BaseSettings settings;
        PostProcessor pp(&settings);
        std::unique_ptr<QThread> ui(QThread::create([&] {
            for (int i = 0; i < 200; ++i) {
                pp.setSkinTone(i % 2 ? 30 : 50, i % 3 == 0);
                pp.setFineCameraRotation(i % 5 - 2, false);
                CameraSetting s;
                pp.getCameraRotation(s);
            }
        }));
        ui->start();
        for (int i = 0; i < 40; ++i) {
            QImage frame = randomFrame(48, 32, quint32(i));
            pp.process(frame);
            QCOMPARE(frame.size(), QSize(48, 32));
        }
        QVERIFY(ui->wait(30000));
        CameraSetting s;
        pp.getFineCameraRotation(s);
        QCOMPARE(s.value, 199 % 5 - 2);
    }

    void throttleSkipsEarlyRuns()
    {
        ImageToneSP tone;
        tone.setMaxRate(35);
        CameraSetting s {0, 1, 100, 0, 50, false, false};
        float w = 8, h = 8;
        QVERIFY(!tone.processImage(BitmapPtr(), w, h, s));
        QVERIFY(!tone.currentOutput());

        BitmapPtr first = tone.processImage(filled(8, 8, {0, 0, 200, 255}), w, h, s);
        QVERIFY(first);
        const Px red = at(*first, 0, 0);
        // 28 ms must pass at 35 runs per second: an early frame gets the old result.
        BitmapPtr early = tone.processImage(filled(8, 8, {200, 0, 0, 255}), w, h, s);
        QCOMPARE(early.get(), first.get());
        QCOMPARE(maxDiff(at(*early, 0, 0), red), 0);
        QThread::msleep(40);
        BitmapPtr later = tone.processImage(filled(8, 8, {200, 0, 0, 255}), w, h, s);
        QCOMPARE(at(*later, 0, 0).b, 200);

        // The asynchronous form runs on the stage's own worker.
        QThread::msleep(40);
        BitmapPtr now = tone.processImageAsync(filled(8, 8, {0, 200, 0, 255}), w, h, s);
        QCOMPARE(now.get(), later.get());
        QTRY_COMPARE_WITH_TIMEOUT(at(*tone.currentOutput(), 0, 0).g, 200, 5000);
    }
};

QTEST_MAIN(TestPostProcessor)
#include "tst_PostProcessor.moc"
