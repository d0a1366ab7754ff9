// Renders the window's icons from the SVG icon set to square PNGs, in two
// colours: near-white for the dark colour scheme and dark grey (into light/) for
// the light one. The mapping file names each icon and how it is drawn:
//
//   <resource name>  outline|filled|boxed  <icon name>
//
// "outline" and "filled" render the set's outline or filled SVG of that icon;
// "boxed" is the checked look of an icon the set has no filled glyph for: the
// outline glyph, stroked heavier, cut out of a filled rounded square. The SVGs
// draw in currentColor, which is replaced with the wanted colour before rendering.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>
#include <QSvgRenderer>
#include <QTextStream>

#include <cstdio>

namespace {

constexpr int kSize = 64;
// The outline set's stroke is 2 of 24 units; a boxed glyph is drawn at 15 of the
// square's 24 units, so a stroke of 3 keeps its lines nearly as thick as those
// of the other icons.
constexpr const char* kBoxedStroke = "3";

struct Variant
{
    const char* subdir;
    const char* color;
};

// Dark colour scheme (the window may tint these further), then light scheme.
constexpr Variant kVariants[] = {{"", "#F2F2F2"}, {"light/", "#474749"}};

struct Entry
{
    QString name;
    QString rule;
    QString icon;
};

void fail(const QString& message)
{
    std::fprintf(stderr, "render_icons: %s\n", qPrintable(message));
}

bool readMapping(const QString& path, QList<Entry>& entries)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        fail(QStringLiteral("cannot read %1").arg(path));
        return false;
    }
    QTextStream in(&file);
    int lineNumber = 0;
    while (!in.atEnd()) {
        ++lineNumber;
        const QString line = in.readLine().section(QLatin1Char('#'), 0, 0).trimmed();
        if (line.isEmpty())
            continue;
        const QStringList fields = line.split(QRegularExpression(QStringLiteral("\\s+")));
        const bool knownRule = fields.size() == 3
                            && (fields[1] == QLatin1String("outline") || fields[1] == QLatin1String("filled")
                                || fields[1] == QLatin1String("boxed"));
        if (!knownRule) {
            fail(QStringLiteral("%1:%2: expected \"name outline|filled|boxed icon\"").arg(path).arg(lineNumber));
            return false;
        }
        entries.append({fields[0], fields[1], fields[2]});
    }
    return true;
}

// Renders SVG text into the given rectangle of the image.
bool renderSvg(const QByteArray& svg, QImage& image, const QRectF& bounds)
{
    QSvgRenderer renderer(svg);
    if (!renderer.isValid())
        return false;
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, bounds);
    return true;
}

bool drawIcon(const Entry& entry, const QString& iconDir, const char* color, QImage& image)
{
    const QString style = entry.rule == QLatin1String("filled") ? QStringLiteral("filled") : QStringLiteral("outline");
    QFile file(QStringLiteral("%1/%2/%3.svg").arg(iconDir, style, entry.icon));
    if (!file.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("%1: cannot read %2").arg(entry.name, file.fileName()));
        return false;
    }
    QByteArray svg = file.readAll();
    image = QImage(kSize, kSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);

    bool rendered = false;
    if (entry.rule != QLatin1String("boxed")) {
        svg.replace("currentColor", color);
        rendered = renderSvg(svg, image, QRectF(0, 0, kSize, kSize));
    } else {
        // The square fills the icon's 24-unit grid less one unit each side;
        // the glyph sits inside it with room for its heavier stroke.
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        const double unit = kSize / 24.0;
        QPainterPath square;
        square.addRoundedRect(QRectF(unit, unit, kSize - 2 * unit, kSize - 2 * unit), 4 * unit, 4 * unit);
        painter.fillPath(square, QColor(QLatin1String(color)));

        svg.replace("currentColor", "#000000");
        svg.replace("stroke-width=\"2\"", QByteArray("stroke-width=\"") + kBoxedStroke + '"');
        QImage glyph(kSize, kSize, QImage::Format_ARGB32_Premultiplied);
        glyph.fill(Qt::transparent);
        rendered = renderSvg(svg, glyph, QRectF(4.5 * unit, 4.5 * unit, 15 * unit, 15 * unit));
        painter.setCompositionMode(QPainter::CompositionMode_DestinationOut);
        painter.drawImage(0, 0, glyph);
    }
    if (!rendered)
        fail(QStringLiteral("%1: %2 is not an SVG Qt can render").arg(entry.name, file.fileName()));
    return rendered;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: render_icons MAPPING ICON_SET_DIR OUT_DIR\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString mapping = QString::fromLocal8Bit(argv[1]);
    const QString iconDir = QString::fromLocal8Bit(argv[2]);
    const QString outDir = QString::fromLocal8Bit(argv[3]);

    QList<Entry> entries;
    if (!readMapping(mapping, entries))
        return 1;
    for (const Variant& variant : kVariants) {
        if (!QDir().mkpath(outDir + QLatin1Char('/') + QLatin1String(variant.subdir))) {
            fail(QStringLiteral("cannot create %1").arg(outDir));
            return 1;
        }
    }
    for (const Entry& entry : entries) {
        for (const Variant& variant : kVariants) {
            QImage image;
            if (!drawIcon(entry, iconDir, variant.color, image))
                return 1;
            const QString out = QStringLiteral("%1/%2%3.png").arg(outDir, QLatin1String(variant.subdir), entry.name);
            if (!image.save(out, "PNG")) {
                fail(QStringLiteral("cannot write %1").arg(out));
                return 1;
            }
        }
    }
    return 0;
}
