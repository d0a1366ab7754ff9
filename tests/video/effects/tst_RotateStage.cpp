#include "FrameHelpers.h"
#include "ImageRotateSP.h"

#include <QTest>

#include <opencv2/imgproc.hpp>
#include <QThread>

#include <cmath>

using namespace testframes;

namespace {

CameraSetting coarse(int v)
{
    return CameraSetting {v, 1, 2, 0, 0, false, false};
}
CameraSetting fine(int v)
{
    return CameraSetting {v, 1, 20, -20, 0, false, false};
}

bool isBlack(Px p)
{
    return p.b == 0 && p.g == 0 && p.r == 0 && p.a == 255;
}

} // namespace

class TestRotateStage : public QObject
{
    Q_OBJECT
private slots:
    void scalesAnglesAndBars()
    {
        const float k = ImageRotateSP::kDegree;
        QCOMPARE(k, float(3.14 / 180.0));
        // Fine 20 alone: 10 degrees, zoom 1 + 10 x K x 1.35.
        const float f = ImageRotateSP::fineAngle(fine(20));
        QCOMPARE(f, 10.0f);
        QCOMPARE(ImageRotateSP::angleFor(0, f), 10.0f);
        QVERIFY(std::fabs(ImageRotateSP::scaleFor(1280, 720, 0, f) - 1.2354999f) < 1e-5f);
        QVERIFY(std::fabs(ImageRotateSP::scaleFor(1280, 720, 0, -f) - 1.2354999f) < 1e-5f);
        // Mode 1 ("fit"): 90 degrees, s = 720/1280 x 1.75, bars of 285.625.
        const float s1 = ImageRotateSP::scaleFor(1280, 720, 1, 0);
        QCOMPARE(s1, 0.984375f);
        QCOMPARE(ImageRotateSP::angleFor(1, 0), 90.0f);
        QCOMPARE(ImageRotateSP::barWidth(1280, 720, s1, 0), 285.625f);
        // Tilted bars grow by |f| x K + 1.
        QVERIFY(std::fabs(ImageRotateSP::barWidth(1280, 720, s1, -4) - 285.625f * (4 * k + 1)) < 1e-3f);
        // Mode 2: fill, s = w / h; no bars.
        QVERIFY(std::fabs(ImageRotateSP::scaleFor(1280, 720, 2, 0) - 1.7777778f) < 1e-5f);
        QVERIFY(std::fabs(ImageRotateSP::scaleFor(1280, 720, 2, 3) - (3 * k * 0.4f + 1) * 1.7777778f) < 1e-5f);
        QCOMPARE(ImageRotateSP::angleFor(2, -3), 87.0f);
        QCOMPARE(ImageRotateSP::barWidth(1280, 720, 1.7777778f, 0), 0.0f);
    }

    void transformTurnsClockwiseAboutTheCentre()
    {
        const cv::Matx23f m = ImageRotateSP::transform(100, 60, 2.0f, 90.0f);
        auto map = [&](float x, float y) {
            return cv::Point2f(m(0, 0) * x + m(0, 1) * y + m(0, 2), m(1, 0) * x + m(1, 1) * y + m(1, 2));
        };
        const cv::Point2f c = map(50, 30);
        QVERIFY(std::fabs(c.x - 50) < 1e-4 && std::fabs(c.y - 30) < 1e-4);
        // 10 px right of the centre ends 20 px below it: clockwise on screen, scaled by 2.
        const cv::Point2f r = map(60, 30);
        QVERIFY(std::fabs(r.x - 50) < 1e-4 && std::fabs(r.y - 50) < 1e-4);
    }

    void bothZeroPassesTheInputItself()
    {
        ImageRotateSP rot;
        BitmapPtr in = filled(8, 6, {1, 2, 3, 255});
        float w = 8, h = 6;
        QCOMPARE(rot.processImage(in, w, h, coarse(0), fine(0)).get(), in.get());
        QVERIFY(!rot.processImage(BitmapPtr(), w, h, coarse(1), fine(0)));
    }

