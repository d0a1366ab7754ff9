#pragma once

#include "ImageOverlaySP.h"

#include <QFont>

// Stamps two lines of text on the frame. Each line is rendered as a filled glyph
// path with a soft shadow, scaled to the frame, mirrored as asked, and the two
// are stacked into one block aligned by TextHAlign; placement, caching and
// compositing are those of the logo overlay.
class TextOverlaySP : public ImageOverlaySP
{
    Q_OBJECT
public:
    // Longer lines are cut to this many characters: beyond it the glyphs are
    // far too small to read and the line picture grows without bound.
    static constexpr int kMaxLineLength = 512;

    TextOverlaySP();
    ~TextOverlaySP() override;

    QImage buildOverlayImage(int width, int height, const QVariantMap& settings) override;
    bool isOverlayValid(const QVariantMap& settings) override;
    virtual QImage renderTextLine(const QString& family, int width, int height, const QString& text, double size,
                                  bool bold, const QColor& shadow, const QColor& fill);

    // Font size for a line of `length` characters.
    static int textPixelSize(int width, int height, int length, double size);
    // The font for a family, falling back to metric-compatible and common
    // families when it is not installed.
    static QFont lineFont(const QString& family, int size, bool bold);
};
