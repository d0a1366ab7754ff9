#include "PostProcessor.h"

#include "BaseSettings.h"
#include "FrameMemory.h"
#include "ImageBlurSP.h"
#include "ImageOverlaySP.h"
#include "ImageRotateSP.h"
#include "ImageToneSP.h"
#include "PersonSegmentationSP.h"
#include "TextOverlaySP.h"

#include <QDebug>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

struct SettingRange
{
    BaseSettings::Settings key;
    int32_t storedDefault;
    int32_t step;
    int32_t maximum;
    int32_t minimum;
    int32_t defaultValue;
};

// The four pipeline settings: value when the store has none, step, range, and
// the value at which the effect is off.
constexpr SettingRange kRanges[] = {
    {BaseSettings::SkinTone, 50, 1, 100, 0, 50},
    {BaseSettings::BackgroundBlur, 0, 1, 100, 0, 0},
    {BaseSettings::CameraRotation, 0, 1, 2, 0, 0},
    {BaseSettings::FineCameraRotation, 0, 1, 20, -20, 0},
};

const SettingRange& rangeOf(BaseSettings::Settings key)
{
    for (const SettingRange& r : kRanges) {
        if (r.key == key)
            return r;
    }
    return kRanges[0];
}

bool isBgra32(QImage::Format format)
{
    return format == QImage::Format_RGB32 || format == QImage::Format_ARGB32
        || format == QImage::Format_ARGB32_Premultiplied;
}

} // namespace

struct PostProcessor::Opaque
{
    explicit Opaque(PostProcessor* owner, BaseSettings* settings)
        : owner(owner)
        , settings(settings)
    {}
    ~Opaque() { qDebug() << "PostProcessor::Opaque DCTOR!"; }

    bool readSetting(BaseSettings::Settings key, CameraSetting& out);
    void writeSetting(BaseSettings::Settings key, long value, bool autoMode);
    bool settingFlag(BaseSettings::Settings group, BaseSettings::SubSettings key);
    void run(QImage& image, const CameraSetting& tone, const CameraSetting& blur, bool blurActive,
             const CameraSetting& rotation, const CameraSetting& fine, bool logo, bool text);

    PostProcessor* owner;
    BaseSettings* settings; // not owned
    QMutex cacheMutex;
    QHash<int, CameraSetting> cache;

    std::shared_ptr<PersonSegmentationSP> segmentation;
    std::shared_ptr<ImageBlurSP> blur;
    std::shared_ptr<ImageToneSP> tone;
    std::shared_ptr<ImageRotateSP> rotate;
    std::shared_ptr<ImageOverlaySP> logo;
    std::shared_ptr<TextOverlaySP> text;

    // The frame's working copy, kept while the frame size is unchanged.
    BitmapPtr input;
    // The sharp person drawn over the blurred frame. Kept apart from the blur
    // stage's own target, so the person never leaks into the next blur (the
    // blur target is not cleared and shows through at its soft border) and a
    // throttled blur is never drawn over twice.
    BitmapPtr composite;
    // The frame's result, handed to the caller (see the end of run()).
    QImage output;
};

bool PostProcessor::Opaque::readSetting(BaseSettings::Settings key, CameraSetting& out)
{
    QMutexLocker locker(&cacheMutex);
    auto it = cache.find(key);
    if (it == cache.end()) {
        const SettingRange& r = rangeOf(key);
        CameraSetting s;
        s.value = r.storedDefault;
        if (settings) {
            const QString name = BaseSettings::keyName(key);
            if (settings->contains(name)) {
                bool ok = false;
                const int stored = settings->value(name).toInt(&ok);
                if (ok)
                    s.value = stored;
            }
        }
        s.step = r.step;
        s.maximum = r.maximum;
        s.minimum = r.minimum;
        s.defaultValue = r.defaultValue;
        it = cache.insert(key, s);
    }
    out = *it;
    return true;
}

