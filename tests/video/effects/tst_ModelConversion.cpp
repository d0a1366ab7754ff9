// The build converts MediaPipe's TFLite selfie-segmentation models to ONNX. This
// checks the converted models, run on the blob the segmentation stage builds by
// ONNX Runtime (as the stage runs them) and by OpenCV's DNN module (a second,
// independent reading of the graph), against an independent numpy evaluation
// of the TFLite graph on a real photo, and that the conversion is byte-for-byte
// reproducible and refuses a model whose checksum is wrong.
#include "OnnxSession.h"

#include <QCryptographicHash>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <vector>

namespace {

const char* const kPhoto = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";

struct Model
{
    const char* stem;
    int height, width;
    const char* sha256;
};

const Model kModels[] = {
    {"selfie_segmentation", 256, 256, "8d13b7fae74af625c641226813616a2117bd6bca19eb3b75574621fc08557f27"},
    {"selfie_segmentation_landscape", 144, 256, "4aafe6223bb8dac6fac8ca8ed56852870a33051ef3f6238822d282a109962894"},
};

QString tflite(const Model& m)
{
    return QStringLiteral(VANTOR_MODEL_PACKAGE "/%1.tflite").arg(m.stem);
}
QString onnx(const Model& m)
{
    return QStringLiteral(VANTOR_MODELS_DIR "/%1.onnx").arg(m.stem);
}

bool runPython(const QStringList& args, int* exitCode = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral(VANTOR_PYTHON), args);
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished(5000);
        return false;
    }
    if (exitCode)
        *exitCode = p.exitCode();
    return p.exitStatus() == QProcess::NormalExit && (exitCode || p.exitCode() == 0);
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestModelConversion : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir _tmp;

private slots:
    void onnxMatchesTheTfliteGraph_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<bool>("onnxRuntime");
        for (bool runtime : {true, false}) {
            const char* engine = runtime ? "ONNX Runtime" : "OpenCV DNN";
            QTest::addRow("256x256, %s", engine) << 0 << runtime;
            QTest::addRow("144x256, %s", engine) << 1 << runtime;
        }
    }

    void onnxMatchesTheTfliteGraph()
    {
        QFETCH(int, index);
        QFETCH(bool, onnxRuntime);
        const Model& m = kModels[index];
        const QImage photo = QImage(kPhoto).convertToFormat(QImage::Format_RGB32);
        QVERIFY2(!photo.isNull(), "the photo comes with Debian's python3-skimage");
        // The photo at the model's input size, B, G, R bytes.
        cv::Mat bgra(photo.height(), photo.width(), CV_8UC4, const_cast<uchar*>(photo.constBits()),
                     size_t(photo.bytesPerLine()));
        cv::Mat bgr, small;
        cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
        cv::resize(bgr, small, cv::Size(m.width, m.height), 0, 0, cv::INTER_LINEAR);
        const QString raw = _tmp.filePath(QStringLiteral("%1.bgr").arg(m.stem));
        const QString ref = _tmp.filePath(QStringLiteral("%1.ref").arg(m.stem));
        {
            QFile f(raw);
            QVERIFY(f.open(QIODevice::WriteOnly));
            for (int y = 0; y < small.rows; ++y)
                f.write(reinterpret_cast<const char*>(small.ptr(y)), small.cols * 3);
        }
        QVERIFY(runPython({QStringLiteral(VANTOR_TOOLS_DIR "/tflite_reference.py"), tflite(m), raw, ref}));
        const QByteArray expected = readAll(ref);
        QCOMPARE(expected.size(), qsizetype(m.width * m.height * 4));
        const auto* person = reinterpret_cast<const float*>(expected.constData());

        // The blob exactly as the segmentation stage builds it.
        cv::Mat f;
        small.convertTo(f, CV_32F);
        cv::subtract(f, cv::Scalar(102.890434, 111.25247, 126.91212), f);
        cv::multiply(f, cv::Scalar(0.01588993487033495, 0.015918147611529706, 0.015070294257291065), f);
        const cv::Mat blob = cv::dnn::blobFromImage(f, 1.0 / 255.0, small.size(), cv::Scalar(), false, false, CV_32F);
        const size_t n = size_t(m.width) * m.height;
        std::vector<float> planes(2 * n);
        if (onnxRuntime) {
            OnnxSession session(readAll(onnx(m)), OnnxSession::Provider::Cpu);
            QCOMPARE(session.inputShape(), (std::vector<int64_t> {1, 3, m.height, m.width}));
            QCOMPARE(session.outputShape(), (std::vector<int64_t> {1, 2, m.height, m.width}));
            std::memcpy(session.input(), blob.ptr<float>(), 3 * n * sizeof(float));
            session.run();
            std::memcpy(planes.data(), session.output(), planes.size() * sizeof(float));
        } else {
            cv::dnn::Net net = cv::dnn::readNetFromONNX(onnx(m).toStdString());
            net.setInput(blob);
            const cv::Mat out = net.forward();
            QCOMPARE(out.dims, 4);
            QCOMPARE(out.size[1], 2);
            QCOMPARE(out.size[2], m.height);
            QCOMPARE(out.size[3], m.width);
            std::memcpy(planes.data(), out.ptr<float>(), planes.size() * sizeof(float));
        }

        const float* background = planes.data();
        const float* personPlane = background + n;
        double worst = 0, sum = 0;
        for (size_t i = 0; i < n; ++i) {
            worst = std::max({worst, std::abs(double(background[i]) - (1.0 - person[i])),
                              std::abs(double(personPlane[i]) - person[i])});
            sum += person[i];
        }
        QVERIFY2(worst < 1e-4, qPrintable(QString::number(worst)));
        // Not a trivial picture: part person, part background.
        const double mean = sum / double(n);
        QVERIFY2(mean > 0.2 && mean < 0.8, qPrintable(QString::number(mean)));
    }

    void modelShipsWithLicenceAndNotice()
    {
        QCOMPARE(readAll(QStringLiteral(":/assets/models/SINet_Softmax.onnx")), readAll(onnx(kModels[0])));
        QVERIFY(readAll(QStringLiteral(":/assets/models/LICENSE")).contains("Apache License"));
        const QByteArray notice = readAll(QStringLiteral(":/assets/models/NOTICE"));
        QVERIFY(notice.contains("converted") && notice.contains("@mediapipe/selfie_segmentation"));
    }

    void conversionIsReproducibleAndChecked()
    {
        const Model& m = kModels[0];
        const QString a = _tmp.filePath("a.onnx"), b = _tmp.filePath("b.onnx"), c = _tmp.filePath("c.onnx");
        const QString tool = QStringLiteral(VANTOR_TOOLS_DIR "/convert_segmentation.py");
        QVERIFY(runPython({tool, tflite(m), a, QString::fromLatin1(m.sha256)}));
        QVERIFY(runPython({tool, tflite(m), b}));
        const QByteArray first = readAll(a);
        QVERIFY(first.size() > 100000);
        QCOMPARE(QCryptographicHash::hash(readAll(b), QCryptographicHash::Sha256),
                 QCryptographicHash::hash(first, QCryptographicHash::Sha256));
        QCOMPARE(readAll(onnx(m)), first);

        // A model that is not the pinned one is refused and nothing is written.
        int code = 0;
        QVERIFY(runPython({tool, tflite(kModels[1]), c, QString::fromLatin1(m.sha256)}, &code));
        QCOMPARE(code, 1);
        QVERIFY(!QFile::exists(c));
    }
};

QTEST_GUILESS_MAIN(TestModelConversion)
#include "tst_ModelConversion.moc"
