#pragma once

#include <QLabel>

namespace gui {

// A label that acts as a button: a left press emits pressed(), the release
// clicked() and then released().
class ClickableLabel : public QLabel
{
    Q_OBJECT
public:
    using QLabel::QLabel;

signals:
    void clicked();
    void released();
    void pressed();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
};

} // namespace gui
