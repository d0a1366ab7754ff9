#pragma once

#include "ShadowedFrame.h"

class QDrag;

// A settings row the user drags to reorder: a press on its drag handle starts
// the drag, and rows change places while the dragged one passes over them.
class DraggableFrame : public ShadowedFrame
{
    Q_OBJECT
public:
    explicit DraggableFrame(QWidget* parent = nullptr);
    ~DraggableFrame() override;

    // A left press on `handle` starts dragging this frame.
    void setDragHandle(QWidget* handle);

signals:
    void onFrameDropped(DraggableFrame* original, DraggableFrame* target);
    void onValueHasExternallyChanged(int value, bool isAuto);

public slots:
    void startDraggingOperation();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QDrag* _drag = nullptr;
};
