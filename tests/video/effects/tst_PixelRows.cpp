// The shared pixel row loops: the build picked for this processor gives the
// same bytes as the baseline build, the block averaging equals OpenCV's area
// shrinking, the widening its linear enlargement, the fixed-point Gaussian is
// as good as OpenCV's, and the blur stage, which enlarges and draws row by row, gives the
// same picture as blurring and then drawing the whole frame.
#include "Bitmap.h"
#include "FrameHelpers.h"
#include "ImageBlurSP.h"
#include "PixelRows.h"

#include <QRandomGenerator>
#include <QTest>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <vector>

using namespace testframes;

namespace {

// Premultiplied pixels with runs of fully transparent and fully opaque ones
// (the fast paths) between partly covered ones.
std::vector<uint8_t> premultipliedRow(int n, quint32 seed)
{
    QRandomGenerator rng(seed);
    std::vector<uint8_t> row(size_t(n) * 4);
    for (int x = 0; x < n; ++x) {
        const int run = (x / 40) % 3;
        const int a = run == 0 ? 0 : (run == 1 ? 255 : int(rng.bounded(256)));
        for (int c = 0; c < 3; ++c)
            row[size_t(x) * 4 + c] = uint8_t(rng.bounded(a + 1));
        row[size_t(x) * 4 + 3] = uint8_t(a);
    }
    return row;
}

std::vector<uint8_t> randomBytes(size_t n, quint32 seed)
{
    QRandomGenerator rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = uint8_t(rng.bounded(256));
    return v;
}

} // namespace

class TestPixelRows : public QObject
{
    Q_OBJECT
private slots:
    void bestBuildMatchesBaseline_data()
    {
        QTest::addColumn<int>("n");
        for (int n : {1, 7, 31, 33, 77, 203, 1280})
            QTest::addRow("%d pixels", n) << n;
    }

    void bestBuildMatchesBaseline()
    {
        QFETCH(int, n);
        const pixelrows::Table& best = pixelrows::rows();
        const pixelrows::Table& base = pixelrows::baselineRows();
        const auto above = premultipliedRow(n, 1), below = randomBytes(size_t(n) * 4, 2);
        std::vector<uint8_t> d1(size_t(n) * 4), d2(size_t(n) * 4);
        best.drawOver(d1.data(), below.data(), above.data(), n);
        base.drawOver(d2.data(), below.data(), above.data(), n);
        QCOMPARE(d1, d2);

        const auto alpha = randomBytes(size_t(n), 3);
        const auto source = randomBytes(size_t(n) * 4, 4);
        auto p1 = source, p2 = source;
        std::vector<uint8_t> c1(size_t(n) * 4), c2(size_t(n) * 4), o1(size_t(n) * 4);
        best.premultiply(p1.data(), alpha.data(), n, p1.data(), c1.data());
        base.premultiply(p2.data(), alpha.data(), n, p2.data(), c2.data());
        QCOMPARE(p1, p2);
        QCOMPARE(c1, p1);
        QCOMPARE(c2, p2);
        // Out of place, the source is left as it was.
        best.premultiply(source.data(), alpha.data(), n, o1.data(), nullptr);
        QCOMPARE(o1, p1);

        for (int weight : {1, 6, 15}) {
            best.mix(below.data(), above.data(), weight, d1.data(), n * 4);
            base.mix(below.data(), above.data(), weight, d2.data(), n * 4);
            QCOMPARE(d1, d2);
        }

        for (int factor : {2, 4}) {
            std::vector<std::vector<uint8_t>> rows;
            std::vector<const uint8_t*> pointers;
            for (int r = 0; r < factor; ++r) {
                rows.push_back(randomBytes(size_t(n) * size_t(factor) * 4, quint32(10 + r)));
                pointers.push_back(rows.back().data());
            }
            best.shrink(pointers.data(), factor, d1.data(), n);
            base.shrink(pointers.data(), factor, d2.data(), n);
            QCOMPARE(d1, d2);
        }

        const uint16_t weights[5] = {10, 60, 116, 60, 10};
        const std::vector<uint8_t> padded = randomBytes(size_t(n + 4) * 4, 30);
        std::vector<uint16_t> f1(size_t(n) * 4), f2(f1.size());
        best.filterRow(padded.data(), weights, 5, f1.data(), n * 4);
        base.filterRow(padded.data(), weights, 5, f2.data(), n * 4);
        QCOMPARE(f1, f2);
        const uint16_t columnWeights[3] = {16000, 33536, 16000};
        const uint16_t* filtered[3] = {f1.data(), f2.data(), f1.data()};
        best.filterColumn(filtered, columnWeights, 3, d1.data(), n * 4);
        base.filterColumn(filtered, columnWeights, 3, d2.data(), n * 4);
        QCOMPARE(d1, d2);

        for (int factor : {2, 4}) {
            std::vector<uint8_t> w1(size_t(n) * size_t(factor) * 4), w2(w1.size());
            best.widen(below.data(), n, factor, w1.data());
            base.widen(below.data(), n, factor, w2.data());
            QCOMPARE(w1, w2);
        }
    }

    void wideningEqualsLinearResizing()
    {
        // Rows of every length around the vector widths, at every factor.
        for (int n : {1, 2, 3, 17, 40, 320}) {
            const auto source = randomBytes(size_t(n) * 4, quint32(20 + n));
            const cv::Mat row(1, n, CV_8UC4, const_cast<uint8_t*>(source.data()));
            for (int factor : {1, 2, 4, 8, 16}) {
                cv::Mat expected, wide(1, n * factor, CV_8UC4);
                cv::resize(row, expected, wide.size(), 0, 0, cv::INTER_LINEAR);
                pixelrows::rows().widen(source.data(), n, factor, wide.ptr());
                QVERIFY2(cv::norm(wide, expected, cv::NORM_INF) == 0,
                         qPrintable(QStringLiteral("%1 pixels x %2").arg(n).arg(factor)));
            }
        }
    }

