// The segmentation and blur stages with the built-in model on a real photo of a
// person, and their edge cases: mask to alpha, rotated frames, throttling, a
// model or runtime library that cannot load, models of other shapes, and the
// blur's deviation and soft border.
#include "BaseSettings.h"
#include "FrameHelpers.h"
#include "ImageBlurSP.h"
#include "ImageToneSP.h"
#include "OnnxSession.h"
#include "PersonSegmentationSP.h"
#include "PostProcessor.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <opencv2/imgproc.hpp>

#include <cmath>

#include <unistd.h>

using namespace testframes;

namespace {

const char* const kPhoto = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";
const QRect kFace(560, 110, 80, 100);       // on the face, in the composed frame
const QRect kFaceTurned(390, 359, 100, 80); // the same face in the sideways frame

// The photo (720 x 720) in a 1280 x 720 grey frame; `turned` lays it on its side
// (turned 90 degrees counter-clockwise), as a camera mounted sideways sees it.
QImage composedFrame(bool turned = false)
{
    QImage photo(kPhoto);
    if (photo.isNull())
        return {};
    if (turned)
        photo = photo.transformed(QTransform().rotate(-90));
    QImage frame(1280, 720, QImage::Format_RGB32);
    frame.fill(QColor(70, 70, 70));
    QPainter painter(&frame);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRect(280, 0, 720, 720), photo);
    return frame;
}

// Mean person probability (alpha / 255) of a cut-out in a box.
double personIn(const QImage& cutout, const QRect& box)
{
    double sum = 0;
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x)
            sum += at(cutout, x, y).a;
    return sum / (255.0 * box.width() * box.height());
}

double meanAbsDiff(const cv::Mat& a, const cv::Mat& b)
{
    return cv::norm(a, b, cv::NORM_L1) / double(a.total() * a.channels());
}

// Whether the GPU session fails on this machine (as it does without a Vulkan
// GPU): the stage then warns once per model and the CPU session serves.
bool gpuFails()
{
    static const bool fails = [] {
        QFile model(QString::fromLatin1(PersonSegmentationSP::kModelResource));
        if (!model.open(QIODevice::ReadOnly))
            return true;
        try {
            OnnxSession session(model.readAll(), OnnxSession::Provider::Gpu);
            return false;
        } catch (const std::exception&) {
            return true;
        }
    }();
    return fails;
}

// The warning of a model's GPU session falling back to the CPU, where that happens.
void expectGpuFallback()
{
    if (gpuFails())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Unable to load gpu model, falling back cpu model!"));
}

// One frame through a new pipeline with `settings`.
QImage throughPipeline(BaseSettings& settings, QImage frame)
{
    PostProcessor pp(&settings);
    expectGpuFallback();
    pp.process(frame);
    return frame;
}

CameraSetting blurSetting(int value)
{
    return CameraSetting {value, 1, 100, 0, 0, false, false};
}

} // namespace

class TestSegmentation : public QObject
{
    Q_OBJECT
    QTemporaryDir _models;

private slots:
    void findsThePersonInThePhoto()
    {
        const QImage input = composedFrame();
        QVERIFY2(!input.isNull(), "the photo comes with Debian's python3-skimage");
        QImage frame = input;
        PersonSegmentationSP stage;
        // Without a GPU the runtime can use, the CPU session takes over.
        expectGpuFallback();
        BitmapPtr cutout = stage.processFrame(frame.bits(), 1280.f, 720.f, true, false);
        QVERIFY(cutout);
        QVERIFY(stage.gpuLoaded());
        QCOMPARE(stage.cpuLoaded(), gpuFails());
        QCOMPARE(stage.modelWidth(), 256);
        QCOMPARE(stage.modelHeight(), 256);
        QCOMPARE(cutout->cols, 1280);
        QCOMPARE(cutout->rows, 720);

        const double face = personIn(frame, kFace);
        QVERIFY2(face >= 0.9, qPrintable(QString::number(face)));
        for (const QRect& corner :
             {QRect(0, 0, 60, 60), QRect(1220, 0, 60, 60), QRect(0, 660, 60, 60), QRect(1220, 660, 60, 60)}) {
            const double p = personIn(frame, corner);
            QVERIFY2(p <= 0.1, qPrintable(QString::number(p)));
        }
        // The buffer holds the premultiplied cut-out (c x a / 255, truncated),
        // and the bitmap a copy of it.
        int wrong = 0;
        for (int y = 0; y < 720; ++y)
            for (int x = 0; x < 1280; ++x) {
                const Px in = at(input, x, y), out = at(frame, x, y);
                wrong += out.b != in.b * out.a / 255 || out.g != in.g * out.a / 255 || out.r != in.r * out.a / 255;
                wrong += maxDiff(at(*cutout, x, y), out) != 0;
            }
        QCOMPARE(wrong, 0);

        // Cutting out without rewriting: the same bitmap, the frame untouched.
        PersonSegmentationSP other;
        const QImage untouched = input.copy();
        expectGpuFallback();
        const BitmapPtr same = other.cutOut(untouched.constBits(), 1280.f, 720.f, false);
        QVERIFY(same);
        QCOMPARE(cv::norm(*same, *cutout, cv::NORM_INF), 0.0);
        QCOMPARE(untouched, input);
    }

