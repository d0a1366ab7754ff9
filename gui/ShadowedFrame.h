#pragma once

#include <QColor>
#include <QFrame>
#include <QImage>
#include <QPainterPath>

// A rounded panel with a soft drop shadow. The shadow is rendered once per
// size into an image and reused on every paint. Subclasses paint their
// content, clipped to the rounded panel, in paintContent().
class ShadowedFrame : public QFrame
{
    Q_OBJECT
public:
    explicit ShadowedFrame(QWidget* parent = nullptr, bool translucent = false);
    ~ShadowedFrame() override;

    void setBackgroundColor(const QColor& c);
    void setFillColor(const QColor& c);
    void setFrameOpacity(float opacity);
    void setShadowAlpha(float alpha);
    void setColorFactor(float factor);
    void setContentOpacity(float opacity);
    void setPaintingEnabled(bool enabled);
    int margin() const { return _margin; }
    QPainterPath clipPath() const { return _clipPath; }
    // The panel inside the margins at the current size; empty, never negative,
    // for a frame smaller than its margins.
    QRect panelRect() const;
    const QImage& shadowImage() const { return _shadow; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    virtual void paintContent(QPainter& painter);

private:
    void renderShadow();

    QImage _shadow;
    QPainterPath _clipPath;
    int _margin = 8;
    int _radius = 8;
    float _blurFactor = 2.0f;
    float _frameOpacity = 1.0f;
    float _shadowAlpha = 0.25f;
    float _colorFactor = 1.0f;
    float _contentOpacity = 1.0f;
    QColor _background = Qt::transparent;
    QColor _fill = Qt::transparent;
    bool _paintingEnabled = true;
};
