#pragma once

#include <QObject>

// Lives in a worker thread while its event loop runs; emitting signal() wakes
// the worker's queue.
class Signaler : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    void signal();
};
