#include "PersonSegmentationSP.h"

#include "OnnxModelInfo.h"
#include "PixelRows.h"

#include <QDebug>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <opencv2/core/ocl.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <stdexcept>

namespace {

// Per-channel (B, G, R) normalisation the network was prepared for.
const cv::Scalar kMean(102.890434, 111.25247, 126.91212);
const cv::Scalar kScale(0.01588993487033495, 0.015918147611529706, 0.015070294257291065);
constexpr double kBlobScale = 0.00392156862745098; // 1 / 255
// Largest network input side accepted from a model file.
constexpr int64_t kMaxModelSide = 4096;

} // namespace

// One network and its sessions: the model file, the input size read from it,
// and which session kinds were tried.
struct SegmentationModel
{
    // Loads a session of the given kind once; throws on any failure.
    void loadSession(bool gpu);

    QString path;
    int modelWidth = 320;
    int modelHeight = 320;
    cv::dnn::Net net;
    std::string inputName;
    std::string outputName;
    std::vector<int64_t> inputShape;
    std::vector<int64_t> outputShape;
    std::vector<cv::Mat> outputs; // the output buffer, reused by every run
    bool gpuLoaded = false;
    bool cpuLoaded = false;
    bool failureLogged = false;
};

struct PersonSegmentationSPOpaque : SubProcessor::OpaqueBase
{
    PersonSegmentationSPOpaque(SubProcessor* owner, QString modelPath, QString landscapePath)
        : OpaqueBase(owner)
    {
        models[0].path = std::move(modelPath);
        models[1].path = std::move(landscapePath);
    }

    ~PersonSegmentationSPOpaque() override { qDebug() << "PersonSegmentationSP::Opaque DCTOR!"; }

    // models[0] serves every frame; models[1], when given, serves upright
    // landscape frames. `last` is the one that ran most recently.
    SegmentationModel models[2];
    int last = 0;
    // Reused every frame: the network blob, the frame resized to the network
    // input and the mask.
    cv::Mat blob;
    cv::Mat bgr;
    cv::Mat mask;
    std::vector<uchar> alpha;    // alpha per mask sample
    std::vector<int> columns;    // mask column per frame column
    std::vector<uchar> rowAlpha; // alpha per frame column of the current row
};

void SegmentationModel::loadSession(bool gpu)
{
    if ((gpu && gpuLoaded) || (!gpu && cpuLoaded))
        return;
    (gpu ? gpuLoaded : cpuLoaded) = true;

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + path.toStdString());
    const QByteArray model = file.readAll();

    OnnxTensorInfo in, out;
    if (!readOnnxModelInfo(model.constData(), size_t(model.size()), in, out))
        throw std::runtime_error("not an ONNX model");
    if (in.shape.size() < 4)
        throw std::runtime_error("the model input has fewer than four dimensions");
    // NCHW: dimension 2 is the height and 3 the width.
    const int64_t height = in.shape[2], width = in.shape[3];
    if (height <= 0 || width <= 0 || height > kMaxModelSide || width > kMaxModelSide)
        throw std::runtime_error("unsupported model input size");
    std::vector<int> outDims;
    for (int64_t d : out.shape) {
        if (d <= 0 || d > kMaxModelSide)
            throw std::runtime_error("unsupported model output shape");
        outDims.push_back(int(d));
    }
    if (outDims.empty())
        throw std::runtime_error("the model output has no shape");
    if (gpu && !cv::ocl::haveOpenCL())
        throw std::runtime_error("no OpenCL device");

    cv::dnn::Net loaded = cv::dnn::readNetFromONNX(model.constData(), size_t(model.size()));
    if (loaded.empty())
        throw std::runtime_error("the model has no layers");
    loaded.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    loaded.setPreferableTarget(gpu ? cv::dnn::DNN_TARGET_OPENCL : cv::dnn::DNN_TARGET_CPU);

    net = loaded;
    inputName = in.name;
    outputName = out.name;
    inputShape = in.shape;
    outputShape = out.shape;
    outputs.assign(1, cv::Mat(int(outDims.size()), outDims.data(), CV_32F, cv::Scalar(0)));
    modelWidth = int(width);
    modelHeight = int(height);
}

namespace {

QMutex modelPathMutex;
QString modelPathOverride;

} // namespace

QString PersonSegmentationSP::defaultModelPath()
{
    QMutexLocker locker(&modelPathMutex);
    return modelPathOverride.isEmpty() ? QString::fromLatin1(kModelResource) : modelPathOverride;
}

