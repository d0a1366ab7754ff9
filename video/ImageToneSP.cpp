#include "ImageToneSP.h"

#include "HueRotationEffect.h"
#include "MaskBlendingEffect.h"
#include "SkinMaskEffect.h"

#include <QDebug>

#include <cmath>

namespace {

// Rows drawn per effect before moving on to the next effect: small enough that
// the band of every picture stays in cache between the three passes.
constexpr int kBandRows = 8;

bool registerEffects()
{
    static const bool registered = SkinMaskEffect::registerClass() && MaskBlendingEffect::registerClass();
    return registered;
}

} // namespace

struct ImageToneSPOpaque : SubProcessor::OpaqueBase
{
    explicit ImageToneSPOpaque(SubProcessor* owner)
        : OpaqueBase(owner)
    {
        hue = std::make_unique<HueRotationEffect>();
        registerEffects();
        skinMask = CustomEffectsBase::createEffect(SkinMaskEffect::classId());
        if (!skinMask) {
            qWarning() << "Failed to create SkinMaskEffect";
            return;
        }
        maskBlending = CustomEffectsBase::createEffect(MaskBlendingEffect::classId());
        if (!maskBlending)
            qWarning() << "Failed to create MaskBlendingEffect";
    }

    ~ImageToneSPOpaque() override
    {
        qDebug() << "ImageToneSPOpaque::Opaque DCTOR!";
        toneTarget.reset();
        maskTarget.reset();
        hueTarget.reset();
        maskBlending.reset();
        skinMask.reset();
        hue.reset();
    }

    bool hasEffects() const { return hue && skinMask && maskBlending; }

    std::unique_ptr<HueRotationEffect> hue;
    std::unique_ptr<CustomEffectsBase> skinMask;
    std::unique_ptr<CustomEffectsBase> maskBlending;
    BitmapPtr hueTarget;
    BitmapPtr maskTarget;
    BitmapPtr toneTarget;
};

ImageToneSP::ImageToneSP()
{
    _opaque = std::make_shared<ImageToneSPOpaque>(this);
}

ImageToneSP::~ImageToneSP()
{
    stopWorker();
}

float ImageToneSP::hueAngle(const CameraSetting& setting)
{
    const double angle = (0.5 - setting.fraction()) * 180.0 / 3.141592653589793;
    return std::isfinite(angle) ? float(angle) : 0.0f;
}

BitmapPtr ImageToneSP::processImage(BitmapPtr input, float& width, float& height, const CameraSetting& setting)
{
    if (!input)
        return {};
    if (!shouldRun())
        return currentOutput();
    auto& o = static_cast<ImageToneSPOpaque&>(*_opaque);
    if (!o.hasEffects())
        return currentOutput();
    const int w = int(width);
    const int h = int(height);
    if (input->type() != CV_8UC4 || input->cols != w || input->rows != h) {
        qWarning() << "ImageToneSP::processImage -> input does not match" << w << h;
        return currentOutput();
    }

    for (BitmapPtr* target : {&o.hueTarget, &o.maskTarget, &o.toneTarget}) {
        if (!bitmap::hasSize(*target, w, h))
            *target = bitmap::create(w, h, bitmap::opaqueBlack());
        if (!*target)
            return currentOutput();
    }

    o.hue->setAngle(hueAngle(setting));
    o.hue->setInput(0, input.get());
    o.skinMask->setInput(0, input.get());
    o.maskBlending->setInput(0, input.get());
    o.maskBlending->setInput(1, o.hueTarget.get());
    o.maskBlending->setInput(2, o.maskTarget.get());
    for (int y = 0; y < h; y += kBandRows) {
        const int end = std::min(h, y + kBandRows);
        o.hue->draw(*o.hueTarget, y, end);
        o.skinMask->draw(*o.maskTarget, y, end);
        o.maskBlending->draw(*o.toneTarget, y, end);
    }
    // The effects keep no reference to the frame beyond this call.
    o.hue->setInput(0, nullptr);
    o.skinMask->setInput(0, nullptr);
    o.maskBlending->setInput(0, nullptr);

    setOutput(o.toneTarget);
    input.reset();
    return currentOutput();
}

BitmapPtr ImageToneSP::hueTarget() const
{
    return static_cast<const ImageToneSPOpaque&>(*_opaque).hueTarget;
}

BitmapPtr ImageToneSP::maskTarget() const
{
    return static_cast<const ImageToneSPOpaque&>(*_opaque).maskTarget;
}