    void oddWholeShrinkingSamplesPixelCentres()
    {
        // The network input of a 1280 x 720 frame is read from the block
        // centres instead of resized: bilinear shrinking by an odd whole factor
        // gives exactly those pixels.
        const QImage photo = composedFrame();
        const cv::Mat whole(720, 1280, CV_8UC4, const_cast<uchar*>(photo.constBits()));
        for (int ratio : {3, 5}) {
            const cv::Mat frame = whole(cv::Rect(0, 0, 1280 / ratio * ratio, 720 / ratio * ratio));
            cv::Mat resized, sampled(frame.rows / ratio, frame.cols / ratio, CV_8UC4);
            cv::resize(frame, resized, sampled.size(), 0, 0, cv::INTER_LINEAR);
            for (int y = 0; y < sampled.rows; ++y)
                for (int x = 0; x < sampled.cols; ++x)
                    sampled.at<cv::Vec4b>(y, x) = frame.at<cv::Vec4b>(y * ratio + ratio / 2, x * ratio + ratio / 2);
            QCOMPARE(cv::norm(resized, sampled, cv::NORM_INF), 0.0);
        }
    }

    void maskToAlpha()
    {
        QCOMPARE(PersonSegmentationSP::alphaFor(0.0f), 255);
        QCOMPARE(PersonSegmentationSP::alphaFor(1.0f), 0);
        QCOMPARE(PersonSegmentationSP::alphaFor(0.5f), 127);
        QCOMPARE(PersonSegmentationSP::alphaFor(0.998f), 0); // 0.51 truncates to 0
        QCOMPARE(PersonSegmentationSP::alphaFor(-3.0f), 255);
        QCOMPARE(PersonSegmentationSP::alphaFor(7.0f), 0);
        QCOMPARE(PersonSegmentationSP::alphaFor(std::nanf("")), 0);
    }

    void sidewaysCameraIsTurnedForTheNetwork()
    {
        QImage turned = composedFrame(true);
        QImage plain = turned;
        PersonSegmentationSP upright, sideways;
        expectGpuFallback();
        expectGpuFallback();
        QVERIFY(upright.processFrame(turned.bits(), 1280.f, 720.f, true, true));
        QVERIFY(sideways.processFrame(plain.bits(), 1280.f, 720.f, true, false));
        // Turned upright for the network, the face is found and the mask lands
        // back on the face in the sideways frame; the corners stay background.
        const double face = personIn(turned, kFaceTurned);
        QVERIFY2(face >= 0.9, qPrintable(QString::number(face)));
        QVERIFY(personIn(turned, QRect(0, 0, 60, 60)) <= 0.1);
        QVERIFY(personIn(turned, QRect(1220, 660, 60, 60)) <= 0.1);
        // Without the turn the network sees a person lying down: a different mask.
        double differ = 0;
        for (int y = 0; y < 720; y += 4)
            for (int x = 0; x < 1280; x += 4)
                differ += std::abs(at(turned, x, y).a - at(plain, x, y).a) > 64;
        QVERIFY2(differ > 0.02 * 320 * 180, qPrintable(QString::number(differ)));
    }

