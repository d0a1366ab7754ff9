#include "ImageToneSP.h"

#include "HueRotationEffect.h"
#include "MaskBlendingEffect.h"
#include "PixelRows.h"
#include "SkinMaskEffect.h"
#include "ToneKernel.h"

#include <QDebug>

#include <cmath>
#include <vector>

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
    std::vector<uchar> row; // one composed row on its way to the tone pass
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
    return run(std::move(input), BitmapPtr(), width, height, setting);
}

BitmapPtr ImageToneSP::processComposite(BitmapPtr below, BitmapPtr above, float& width, float& height,
                                        const CameraSetting& setting)
{
    if (!above)
        return {};
    return run(std::move(below), std::move(above), width, height, setting);
}

BitmapPtr ImageToneSP::run(BitmapPtr input, BitmapPtr above, float width, float height, const CameraSetting& setting)
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
    const auto fits = [w, h](const BitmapPtr& b) {
        return !b || (b->type() == CV_8UC4 && b->cols == w && b->rows == h);
    };
    if (!fits(input) || !fits(above)) {
        qWarning() << "ImageToneSP -> input does not match" << w << h;
        return currentOutput();
    }

    if (!bitmap::hasSize(o.toneTarget, w, h))
        o.toneTarget = bitmap::create(w, h, bitmap::opaqueBlack());
    if (!o.toneTarget)
        return currentOutput();

    o.hue->setAngle(hueAngle(setting));
    const float* m = o.hue->currentMatrix().data();
    if (above) {
        // Each composed row is toned while it is still in the first-level cache.
        o.row.resize(size_t(w) * 4);
        const auto drawOverRow = pixelrows::rows().drawOver;
        for (int y = 0; y < h; ++y) {
            drawOverRow(o.row.data(), input->ptr(y), above->ptr(y), w);
            tonekernel::toneRow(o.row.data(), o.toneTarget->ptr(y), w, m);
        }
    } else {
        for (int y = 0; y < h; ++y)
            tonekernel::toneRow(input->ptr(y), o.toneTarget->ptr(y), w, m);
    }

    setOutput(o.toneTarget);
    return currentOutput();
}