void PersonSegmentationSP::setDefaultModelPath(const QString& path)
{
    QMutexLocker locker(&modelPathMutex);
    modelPathOverride = path;
}

PersonSegmentationSP::PersonSegmentationSP()
    : PersonSegmentationSP(defaultModelPath())
{}

PersonSegmentationSP::PersonSegmentationSP(const QString& modelPath, const QString& landscapeModelPath)
    : SubProcessor(35)
{
    _opaque = std::make_shared<PersonSegmentationSPOpaque>(this, modelPath, landscapeModelPath);
}

std::shared_ptr<PersonSegmentationSP> PersonSegmentationSP::createForPipeline()
{
    const QString path = defaultModelPath();
    const bool builtIn = path == QLatin1String(kModelResource);
    return std::make_shared<PersonSegmentationSP>(path,
                                                  builtIn ? QString::fromLatin1(kLandscapeModelResource) : QString());
}

PersonSegmentationSP::~PersonSegmentationSP()
{
    stopWorker();
}

int PersonSegmentationSP::alphaFor(float m)
{
    const float v = (1.0f - m) * 255.0f;
    if (v >= 255.0f)
        return 255;
    return v >= 1.0f ? int(v) : 0;
}

namespace {

const SegmentationModel& lastModel(const SubProcessor::OpaqueBase& base)
{
    const auto& o = static_cast<const PersonSegmentationSPOpaque&>(base);
    return o.models[o.last];
}

} // namespace

bool PersonSegmentationSP::gpuLoaded() const
{
    return lastModel(*_opaque).gpuLoaded;
}
bool PersonSegmentationSP::cpuLoaded() const
{
    return lastModel(*_opaque).cpuLoaded;
}
int PersonSegmentationSP::modelWidth() const
{
    return lastModel(*_opaque).modelWidth;
}
int PersonSegmentationSP::modelHeight() const
{
    return lastModel(*_opaque).modelHeight;
}

BitmapPtr PersonSegmentationSP::processFrame(uchar* buffer, float width, float height, bool, bool rotated)
{
    return segment(buffer, buffer, width, height, rotated);
}

BitmapPtr PersonSegmentationSP::cutOut(const uchar* frame, float width, float height, bool rotated)
{
    return segment(frame, nullptr, width, height, rotated);
}

