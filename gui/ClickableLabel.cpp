#include "ClickableLabel.h"

#include <QMouseEvent>

namespace gui {

void ClickableLabel::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        emit pressed();
    QLabel::mousePressEvent(event);
}

void ClickableLabel::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        emit clicked();
        emit released();
    }
    QLabel::mouseReleaseEvent(event);
}

} // namespace gui
