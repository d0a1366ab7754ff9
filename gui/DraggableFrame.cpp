#include "DraggableFrame.h"

#include <QCursor>
#include <QDebug>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QMimeData>
#include <QMouseEvent>
#include <QPointer>

DraggableFrame::DraggableFrame(QWidget* parent)
    : ShadowedFrame(parent, true)
{
    setAcceptDrops(true);
    setObjectName(QStringLiteral("DraggableFrame"));
    setStyleSheet(QStringLiteral("DraggableFrame { margin: 12px 15px 12px 15px; background: transparent; }"));
}

DraggableFrame::~DraggableFrame()
{
    qDebug() << "DraggableFrame DCTOR!";
}

void DraggableFrame::setDragHandle(QWidget* handle)
{
    handle->installEventFilter(this);
}

bool DraggableFrame::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonPress && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        startDraggingOperation();
        return true;
    }
    return ShadowedFrame::eventFilter(watched, event);
}

void DraggableFrame::startDraggingOperation()
{
    update();
    const QPixmap picture = grab();
    delete _drag;
    _drag = new QDrag(this);
    _drag->setMimeData(new QMimeData);
    _drag->setPixmap(picture);
    const QPixmap cursor = _drag->dragCursor(Qt::MoveAction);
    _drag->setHotSpot(mapFromGlobal(QCursor::pos()) - QPoint(cursor.width() / 2, cursor.height() / 2));
    auto* faded = new QGraphicsOpacityEffect(this);
    faded->setOpacity(0.4);
    setGraphicsEffect(faded);
    // The drag runs a nested event loop in which this row may be deleted (the
    // window rebuilt); only a row that still exists takes its effect off.
    const QPointer<DraggableFrame> self(this);
    _drag->exec(Qt::MoveAction, Qt::MoveAction);
    if (self)
        setGraphicsEffect(nullptr);
}

void DraggableFrame::dragEnterEvent(QDragEnterEvent* event)
{
    qDebug() << "DraggableFrame::drag" << event;
    auto* source = qobject_cast<DraggableFrame*>(event->source());
    if (!source)
        return;
    event->acceptProposedAction();
    if (source != this)
        emit onFrameDropped(source, this);
}

void DraggableFrame::dropEvent(QDropEvent* event)
{
    qDebug() << "DraggableFrame::dropEvent" << event;
    if (qobject_cast<DraggableFrame*>(event->source()))
        event->acceptProposedAction();
}
