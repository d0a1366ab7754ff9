#include "ImageBlurSP.h"

#include "PixelRows.h"

#include <QDebug>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

// The deviation left after downscaling: wide enough that bilinear upscaling of
// the blurred copy cannot be told from a full-size blur.
constexpr float kSmallSigma = 1.5f;

// Gaussian blur of a small B8G8R8A8 picture in place, transparent black
// outside it, as two passes in 16-bit fixed point over OpenCV's kernel (its
// size for 8-bit pictures): as close to the exact filter as cv::GaussianBlur,
// which takes several times as long on these few pixels.
class SmallGaussian
{
public:
    // Deviations beyond this (in pixels) are not blurred at all.
    static constexpr double kMaxSigma = 1000.0;
    // Up to this deviation the fixed-point kernel holds; wider kernels lose
    // their tails to rounding and go to OpenCV.
    static constexpr double kFixedPointSigma = 4.0;

    void blur(cv::Mat& picture, double sigma)
    {
        if (!(sigma > 0.0 && sigma <= kMaxSigma) || picture.empty())
            return;
        const int taps = int(std::lround(sigma * 6 + 1)) | 1;
        const int radius = taps / 2;
        // A kernel of fewer than five taps is nearly all centre, more than the
        // fixed-point weights hold; OpenCV takes those, wide ones and other
        // pixel types.
        if (taps < 5 || sigma > kFixedPointSigma || picture.type() != CV_8UC4) {
            cv::GaussianBlur(picture, picture, cv::Size(), sigma, sigma, cv::BORDER_CONSTANT);
            return;
        }
        if (taps != int(_rowWeights.size()) || sigma != _sigma) {
            const cv::Mat g = cv::getGaussianKernel(taps, sigma, CV_64F);
            _rowWeights = quantised(g, 256);
            _columnWeights = quantised(g, 65536);
            _sigma = sigma;
        }
        const int values = picture.cols * 4;
        _padded.assign(size_t(picture.cols + 2 * radius) * 4, 0);
        _rows.create(picture.rows, values, CV_16U);
        const pixelrows::Table& pixels = pixelrows::rows();
        for (int y = 0; y < picture.rows; ++y) {
            std::memcpy(_padded.data() + size_t(radius) * 4, picture.ptr(y), size_t(values));
            pixels.filterRow(_padded.data(), _rowWeights.data(), taps, _rows.ptr<uint16_t>(y), values);
        }
        _zero.assign(size_t(values), 0);
        _sources.resize(size_t(taps));
        for (int y = 0; y < picture.rows; ++y) {
            for (int t = 0; t < taps; ++t) {
                const int row = y - radius + t;
                _sources[size_t(t)] = row >= 0 && row < picture.rows ? _rows.ptr<uint16_t>(row) : _zero.data();
            }
            pixels.filterColumn(_sources.data(), _columnWeights.data(), taps, picture.ptr(y), values);
        }
    }

private:
    // The kernel in whole steps of 1 / `total`, summing to `total` exactly
    // (the centre takes up the rounding).
    static std::vector<uint16_t> quantised(const cv::Mat& kernel, int total)
    {
        std::vector<uint16_t> w(kernel.total());
        int sum = 0;
        for (size_t i = 0; i < w.size(); ++i) {
            w[i] = uint16_t(std::lround(kernel.at<double>(int(i)) * total));
            sum += w[i];
        }
        w[w.size() / 2] = uint16_t(w[w.size() / 2] + total - sum);
        return w;
    }

    double _sigma = 0;
    std::vector<uint16_t> _rowWeights, _columnWeights;
    std::vector<uchar> _padded;
    cv::Mat _rows; // the rows after the first pass
    std::vector<uint16_t> _zero;
    std::vector<const uint16_t*> _sources;
};

} // namespace

struct ImageBlurSPOpaque : SubProcessor::OpaqueBase
{
    using OpaqueBase::OpaqueBase;
    ~ImageBlurSPOpaque() override { qDebug() << "ImageBlurSP::Opaque DCTOR!"; }

