#include "ImageOverlaySP.h"

#include <QBuffer>
#include <QDebug>
#include <QGraphicsDropShadowEffect>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QImageReader>
#include <QMutexLocker>
#include <QPainter>
#include <QPixmap>

#include <cmath>
#include <cstring>
#include <vector>

struct ImageOverlaySPOpaque : SubProcessor::OpaqueBase
{
    using OpaqueBase::OpaqueBase;
    ~ImageOverlaySPOpaque() override { qDebug() << "ImageOverlaySPOpaque::Opaque DCTOR!"; }

    BitmapPtr overlayBitmap;
    QSize overlayFrameSize;
    qint64 overlayStamp = 0;
    QImage overlayImage;
    cv::Rect overlayRect; // the part of overlayBitmap the picture covers
};

ImageOverlaySP::ImageOverlaySP()
{
    _opaque = std::make_shared<ImageOverlaySPOpaque>(this);
}

ImageOverlaySP::~ImageOverlaySP()
{
    stopWorker();
}

QVariant ImageOverlaySP::read(const QVariantMap& settings, BaseSettings::SubSettings key)
{
    // The key names are built once: the overlays read them on every frame.
    static const std::vector<QString> names = [] {
        std::vector<QString> v;
        for (int i = 0; i <= BaseSettings::DSP_Strength; ++i)
            v.push_back(BaseSettings::keyName(BaseSettings::SubSettings(i)));
        return v;
    }();
    const auto index = size_t(key);
    return index < names.size() ? settings.value(names[index]) : settings.value(BaseSettings::keyName(key));
}

bool ImageOverlaySP::readBool(const QVariantMap& settings, BaseSettings::SubSettings key)
{
    return read(settings, key).toBool();
}

int ImageOverlaySP::readInt(const QVariantMap& settings, BaseSettings::SubSettings key, int fallback)
{
    bool ok = false;
    const int v = read(settings, key).toInt(&ok);
    return ok ? v : fallback;
}

double ImageOverlaySP::readDouble(const QVariantMap& settings, BaseSettings::SubSettings key, double fallback,
                                  double lowest, double highest)
{
    bool ok = false;
    const double v = read(settings, key).toDouble(&ok);
    if (!ok || std::isnan(v))
        return fallback;
    return std::clamp(v, lowest, highest);
}

QColor ImageOverlaySP::readColor(const QVariantMap& settings, BaseSettings::SubSettings key, const QColor& fallback)
{
    const QColor c = read(settings, key).value<QColor>();
    return c.isValid() ? c : fallback;
}

bool ImageOverlaySP::isOverlayValid(const QVariantMap& settings)
{
    return readBool(settings, BaseSettings::Enabled)
        && !read(settings, BaseSettings::ImageData).toByteArray().isEmpty();
}

ImageOverlaySP::Placement ImageOverlaySP::placement(int w, int h, int pw, int ph, const QVariantMap& settings)
{
    // Margins are fractions of the free space; beyond [0, 1] they would only
    // push the picture out of the frame (and overflow for absurd values).
    double mx = readDouble(settings, BaseSettings::MarginX, 0.0, 0.0, 1.0);
    double my = readDouble(settings, BaseSettings::MarginY, 0.0, 0.0, 1.0);
    if (readBool(settings, BaseSettings::FlipHorizontal))
        mx = 1.0 - mx;
    if (mx < 0.01)
        mx = 0.0;
    if (my < 0.01)
        my = 0.0;
    Placement p;
    p.x = int((w - pw) * mx);
    p.y = int((h - ph) * my);
    const int hAlign = readInt(settings, BaseSettings::HAlign, 1);
    const int vAlign = readInt(settings, BaseSettings::VAlign, 32);
    if (hAlign == Qt::AlignHCenter)
        p.x = int(w * 0.5 - pw / 2);
    else if (hAlign == Qt::AlignRight)
        p.x = w - pw - p.x;
    if (vAlign == Qt::AlignVCenter)
        p.y = int(h * 0.5 - ph / 2);
    else if (vAlign == Qt::AlignBottom)
        p.y = h - ph - p.y;
    p.dx = p.x;
    p.dy = p.y;
    return p;
}

QImage ImageOverlaySP::dropShadow(const QImage& picture, qreal radius, const QColor& color)
{
    if (picture.isNull())
        return {};
    const int e = std::max(0, int(radius));
    const int ow = picture.width() + 2 * e;
    const int oh = picture.height() + 2 * e;
    QImage out(ow, oh, QImage::Format_ARGB32);
    if (out.isNull())
        return {};
    out.fill(Qt::transparent);

    QGraphicsScene scene;
    QGraphicsPixmapItem* item = scene.addPixmap(QPixmap::fromImage(picture));
    auto* effect = new QGraphicsDropShadowEffect;
    effect->setBlurRadius(radius);
    effect->setOffset(0, 0);
    effect->setColor(color);
    item->setGraphicsEffect(effect); // the item owns the effect
    QPainter painter(&out);
    scene.render(&painter, QRectF(0, 0, ow, oh), QRectF(-e, -e, ow, oh), Qt::KeepAspectRatio);
    return out;
}

