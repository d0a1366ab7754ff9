#include "ImageToneSP.h"

#include "HueRotationEffect.h"
#include "MaskBlendingEffect.h"
#include "SkinMaskEffect.h"
#include "ToneKernel.h"

#include <QDebug>

#include <cmath>

namespace {

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
        maskBlending.reset();
        skinMask.reset();
        hue.reset();
    }

    bool hasEffects() const { return hue && skinMask && maskBlending; }

    std::unique_ptr<HueRotationEffect> hue;
    std::unique_ptr<CustomEffectsBase> skinMask;
    std::unique_ptr<CustomEffectsBase> maskBlending;
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

    if (!bitmap::hasSize(o.toneTarget, w, h))
        o.toneTarget = bitmap::create(w, h, bitmap::opaqueBlack());
    if (!o.toneTarget)
        return currentOutput();

    o.hue->setAngle(hueAngle(setting));
    const float* m = o.hue->currentMatrix().data();
    for (int y = 0; y < h; ++y)
        tonekernel::toneRow(input->ptr(y), o.toneTarget->ptr(y), w, m);

    setOutput(o.toneTarget);
    input.reset();
    return currentOutput();
}
