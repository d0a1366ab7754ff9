#include "RenderFrame.h"

#include "App.h"

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

void RenderFrame::onNewFrame(QImage image, bool ignoreMirroring)
{
    {
        QMutexLocker lock(&_mutex);
        _image = std::move(image);
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
    bool ignoreMirroring = false;
    {
        QMutexLocker lock(&_mutex);
        image = _image;
        ignoreMirroring = _ignoreMirroring;
    }
    if (image.isNull())
        return;
    const QRect target = placement(image.size(), clipPath().boundingRect().toRect(), size());
    App* app = qobject_cast<App*>(QCoreApplication::instance());
    if (!ignoreMirroring && app
        && app->settings()->getSetting(BaseSettings::General, BaseSettings::FlipHorizontal).toBool()) {
        painter.scale(-1, 1);
        painter.translate(-width(), 0);
    }
    painter.drawImage(target, image);
}
