// Frame-sized pictures in large pages: Qt images and the pipeline's bitmaps
// behave as ordinary ones (sizes, strides, sharing, lifetime), and their pixels
// start on a large-page boundary.
#include "Bitmap.h"
#include "FrameMemory.h"
#include "platform/LargeBuffer.h"

#include <QTest>

#include <cstdint>

namespace {

// Where the build lays blocks out in large pages, they start on one.
bool onLargePage(const void* p)
{
    return !largebuffer::largePages() || reinterpret_cast<std::uintptr_t>(p) % (std::uintptr_t(2) << 20) == 0;
}

} // namespace

class TestFrameMemory : public QObject
{
    Q_OBJECT
private slots:
    void imagesAreOrdinaryQtImages()
    {
        QImage frame = framememory::createImage(1280, 720, QImage::Format_RGB32);
        QVERIFY(!frame.isNull());
        QCOMPARE(frame.size(), QSize(1280, 720));
        QCOMPARE(frame.format(), QImage::Format_RGB32);
        QCOMPARE(frame.bytesPerLine(), 1280 * 4);
        QVERIFY(onLargePage(frame.constBits()));
        for (const QPoint p : {QPoint(0, 0), QPoint(640, 360), QPoint(1279, 719)})
            QCOMPARE(frame.pixel(p), 0xff000000u); // zeroed, alpha ignored

        // Rows of 24-bit pixels are padded to whole words, as Qt's own; small
        // images are Qt's own, zeroed all the same.
        const QImage odd = framememory::createImage(1279, 721, QImage::Format_RGB888);
        QCOMPARE(odd.bytesPerLine(), QImage(1279, 721, QImage::Format_RGB888).bytesPerLine());
        QVERIFY(onLargePage(odd.constBits()));
        const QImage small = framememory::createImage(5, 3, QImage::Format_ARGB32);
        QCOMPARE(small.size(), QSize(5, 3));
        QCOMPARE(small.pixel(4, 2), 0u);

        // Written in place while not shared; a copy written to goes its own way,
        // and the block outlives the image it was made for.
        const uchar* bits = frame.constBits();
        frame.fill(Qt::red);
        QCOMPARE(frame.constBits(), bits);
        QImage copy = frame;
        frame = QImage();
        QCOMPARE(copy.constBits(), bits);
        QCOMPARE(copy.pixelColor(640, 360), QColor(Qt::red));
        QImage other = copy;
        other.fill(Qt::blue);
        QVERIFY(other.constBits() != bits);
        QCOMPARE(copy.pixelColor(0, 0), QColor(Qt::red));

        for (const QSize& bad : {QSize(0, 10), QSize(10, -1), QSize(1 << 30, 1 << 30)})
            QVERIFY(framememory::createImage(bad.width(), bad.height(), QImage::Format_RGB32).isNull());
        QVERIFY(framememory::createImage(4, 4, QImage::Format_Invalid).isNull());
    }

    void bitmapsShareAndOutliveLikeMatrices()
    {
        BitmapPtr bmp = bitmap::create(1280, 720, bitmap::opaqueBlack());
        QVERIFY(bmp);
        QVERIFY(onLargePage(bmp->data));
        QCOMPARE(bmp->at<cv::Vec4b>(719, 1279), cv::Vec4b(0, 0, 0, 255));
        // A shallow copy keeps the block alive after the bitmap is gone.
        cv::Mat view = (*bmp)(cv::Rect(10, 10, 4, 4));
        bmp.reset();
        view.setTo(cv::Scalar(1, 2, 3, 4));
        QCOMPARE(view.at<cv::Vec4b>(3, 3), cv::Vec4b(1, 2, 3, 4));

        // Recreated at another size through the same matrix, and copied into.
        BitmapPtr other = bitmap::create(640, 480, bitmap::transparent());
        other->create(720, 1280, CV_8UC4);
        QVERIFY(onLargePage(other->data));
        cv::Mat(720, 1280, CV_8UC4, cv::Scalar(9, 8, 7, 6)).copyTo(*other);
        QCOMPARE(other->at<cv::Vec4b>(719, 1279), cv::Vec4b(9, 8, 7, 6));

        // Small bitmaps keep the ordinary allocation.
        const BitmapPtr small = bitmap::create(16, 16, bitmap::transparent());
        QVERIFY(small && small->allocator == nullptr);
    }
};

QTEST_MAIN(TestFrameMemory)
#include "tst_FrameMemory.moc"