    void blockAveragingEqualsAreaShrinking()
    {
        const QImage photo = randomFrame(328, 96, 5);
        const cv::Mat src(photo.height(), photo.width(), CV_8UC4, const_cast<uchar*>(photo.constBits()),
                          size_t(photo.bytesPerLine()));
        for (int factor : {2, 4}) {
            cv::Mat expected, small(src.rows / factor, src.cols / factor, CV_8UC4);
            cv::resize(src, expected, small.size(), 0, 0, cv::INTER_AREA);
            const uint8_t* rows[4];
            for (int y = 0; y < small.rows; ++y) {
                for (int r = 0; r < factor; ++r)
                    rows[r] = src.ptr(y * factor + r);
                pixelrows::rows().shrink(rows, factor, small.ptr(y), small.cols);
            }
            QVERIFY2(cv::norm(small, expected, cv::NORM_INF) <= 1, qPrintable(QString::number(factor)));
        }
    }

    void fixedPointGaussianIsAsCloseAsOpenCvs()
    {
        // The small picture's deviations, on pictures wider and narrower than
        // the kernel and the vectors, with a soft (transparent) outside: against
        // the exact filter (in floating point), no further off than OpenCV's
        // own 8-bit Gaussian, which is within two levels.
        for (const cv::Size size : {cv::Size(320, 180), cv::Size(37, 11), cv::Size(5, 3)}) {
            for (double sigma : {0.2, 0.45, 1.42, 2.45, 2.95}) {
                const QImage photo = randomFrame(size.width, size.height, 9);
                const cv::Mat src(size.height, size.width, CV_8UC4, const_cast<uchar*>(photo.constBits()));
                cv::Mat ours = src.clone(), theirs, exact, floats;
                ImageBlurSP::gaussian(ours, sigma);
                cv::GaussianBlur(src, theirs, cv::Size(), sigma, sigma, cv::BORDER_CONSTANT);
                src.convertTo(floats, CV_32F);
                cv::GaussianBlur(floats, exact, cv::Size(), sigma, sigma, cv::BORDER_CONSTANT);
                const auto error = [&exact](const cv::Mat& m, int norm) {
                    cv::Mat f;
                    m.convertTo(f, CV_32F);
                    return cv::norm(f, exact, norm) / (norm == cv::NORM_L1 ? double(m.total() * 4) : 1.0);
                };
                const QString where = QStringLiteral("%1x%2, %3").arg(size.width).arg(size.height).arg(sigma);
                QVERIFY2(error(ours, cv::NORM_INF) < 2.0, qPrintable(where));
                QVERIFY2(error(ours, cv::NORM_L1) <= error(theirs, cv::NORM_L1) + 0.05, qPrintable(where));
                QVERIFY2(cv::norm(ours, theirs, cv::NORM_INF) <= 2, qPrintable(where));
            }
        }
        // Wide kernels, whose tails fixed point would lose, are OpenCV's.
        for (double sigma : {6.0, 300.0, 600.0}) {
            const cv::Mat flat(64, 64, CV_8UC4, cv::Scalar(200, 200, 200, 255));
            cv::Mat ours = flat.clone(), theirs;
            ImageBlurSP::gaussian(ours, sigma);
            cv::GaussianBlur(flat, theirs, cv::Size(), sigma, sigma, cv::BORDER_CONSTANT);
            QCOMPARE(cv::norm(ours, theirs, cv::NORM_INF), 0.0);
        }
        // Deviations that make no sense leave the picture alone.
        const cv::Mat before(4, 4, CV_8UC4, cv::Scalar(1, 2, 3, 4));
        for (double sigma : {0.0, -1.0, std::nan(""), 1e12}) {
            cv::Mat picture = before.clone();
            ImageBlurSP::gaussian(picture, sigma);
            QCOMPARE(cv::norm(picture, before, cv::NORM_INF), 0.0);
        }
    }

    void blurStageDrawsWhatTheBlurGives()
    {
        // Two frames in a row: the second is drawn over the first one's result,
        // whose soft border shows through.
        const QImage photo = randomFrame(640, 360, 8).convertToFormat(QImage::Format_ARGB32_Premultiplied);
        auto input = bitmap::createFrom(640, 360, photo.constBits(), size_t(photo.bytesPerLine()));
        QVERIFY(input);
        for (int value : {40, 70, 100}) {
            ImageBlurSP stage;
            stage.setMaxRate(1000000);
            const CameraSetting setting {value, 1, 100, 0, 0, false, false};
            cv::Mat expected(360, 640, CV_8UC4, cv::Scalar(0, 0, 0, 255)), blurred, scratch;
            for (int frame = 0; frame < 2; ++frame) {
                float w = 640, h = 360;
                BitmapPtr out = stage.processImage(input, w, h, setting);
                ImageBlurSP::blur(*input, blurred, ImageBlurSP::sigmaFor(setting), scratch);
                bitmap::drawOver(expected, blurred);
                QVERIFY(out);
                QCOMPARE(cv::norm(*out, expected, cv::NORM_INF), 0.0);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestPixelRows)
#include "tst_PixelRows.moc"