    void pipelineStagePicksTheModelByFrameShape()
    {
        auto stage = PersonSegmentationSP::createForPipeline();
        stage->setMaxRate(1000000);
        expectGpuFallback();
        expectGpuFallback();
        // An upright landscape frame: the 144 x 256 landscape model finds the person.
        const QImage input = composedFrame();
        QImage frame = input;
        QVERIFY(stage->processFrame(frame.bits(), 1280.f, 720.f, true, false));
        QCOMPARE(stage->modelWidth(), 256);
        QCOMPARE(stage->modelHeight(), 144);
        const double face = personIn(frame, kFace);
        QVERIFY2(face >= 0.9, qPrintable(QString::number(face)));
        for (const QRect& corner :
             {QRect(0, 0, 60, 60), QRect(1220, 0, 60, 60), QRect(0, 660, 60, 60), QRect(1220, 660, 60, 60)}) {
            const double p = personIn(frame, corner);
            QVERIFY2(p <= 0.1, qPrintable(QString::number(p)));
        }
        // Turned for the network, the frame goes to the square model.
        QImage turned = composedFrame(true);
        QVERIFY(stage->processFrame(turned.bits(), 1280.f, 720.f, true, true));
        QCOMPARE(stage->modelHeight(), 256);
        QVERIFY(personIn(turned, kFaceTurned) >= 0.9);
        // So does a portrait frame, and the landscape model again after it.
        QImage portrait = randomFrame(90, 160, 5);
        QVERIFY(stage->processFrame(portrait.bits(), 90.f, 160.f, true, false));
        QCOMPARE(stage->modelHeight(), 256);
        frame = input;
        QVERIFY(stage->processFrame(frame.bits(), 1280.f, 720.f, true, false));
        QCOMPARE(stage->modelHeight(), 144);

        // A landscape model that cannot load leaves the work to the main one.
        PersonSegmentationSP fallback(QString::fromLatin1(PersonSegmentationSP::kModelResource),
                                      QStringLiteral("/nonexistent/model.onnx"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Unable to load gpu model"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^PersonSegmentationSP::processFrame -> no model"));
        expectGpuFallback();
        frame = input;
        QVERIFY(fallback.processFrame(frame.bits(), 1280.f, 720.f, true, false));
        QCOMPARE(fallback.modelHeight(), 256);
        QVERIFY(personIn(frame, kFace) >= 0.9);

        // With the default path overridden, the pipeline stage uses that model only.
        PersonSegmentationSP::setDefaultModelPath(QStringLiteral("/nonexistent/model.onnx"));
        auto overridden = PersonSegmentationSP::createForPipeline();
        PersonSegmentationSP::setDefaultModelPath(QString());
        expectGpuFallback();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^PersonSegmentationSP::processFrame -> no model"));
        frame = input;
        QVERIFY(!overridden->processFrame(frame.bits(), 1280.f, 720.f, true, false));
        QCOMPARE(frame, input);
    }

    void unusableModelLeavesFramesUntouched_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("mayRun");
        QFile model(QString::fromLatin1(PersonSegmentationSP::kModelResource));
        QVERIFY(model.open(QIODevice::ReadOnly));
        const QByteArray real = model.readAll();
        QTest::newRow("missing") << QByteArray() << false;
        QTest::newRow("garbage") << QByteArray(4096, '\x5a') << false;
        QTest::newRow("truncated") << real.left(real.size() / 2) << false;
        QByteArray flipped = real;
        for (qsizetype i = 64; i < flipped.size(); i += 997)
            flipped[i] = char(flipped[i] ^ 0xa5);
        // A damaged model that still parses may run: it must not do harm.
        QTest::newRow("bytes flipped") << flipped << true;

