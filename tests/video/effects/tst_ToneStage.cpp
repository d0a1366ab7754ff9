#include "FrameHelpers.h"
#include "HueRotationEffect.h"
#include "ImageToneSP.h"
#include "MaskBlendingEffect.h"
#include "SkinMaskEffect.h"
#include "ToneKernel.h"

#include <QTest>
#include <QThread>

#include <cmath>

using namespace testframes;

namespace {

CameraSetting skinTone(int value)
{
    return CameraSetting {value, 1, 100, 0, 50, false, false};
}

// The luminance-preserving hue rotation written out independently, applied to
// 0..255 components and clamped to [0, alpha].
Px rotateHue(Px p, double degrees)
{
    const double a = degrees * M_PI / 180.0, c = std::cos(a), s = std::sin(a);
    const double r = p.r, g = p.g, b = p.b;
    const double lr = 0.213, lg = 0.715, lb = 0.072;
    auto clampA = [&](double v) { return int(std::lround(std::clamp(v, 0.0, double(p.a)))); };
    const double nr = r * (lr + c * (1 - lr) - s * lr) + g * (lg - c * lg - s * lg) + b * (lb - c * lb + s * (1 - lb));
    const double ng =
        r * (lr - c * lr + s * 0.143) + g * (lg + c * (1 - lg) + s * 0.140) + b * (lb - c * lb - s * 0.283);
    const double nb = r * (lr - c * lr - s * (1 - lr)) + g * (lg - c * lg + s * lg) + b * (lb + c * (1 - lb) + s * lb);
    return {clampA(nb), clampA(ng), clampA(nr), p.a};
}

} // namespace

class TestToneStage : public QObject
{
    Q_OBJECT
private slots:
    void skinProbabilityOfKnownColours()
    {
        // Grey: Cb = Cr = 0, so only the Cr ramp acts: t = 1/6, p = 2/27.
        QVERIFY(std::fabs(SkinMaskEffect::probability(0.5f, 0.5f, 0.5f) - 2.0f / 27.0f) < 1e-4f);
        // Cb = -0.1, Cr = 0.1 lies inside the skin box.
        const double y = 0.5, cb = -0.1, cr = 0.1;
        const float r = float(y + 1.402 * cr), g = float(y - 0.344136 * cb - 0.714136 * cr), b = float(y + 1.772 * cb);
        QCOMPARE(SkinMaskEffect::probability(r, g, b), 1.0f);
        // Cr at 0.28 and beyond, or Cb far outside: no skin.
        QCOMPARE(SkinMaskEffect::probability(0.5f + 1.402f * 0.28f, 0.5f - 0.714136f * 0.28f, 0.5f), 0.0f);
        QCOMPARE(SkinMaskEffect::probability(1.0f, 0.0f, 0.0f), 0.0f);
        QCOMPARE(SkinMaskEffect::probability(0.0f, 0.0f, 1.0f), 0.0f);
        // Half-way down the Cb spill below the box: smoothstep(0.5) = 0.5.
        const float cbEdge = -0.265f;
        const float half = SkinMaskEffect::probability(
            float(0.5 + 1.402 * 0.1), float(0.5 - 0.344136 * cbEdge - 0.714136 * 0.1), float(0.5 + 1.772 * cbEdge));
        QVERIFY(std::fabs(half - 0.5f) < 0.01f);
    }

    void maskPicturesMatchTheFormula()
    {
        // An odd width exercises both the vector blocks and the per-pixel tail.
        const QImage frame = randomFrame(53, 7, 42);
        BitmapPtr in = fromImage(frame);
        set(*in, 0, 0, {128, 128, 128, 255});
        set(*in, 1, 0, {60, 80, 50, 128}); // premultiplied, half transparent
        cv::Mat mask(in->size(), CV_8UC4, cv::Scalar(9, 9, 9, 9));
        SkinMaskEffect effect;
        QVERIFY(effect.initialize());
        QVERIFY(!effect.draw(mask)); // no input yet
        effect.setInput(0, in.get());
        QVERIFY(effect.draw(mask));
        QCOMPARE(at(mask, 0, 0).g, 19); // 255 x 2/27
        for (int y = 0; y < in->rows; ++y) {
            for (int x = 0; x < in->cols; ++x) {
                const Px p = at(*in, x, y);
                const int expect =
                    int(std::lround(255.0f * SkinMaskEffect::probability(p.r / 255.0f, p.g / 255.0f, p.b / 255.0f)));
                const Px m = at(mask, x, y);
                QVERIFY2(std::abs(m.r - expect) <= 1 && m.r == m.g && m.g == m.b && m.a == p.a,
                         qPrintable(QStringLiteral("pixel %1,%2").arg(x).arg(y)));
            }
        }
    }

    void hueAngleAcrossTheRange()
    {
        QVERIFY(std::fabs(ImageToneSP::hueAngle(skinTone(0)) - 28.6479f) < 1e-3f);
        QCOMPARE(ImageToneSP::hueAngle(skinTone(50)), 0.0f);
        QVERIFY(std::fabs(ImageToneSP::hueAngle(skinTone(100)) + 28.6479f) < 1e-3f);
        // A broken range never divides by zero.
        QVERIFY(std::isfinite(ImageToneSP::hueAngle(CameraSetting {5, 1, 3, 3, 3, false, false})));
    }

