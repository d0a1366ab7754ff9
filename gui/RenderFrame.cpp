#include "RenderFrame.h"

#include "App.h"
#include "PixelMeans.h"

#include <QDebug>
#include <QMutexLocker>
#include <QPainter>

#include <algorithm>

RenderFrame::RenderFrame(QWidget* parent)
    : ShadowedFrame(parent, true)
{
    setObjectName(QStringLiteral("RenderFrame"));
}

RenderFrame::~RenderFrame()
{
    qDebug() << "RenderFrame DCTOR!";
}

QRect RenderFrame::placement(const QSize& image, const QRect& clip, const QSize& widget)
{
    if (image.isEmpty())
        return {};
    const double factor = std::max(double(clip.height()) / image.height(), double(clip.width()) / image.width());
    const QSize scaled(int(image.width() * factor), int(image.height() * factor));
    return QRect(QPoint((widget.width() - scaled.width()) / 2, (widget.height() - scaled.height()) / 2), scaled);
}

namespace {

// Shrinks a 32-bit picture by `factor` (a power of two): each output pixel is
// the mean of the 2 × 2 block at the middle of its cell, so the cost is four
// reads per output pixel whatever the factor, and fine detail is still
// averaged rather than picked.
QImage reduced(const QImage& image, int factor)
{
    const QImage in = image.format() == QImage::Format_RGB32 || image.format() == QImage::Format_ARGB32
                        ? image
                        : image.convertToFormat(QImage::Format_RGB32);
    QImage out(in.width() / factor, in.height() / factor, in.format());
    const int offset = factor / 2 - 1;
    for (int y = 0; y < out.height(); ++y)
        pixelmeans::meanOf2x2(reinterpret_cast<const quint32*>(in.constScanLine(y * factor + offset)) + offset,
                              reinterpret_cast<const quint32*>(in.constScanLine(y * factor + offset + 1)) + offset,
                              reinterpret_cast<quint32*>(out.scanLine(y)), out.width(), factor);
    return out;
}

} // namespace

void RenderFrame::onNewFrame(QImage image, bool ignoreMirroring)
{
    // Reduced as the frame arrives, by the largest power of two that keeps it
    // at least the drawn size: the painter then filters a small picture, not
    // the whole frame. Keeping only the small copy also hands the grabber its
    // frame buffer back at once, so it is reused, not reallocated.
    const QRect target = placement(image.size(), panelRect(), size());
    const QSizeF pixels = QSizeF(target.size()) * devicePixelRatioF();
    int factor = 1;
    while (!target.isEmpty() && image.width() >= 2 * factor * pixels.width()
           && image.height() >= 2 * factor * pixels.height())
        factor *= 2;
    QImage small = factor > 1 ? reduced(image, factor) : std::move(image);
    image = QImage();
    {
        QMutexLocker lock(&_mutex);
        _image = std::move(small);
        _target = target;
        _ignoreMirroring = ignoreMirroring;
    }
    update();
}

QImage RenderFrame::lastImage()
{
    QMutexLocker lock(&_mutex);
    return _image;
}

void RenderFrame::paintContent(QPainter& painter)
{
    QImage image;
    QRect target;
    bool ignoreMirroring = false;
    {
        QMutexLocker lock(&_mutex);
        image = _image;
        target = _target;
        ignoreMirroring = _ignoreMirroring;
    }
    if (image.isNull())
        return;
    App* app = App::instance();
    if (!ignoreMirroring && app
        && app->settings()->getSetting(BaseSettings::General, BaseSettings::FlipHorizontal).toBool()) {
        painter.scale(-1, 1);
        painter.translate(-width(), 0);
    }
    painter.drawImage(target, image);
}