void PostProcessor::Opaque::writeSetting(BaseSettings::Settings key, long value, bool autoMode)
{
    CameraSetting current;
    readSetting(key, current);
    const auto v =
        int32_t(std::clamp<long>(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    QMutexLocker locker(&cacheMutex);
    CameraSetting& cached = cache[key];
    cached.value = v;
    cached.autoMode = autoMode;
    if (settings) {
        settings->setValue(BaseSettings::keyName(key), int(v));
        settings->sync();
    }
}

bool PostProcessor::Opaque::settingFlag(BaseSettings::Settings group, BaseSettings::SubSettings key)
{
    return settings && settings->getSetting(group, key).toBool();
}

PostProcessor::PostProcessor(BaseSettings* settings, QObject* parent)
    : QObject(parent)
    , _opaque(std::make_shared<Opaque>(this, settings))
{
    Opaque& o = *_opaque;
    o.rotate = std::make_shared<ImageRotateSP>();
    o.logo = std::make_shared<ImageOverlaySP>();
    o.text = std::make_shared<TextOverlaySP>();
    o.tone = std::make_shared<ImageToneSP>();
    o.blur = std::make_shared<ImageBlurSP>();
    o.segmentation = PersonSegmentationSP::createForPipeline();
}

PostProcessor::~PostProcessor()
{
    qDebug() << "PostProcessor DCTOR!";
}

bool PostProcessor::getSkinTone(CameraSetting& setting)
{
    return _opaque->readSetting(BaseSettings::SkinTone, setting);
}
bool PostProcessor::getBackgroundBlur(CameraSetting& setting)
{
    return _opaque->readSetting(BaseSettings::BackgroundBlur, setting);
}
bool PostProcessor::getCameraRotation(CameraSetting& setting)
{
    return _opaque->readSetting(BaseSettings::CameraRotation, setting);
}
bool PostProcessor::getFineCameraRotation(CameraSetting& setting)
{
    return _opaque->readSetting(BaseSettings::FineCameraRotation, setting);
}

bool PostProcessor::setSkinTone(long value, bool autoMode)
{
    _opaque->writeSetting(BaseSettings::SkinTone, value, autoMode);
    return true;
}

bool PostProcessor::setBackgroundBlur(long value, bool autoMode)
{
    _opaque->writeSetting(BaseSettings::BackgroundBlur, value, autoMode);
    return true;
}

bool PostProcessor::setCameraRotation(long value, bool autoMode)
{
    _opaque->writeSetting(BaseSettings::CameraRotation, value, autoMode);
    return true;
}

bool PostProcessor::setFineCameraRotation(long value, bool autoMode)
{
    _opaque->writeSetting(BaseSettings::FineCameraRotation, value, autoMode);
    return true;
}

QImage& PostProcessor::process(QImage& image)
{
    if (image.isNull())
        return image;
    Opaque& o = *_opaque;

    CameraSetting tone, blur, rotation, fine;
    o.readSetting(BaseSettings::SkinTone, tone);
    const bool toneActive = tone.isActive();
    bool blurActive = false;
    if (!o.settingFlag(BaseSettings::General, BaseSettings::LowPowerMode)) {
        o.readSetting(BaseSettings::BackgroundBlur, blur);
        blurActive = blur.isActive();
    }
    o.readSetting(BaseSettings::CameraRotation, rotation);
    o.readSetting(BaseSettings::FineCameraRotation, fine);
    const bool rotationActive = rotation.isActive() || fine.isActive();
    const bool logo = o.settingFlag(BaseSettings::LogoOverlay, BaseSettings::Enabled);
    const bool text = o.settingFlag(BaseSettings::TextOverlay, BaseSettings::Enabled);

    if (!toneActive && !blurActive && !rotationActive && !logo && !text)
        return image;

    if (!bitmap::sizeAllowed(image.width(), image.height())) {
        qWarning() << "PostProcessor::process -> frame size not supported" << image.size();
        return image;
    }
    // The stages read width x 4 bytes per row in B, G, R, A order; any other
    // layout is converted first rather than read past its rows.
    if (!isBgra32(image.format()))
        image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return image;

    try {
        o.run(image, toneActive ? tone : CameraSetting {}, blur, blurActive,
              rotationActive ? rotation : CameraSetting {}, rotationActive ? fine : CameraSetting {}, logo, text);
    } catch (const std::exception& e) {
        qWarning() << "PostProcessor::process -> frame dropped:" << e.what();
    }
    return image;
}

void PostProcessor::Opaque::run(QImage& image, const CameraSetting& toneSetting, const CameraSetting& blurSetting,
                                bool blurActive, const CameraSetting& rotation, const CameraSetting& fine, bool logoOn,
                                bool textOn)
{
    const int w = image.width();
    const int h = image.height();
    // The frame's working copy, for the stages that take a bitmap of their own
    // (blur and segmentation read the frame where it is).
    const auto copyIn = [&]() -> BitmapPtr {
        if (!bitmap::hasSize(input, w, h))
            input = bitmap::create(w, h, bitmap::opaqueBlack());
        if (input) {
            for (int y = 0; y < h; ++y)
                std::memcpy(input->ptr(y), image.constScanLine(y), size_t(w) * 4);
        }
        return input;
    };

    BitmapPtr current;
    // The sharp person still to be drawn over the blurred frame (`current`).
    BitmapPtr person;
    if (blurActive && segmentation && blur) {
        // Both stages read the caller's frame where it is: the blur never keeps
        // its input, and the frame is not rewritten into the cut-out, since the
        // result replaces all of it at the end.
        const uchar* pixels = image.constBits();
        BitmapPtr blurred;
        {
            auto frame =
                std::make_shared<cv::Mat>(h, w, CV_8UC4, const_cast<uchar*>(pixels), size_t(image.bytesPerLine()));
            float bw = float(w), bh = float(h);
            blurred = blur->processImage(std::move(frame), bw, bh, blurSetting);
        }
        BitmapPtr cutout = segmentation->cutOut(pixels, float(w), float(h), rotation.isActive());
        // Without any cut-out (no usable model, or a failed first run) the whole
        // frame counts as the person: nothing is blurred, rather than the person
        // along with the background.
        if (!cutout) {
            current = copyIn();
        } else if (blurred) {
            current = blurred;
            person = cutout;
        } else {
            current = cutout;
        }
    } else {
        current = copyIn();
    }
    if (!current) {
        qDebug() << "unable to generate a new sample buffer";
        return;
    }

    auto next = [&current](BitmapPtr result) {
        if (result)
            current = std::move(result);
    };
    const bool toneOn = toneSetting.isActive() && tone;
    bool toned = false;
    if (toneOn && person && person->size == current->size) {
        // The tone pass composes the person over the blurred frame itself.
        float cw = float(current->cols), ch = float(current->rows);
        if (BitmapPtr result = tone->processComposite(current, person, cw, ch, toneSetting)) {
            current = std::move(result);
            person.reset();
            toned = true;
        }
    }
    if (person) {
        if (!bitmap::hasSize(composite, current->cols, current->rows))
            composite = bitmap::create(current->cols, current->rows, bitmap::opaqueBlack());
        if (composite) {
            bitmap::composeOver(*composite, *current, *person);
            current = composite;
        }
        person.reset();
    }
    if (toneOn && !toned) {
        float cw = float(current->cols), ch = float(current->rows);
        next(tone->processImage(current, cw, ch, toneSetting));
    }
    if ((rotation.isActive() || fine.isActive()) && rotate) {
        float cw = float(current->cols), ch = float(current->rows);
        next(rotate->processImage(current, cw, ch, rotation, fine));
    }
    QVariantMap group;
    if (logoOn && logo && settings && settings->loadGroup(BaseSettings::LogoOverlay, group)) {
        float cw = float(current->cols), ch = float(current->rows);
        next(logo->processImage(current, cw, ch, group));
    }
    if (textOn && text && settings && settings->loadGroup(BaseSettings::TextOverlay, group)) {
        float cw = float(current->cols), ch = float(current->rows);
        next(text->processImage(current, cw, ch, group));
    }

    // The result goes to an image kept from frame to frame, which the caller's
    // image then shares: no fresh memory per frame, and a frame the caller
    // shares with someone (the camera keeps its latest) is never copied just to
    // be overwritten. A kept image the caller still holds is left to it.
    const QImage::Format format = current->cols == w && current->rows == h ? image.format() : QImage::Format_ARGB32;
    if (output.width() != current->cols || output.height() != current->rows || output.format() != format
        || !output.isDetached())
        output = framememory::createImage(current->cols, current->rows, format);
    if (output.isNull()) {
        readBack(*current, image);
        return;
    }
    if (readBack(*current, output))
        image = output;
}

bool PostProcessor::readBack(const cv::Mat& result, QImage& image)
{
    if (result.empty() || image.isNull())
        return false;
    if (result.type() != CV_8UC4) {
        qWarning() << "Unsupported pixel format. Expected B8G8R8A8.";
        return false;
    }
    if (result.cols != image.width() || result.rows != image.height() || image.depth() != 32) {
        QImage resized(result.cols, result.rows, QImage::Format_ARGB32);
        if (resized.isNull()) {
            qWarning() << "Unable to map bitmap to retrieve buffer!";
            return false;
        }
        image = resized;
    }
    const size_t rowBytes = size_t(image.width()) * 4;
    for (int y = 0; y < image.height(); ++y)
        std::memcpy(image.scanLine(y), result.ptr(y), rowBytes);
    return true;
}