    void hueRotationSemantics()
    {
        cv::Mat in(1, 40, CV_8UC4), out(1, 40, CV_8UC4);
        const Px colours[] = {{0, 0, 255, 255}, {128, 128, 128, 255}, {30, 140, 220, 255}, {10, 40, 90, 100}};
        for (int x = 0; x < 40; ++x)
            set(in, x, 0, colours[x % 4]);
        HueRotationEffect hue;
        hue.setInput(0, &in);
        for (double angle : {0.0, 28.6479, -28.6479, 90.0, 180.0}) {
            hue.setAngle(float(angle));
            QVERIFY(hue.draw(out));
            for (int x = 0; x < 40; ++x)
                QVERIFY2(maxDiff(at(out, x, 0), rotateHue(colours[x % 4], angle)) <= 1,
                         qPrintable(QString::number(angle)));
        }
        // Red turned half-way round: (−0.574, 0.426, 0.426) clamped.
        hue.setAngle(180.0f);
        hue.draw(out);
        QCOMPARE(maxDiff(at(out, 0, 0), {109, 109, 0, 255}), 0);
        // Grey stays grey at any angle.
        QCOMPARE(maxDiff(at(out, 1, 0), {128, 128, 128, 255}), 0);
    }

    void effectBaseChecksAndRegistration()
    {
        QVERIFY(SkinMaskEffect::registerClass());
        QVERIFY(MaskBlendingEffect::registerClass());
        QCOMPARE(CustomEffectsBase::displayName(SkinMaskEffect::classId()), QStringLiteral("SkinMaskEffect"));
        QCOMPARE(CustomEffectsBase::displayName(MaskBlendingEffect::classId()), QStringLiteral("MaskBlendingEffect"));
        QVERIFY(SkinMaskEffect::classId() != MaskBlendingEffect::classId());
        QVERIFY(CustomEffectsBase::registrationXml("SkinMaskEffect").contains("value='SkinMaskEffect'"));
        // Another name under a taken identifier is refused.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("RegisterEffectFromString\\(\\) failed"));
        QVERIFY(!CustomEffectsBase::registerEffect("Other", SkinMaskEffect::classId(), [] { return nullptr; }));

        auto blend = CustomEffectsBase::createEffect(MaskBlendingEffect::classId());
        QVERIFY(blend && blend->isInitialized());
        QCOMPARE(blend->inputCount(), 3u);
        QRect rects[3];
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("MapOutputRectToInputRects: Only  3  inputs are supported. 2"));
        QVERIFY(!blend->mapOutputRectToInputRects(QRect(0, 0, 4, 4), rects, 2));
        QVERIFY(blend->mapOutputRectToInputRects(QRect(1, 2, 4, 4), rects, 3));
        QCOMPARE(rects[2], QRect(1, 2, 4, 4));
        QRect out, opaque;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("MapInputRectsToOutputRect: Only  3  inputs"));
        QVERIFY(!blend->mapInputRectsToOutputRect(rects, 1, out, opaque));
        const QRect in[3] = {QRect(0, 0, 5, 5), QRect(0, 0, 6, 6), QRect(0, 0, 7, 7)};
        QVERIFY(blend->mapInputRectsToOutputRect(in, 3, out, opaque));
        QCOMPARE(out, QRect(0, 0, 7, 7));
        QVERIFY(opaque.isEmpty());
        QCOMPARE(blend->mapInvalidRect(), QRect(0, 0, 5, 5));
    }

    void toneTurnsSkinOnly()
    {
        ImageToneSP tone;
        const Px skin = fromYCbCr(0.5, -0.1, 0.1);
        const Px red {0, 0, 255, 255}, sky {230, 160, 40, 255}, faintSkin {skin.b / 2, skin.g / 2, skin.r / 2, 128};
        BitmapPtr in = filled(37, 5, skin);
        set(*in, 1, 1, red);
        set(*in, 2, 2, sky);
        set(*in, 3, 3, faintSkin);
        float w = 37, h = 5;
        BitmapPtr out = tone.processImage(in, w, h, skinTone(0));
        QVERIFY(out && out != in);
        const float angle = ImageToneSP::hueAngle(skinTone(0));
        QVERIFY(maxDiff(at(*out, 0, 0), rotateHue(skin, angle)) <= 1);
        QVERIFY(maxDiff(at(*out, 0, 0), skin) >= 10);
        QCOMPARE(maxDiff(at(*out, 1, 1), red), 0);
        QCOMPARE(maxDiff(at(*out, 2, 2), sky), 0);
        QCOMPARE(at(*out, 3, 3).a, 128);
        QVERIFY(maxDiff(at(*out, 3, 3), rotateHue(faintSkin, angle)) <= 1);

        // At the middle of the range the angle is 0 and the picture comes back as it was.
        QThread::msleep(2);
        out = tone.processImage(in, w, h, skinTone(50));
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 37; ++x)
                QCOMPARE(maxDiff(at(*out, x, y), at(*in, x, y)), 0);
    }

    void fusedPassEqualsTheThreeEffects()
    {
        // The stage's one-sweep pass must give what hue rotation, skin mask and
        // blending give when drawn one after another, on every instruction set.
        QImage frame = randomFrame(203, 9, 7);
        BitmapPtr in = fromImage(frame);
        for (int x = 0; x < 203; x += 3) // plenty of skin-coloured pixels
            set(*in, x, 4, fromYCbCr(0.3 + x / 400.0, -0.12 + x / 2000.0, 0.05 + x / 3000.0));
        set(*in, 5, 5, {20, 40, 60, 70});
        cv::Mat hueOut(in->size(), CV_8UC4), maskOut(in->size(), CV_8UC4), chain(in->size(), CV_8UC4);
        HueRotationEffect hue;
        SkinMaskEffect mask;
        MaskBlendingEffect blend;
        QVERIFY(mask.initialize() && blend.initialize());
        const float angle = ImageToneSP::hueAngle(skinTone(10));
        hue.setAngle(angle);
        hue.setInput(0, in.get());
        mask.setInput(0, in.get());
        blend.setInput(0, in.get());
        blend.setInput(1, &hueOut);
        blend.setInput(2, &maskOut);
        QVERIFY(hue.draw(hueOut) && mask.draw(maskOut) && blend.draw(chain));

        ImageToneSP tone;
        float w = 203, h = 9;
        BitmapPtr staged = tone.processImage(in, w, h, skinTone(10));
        cv::Mat baseline(in->size(), CV_8UC4);
        for (int y = 0; y < 9; ++y)
            tonekernel::toneRowBaseline(in->ptr(y), baseline.ptr(y), 203, hue.currentMatrix().data());
        int changed = 0;
        for (int y = 0; y < 9; ++y) {
            for (int x = 0; x < 203; ++x) {
                const QString where = QStringLiteral("%1,%2").arg(x).arg(y);
                QVERIFY2(maxDiff(at(*staged, x, y), at(chain, x, y)) <= 2, qPrintable(where));
                QVERIFY2(maxDiff(at(baseline, x, y), at(*staged, x, y)) <= 1, qPrintable(where));
                changed += maxDiff(at(*staged, x, y), at(*in, x, y)) > 3;
            }
        }
        QVERIFY(changed > 50);
    }

    void toningAPictureOverAnotherMatchesComposingFirst()
    {
        // A sharp cut-out (alpha 0, 255 and in between, skin and not) over an
        // opaque blurred frame, 203 pixels wide so the vector loops have tails.
        const BitmapPtr below = fromImage(randomFrame(203, 9, 3));
        QImage cut = randomFrame(203, 9, 4).convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < 9; ++y) {
            auto* line = reinterpret_cast<quint32*>(cut.scanLine(y));
            for (int x = 0; x < 203; ++x) {
                const quint32 alpha = x < 60 ? 0u : x < 120 ? 255u : quint32((x * 37 + y * 11) % 256);
                line[x] = (alpha << 24) | (x % 3 == 0 ? 0xd09070u : line[x] & 0xffffffu);
            }
        }
        const BitmapPtr above = fromImage(cut);
        cv::Mat composed;
        bitmap::composeOver(composed, *below, *above);

        ImageToneSP separate, fused;
        float w = 203, h = 9;
        const BitmapPtr expected = separate.processImage(std::make_shared<cv::Mat>(composed), w, h, skinTone(15));
        const BitmapPtr actual = fused.processComposite(below, above, w, h, skinTone(15));
        QVERIFY(expected && actual);
        QCOMPARE(cv::norm(*actual, *expected, cv::NORM_INF), 0.0);
        QVERIFY(cv::norm(*actual, composed, cv::NORM_INF) > 3); // the tone did act

        // Nothing drawn over is not a composite; a picture of another size is
        // refused rather than read past.
        QThread::msleep(2);
        QVERIFY(!fused.processComposite(below, BitmapPtr(), w, h, skinTone(15)));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("input does not match"));
        QCOMPARE(fused.processComposite(below, filled(20, 9, {1, 2, 3, 255}), w, h, skinTone(15)).get(), actual.get());
    }

    void frameSizeChangeRecreatesTheTarget()
    {
        ImageToneSP tone;
        float w = 16, h = 8;
        const cv::Mat* first = tone.processImage(filled(16, 8, {1, 2, 3, 255}), w, h, skinTone(20)).get();
        QThread::msleep(2);
        w = 6, h = 4;
        BitmapPtr out = tone.processImage(filled(6, 4, {1, 2, 3, 255}), w, h, skinTone(20));
        QCOMPARE(out->size(), cv::Size(6, 4));
        QVERIFY(out.get() != first);
        // A size that does not match the picture is refused, not read past.
        QThread::msleep(2);
        w = 60;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("input does not match"));
        QCOMPARE(tone.processImage(filled(6, 4, {1, 2, 3, 255}), w, h, skinTone(20)).get(), out.get());
    }
};

QTEST_MAIN(TestToneStage)
#include "tst_ToneStage.moc"
