#pragma once

#include "ShadowedFrame.h"

#include <QImage>
#include <QRecursiveMutex>

// The live preview: paints the latest frame, scaled to cover the rounded
// panel and centred, mirrored when the user asked for a mirrored preview.
class RenderFrame : public ShadowedFrame
{
    Q_OBJECT
public:
    explicit RenderFrame(QWidget* parent = nullptr);
    ~RenderFrame() override;

    // Where `image` lands in a widget of `widget` size whose panel is `clip`:
    // scaled by the larger of the two ratios (sides truncated), centred.
    static QRect placement(const QSize& image, const QRect& clip, const QSize& widget);

    // The last frame as drawn: scaled to its place in the panel.
    QImage lastImage();

public slots:
    void onNewFrame(QImage image, bool ignoreMirroring);

protected:
    void paintContent(QPainter& painter) override;

private:
    QRecursiveMutex _mutex;
    QImage _image;
    QRect _target;
    bool _ignoreMirroring = false;
};