    BitmapPtr blurTarget;     // the frame-sized target the blur is drawn into
    cv::Mat blurred;          // the blurred picture before it is drawn
    cv::Mat scratch;          // the shrunken, blurred picture
    SmallGaussian filter;     // blurs it
    cv::Mat wide;             // its rows widened to the frame's width, when not a whole multiple
    std::vector<uchar> mixed; // two of its rows mixed, before widening
    std::vector<uchar> row;   // one enlarged row
};

ImageBlurSP::ImageBlurSP()
    : SubProcessor(35)
{
    _opaque = std::make_shared<ImageBlurSPOpaque>(this);
}

ImageBlurSP::~ImageBlurSP()
{
    stopWorker();
}

float ImageBlurSP::sigmaFor(const CameraSetting& setting)
{
    // A stored value beyond the range (a damaged or hand-edited store) takes
    // the nearer end's deviation: a wider one would cost seconds a frame.
    const double sigma = std::clamp(setting.fraction(), 0.0, 1.0) * 10.0;
    return std::isfinite(sigma) ? float(sigma) : 0.0f;
}

namespace {

// The shrinking factor for a deviation: a power of two, so the frame shrinks
// by whole blocks of pixels.
int shrinkFactor(float sigma)
{
    int factor = 1;
    while (factor < 16 && float(factor * 2) * kSmallSigma <= sigma)
        factor *= 2;
    return factor;
}

// Shrinks `src` by `factor` and blurs it there. Averaging down and
// interpolating back up add about factor^2 / 4 of variance; the small blur
// leaves that much out. Outside the frame is transparent black.
void blurSmall(const cv::Mat& src, cv::Mat& small, float sigma, int factor, SmallGaussian& filter)
{
    const cv::Size size((src.cols + factor - 1) / factor, (src.rows + factor - 1) / factor);
    if ((factor == 2 || factor == 4) && src.cols % factor == 0 && src.rows % factor == 0) {
        // Whole blocks: the averaging loop, the same result as OpenCV's area
        // shrinking for a fraction of the time.
        small.create(size, src.type());
        const auto shrink = pixelrows::rows().shrink;
        const uchar* rows[4];
        for (int y = 0; y < size.height; ++y) {
            for (int r = 0; r < factor; ++r)
                rows[r] = src.ptr(y * factor + r);
            shrink(rows, factor, small.ptr(y), size.width);
        }
    } else {
        cv::resize(src, small, size, 0, 0, cv::INTER_AREA);
    }
    const double f = double(factor);
    const double s = std::sqrt(std::max(double(sigma) * sigma - f * f / 4.0, 1.0)) / f;
    filter.blur(small, s);
}

// Bilinear enlargement with pixel centres aligned (as cv::resize's linear
// interpolation), one full-size row at a time, so a row can be used while it is
// still in the cache. A row mixes the two nearest small rows (weights in
// sixteenths, exact for enlargements by 2, 4 and 8) and widens the mix; a
// picture that is not a whole multiple of the small one has its rows widened by
// OpenCV first instead.
class RowEnlarger
{
public:
    RowEnlarger(const cv::Mat& small, cv::Size size, cv::Mat& wide, std::vector<uchar>& mixed)
        : _small(small)
        , _wide(wide)
        , _mixed(mixed)
        , _size(size)
    {
        const int factor = size.width / std::max(small.cols, 1);
        if (factor >= 1 && factor <= 16 && small.cols * factor == size.width) {
            _factor = factor;
            _mixed.resize(size_t(small.cols) * 4);
        } else {
            cv::resize(small, _wide, cv::Size(size.width, small.rows), 0, 0, cv::INTER_LINEAR);
        }
    }

