#include "PersonSegmentationSP.h"

#include "OnnxSession.h"
#include "PixelRows.h"

#include <QDebug>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <opencv2/imgproc.hpp>

#include <cstring>
#include <stdexcept>

namespace {

// Per-channel (B, G, R) normalisation the network was prepared for.
const cv::Scalar kMean(102.890434, 111.25247, 126.91212);
const cv::Scalar kScale(0.01588993487033495, 0.015918147611529706, 0.015070294257291065);
constexpr double kBlobScale = 0.00392156862745098; // 1 / 255

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
    std::unique_ptr<OnnxSession> session;
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
    // Reused every frame: the frame resized to the network input and the mask.
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
    auto loaded =
        std::make_unique<OnnxSession>(file.readAll(), gpu ? OnnxSession::Provider::Gpu : OnnxSession::Provider::Cpu);
    // NCHW: dimension 2 is the height and 3 the width. The first output plane
    // is the background probability at the input size.
    const std::vector<int64_t>& in = loaded->inputShape();
    const std::vector<int64_t>& out = loaded->outputShape();
    if (in.size() != 4 || in[0] != 1 || in[1] != 3)
        throw std::runtime_error("the model input is not one three-channel picture");
    if (out.size() != 4 || out[0] != 1 || out[2] != in[2] || out[3] != in[3])
        throw std::runtime_error("the model output is not a picture of its input size");
    session = std::move(loaded);
    modelWidth = int(in[3]);
    modelHeight = int(in[2]);
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
        return model.session != nullptr;
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
        // The network's input shape is fixed: only a square one takes a turned frame.
        if (rotated && mw != mh) {
            if (!o.failureLogged) {
                o.failureLogged = true;
                qWarning() << "PersonSegmentationSP::processFrame -> the model's input is not square, so a turned"
                              " frame cannot be shown to it";
            }
            return currentOutput();
        }
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
        // channel, turned a quarter clockwise when the frame is: written in one
        // pass over the samples straight into the session's input tensor.
        const int rows = rotated ? mw : mh, cols = rotated ? mh : mw;
        const size_t planeSize = size_t(rows) * size_t(cols);
        float* planes[3];
        float mean[3], factor[3];
        for (int c = 0; c < 3; ++c) {
            planes[c] = o.session->input() + size_t(c) * planeSize;
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
            o.session->run();
        } catch (const std::exception& e) {
            // The GPU session could not run the model: from now on the CPU
            // one does. This frame stays unchanged (no blur shows through).
            if (!o.cpuLoaded) {
                qWarning() << "Unable to load gpu model, falling back cpu model!" << e.what();
                o.session.reset();
                o.loadSession(false);
            } else if (!o.failureLogged) {
                o.failureLogged = true;
                qWarning() << "PersonSegmentationSP::processFrame -> the model did not run:" << e.what();
            }
            return currentOutput();
        }

        // The first output plane (background probability), rotated back if needed.
        const float* m = o.session->output();
        if (rotated) {
            cv::rotate(cv::Mat(rows, cols, CV_32F, const_cast<float*>(m)), op.mask, cv::ROTATE_90_COUNTERCLOCKWISE);
            m = op.mask.ptr<float>();
        }
        op.alpha.resize(size_t(mw) * size_t(mh));
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
