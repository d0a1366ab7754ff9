// Runs a real photo of a person through every stage and the whole pipeline and
// writes the results as PNGs (to look at), checks what each stage must and must
// not change, and compares the whole pipeline with a small reference picture.
#include "BaseSettings.h"
#include "FrameHelpers.h"
#include "SkinMaskEffect.h"
#include "PostProcessor.h"

#include <QBuffer>
#include <QDir>
#include <QPainter>
#include <QRadialGradient>
#include <QTest>
#include <QThread>

using namespace testframes;

namespace {

const char* const kPhoto = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";
const QRect kFace(560, 110, 80, 100); // on the face, in the composed frame
const QRect kWall(30, 300, 150, 150); // the grey border beside the photo

QImage composedFrame()
{
    const QImage photo(kPhoto);
    QImage frame(1280, 720, QImage::Format_RGB32);
    frame.fill(QColor(70, 70, 70));
    if (photo.isNull())
        return {};
    QPainter painter(&frame);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRect(280, 0, 720, 720), photo);
    return frame;
}

QImage logo()
{
    QImage img(240, 240, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient g(120, 120, 110);
    g.setColorAt(0, QColor(255, 200, 40));
    g.setColorAt(1, QColor(230, 90, 10));
    p.setBrush(g);
    p.setPen(QPen(Qt::white, 14));
    p.drawEllipse(QPointF(120, 120), 100, 100);
    return img;
}

QByteArray pngBytes(const QImage& image)
{
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return data;
}

double meanDiff(const QImage& a, const QImage& b, const QRect& box)
{
    double sum = 0;
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x) {
            const Px p = at(a, x, y), q = at(b, x, y);
            sum += std::abs(p.b - q.b) + std::abs(p.g - q.g) + std::abs(p.r - q.r);
        }
    return sum / (3.0 * box.width() * box.height());
}

} // namespace

class TestPipelineLook : public QObject
{
    Q_OBJECT
private:
    QImage _frame;
    QDir _out;

    void reset(BaseSettings& s)
    {
        s.clear();
        s.sync();
    }

    QImage run(const QString& name, const std::function<void(BaseSettings&)>& configure)
    {
        QImage result;
        {
            BaseSettings settings;
            reset(settings);
        }
        BaseSettings settings;
        configure(settings);
        PostProcessor pp(&settings);
        result = _frame;
        pp.process(result);
        result.save(_out.filePath(name + ".png"));
        return result;
    }

private slots:
    void initTestCase()
    {
        _frame = composedFrame();
        QVERIFY2(!_frame.isNull(), "the photo comes with Debian's python3-skimage");
        QDir().mkpath(VANTOR_LOOK_DIR);
        _out = QDir(VANTOR_LOOK_DIR);
        _frame.save(_out.filePath("input.png"));
    }

    void toneTurnsTheFaceNotTheWall()
    {
        for (int value : {0, 100}) {
            const QImage out =
                run(QStringLiteral("tone_%1").arg(value), [value](BaseSettings& s) { s.setValue("SkinTone", value); });
            QVERIFY2(meanDiff(out, _frame, kFace) > 4.0, qPrintable(QString::number(meanDiff(out, _frame, kFace))));
            QCOMPARE(meanDiff(out, _frame, kWall), 0.0);
        }
        // The skin mask itself, as grey levels.
        SkinMaskEffect effect;
        QVERIFY(effect.initialize());
        BitmapPtr in = fromImage(_frame);
        cv::Mat maskBitmap(in->size(), CV_8UC4);
        effect.setInput(0, in.get());
        QVERIFY(effect.draw(maskBitmap));
        const QImage mask = toImage(maskBitmap);
        mask.save(_out.filePath("skin_mask.png"));
        QVERIFY(qRed(mask.pixel(kFace.center())) > 200);
        QVERIFY(qRed(mask.pixel(kWall.center())) < 30);
    }

    void backgroundBlur()
    {
        // The person stays sharp, the rocket behind her is blurred.
        const QImage out = run("blur_100", [](BaseSettings& s) { s.setValue("BackgroundBlur", 100); });
        QVERIFY2(meanDiff(out, _frame, kFace) < 2.0, qPrintable(QString::number(meanDiff(out, _frame, kFace))));
        QVERIFY(meanDiff(out, _frame, QRect(800, 40, 150, 200)) > 3.0);
        run("blur_30_tone_fine", [](BaseSettings& s) {
            s.setValue("BackgroundBlur", 30);
            s.setValue("SkinTone", 30);
            s.setValue("FineCameraRotation", 10);
        });
    }

