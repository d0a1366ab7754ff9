#pragma once

#include <QList>
#include <QRecursiveMutex>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

class QSemaphore;
class Signaler;

// A thread with an event loop and a first-in first-out queue of functions. Each
// function receives the target object, which lives in the worker thread.
// Asynchronous submissions may be bounded (excess work is refused at submission);
// synchronous ones block the caller until the function has run or the worker is
// interrupted.
class Worker : public QThread
{
    Q_OBJECT
public:
    using Function = std::function<void(QObject*)>;

    static std::shared_ptr<Worker> create(QObject* target, bool moveSelf = true);
    ~Worker() override;

    bool runFunctionAsync(Function fn);
    void runFunctionSync(Function fn);

    template <typename R>
    R runFunctionSyncEx(std::function<R(QObject*)> fn)
    {
        R result {};
        runFunctionSync([&result, &fn](QObject* target) { result = fn(target); });
        return result;
    }

    void setLimit(int n);
    void stop();

    QObject* target() const { return _target; }

protected:
    void run() override;

private slots:
    void update();

private:
    struct Job
    {
        Function fn;
        QSemaphore* done = nullptr;
    };

    Worker();
    // QThread forgets an interruption request once the thread has finished;
    // this remembers it for good.
    bool interrupted() const { return _interrupted.load() || isInterruptionRequested(); }
    // Takes every queued job off the queue unrun, waking synchronous callers.
    void discardQueue();

    QObject* _target = nullptr;
    QRecursiveMutex _lock;
    Signaler* _signaler = nullptr;
    QList<Job> _queue;
    int _pending = 0;
    int _limit = -1;
    std::atomic<bool> _interrupted {false};
};
