// Draws the application icon: a camera lens on a rounded tile, with a light
// beam and a sound arc for the light panel and the microphone. Writes a PNG and
// a multi-size ICO (PNG-compressed entries).
#include <QBuffer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cstdio>

namespace {

QImage drawIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);

    QPainterPath tile;
    tile.addRoundedRect(QRectF(8, 8, 240, 240), 56, 56);
    QLinearGradient bg(0, 8, 0, 248);
    bg.setColorAt(0, QColor("#1f6fe5"));
    bg.setColorAt(1, QColor("#0b2f73"));
    p.fillPath(tile, bg);

    // Sound arcs on the right.
    p.setPen(QPen(QColor(255, 255, 255, 150), 10, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(70, 70, 136, 136), -45 * 16, 90 * 16);
    p.setPen(QPen(QColor(255, 255, 255, 90), 10, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(48, 48, 180, 180), -40 * 16, 80 * 16);

    // Lens: outer ring, dark glass, highlight.
    const QPointF c(116, 128);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor("#f4f7fb"));
    p.drawEllipse(c, 62, 62);
    QRadialGradient glass(c + QPointF(-10, -12), 52);
    glass.setColorAt(0, QColor("#3a4a66"));
    glass.setColorAt(1, QColor("#0d1322"));
    p.setBrush(glass);
    p.drawEllipse(c, 46, 46);
    p.setBrush(QColor("#2b8cff"));
    p.drawEllipse(c, 20, 20);
    p.setBrush(QColor(255, 255, 255, 210));
    p.drawEllipse(c + QPointF(-18, -18), 9, 9);

    // Light beam dot at the top right.
    p.setBrush(QColor("#ffd54a"));
    p.drawEllipse(QPointF(202, 54), 14, 14);
    return image;
}

QByteArray png(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

void putLE(QByteArray& out, quint32 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.append(char((value >> (8 * i)) & 0xff));
}

QByteArray ico(const QList<int>& sizes)
{
    QList<QByteArray> images;
    for (int size : sizes)
        images.append(png(drawIcon(size)));
    QByteArray out;
    putLE(out, 0, 2);
    putLE(out, 1, 2);
    putLE(out, quint32(sizes.size()), 2);
    quint32 offset = 6 + 16 * quint32(sizes.size());
    for (int i = 0; i < sizes.size(); ++i) {
        const int dim = sizes[i] >= 256 ? 0 : sizes[i];
        putLE(out, quint32(dim), 1);
        putLE(out, quint32(dim), 1);
        putLE(out, 0, 1); // no palette
        putLE(out, 0, 1);
        putLE(out, 1, 2);  // planes
        putLE(out, 32, 2); // bits per pixel
        putLE(out, quint32(images[i].size()), 4);
        putLE(out, offset, 4);
        offset += quint32(images[i].size());
    }
    for (const QByteArray& image : images)
        out.append(image);
    return out;
}

bool writeFile(const char* path, const QByteArray& bytes)
{
    QFile file(QString::fromLocal8Bit(path));
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: draw_icon OUT.png OUT.ico\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (!writeFile(argv[1], png(drawIcon(256))) || !writeFile(argv[2], ico({16, 24, 32, 48, 64, 128, 256}))) {
        std::fprintf(stderr, "draw_icon: cannot write output\n");
        return 1;
    }
    return 0;
}