    void rotations()
    {
        const QImage fine = run("rotate_fine_plus20", [](BaseSettings& s) { s.setValue("FineCameraRotation", 20); });
        QVERIFY(meanDiff(fine, _frame, kFace) > 10);
        const QImage fit = run("rotate_fit", [](BaseSettings& s) { s.setValue("CameraRotation", 1); });
        QCOMPARE(at(fit, 10, 360).r, 0);
        QCOMPARE(at(fit, 1270, 10).r, 0);
        run("rotate_fill", [](BaseSettings& s) { s.setValue("CameraRotation", 2); });
    }

    void overlays()
    {
        const QImage logoOut = run("logo", [](BaseSettings& s) {
            s.setSetting(BaseSettings::LogoOverlay, BaseSettings::ImageData, pngBytes(logo()));
            s.setSetting(BaseSettings::LogoOverlay, BaseSettings::HAlign, 2);
            s.setSetting(BaseSettings::LogoOverlay, BaseSettings::Size, 0.25);
            s.setSetting(BaseSettings::LogoOverlay, BaseSettings::Enabled, true);
        });
        // Right and top: the logo sits in the top right corner of the picture,
        // whose rows run top first.
        QVERIFY(meanDiff(logoOut, _frame, QRect(1135, 105, 40, 40)) > 40);
        QCOMPARE(meanDiff(logoOut, _frame, kFace), 0.0);
        const QImage textOut = run("text", [](BaseSettings& s) {
            s.setSetting(BaseSettings::TextOverlay, BaseSettings::TextLine1, QStringLiteral("Vantor Control"));
            s.setSetting(BaseSettings::TextOverlay, BaseSettings::TextLine2, QStringLiteral("CPU image path"));
            s.setSetting(BaseSettings::TextOverlay, BaseSettings::Enabled, true);
        });
        QVERIFY(meanDiff(textOut, _frame, QRect(440, 300, 400, 120)) > 10);
    }

    void wholePipelineMatchesReference()
    {
        const QImage all = run("pipeline_all", [](BaseSettings& s) {
            s.setValue("SkinTone", 15);
            s.setValue("FineCameraRotation", -8);
            s.setSetting(BaseSettings::LogoOverlay, BaseSettings::ImageData, pngBytes(logo()));
            s.setSetting(BaseSettings::LogoOverlay, BaseSettings::Size, 0.2);
            s.setSetting(BaseSettings::LogoOverlay, BaseSettings::Enabled, true);
            s.setSetting(BaseSettings::TextOverlay, BaseSettings::TextLine1, QStringLiteral("Vantor Control"));
            s.setSetting(BaseSettings::TextOverlay, BaseSettings::TextLine2, QStringLiteral("live"));
            s.setSetting(BaseSettings::TextOverlay, BaseSettings::VAlign, 64);
            s.setSetting(BaseSettings::TextOverlay, BaseSettings::MarginY, 0.1);
            s.setSetting(BaseSettings::TextOverlay, BaseSettings::Enabled, true);
        });
        const QImage small =
            all.convertToFormat(QImage::Format_RGB32).scaled(160, 90, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const QString refPath = QStringLiteral(VANTOR_REFERENCE_DIR "/pipeline_all_160x90.png");
        if (qEnvironmentVariableIsSet("VANTOR_UPDATE_REFERENCE")) {
            QVERIFY(small.save(refPath));
            QSKIP("reference written");
        }
        const QImage ref = QImage(refPath).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(ref.size(), small.size());
        const double mean = meanDiff(small, ref, small.rect());
        int far = 0;
        for (int y = 0; y < 90; ++y)
            for (int x = 0; x < 160; ++x)
                far += maxDiff(at(small, x, y), at(ref, x, y)) > 40;
        // Small font or scaler differences are tolerated; a misplaced stage is not.
        QVERIFY2(mean < 2.0 && far < 160 * 90 / 100, qPrintable(QStringLiteral("mean %1, far %2").arg(mean).arg(far)));
    }
};

QTEST_MAIN(TestPipelineLook)
#include "tst_PipelineLook.moc"
