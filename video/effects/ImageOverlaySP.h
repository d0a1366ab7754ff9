#pragma once

#include "SubProcessor.h"

#include <QColor>
#include <QImage>
#include <QRect>
#include <QVariantMap>

#include "BaseSettings.h"

// Stamps a user-supplied logo on the frame. The overlay picture (decoding,
// scaling, mirroring, opacity, soft drop shadow) is built with Qt's raster
// painting only when the frame size changes or the group's LastModified stamp
// grows; every frame then composites the cached, positioned picture onto the
// picture it receives, which becomes the output.
class ImageOverlaySP : public SubProcessor
{
    Q_OBJECT
public:
    // Where the picture goes: (x, y) as placed by alignment and margins, and the
    // translation (dx, dy) it is drawn with. Frames carry their rows top first
    // from the camera to every client, so y counts from the top and
    // (dx, dy) = (x, y): a logo set "top left" is in every client's top left.
    struct Placement
    {
        int x = 0;
        int y = 0;
        int dx = 0;
        int dy = 0;
    };

    ImageOverlaySP();
    ~ImageOverlaySP() override;

    using SubProcessor::processImage;
    virtual BitmapPtr processImage(BitmapPtr input, float& width, float& height, const QVariantMap& settings);
    virtual QImage buildOverlayImage(int width, int height, const QVariantMap& settings);
    virtual bool isOverlayValid(const QVariantMap& settings);

    static Placement placement(int width, int height, int pictureWidth, int pictureHeight, const QVariantMap& settings);
    // The picture grown by int(radius) on every side with a soft shadow of that
    // radius around it, rendered through an off-screen graphics scene.
    static QImage dropShadow(const QImage& picture, qreal radius, const QColor& color);

    // The last overlay picture built, as placed (premultiplied).
    QImage overlayImage() const;
    qint64 overlayStamp() const;

protected:
    // Typed reads of a group's sub-settings; out-of-range and non-finite numbers
    // fall back to the limits or the default.
    static QVariant read(const QVariantMap& settings, BaseSettings::SubSettings key);
    static bool readBool(const QVariantMap& settings, BaseSettings::SubSettings key);
    static int readInt(const QVariantMap& settings, BaseSettings::SubSettings key, int fallback);
    static double readDouble(const QVariantMap& settings, BaseSettings::SubSettings key, double fallback, double lowest,
                             double highest);
    static QColor readColor(const QVariantMap& settings, BaseSettings::SubSettings key, const QColor& fallback);
    // Paints `picture` into a transparent Format_ARGB32 image of its size with
    // the given opacity.
    static QImage withOpacity(const QImage& picture, double opacity);
};
