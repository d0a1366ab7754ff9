#include "TextOverlaySP.h"

#include <QDebug>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace {

// Line picture scaled to the frame by its size factor, then mirrored.
QImage fitLine(const QImage& line, int w, int h, double size, bool flipH, bool flipV)
{
    if (line.isNull())
        return {};
    const float k = std::min(float(h) / float(line.height()), float(w) / float(line.width())) * float(size);
    // At least one pixel each way: a line too long to show still keeps the
    // block (and the other line) alive.
    const int lw = std::max(1, int(float(line.width()) * k));
    const int lh = std::max(1, int(float(line.height()) * k));
    return line.scaled(lw, lh, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).mirrored(flipH, flipV);
}

} // namespace

TextOverlaySP::TextOverlaySP() = default;

TextOverlaySP::~TextOverlaySP()
{
    stopWorker();
}

bool TextOverlaySP::isOverlayValid(const QVariantMap& settings)
{
    return readBool(settings, BaseSettings::Enabled)
        && (!read(settings, BaseSettings::TextLine1).toString().isEmpty()
            || !read(settings, BaseSettings::TextLine2).toString().isEmpty());
}

int TextOverlaySP::textPixelSize(int width, int height, int length, double size)
{
    int p = int(width * 2.0 * std::min(size * 1.5, 1.0) / (std::max(length, 0) + 1));
    p = std::min(p, int(height / 3));
    p = std::max(p, int(height / 30));
    return p;
}

QFont TextOverlaySP::lineFont(const QString& family, int size, bool bold)
{
    QFont font;
    // "Arial" is matched by its metric twin Liberation Sans on Linux; the list
    // keeps text readable when neither the family nor its alias is installed.
    font.setFamilies({family, QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    font.setPointSize(std::max(1, size));
    font.setWeight(bold ? QFont::Black : QFont::Normal);
    font.setItalic(false);
    return font;
}

QImage TextOverlaySP::renderTextLine(const QString& family, int width, int height, const QString& text, double size,
                                     bool bold, const QColor& shadow, const QColor& fill)
{
    const QString line = text.left(kMaxLineLength);
    const int p = textPixelSize(width, height, int(line.size()), size);
    QPainterPath path;
    path.addText(0, 0, lineFont(family, p, bold), line);
    const QRectF bounds = path.boundingRect();
    QSize imageSize(int(bounds.width()), int(bounds.height()));
    if (imageSize.isEmpty())
        imageSize = QSize(8, 8);
    QImage image(imageSize, QImage::Format_ARGB32);
    if (image.isNull())
        return {};
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::TextAntialiasing);
        painter.translate(-int(bounds.left()), -int(bounds.top()));
        painter.fillPath(path, QBrush(fill));
    }
    qDebug() << image.height() << "vs" << bounds;
    return dropShadow(image, image.height() * 0.3, shadow);
}

QImage TextOverlaySP::buildOverlayImage(int w, int h, const QVariantMap& settings)
{
    if (w <= 0 || h <= 0)
        return {};
    const QColor shadow = readColor(settings, BaseSettings::TextShadowColor, Qt::black);
    const QColor fill = readColor(settings, BaseSettings::TextFillColor, Qt::white);
    const QString text1 = read(settings, BaseSettings::TextLine1).toString();
    const QString text2 = read(settings, BaseSettings::TextLine2).toString();
    // Size factors above 1 would only make a line larger than the frame.
    const double size1 = readDouble(settings, BaseSettings::Line1Size, 0.4, 0.01, 1.0);
    const double size2 = readDouble(settings, BaseSettings::Line2Size, 0.2, 0.01, 1.0);
    QString family = read(settings, BaseSettings::TextFontFamily).toString();
    if (family.isEmpty())
        family = QStringLiteral("Arial");
    const bool bold = readBool(settings, BaseSettings::TextBold);
    const bool flipH = readBool(settings, BaseSettings::FlipHorizontal);
    const bool flipV = readBool(settings, BaseSettings::FlipVertical);

    const QImage line1 =
        fitLine(renderTextLine(family, w, h, text1, size1, bold, shadow, fill), w, h, size1, flipH, flipV);
    const QImage line2 =
        fitLine(renderTextLine(family, w, h, text2, size2, bold, shadow, fill), w, h, size2, flipH, flipV);
    if (line1.isNull() || line2.isNull())
        return {};

    const int gap = int(std::max(line1.height(), line2.height()) * 0.025);
    const int blockWidth = std::max(line1.width(), line2.width());
    QImage block(blockWidth, gap + line1.height() + line2.height(), QImage::Format_ARGB32);
    if (block.isNull())
        return {};
    block.fill(Qt::transparent);

    int align = readInt(settings, BaseSettings::TextHAlign, Qt::AlignHCenter);
    if (flipH && align == Qt::AlignLeft)
        align = Qt::AlignRight;
    else if (flipH && align == Qt::AlignRight)
        align = Qt::AlignLeft;
    auto xFor = [&](int lineWidth) -> int {
        if (align == Qt::AlignLeft)
            return 0;
        if (align == Qt::AlignRight)
            return blockWidth - lineWidth;
        return blockWidth / 2 - lineWidth / 2;
    };
    if (align == Qt::AlignLeft || align == Qt::AlignRight || align == Qt::AlignHCenter) {
        QPainter painter(&block);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setOpacity(readDouble(settings, BaseSettings::Opacity, 1.0, 0.0, 1.0));
        painter.drawImage(xFor(line1.width()), 0, line1);
        painter.drawImage(xFor(line2.width()), line1.height() + gap, line2);
    }
    return block;
}