BitmapPtr PersonSegmentationSP::segment(const uchar* buffer, uchar* rewrite, float width, float height, bool rotated)
{
    if (!buffer)
        return {};
    if (!shouldRun())
        return currentOutput();
    auto& op = static_cast<PersonSegmentationSPOpaque&>(*_opaque);
    const int w = int(width);
    const int h = int(height);
    if (!bitmap::sizeAllowed(w, h)) {
        qWarning() << "PersonSegmentationSP::processFrame -> frame size not supported" << width << height;
        return currentOutput();
    }

    auto load = [](SegmentationModel& model) {
        try {
            try {
                model.loadSession(true);
            } catch (const std::exception& e) {
                qWarning() << "Unable to load gpu model, falling back cpu model!" << e.what();
                model.loadSession(false);
            }
        } catch (const std::exception& e) {
            qWarning() << "PersonSegmentationSP::processFrame -> no model:" << e.what();
        }
        return !model.net.empty();
    };
    // An upright landscape frame goes to the landscape model when there is one
    // (it sees the frame at its own shape, for about half the work); a turned or
    // portrait frame, or a landscape model that cannot load, to the main one.
    int pick = 0;
    if (!rotated && w > h && !op.models[1].path.isEmpty() && load(op.models[1]))
        pick = 1;
    if (pick == 0 && !load(op.models[0]))
        return currentOutput();
    op.last = pick;
    SegmentationModel& o = op.models[pick];

    try {
        // Resizing works per channel: the four-channel frame is shrunk and its
        // alpha is simply not read.
        const int mw = o.modelWidth, mh = o.modelHeight;
        const cv::Mat frame(h, w, CV_8UC4, const_cast<uchar*>(buffer));
        // Shrinking by the same odd whole factor both ways puts every sample
        // on a pixel centre, where bilinear interpolation is the pixel itself
        // (1280 x 720 for the 256 x 144 network): the samples are read from the
        // frame directly. Otherwise OpenCV resizes.
        const int ratio = w / mw;
        const bool exact = ratio % 2 == 1 && w == mw * ratio && h == mh * ratio;
        if (!exact)
            cv::resize(frame, op.bgr, cv::Size(mw, mh), 0, 0, cv::INTER_LINEAR);
        const size_t pixelStep = exact ? size_t(ratio) * 4 : 4;
        // The network input is planar B, G, R with (v - mean) x scale / 255 per
        // channel, turned a quarter clockwise when the frame is: filled in one
        // pass over the samples.
        const int rows = rotated ? mw : mh, cols = rotated ? mh : mw;
        const int dims[4] = {1, 3, rows, cols};
        op.blob.create(4, dims, CV_32F);
        float* planes[3];
        float mean[3], factor[3];
        for (int c = 0; c < 3; ++c) {
            planes[c] = op.blob.ptr<float>(0, c);
            mean[c] = float(kMean[c]);
            factor[c] = float(kScale[c]) * float(kBlobScale);
        }
        for (int y = 0; y < mh; ++y) {
            const uchar* p = exact ? frame.ptr(y * ratio + ratio / 2) + size_t(ratio / 2) * 4 : op.bgr.ptr(y);
            // Source (y, x) lands at (x, mh - 1 - y) when turned.
            const size_t first = rotated ? size_t(mh - 1 - y) : size_t(y) * size_t(cols);
            const size_t step = rotated ? size_t(cols) : 1;
            for (int c = 0; c < 3; ++c) {
                float* plane = planes[c] + first;
                for (int x = 0; x < mw; ++x)
                    plane[size_t(x) * step] = (float(p[size_t(x) * pixelStep + size_t(c)]) - mean[c]) * factor[c];
            }
        }

        try {
            o.net.setInput(op.blob, o.inputName);
            o.net.forward(o.outputs, o.outputName);
        } catch (const std::exception& e) {
            // The OpenCL session could not run the model: from now on the CPU
            // one does. This frame stays unchanged (no blur shows through).
            if (!o.cpuLoaded) {
                qWarning() << "Unable to load gpu model, falling back cpu model!" << e.what();
                o.loadSession(false);
            } else if (!o.failureLogged) {
                o.failureLogged = true;
                qWarning() << "PersonSegmentationSP::processFrame -> the model did not run:" << e.what();
            }
            return currentOutput();
        }

        if (o.outputs.empty() || o.outputs[0].type() != CV_32F || o.outputs[0].total() < size_t(rows) * size_t(cols)) {
            if (!o.failureLogged) {
                o.failureLogged = true;
                qWarning() << "PersonSegmentationSP::processFrame -> the model output is smaller than its input";
            }
            return currentOutput();
        }
        // The first plane (background probability), rotated back if needed.
        cv::Mat plane(rows, cols, CV_32F, o.outputs[0].ptr<float>());
        if (rotated)
            cv::rotate(plane, op.mask, cv::ROTATE_90_COUNTERCLOCKWISE);
        else
            plane.copyTo(op.mask);
        if (size_t(op.mask.total()) < size_t(mw) * size_t(mh)) {
            qWarning() << "PersonSegmentationSP::processFrame -> mask smaller than the model input";
            return currentOutput();
        }

        op.alpha.resize(size_t(mw) * size_t(mh));
        const float* m = op.mask.ptr<float>();
        for (size_t i = 0; i < op.alpha.size(); ++i)
            op.alpha[i] = uchar(alphaFor(m[i]));
        const float sx = float(mw) / float(w);
        const float sy = float(mh) / float(h);
        op.columns.resize(size_t(w));
        for (int x = 0; x < w; ++x)
            op.columns[size_t(x)] = std::min(int(sx * float(x)), mw - 1);
        // The stage's bitmap (and the frame, when rewritten) get the cut-out in one pass.
        QMutexLocker locker(&_mutex);
        BitmapPtr out = op.output;
        if (!bitmap::hasSize(out, w, h))
            out = bitmap::create(w, h, bitmap::transparent());
        if (!out)
            return currentOutput();
        op.rowAlpha.resize(size_t(w));
        const auto premultiplyRow = pixelrows::rows().premultiply;
        int lastRow = -1;
        for (int y = 0; y < h; ++y) {
            const int row = std::min(int(sy * float(y)), mh - 1);
            if (row != lastRow) {
                const uchar* arow = op.alpha.data() + size_t(row) * size_t(mw);
                for (int x = 0; x < w; ++x)
                    op.rowAlpha[size_t(x)] = arow[op.columns[size_t(x)]];
                lastRow = row;
            }
            const size_t offset = size_t(y) * size_t(w) * 4;
            premultiplyRow(buffer + offset, op.rowAlpha.data(), w, out->ptr(y), rewrite ? rewrite + offset : nullptr);
        }
        setOutput(out);
    } catch (const std::exception& e) {
        qWarning() << "PersonSegmentationSP::processFrame -> segmentation failed:" << e.what();
    }
    return currentOutput();
}