    void quarterTurnMovesPixelsAndDrawsBars()
    {
        const int w = 128, h = 72;
        BitmapPtr in = filled(w, h, {0, 0, 200, 255});
        // A green block right of the centre.
        for (int y = 32; y < 40; ++y)
            for (int x = 80; x < 90; ++x)
                set(*in, x, y, {0, 200, 0, 255});
        ImageRotateSP rot;
        float fw = w, fh = h;
        BitmapPtr out = rot.processImage(in, fw, fh, coarse(1), fine(0));
        QVERIFY(out && out != in);
        const float s = ImageRotateSP::scaleFor(w, h, 1, 0);
        const float bar = ImageRotateSP::barWidth(w, h, s, 0);
        // The block now lies below the centre (x about 64, y about 36 + 20 x s).
        const Px moved = at(*out, 64, int(36 + 20 * s));
        QVERIFY2(moved.g > 150 && moved.r < 50, "block not turned clockwise");
        QCOMPARE(at(*out, 84, 36).g, 0);
        // Bars: black up to the bar width on both sides, picture in between.
        QVERIFY(isBlack(at(*out, 0, 10)) && isBlack(at(*out, int(bar) - 1, 60)));
        QVERIFY(isBlack(at(*out, w - 1, 10)) && isBlack(at(*out, w - int(bar), 60)));
        QVERIFY(!isBlack(at(*out, w / 2, 5)));
    }

    void turnsItsOwnOutputLikeOpenCv()
    {
        const int w = 96, h = 54;
        BitmapPtr in = fromImage(randomFrame(w, h, 7));
        ImageRotateSP rot;
        rot.setMaxRate(1000000); // no throttling between the two calls
        float fw = w, fh = h;
        BitmapPtr first = rot.processImage(in, fw, fh, coarse(0), fine(-9));
        QVERIFY(first && first != in);
        const cv::Mat firstCopy = first->clone();
        // Fed its own output, the stage turns a copy of it onto itself.
        BitmapPtr second = rot.processImage(first, fw, fh, coarse(0), fine(-9));
        QCOMPARE(second.get(), first.get());
        const float f = ImageRotateSP::fineAngle(fine(-9));
        cv::Mat expected = firstCopy.clone();
        cv::warpAffine(firstCopy, expected, ImageRotateSP::transform(w, h, ImageRotateSP::scaleFor(w, h, 0, f), f),
                       expected.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
        QVERIFY(cv::norm(*second, expected, cv::NORM_INF) <= 1);
        QVERIFY(cv::norm(*second, firstCopy, cv::NORM_INF) > 10);
    }

    void fineTiltCoversTheFrameAndKeepsTheRest()
    {
        const int w = 160, h = 90;
        for (int v : {-20, -7, 3, 20}) {
            ImageRotateSP rot; // a fresh target: opaque black
            float fw = w, fh = h;
            BitmapPtr out = rot.processImage(filled(w, h, {90, 90, 90, 255}), fw, fh, coarse(0), fine(v));
            const float f = ImageRotateSP::fineAngle(fine(v));
            cv::Matx23f inv;
            cv::invertAffineTransform(ImageRotateSP::transform(w, h, ImageRotateSP::scaleFor(w, h, 0, f), f), inv);
            int covered = 0, kept = 0;
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    const float sx = inv(0, 0) * x + inv(0, 1) * y + inv(0, 2);
                    const float sy = inv(1, 0) * x + inv(1, 1) * y + inv(1, 2);
                    const bool inside = sx > 1 && sy > 1 && sx < w - 2 && sy < h - 2;
                    const bool outside = sx < -1 || sy < -1 || sx > w || sy > h;
                    if (inside) {
                        QVERIFY(maxDiff(at(*out, x, y), {90, 90, 90, 255}) <= 1);
                        ++covered;
                    } else if (outside) {
                        // Never reached by the turned picture: the target is not cleared.
                        QCOMPARE(maxDiff(at(*out, x, y), {0, 0, 0, 255}), 0);
                        ++kept;
                    }
                }
            }
            // The zoom leaves at most slivers at the corners.
            QVERIFY(covered > w * h * 97 / 100);
            QVERIFY(kept < w * h / 100);
        }
        ImageRotateSP rot;
        // Odd and tiny sizes, and absurd stored values, do not crash.
        for (cv::Size sz : {cv::Size(1, 1), cv::Size(3, 7)}) {
            float sw = float(sz.width), sh = float(sz.height);
            QVERIFY(rot.processImage(filled(sz.width, sz.height, {1, 1, 1, 255}), sw, sh, coarse(1), fine(20000)));
            QThread::msleep(2);
        }
    }
};

QTEST_MAIN(TestRotateStage)
#include "tst_RotateStage.moc"
