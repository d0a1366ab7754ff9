#include "ShadowedFrame.h"

#include <QDebug>
#include <QGraphicsDropShadowEffect>
#include <QPainter>
#include <QResizeEvent>
#include <QVBoxLayout>

#include <algorithm>

ShadowedFrame::ShadowedFrame(QWidget* parent, bool translucent)
    : QFrame(parent)
{
    if (translucent) {
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAttribute(Qt::WA_NoSystemBackground);
        setAttribute(Qt::WA_StaticContents);
        setAutoFillBackground(false);
    }
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::NoFocus);
    setObjectName(QStringLiteral("ShadowedFrame"));
}

ShadowedFrame::~ShadowedFrame()
{
    qDebug() << "ShadowedFrame DCTOR!";
}

void ShadowedFrame::setBackgroundColor(const QColor& c)
{
    _background = c;
    _shadow = {};
    update();
}

void ShadowedFrame::setFillColor(const QColor& c)
{
    _fill = c;
    update();
}

void ShadowedFrame::setFrameOpacity(float opacity)
{
    _frameOpacity = opacity;
    update();
}

void ShadowedFrame::setShadowAlpha(float alpha)
{
    _shadowAlpha = alpha;
    _shadow = {};
    update();
}

void ShadowedFrame::setColorFactor(float factor)
{
    _colorFactor = factor;
    _shadow = {};
    update();
}

void ShadowedFrame::setContentOpacity(float opacity)
{
    _contentOpacity = opacity;
    update();
}

void ShadowedFrame::setPaintingEnabled(bool enabled)
{
    _paintingEnabled = enabled;
    update();
}

void ShadowedFrame::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    // Hidden widgets are sent resize events of an unchanged size (on every
    // grab, for one): only a new size needs a new shadow.
    if (_shadow.size() != event->size())
        renderShadow();
}

QRect ShadowedFrame::panelRect() const
{
    return QRect(_margin, _margin, std::max(0, width() - 2 * _margin), std::max(0, height() - 2 * _margin));
}

void ShadowedFrame::renderShadow()
{
    QColor background = _background;
    background.setRgbF(std::clamp(background.redF() * _colorFactor, 0.f, 1.f),
                       std::clamp(background.greenF() * _colorFactor, 0.f, 1.f),
                       std::clamp(background.blueF() * _colorFactor, 0.f, 1.f), background.alphaF());
    // A frame smaller than its margins has an empty panel, never a negative one.
    const QRect panel = panelRect();
    const QSize inner = panel.size();
    _clipPath = QPainterPath();
    _clipPath.addRoundedRect(QRectF(panel), _radius, _radius);
    if (width() <= 0 || height() <= 0) {
        _shadow = {};
        return;
    }

    _shadow = QImage(size(), QImage::Format_ARGB32);
    _shadow.fill(Qt::transparent);
    QFrame father;
    father.setObjectName(QStringLiteral("FATHER"));
    father.setFixedSize(size());
    father.setStyleSheet(QStringLiteral("#FATHER { background:%1;}").arg(background.name(QColor::HexArgb)));
    auto* layout = new QVBoxLayout(&father);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* son = new QFrame(&father);
    son->setObjectName(QStringLiteral("SON"));
    son->setFixedSize(inner);
    son->setStyleSheet(
        QStringLiteral("#SON { background: black; border: 1px solid transparent; border-radius: %1px;}").arg(_radius));
    auto* shadow = new QGraphicsDropShadowEffect(son);
    shadow->setBlurRadius(_margin * _blurFactor);
    shadow->setOffset(0);
    shadow->setColor(QColor(0, 0, 0, int(_shadowAlpha * 255)));
    son->setGraphicsEffect(shadow);
    layout->addWidget(son, 0, Qt::AlignCenter);
    father.ensurePolished();
    layout->activate();
    QPainter painter(&_shadow);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    father.render(&painter, QPoint(), QRegion(), QWidget::DrawWindowBackground | QWidget::DrawChildren);
}

void ShadowedFrame::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (_paintingEnabled) {
        if (_shadow.isNull() || _shadow.size() != size())
            renderShadow();
        painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
        painter.setClipping(false);
        painter.setOpacity(_frameOpacity);
        painter.drawImage(rect(), _shadow);
        painter.setOpacity(_contentOpacity);
        painter.setClipPath(_clipPath);
        if (_fill != Qt::transparent)
            painter.fillRect(rect(), _fill);
    }
    paintContent(painter);
    painter.end();
}

void ShadowedFrame::paintContent(QPainter&) {}
