#include "Worker.h"

#include "Signaler.h"

#include <QDebug>
#include <QMutexLocker>
#include <QSemaphore>

Worker::Worker() = default;

std::shared_ptr<Worker> Worker::create(QObject* target, bool moveSelf)
{
    std::shared_ptr<Worker> worker(new Worker, [](Worker* w) { delete w; });
    if (moveSelf)
        worker->moveToThread(worker.get());
    worker->_target = target;
    if (target)
        target->moveToThread(worker.get());
    worker->start(QThread::InheritPriority);
    for (;;) {
        {
            QMutexLocker locker(&worker->_lock);
            if (worker->_signaler)
                break;
        }
        QThread::msleep(5);
    }
    worker->runFunctionSync([](QObject*) {});
    return worker;
}

Worker::~Worker()
{
    stop();
}

void Worker::stop()
{
    _interrupted = true;
    requestInterruption();
    quit();
    wait();
}

void Worker::setLimit(int n)
{
    QMutexLocker locker(&_lock);
    _limit = n;
}

void Worker::run()
{
    Signaler signaler;
    // Always queued: a function that posts to its own worker runs after the
    // current one, never nested inside it.
    connect(&signaler, &Signaler::signal, this, &Worker::update, Qt::QueuedConnection);
    {
        QMutexLocker locker(&_lock);
        _signaler = &signaler;
    }
    exec();
    QMutexLocker locker(&_lock);
    _signaler = nullptr;
    // Jobs queued after the last drain would otherwise never run and their
    // synchronous callers would wait forever.
    discardQueue();
}

bool Worker::runFunctionAsync(Function fn)
{
    if (interrupted())
        return false;
    QMutexLocker locker(&_lock);
    if (_limit >= 1 && _pending >= _limit)
        return false;
    if (!_signaler) {
        qWarning() << "dropping function due to invalid signaler!";
        return true;
    }
    ++_pending;
    _queue.append(Job {std::move(fn), nullptr});
    emit _signaler->signal();
    return true;
}

void Worker::runFunctionSync(Function fn)
{
    if (interrupted())
        return;
    if (QThread::currentThread() == this) {
        // Waiting here for a drain that can only run on this very thread would
        // never return; a function posted from inside the worker runs at once.
        fn(_target);
        return;
    }
    QSemaphore done(0);
    {
        QMutexLocker locker(&_lock);
        if (!_signaler) {
            qWarning() << "dropping function due to invalid signaler!";
            return;
        }
        _queue.append(Job {std::move(fn), &done});
        emit _signaler->signal();
    }
    done.acquire(1);
}

void Worker::update()
{
    while (!interrupted()) {
        Job job;
        {
            QMutexLocker locker(&_lock);
            if (_queue.isEmpty())
                return;
            job = _queue.takeFirst();
        }
        job.fn(_target);
        job.fn = nullptr;
        if (job.done) {
            job.done->release(1);
        } else {
            QMutexLocker locker(&_lock);
            --_pending;
        }
    }
    QMutexLocker locker(&_lock);
    discardQueue();
}

void Worker::discardQueue()
{
    QMutexLocker locker(&_lock);
    while (!_queue.isEmpty()) {
        Job job = _queue.takeFirst();
        job.fn = nullptr;
        if (job.done)
            job.done->release(1);
    }
    _pending = 0;
}
