#include "FrameHelpers.h"
#include "ImageOverlaySP.h"
#include "TextOverlaySP.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QPainter>
#include <QTest>
#include <QThread>

using namespace testframes;

namespace {

QString key(BaseSettings::SubSettings k)
{
    return BaseSettings::keyName(k);
}

QByteArray png(const QImage& image)
{
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return data;
}

QVariantMap logoSettings(const QImage& logo, qint64 stamp)
{
    QVariantMap map = BaseSettings::groupDefaults(BaseSettings::LogoOverlay);
    map[key(BaseSettings::Enabled)] = true;
    map[key(BaseSettings::ImageData)] = png(logo);
    map[key(BaseSettings::LastModified)] = stamp;
    return map;
}

QVariantMap textSettings(const QString& l1, const QString& l2)
{
    QVariantMap map = BaseSettings::groupDefaults(BaseSettings::TextOverlay);
    map[key(BaseSettings::Enabled)] = true;
    map[key(BaseSettings::TextLine1)] = l1;
    map[key(BaseSettings::TextLine2)] = l2;
    map[key(BaseSettings::LastModified)] = 1;
    return map;
}

// Columns [first, last] holding any visible pixel in rows [y0, y1).
QPair<int, int> inkColumns(const QImage& img, int y0, int y1)
{
    int first = img.width(), last = -1;
    for (int y = y0; y < y1; ++y)
        for (int x = 0; x < img.width(); ++x)
            if (qAlpha(img.pixel(x, y)) > 128) {
                first = std::min(first, x);
                last = std::max(last, x);
            }
    return {first, last};
}

} // namespace