        // Well-formed models the stage cannot use, made with the onnx package.
        QVERIFY(_models.isValid());
        const char* const script = R"(
import sys
from onnx import TensorProto, helper, save
F, I = TensorProto.FLOAT, TensorProto.INT32
def model(name, inp, out, nodes):
    g = helper.make_graph(nodes, name, [helper.make_tensor_value_info("x", inp[0], inp[1])],
                          [helper.make_tensor_value_info("y", out[0], out[1])])
    m = helper.make_model(g, opset_imports=[helper.make_opsetid("", 11)])
    m.ir_version = 6
    save(m, sys.argv[1] + "/" + name + ".onnx")
same = lambda: [helper.make_node("Identity", ["x"], ["y"])]
model("three_dims", (F, [1, 3, 64]), (F, [1, 3, 64]), same())
model("one_channel", (F, [1, 1, 64, 64]), (F, [1, 1, 64, 64]), same())
model("unknown_size", (F, [1, 3, "h", "w"]), (F, [1, 3, "h", "w"]), same())
model("integer_input", (I, [1, 3, 64, 64]), (F, [1, 3, 64, 64]), [helper.make_node("Cast", ["x"], ["y"], to=F)])
model("smaller_output", (F, [1, 3, 64, 64]), (F, [1, 3, 32, 32]),
      [helper.make_node("AveragePool", ["x"], ["y"], kernel_shape=[2, 2], strides=[2, 2])])
)";
        QProcess python;
        python.setProcessChannelMode(QProcess::ForwardedChannels);
        python.start(QStringLiteral(VANTOR_PYTHON),
                     {QStringLiteral("-c"), QString::fromLatin1(script), _models.path()});
        QVERIFY(python.waitForFinished(60000) && python.exitCode() == 0);
        for (const char* name : {"three_dims", "one_channel", "unknown_size", "integer_input", "smaller_output"}) {
            QFile f(_models.filePath(QStringLiteral("%1.onnx").arg(name)));
            QVERIFY(f.open(QIODevice::ReadOnly));
            QTest::newRow(name) << f.readAll() << false;
        }
    }

    void unusableModelLeavesFramesUntouched()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, mayRun);
        QTemporaryDir dir;
        const QString path = dir.filePath("model.onnx");
        if (!bytes.isEmpty()) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        }
        PersonSegmentationSP stage(path);
        const QImage input = randomFrame(160, 90, 3);
        QImage frame = input;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Unable to load gpu model, falling back cpu model!"));
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(
                "^PersonSegmentationSP::processFrame -> (no model|the model did not run|segmentation failed)"));
        BitmapPtr out = stage.processFrame(frame.bits(), 160.f, 90.f, true, false);
        QVERIFY(stage.cpuLoaded());
        QVERIFY(mayRun || !out);
        // In no case may an error escape or the frame be half-written.
        if (!out)
            QCOMPARE(frame, input);
        // Later frames neither retry the load nor warn again.
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
        QThread::msleep(30);
        QImage again = input;
        if (!out) {
            QVERIFY(!stage.processFrame(again.bits(), 160.f, 90.f, true, false));
            QCOMPARE(again, input);
        }
        QVERIFY(!stage.processFrame(nullptr, 160.f, 90.f, true, false));
    }

    void runtimeThatCannotLoadLeavesFramesUntouched_data()
    {
        QTest::addColumn<QString>("library");
        QTest::addColumn<QString>("reason");
        QTest::newRow("moved away") << QStringLiteral("/nonexistent/libonnxruntime.so.1")
                                    << QStringLiteral("cannot be loaded: .*No such file");
        QTest::newRow("another library") << QStringLiteral("libz.so.1") << QStringLiteral("has no OrtGetApiBase");
    }

    void runtimeThatCannotLoadLeavesFramesUntouched()
    {
        QFETCH(QString, library);
        QFETCH(QString, reason);
        OnnxSession::setLibraryName(library);
        const auto restore = qScopeGuard([] { OnnxSession::setLibraryName(QString()); });
        auto stage = PersonSegmentationSP::createForPipeline();
        const QImage input = composedFrame();
        QImage frame = input;
        // Both models are tried, each once: the landscape one, then the main one.
        for (int model = 0; model < 2; ++model) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Unable to load gpu model.*" + reason));
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression("^PersonSegmentationSP::processFrame -> no model.*" + reason));
        }
        QVERIFY(!stage->processFrame(frame.bits(), 1280.f, 720.f, true, false));
        QCOMPARE(frame, input);
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
        QThread::msleep(30);
        QVERIFY(!stage->processFrame(frame.bits(), 1280.f, 720.f, true, false));
        QCOMPARE(frame, input);
    }

    void sessionsGiveBackWhatTheyHold()
    {
        // Each session holds the model's weights and the runtime's buffers
        // (about a megabyte): a hundred that kept anything would show in the
        // process's resident memory.
        QFile file(QStringLiteral(":/assets/models/selfie_segmentation_landscape.onnx"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray model = file.readAll();
        const auto residentMb = [] {
            QFile statm(QStringLiteral("/proc/self/statm"));
            statm.open(QIODevice::ReadOnly);
            return statm.readAll().split(' ').value(1).toDouble() * double(sysconf(_SC_PAGESIZE)) / 1048576.0;
        };
        const auto cycle = [&model](int sessions) {
            for (int i = 0; i < sessions; ++i) {
                OnnxSession session(model, OnnxSession::Provider::Cpu);
                session.run();
            }
        };
        cycle(20);
        const double before = residentMb();
        cycle(100);
        const double grown = residentMb() - before;
        QVERIFY2(grown < 20, qPrintable(QStringLiteral("%1 MB").arg(grown)));
    }

    void pipelineWithoutModelLeavesFrameSharp()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("model.onnx");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(1000, '\x07'));
        f.close();
        PersonSegmentationSP::setDefaultModelPath(path);
        BaseSettings settings;
        settings.setValue("BackgroundBlur", 100);
        PostProcessor pp(&settings);
        PersonSegmentationSP::setDefaultModelPath(QString());
        QCOMPARE(PersonSegmentationSP::defaultModelPath(), QString::fromLatin1(PersonSegmentationSP::kModelResource));
        const QImage input = composedFrame();
        QImage frame = input;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Unable to load gpu model, falling back cpu model!"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^PersonSegmentationSP::processFrame -> no model"));
        pp.process(frame);
        // No cut-out: the whole frame counts as the person, nothing is blurred.
        QCOMPARE(frame, input);
        QThread::msleep(30);
        pp.process(frame);
        QCOMPARE(frame, input);
    }

    void blurDeviationAndSoftBorder()
    {
        QCOMPARE(ImageBlurSP::sigmaFor(blurSetting(100)), 10.0f);
        QCOMPARE(ImageBlurSP::sigmaFor(blurSetting(1)), 0.1f);
        QCOMPARE(ImageBlurSP::sigmaFor(blurSetting(0)), 0.0f);
        // Stored values beyond the range take its ends.
        QCOMPARE(ImageBlurSP::sigmaFor(blurSetting(90000)), 10.0f);
        QCOMPARE(ImageBlurSP::sigmaFor(blurSetting(-7)), 0.0f);

        const QImage photo = composedFrame();
        BitmapPtr input = fromImage(photo);
        cv::Mat out, scratch;
        // σ 0.1 leaves the picture as it is.
        ImageBlurSP::blur(*input, out, 0.1f, scratch);
        QVERIFY(cv::norm(out, *input, cv::NORM_INF) <= 1);
        // Larger deviations blur a downscaled copy: it must look like the
        // full-size blur (a few levels at most anywhere, a fraction on average).
        const cv::Rect inner(40, 40, 1200, 640);
        for (float sigma : {3.f, 6.f, 10.f}) {
            cv::Mat full;
            cv::GaussianBlur(*input, full, cv::Size(), sigma, sigma, cv::BORDER_CONSTANT);
            ImageBlurSP::blur(*input, out, sigma, scratch);
            const double d = meanAbsDiff(out(inner), full(inner));
            const double worst = cv::norm(out(inner), full(inner), cv::NORM_INF);
            QVERIFY2(d < 0.3 && worst <= 6,
                     qPrintable(QStringLiteral("σ %1: mean %2, worst %3").arg(sigma).arg(d).arg(worst)));
            QVERIFY(meanAbsDiff(out(inner), (*input)(inner)) > 2.0);
        }

        // Through the stage: a white frame fades to transparent at its border,
        // where the target's first content (opaque black) shows through.
        ImageBlurSP stage;
        float w = 200, h = 100;
        BitmapPtr blurred = stage.processImage(filled(200, 100, {255, 255, 255, 255}), w, h, blurSetting(100));
        QVERIFY(blurred);
        QCOMPARE(maxDiff(at(*blurred, 100, 50), {255, 255, 255, 255}), 0);
        const Px edge = at(*blurred, 0, 50), corner = at(*blurred, 0, 0);
        QCOMPARE(edge.a, 255);
        QVERIFY2(edge.r > 100 && edge.r < 160, qPrintable(QString::number(edge.r)));
        QVERIFY(corner.r < edge.r);
    }

    void blurThrottledAt20msSpacing()
    {
        ImageBlurSP stage;
        float w = 32, h = 16;
        QElapsedTimer clock;
        clock.start();
        int runs = 0;
        qint64 lastRun = -1000;
        for (int i = 0; i < 12; ++i) {
            while (clock.elapsed() < i * 20)
                QThread::usleep(200);
            const int shade = 20 * (i + 1);
            const qint64 now = clock.elapsed();
            BitmapPtr out = stage.processImage(filled(32, 16, {shade, shade, shade, 255}), w, h, blurSetting(1));
            const bool ran = at(*out, 16, 8).r == shade;
            // Never two runs within 28 ms; a frame 20 ms after a skipped one runs.
            if (ran) {
                QVERIFY2(now - lastRun >= 27, qPrintable(QStringLiteral("frame %1").arg(i)));
                lastRun = now;
                ++runs;
            } else {
                QVERIFY2(now - lastRun < 29, qPrintable(QStringLiteral("frame %1").arg(i)));
            }
        }
        QVERIFY2(runs >= 5 && runs <= 7, qPrintable(QString::number(runs)));
    }

    void pipelineKeepsThePersonSharp()
    {
        BaseSettings settings;
        settings.setValue("BackgroundBlur", 100);
        const QImage input = composedFrame();
        const QImage frame = throughPipeline(settings, input);
        QCOMPARE(frame.size(), input.size());
        BitmapPtr in = fromImage(input), out = fromImage(frame);
        const cv::Rect face(kFace.x(), kFace.y(), kFace.width(), kFace.height());
        const cv::Rect background(800, 40, 150, 200); // the rocket behind the person
        QVERIFY2(meanAbsDiff((*out)(face), (*in)(face)) < 2.0,
                 qPrintable(QString::number(meanAbsDiff((*out)(face), (*in)(face)))));
        // Fine detail in the background is gone.
        auto detail = [](const cv::Mat& m) {
            cv::Mat grey, lap;
            cv::cvtColor(m, grey, cv::COLOR_BGRA2GRAY);
            cv::Laplacian(grey, lap, CV_32F);
            cv::Scalar mean, dev;
            cv::meanStdDev(lap, mean, dev);
            return dev[0];
        };
        QVERIFY2(detail((*out)(background)) < 0.3 * detail((*in)(background)),
                 qPrintable(QStringLiteral("%1 vs %2").arg(detail((*out)(background))).arg(detail((*in)(background)))));
        for (int y = 0; y < frame.height(); y += 97)
            QCOMPARE(at(frame, 640, y).a, 255);
    }

    void pipelineTonesThePersonOverTheBlur()
    {
        // Blur and skin tone together: the picture is the tone of the sharp
        // person drawn over the blurred frame, as the stages give it one by one.
        BaseSettings settings;
        settings.setValue("BackgroundBlur", 70);
        settings.setValue("SkinTone", 20);
        const QImage input = composedFrame();
        const QImage frame = throughPipeline(settings, input);

        ImageBlurSP blur;
        ImageToneSP tone;
        const auto segmentation = PersonSegmentationSP::createForPipeline();
        QImage copy = input.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        float w = 1280, h = 720;
        const BitmapPtr blurred = blur.processImage(fromImage(input), w, h, blurSetting(70));
        expectGpuFallback();
        const BitmapPtr cutout = segmentation->processFrame(copy.bits(), w, h, true, false);
        QVERIFY(blurred && cutout);
        cv::Mat composed;
        bitmap::composeOver(composed, *blurred, *cutout);
        const BitmapPtr expected = tone.processImage(std::make_shared<cv::Mat>(composed), w, h,
                                                     CameraSetting {20, 1, 100, 0, 50, false, false});
        QVERIFY(expected);
        QCOMPARE(cv::norm(*fromImage(frame), *expected, cv::NORM_INF), 0.0);
    }
};

QTEST_MAIN(TestSegmentation)
#include "tst_Segmentation.moc"
