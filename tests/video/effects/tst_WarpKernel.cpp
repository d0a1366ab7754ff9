#include "ImageRotateSP.h"
#include "WarpKernel.h"

#include <QTest>

#include <opencv2/imgproc.hpp>

namespace {

struct Case
{
    const char* name;
    cv::Size src, dst;
    cv::Matx23f m;
    bool reaches = true; // some target pixel has its whole neighbourhood in the source
};

cv::Matx23f turn(cv::Size s, double degrees, double scale, float shiftX = 0, float shiftY = 0)
{
    cv::Matx23f m = cv::getRotationMatrix2D(cv::Point2f(s.width / 2.0f, s.height / 2.0f), degrees, scale);
    m(0, 2) += shiftX;
    m(1, 2) += shiftY;
    return m;
}

cv::Mat randomPicture(cv::Size s, cv::RNG& rng)
{
    cv::Mat m(s, CV_8UC4);
    rng.fill(m, cv::RNG::UNIFORM, 0, 256);
    return m;
}

// Pixels of `after` that still hold `before`'s content, in two runs on
// different earlier targets: a pixel the warp wrote differs from one of them.
cv::Mat untouched(const cv::Mat& afterA, const cv::Mat& beforeA, const cv::Mat& afterB, const cv::Mat& beforeB)
{
    cv::Mat keptA, keptB, kept;
    cv::compare(afterA.reshape(1), beforeA.reshape(1), keptA, cv::CMP_EQ);
    cv::compare(afterB.reshape(1), beforeB.reshape(1), keptB, cv::CMP_EQ);
    cv::bitwise_and(keptA, keptB, kept);
    return kept.reshape(4);
}

} // namespace

class TestWarpKernel : public QObject
{
    Q_OBJECT
private slots:
    void matchesOpenCvAndBothPathsAgree()
    {
        const cv::Size hd(1280, 720);
        // The rotation stage's own matrices: fine tilt by 6 degrees, "fit" mode tilted by -4.
        const auto stage = [](int mode, float fine) {
            return ImageRotateSP::transform(1280, 720, ImageRotateSP::scaleFor(1280, 720, mode, fine),
                                            ImageRotateSP::angleFor(mode, fine));
        };
        const Case cases[] = {
            {"fine tilt 720p", hd, hd, stage(0, 6)},
            {"fit mode 720p", hd, hd, stage(1, -4)},
            {"largest fine tilts 720p", hd, hd, stage(0, -10)},
            {"slight tilt, odd width", {203, 61}, {203, 61}, turn({203, 61}, 1.5, 1.02)},
            {"fine tilt with a sideways camera 720p", hd, hd, stage(2, 7)},
            {"odd sizes, steep turn", {37, 23}, {45, 29}, turn({37, 23}, 37, 1.3)},
            {"shrink, target wider than source", {50, 40}, {83, 41}, turn({50, 40}, -128, 0.45, 9, 3)},
            {"enlarge", {9, 7}, {61, 53}, turn({9, 7}, 200, 6.5, 25, 20)},
            {"mirror", {40, 30}, {40, 30}, cv::Matx23f(-1.1f, 0.05f, 41.0f, 0.02f, 0.97f, 0.3f)},
            {"half-step shift", {33, 17}, {33, 17}, cv::Matx23f(1, 0, 0.5f, 0, 1, -0.25f)},
            {"2x2 source", {2, 2}, {11, 9}, turn({2, 2}, 10, 4, 4, 3)},
            {"1xN source", {1, 9}, {16, 16}, turn({1, 9}, 5, 2), false},
            {"Nx1 source", {19, 1}, {16, 16}, turn({19, 1}, 0, 1), false},
            {"1x1 target", {8, 8}, {1, 1}, turn({8, 8}, 30, 1, -4, -4)},
            {"all outside", {64, 48}, {64, 48}, turn({64, 48}, 3, 1, 5000, -300), false},
            {"degenerate matrix", {12, 10}, {12, 10}, cv::Matx23f(0, 0, 3, 0, 0, 2)},
            // Source positions beyond the integer range wrap as in OpenCV.
            {"vanishing scale", {12, 10}, {12, 10}, cv::Matx23f(1e-7f, 0, 5, 0, 1e-7f, 5)},
        };
        cv::RNG rng(20240611);
        for (const Case& c : cases) {
            // The source is a window into a larger picture: any read outside it
            // would show in the result.
            const cv::Mat frame = randomPicture(c.src + cv::Size(6, 4), rng);
            const cv::Mat src = frame(cv::Rect(cv::Point(3, 2), c.src));
            const cv::Mat beforeA = randomPicture(c.dst, rng), beforeB = randomPicture(c.dst, rng);
            cv::Mat refA = beforeA.clone(), refB = beforeB.clone();
            cv::warpAffine(src, refA, c.m, c.dst, cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
            cv::warpAffine(src, refB, c.m, c.dst, cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
            cv::Mat fastA = beforeA.clone(), fastB = beforeB.clone(), baseA = beforeA.clone();
            QVERIFY(warpkernel::warpAffine(src, fastA, c.m));
            QVERIFY(warpkernel::warpAffine(src, fastB, c.m));
            QVERIFY(warpkernel::warpAffineBaseline(src, baseA, c.m));

            // The same pixels are left alone...
            const cv::Mat refKept = untouched(refA, beforeA, refB, beforeB);
            const cv::Mat ourKept = untouched(fastA, beforeA, fastB, beforeB);
            QVERIFY2(cv::norm(refKept, ourKept, cv::NORM_INF) == 0, c.name);
            // ...the others are within one level of OpenCV's...
            QVERIFY2(cv::norm(refA, fastA, cv::NORM_INF) <= 1, c.name);
            // ...and the result does not depend on the processor.
            QVERIFY2(cv::norm(fastA, baseA, cv::NORM_INF) == 0, c.name);

            const int kept = cv::countNonZero(refKept.reshape(1, int(c.dst.area())).col(0));
            QVERIFY2(c.reaches ? kept < c.dst.area() : kept == c.dst.area(), c.name);
        }
    }

    void refusesWhatItCannotWarp()
    {
        cv::Mat src(8, 8, CV_8UC4, cv::Scalar(1, 2, 3, 4)), dst(8, 8, CV_8UC4, cv::Scalar::all(9));
        const auto untouched = [](const cv::Mat& m) {
            return cv::norm(m, cv::Mat(m.size(), m.type(), cv::Scalar::all(9)), cv::NORM_INF) == 0;
        };
        const cv::Matx23f identity(1, 0, 0, 0, 1, 0);
        cv::Mat grey(8, 8, CV_8UC1, cv::Scalar(0));
        QVERIFY(!warpkernel::warpAffine(grey, dst, identity));
        QVERIFY(!warpkernel::warpAffine(src, grey, identity));
        // A view of the target as source would read pixels already written.
        QVERIFY(!warpkernel::warpAffine(dst(cv::Rect(2, 2, 4, 4)), dst, identity));
        QVERIFY(untouched(dst));
        // The identity copies all but the last column and row, whose right or
        // lower neighbours are missing.
        QVERIFY(warpkernel::warpAffine(src, dst, identity));
        QCOMPARE(cv::norm(dst(cv::Rect(0, 0, 7, 7)), src(cv::Rect(0, 0, 7, 7)), cv::NORM_INF), 0.0);
        QVERIFY(untouched(dst.col(7)) && untouched(dst.row(7)));
    }
};

QTEST_MAIN(TestWarpKernel)
#include "tst_WarpKernel.moc"