class TestOverlayStages : public QObject
{
    Q_OBJECT
private slots:
    void sourceOverOfPremultipliedPixels()
    {
        // 37 columns: whole vector blocks and a per-pixel tail.
        cv::Mat dst(3, 37, CV_8UC4), src(3, 37, CV_8UC4);
        QRandomGenerator rng(3);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 37; ++x) {
                const int a = x % 5 == 0 ? 0 : (x % 7 == 0 ? 255 : int(rng.bounded(256)));
                set(src, x, y, {int(rng.bounded(a + 1)), int(rng.bounded(a + 1)), int(rng.bounded(a + 1)), a});
                set(dst, x, y, {int(rng.bounded(256)), int(rng.bounded(256)), int(rng.bounded(256)), 255});
            }
        const cv::Mat before = dst.clone();
        bitmap::drawOver(dst, src, cv::Rect(0, 1, 100, 1)); // clipped to row 1
        for (int x = 0; x < 37; ++x) {
            const Px s = at(src, x, 1), d = at(before, x, 1);
            auto over = [&](int sc, int dc) { return std::min(255, sc + int(std::lround(dc * (255 - s.a) / 255.0))); };
            QCOMPARE(maxDiff(at(dst, x, 1), {over(s.b, d.b), over(s.g, d.g), over(s.r, d.r), over(s.a, d.a)}), 0);
            QCOMPARE(maxDiff(at(dst, x, 0), at(before, x, 0)), 0);
        }
    }

    void composeOverMatchesCopyThenDrawOver()
    {
        // Runs of fully transparent and fully opaque pixels (the fast paths)
        // next to partly covered ones, over more than one vector width.
        QRandomGenerator rng(11);
        cv::Mat below(3, 203, CV_8UC4), above(3, 203, CV_8UC4);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 203; ++x) {
                const int a = x < 64 ? 0 : (x < 128 ? 255 : (x % 3 == 0 ? 0 : int(rng.bounded(256))));
                set(above, x, y, {int(rng.bounded(a + 1)), int(rng.bounded(a + 1)), int(rng.bounded(a + 1)), a});
                set(below, x, y,
                    {int(rng.bounded(256)), int(rng.bounded(256)), int(rng.bounded(256)), int(rng.bounded(256))});
            }
        cv::Mat expected = below.clone();
        bitmap::drawOver(expected, above);
        cv::Mat dst(3, 203, CV_8UC4, cv::Scalar(9, 9, 9, 9));
        bitmap::composeOver(dst, below, above);
        QCOMPARE(cv::norm(dst, expected, cv::NORM_INF), 0.0);
        // In place over the lower picture, and a target of another size.
        cv::Mat inPlace = below.clone();
        bitmap::composeOver(inPlace, inPlace, above);
        QCOMPARE(cv::norm(inPlace, expected, cv::NORM_INF), 0.0);
        cv::Mat small(1, 1, CV_8UC4);
        bitmap::composeOver(small, below, above);
        QCOMPARE(cv::norm(small, expected, cv::NORM_INF), 0.0);
    }

    void placementForEveryAlignment_data()
    {
        QTest::addColumn<int>("hAlign");
        QTest::addColumn<int>("vAlign");
        QTest::addColumn<double>("margin");
        QTest::addColumn<bool>("flip");
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        // Frame 1000 x 500, picture 201 x 101: free space 799 x 399.
        QTest::newRow("left top") << 1 << 32 << 0.0 << false << 0 << 0;
        QTest::newRow("left top, margins") << 1 << 32 << 0.5 << false << 399 << 199;
        QTest::newRow("tiny margins count as 0") << 1 << 32 << 0.009 << false << 0 << 0;
        QTest::newRow("right bottom") << 2 << 64 << 0.0 << false << 799 << 399;
        QTest::newRow("right bottom, margins") << 2 << 64 << 0.25 << false << 799 - 199 << 399 - 99;
        QTest::newRow("centre centre") << 4 << 128 << 0.3 << false << 400 << 200;
        QTest::newRow("left, mirrored") << 1 << 32 << 0.0 << true << 799 << 0;
        QTest::newRow("right, mirrored") << 2 << 64 << 0.0 << true << 0 << 399;
        QTest::newRow("right, margin, mirrored") << 2 << 32 << 0.25 << true << 799 - 599 << 99;
        QTest::newRow("unknown values: left top") << 0 << 0 << 0.0 << false << 0 << 0;
        QTest::newRow("absurd margins stay in the frame") << 1 << 32 << 1e300 << false << 799 << 399;
    }

    void placementForEveryAlignment()
    {
        QFETCH(int, hAlign);
        QFETCH(int, vAlign);
        QFETCH(double, margin);
        QFETCH(bool, flip);
        QFETCH(int, x);
        QFETCH(int, y);
        QVariantMap map {{key(BaseSettings::HAlign), hAlign},
                         {key(BaseSettings::VAlign), vAlign},
                         {key(BaseSettings::MarginX), margin},
                         {key(BaseSettings::MarginY), margin},
                         {key(BaseSettings::FlipHorizontal), flip}};
        const ImageOverlaySP::Placement p = ImageOverlaySP::placement(1000, 500, 201, 101, map);
        QCOMPARE(p.x, x);
        QCOMPARE(p.y, y);
        QCOMPARE(p.dx, x);
        QCOMPARE(p.dy, y); // rows run top first
    }

    void logoIsScaledShadowedAndPlaced()
    {
        QImage logo(100, 50, QImage::Format_ARGB32);
        logo.fill(QColor(0, 0, 255));
        QVariantMap map = logoSettings(logo, 10);
        map[key(BaseSettings::HAlign)] = 2;
        map[key(BaseSettings::VAlign)] = 64;
        ImageOverlaySP overlay;
        const int w = 320, h = 180;
        BitmapPtr in = filled(w, h, {0, 0, 0, 255});
        float fw = w, fh = h;
        BitmapPtr out = overlay.processImage(in, fw, fh, map);
        // The overlay draws onto the picture it is given.
        QCOMPARE(out.get(), in.get());
        // k = min(180/50, 320/100) x 0.4 = 1.28: 128 x 64, grown by int(64 x 0.2) = 12 each side.
        const QImage picture = overlay.overlayImage();
        QCOMPARE(picture.size(), QSize(128 + 24, 64 + 24));
        // Right and bottom with no margin: x = w - pw, y = h - ph, in the
        // bottom right corner of a picture whose rows run top first.
        const int x0 = w - picture.width(), y0 = h - picture.height();
        QCOMPARE(maxDiff(at(*out, x0 + 76, y0 + 44), {255, 0, 0, 255}), 0);
        QCOMPARE(maxDiff(at(*out, x0 - 2, y0 + 44), {0, 0, 0, 255}), 0);
        QCOMPARE(maxDiff(at(*out, x0 + 76, y0 - 2), {0, 0, 0, 255}), 0);
        QCOMPARE(maxDiff(at(*out, 5, 5), {0, 0, 0, 255}), 0);
    }

    void rebuildsOnlyWhenStampGrowsOrSizeChanges()
    {
        QImage logo(40, 40, QImage::Format_ARGB32);
        logo.fill(Qt::white);
        QVariantMap map = logoSettings(logo, 5);
        ImageOverlaySP overlay;
        float w = 200, h = 100;
        overlay.processImage(filled(200, 100, {0, 0, 0, 255}), w, h, map);
        const QSize first = overlay.overlayImage().size();
        QCOMPARE(overlay.overlayStamp(), 5);

        map[key(BaseSettings::Size)] = 0.8; // changed without a newer stamp
        QThread::msleep(2);
        overlay.processImage(filled(200, 100, {0, 0, 0, 255}), w, h, map);
        QCOMPARE(overlay.overlayImage().size(), first);

        map[key(BaseSettings::LastModified)] = 6;
        QThread::msleep(2);
        overlay.processImage(filled(200, 100, {0, 0, 0, 255}), w, h, map);
        QVERIFY(overlay.overlayImage().width() > first.width());
        const QSize second = overlay.overlayImage().size();

        // A new frame size rebuilds with the same stamp.
        w = 400, h = 200;
        QThread::msleep(2);
        overlay.processImage(filled(400, 200, {0, 0, 0, 255}), w, h, map);
        QVERIFY(overlay.overlayImage().width() > second.width());
    }

    void badLogoDataAndDisabledOverlayPassTheFrame()
    {
        ImageOverlaySP overlay;
        float w = 64, h = 32;
        QVariantMap map = logoSettings(QImage(), 1);
        map[key(BaseSettings::ImageData)] = QByteArray("\x89PNG\r\n garbage", 14);
        BitmapPtr in = filled(64, 32, {7, 8, 9, 255});
        QCOMPARE(overlay.processImage(in, w, h, map).get(), in.get());
        QCOMPARE(maxDiff(at(*in, 10, 10), {7, 8, 9, 255}), 0);
        QVERIFY(overlay.overlayImage().isNull());

        QImage logo(10, 10, QImage::Format_ARGB32);
        logo.fill(Qt::white);
        map = logoSettings(logo, 2);
        map[key(BaseSettings::Enabled)] = false;
        QThread::msleep(2);
        overlay.processImage(in, w, h, map);
        QCOMPARE(maxDiff(at(*in, 0, 0), {7, 8, 9, 255}), 0);
        // Out-of-range sizes and opacity are held to their limits.
        map[key(BaseSettings::Enabled)] = true;
        map[key(BaseSettings::Size)] = 1e9;
        map[key(BaseSettings::Opacity)] = -3;
        QThread::msleep(2);
        overlay.processImage(in, w, h, map);
        QVERIFY(overlay.overlayImage().height() <= 32 + 2 * 7);
        QCOMPARE(maxDiff(at(*in, 32, 16), {7, 8, 9, 255}), 0); // fully transparent
    }

    void textPixelSize()
    {
        QCOMPARE(TextOverlaySP::textPixelSize(1280, 720, 9, 1.0), 240);
        QCOMPARE(TextOverlaySP::textPixelSize(1280, 720, 9, 0.4), int(1280 * 2.0 * 0.6 / 10));
        QCOMPARE(TextOverlaySP::textPixelSize(1280, 720, 1, 1.0), 240);   // capped at h / 3
        QCOMPARE(TextOverlaySP::textPixelSize(1280, 720, 5000, 1.0), 24); // at least h / 30
        QCOMPARE(TextOverlaySP::textPixelSize(1280, 720, 0, 0.2), 240);
    }

    void textLinesAlignWithinTheBlock()
    {
        TextOverlaySP text;
        QVariantMap map = textSettings(QStringLiteral("Vantor Control camera"), QStringLiteral("Hi"));
        map[key(BaseSettings::Line1Size)] = 0.8;
        map[key(BaseSettings::Line2Size)] = 0.2;
        map[key(BaseSettings::TextHAlign)] = 1;
        map[key(BaseSettings::FlipHorizontal)] = true;
        const QImage block = text.buildOverlayImage(640, 360, map);
        QVERIFY(!block.isNull());
        QVERIFY(block.width() > 300);
        // Mirrored left alignment puts the short second line at the right edge.
        const int line2Top = block.height() - block.height() / 8;
        const auto ink = inkColumns(block, line2Top, block.height());
        QVERIFY2(ink.first > block.width() / 2, qPrintable(QString::number(ink.first)));
        map[key(BaseSettings::FlipHorizontal)] = false;
        const auto left = inkColumns(text.buildOverlayImage(640, 360, map), line2Top, block.height());
        QVERIFY(left.second < block.width() / 2);
        // An unknown alignment value draws nothing.
        map[key(BaseSettings::TextHAlign)] = 3;
        const QImage empty = text.buildOverlayImage(640, 360, map);
        QCOMPARE(inkColumns(empty, 0, empty.height()).second, -1);
    }

    void textFallsBackAndSurvivesBadInput()
    {
        TextOverlaySP text;
        for (const QString& family : {QStringLiteral("Arial"), QStringLiteral("No Such Family 123")}) {
            const QImage line = text.renderTextLine(family, 640, 360, "Hello", 1.0, true, Qt::black, Qt::white);
            QVERIFY(!line.isNull());
            QVERIFY(inkColumns(line, 0, line.height()).second > 0);
        }
        const QImage blank = text.renderTextLine("Arial", 640, 360, QString(), 1.0, false, Qt::black, Qt::white);
        QVERIFY(!blank.isNull());

        float w = 320, h = 180;
        BitmapPtr in = filled(320, 180, {3, 3, 3, 255});
        QCOMPARE(text.processImage(in, w, h, textSettings(QString(), QString())).get(), in.get());
        QCOMPARE(maxDiff(at(*in, 160, 90), {3, 3, 3, 255}), 0);

        QElapsedTimer timer;
        timer.start();
        QThread::msleep(2);
        text.processImage(in, w, h, textSettings(QString(100000, QChar('W')), QStringLiteral("x")));
        QVERIFY(timer.elapsed() < 20000);
        QVERIFY(!text.overlayImage().isNull());
        for (cv::Size sz : {cv::Size(1, 1), cv::Size(5, 3)}) {
            float sw = float(sz.width), sh = float(sz.height);
            QThread::msleep(2);
            QVERIFY(text.processImage(filled(sz.width, sz.height, {0, 0, 0, 255}), sw, sh, textSettings("a", "b")));
        }
    }

    void picturesBuildOffTheGuiThread()
    {
        // The pipeline builds overlay pictures on the feeder's worker thread.
        QImage logo(30, 20, QImage::Format_ARGB32);
        logo.fill(Qt::green);
        QImage logoPicture, textPicture;
        std::unique_ptr<QThread> thread(QThread::create([&] {
            ImageOverlaySP overlay;
            TextOverlaySP text;
            logoPicture = overlay.buildOverlayImage(320, 180, logoSettings(logo, 1));
            textPicture = text.buildOverlayImage(320, 180, textSettings("one", "two"));
        }));
        thread->start();
        QVERIFY(thread->wait(30000));
        QVERIFY(!logoPicture.isNull());
        QVERIFY(inkColumns(textPicture, 0, textPicture.height()).second > 0);
    }
};

QTEST_MAIN(TestOverlayStages)
#include "tst_OverlayStages.moc"