QImage ImageOverlaySP::withOpacity(const QImage& picture, double opacity)
{
    if (picture.isNull())
        return {};
    QImage out(picture.size(), QImage::Format_ARGB32);
    if (out.isNull())
        return {};
    out.fill(Qt::transparent);
    QPainter painter(&out);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(opacity);
    painter.drawImage(0, 0, picture);
    return out;
}

QImage ImageOverlaySP::buildOverlayImage(int w, int h, const QVariantMap& settings)
{
    QByteArray data = read(settings, BaseSettings::ImageData).toByteArray();
    if (data.isEmpty() || w <= 0 || h <= 0)
        return {};
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    QImage picture = reader.read();
    if (picture.isNull())
        return {};
    picture = picture.convertToFormat(QImage::Format_ARGB32);

    // A size factor of 1 already fills the frame; more would only build a
    // picture larger than the frame (without bound for a damaged value).
    const double size = readDouble(settings, BaseSettings::Size, 0.4, 0.01, 1.0);
    const float k = std::min(float(h) / float(picture.height()), float(w) / float(picture.width())) * float(size);
    const int sw = int(float(picture.width()) * k);
    const int sh = int(float(picture.height()) * k);
    if (sw <= 0 || sh <= 0)
        return {};
    picture = picture.scaled(sw, sh, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    picture = picture.mirrored(readBool(settings, BaseSettings::FlipHorizontal),
                               readBool(settings, BaseSettings::FlipVertical));
    const qreal radius = std::min(picture.width(), picture.height()) * 0.2;
    picture = dropShadow(picture, radius, readColor(settings, BaseSettings::LogoShadowColor, Qt::black));
    return withOpacity(picture, readDouble(settings, BaseSettings::Opacity, 1.0, 0.0, 1.0));
}

BitmapPtr ImageOverlaySP::processImage(BitmapPtr input, float& width, float& height, const QVariantMap& settings)
{
    if (!input)
        return {};
    if (!shouldRun())
        return currentOutput();
    auto& o = static_cast<ImageOverlaySPOpaque&>(*_opaque);
    const int w = int(width);
    const int h = int(height);
    const bool valid = isOverlayValid(settings) && input->type() == CV_8UC4 && input->cols == w && input->rows == h;
    if (valid) {
        const qint64 stamp = read(settings, BaseSettings::LastModified).toLongLong();
        if (!o.overlayBitmap || o.overlayFrameSize != QSize(w, h) || o.overlayStamp < stamp) {
            o.overlayStamp = stamp;
            QImage picture = buildOverlayImage(w, h, settings);
            if (!picture.isNull()) {
                picture = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
                qDebug() << "recreating logo overlay image";
                const Placement p = placement(w, h, picture.width(), picture.height(), settings);
                BitmapPtr bmp = bitmap::create(w, h, bitmap::transparent());
                if (!bmp || picture.isNull()) {
                    qDebug() << "unable to generate a new sample buffer";
                    setOutput(input);
                    return currentOutput();
                }
                o.overlayImage = picture;
                const cv::Rect placed(p.dx, p.dy, picture.width(), picture.height());
                const cv::Rect visible = placed & cv::Rect(0, 0, w, h);
                for (int y = visible.y; y < visible.y + visible.height; ++y) {
                    const uchar* src = picture.constScanLine(y - p.dy) + size_t(visible.x - p.dx) * 4;
                    std::memcpy(bmp->ptr(y) + size_t(visible.x) * 4, src, size_t(visible.width) * 4);
                }
                o.overlayBitmap = bmp;
                o.overlayRect = visible;
                o.overlayFrameSize = QSize(w, h);
            }
        }
    }
    QMutexLocker locker(&_mutex);
    if (o.overlayBitmap && valid)
        bitmap::drawOver(*input, *o.overlayBitmap, o.overlayRect);
    setOutput(input);
    input.reset();
    return currentOutput();
}

QImage ImageOverlaySP::overlayImage() const
{
    return static_cast<const ImageOverlaySPOpaque&>(*_opaque).overlayImage;
}

qint64 ImageOverlaySP::overlayStamp() const
{
    return static_cast<const ImageOverlaySPOpaque&>(*_opaque).overlayStamp;
}