    // Writes output row `y` (size.width pixels) to `out`.
    void row(int y, uchar* out) const
    {
        const int rows = _small.rows;
        const float sy = (float(y) + 0.5f) * float(rows) / float(_size.height) - 0.5f;
        int r0 = int(std::floor(sy));
        int weight = int(std::lround((sy - float(r0)) * 16.0f));
        if (weight == 16) {
            ++r0;
            weight = 0;
        }
        if (r0 < 0) {
            r0 = 0;
            weight = 0;
        }
        if (r0 >= rows - 1) {
            r0 = rows - 1;
            weight = 0;
        }
        const pixelrows::Table& pixels = pixelrows::rows();
        if (_factor == 0) {
            const uchar* a = _wide.ptr(r0);
            if (weight == 0)
                std::memcpy(out, a, size_t(_size.width) * 4);
            else
                pixels.mix(a, _wide.ptr(r0 + 1), weight, out, _size.width * 4);
            return;
        }
        const uchar* a = _small.ptr(r0);
        if (weight != 0) {
            pixels.mix(a, _small.ptr(r0 + 1), weight, _mixed.data(), _small.cols * 4);
            a = _mixed.data();
        }
        pixels.widen(a, _small.cols, _factor, out);
    }

private:
    const cv::Mat& _small;
    cv::Mat& _wide;
    std::vector<uchar>& _mixed;
    cv::Size _size;
    int _factor = 0; // whole enlargement factor of the rows, 0 when there is none
};

} // namespace

void ImageBlurSP::blur(const cv::Mat& src, cv::Mat& dst, float sigma, cv::Mat& scratch)
{
    const int factor = shrinkFactor(sigma);
    if (!(sigma > 0.0f)) {
        src.copyTo(dst);
        return;
    }
    if (factor == 1) {
        cv::GaussianBlur(src, dst, cv::Size(), sigma, sigma, cv::BORDER_CONSTANT);
        return;
    }
    SmallGaussian filter;
    blurSmall(src, scratch, sigma, factor, filter);
    dst.create(src.size(), src.type());
    cv::Mat wide;
    std::vector<uchar> mixed;
    const RowEnlarger enlarger(scratch, src.size(), wide, mixed);
    for (int y = 0; y < dst.rows; ++y)
        enlarger.row(y, dst.ptr(y));
}

void ImageBlurSP::gaussian(cv::Mat& picture, double sigma)
{
    SmallGaussian filter;
    filter.blur(picture, sigma);
}

BitmapPtr ImageBlurSP::processImage(BitmapPtr input, float& width, float& height, const CameraSetting& setting)
{
    if (!input)
        return {};
    if (!shouldRun())
        return currentOutput();
    auto& o = static_cast<ImageBlurSPOpaque&>(*_opaque);
    const int w = int(width);
    const int h = int(height);
    if (input->type() != CV_8UC4 || input->cols != w || input->rows != h) {
        qWarning() << "ImageBlurSP::processImage -> input does not match" << width << height;
        return currentOutput();
    }
    if (!bitmap::hasSize(o.blurTarget, w, h))
        o.blurTarget = bitmap::create(w, h, bitmap::opaqueBlack());
    if (!o.blurTarget)
        return currentOutput();
    try {
        const float sigma = sigmaFor(setting);
        const int factor = shrinkFactor(sigma);
        if (sigma > 0.0f && factor > 1) {
            // Each enlarged row is drawn over the target while it is in the
            // cache; the full-size blurred picture never exists.
            blurSmall(*input, o.scratch, sigma, factor, o.filter);
            const RowEnlarger enlarger(o.scratch, input->size(), o.wide, o.mixed);
            o.row.resize(size_t(w) * 4);
            const auto drawOverRow = pixelrows::rows().drawOver;
            for (int y = 0; y < h; ++y) {
                uchar* target = o.blurTarget->ptr(y);
                enlarger.row(y, o.row.data());
                drawOverRow(target, target, o.row.data(), w);
            }
        } else {
            blur(*input, o.blurred, sigma, o.scratch);
            bitmap::drawOver(*o.blurTarget, o.blurred);
        }
    } catch (const std::exception& e) {
        qWarning() << "ImageBlurSP::processImage -> blur failed:" << e.what();
        return currentOutput();
    }
    setOutput(o.blurTarget);
    input.reset();
    return currentOutput();
}
