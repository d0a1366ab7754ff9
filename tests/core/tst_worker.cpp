#include "Worker.h"

#include <QAtomicInt>
#include <QMutex>
#include <QSemaphore>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

class WorkerTest : public QObject
{
    Q_OBJECT

private slots:
    void createReturnsWithTheLoopRunningAndTargetMoved()
    {
        auto target = std::make_unique<QObject>();
        auto worker = Worker::create(target.get(), true);
        QVERIFY(worker->isRunning());
        QCOMPARE(target->thread(), worker.get());
        QCOMPARE(worker->thread(), worker.get());
        QThread* ranOn = nullptr;
        QObject* got = nullptr;
        worker->runFunctionSync([&](QObject* t) {
            ranOn = QThread::currentThread();
            got = t;
        });
        QCOMPARE(ranOn, worker.get());
        QCOMPARE(got, target.get());
        worker.reset();
    }

    void pendingLimitRefusesExcessAsyncWork()
    {
        auto worker = Worker::create(nullptr, true);
        worker->setLimit(2);
        QSemaphore gate(0);
        QSemaphore started(0);
        std::atomic<int> ran {0};
        QVERIFY(worker->runFunctionAsync([&](QObject*) {
            started.release();
            gate.acquire();
            ++ran;
        }));
        QVERIFY(started.tryAcquire(1, 5000)); // first job is running, still pending
        QVERIFY(worker->runFunctionAsync([&](QObject*) { ++ran; }));
        bool thirdRan = false;
        QVERIFY(!worker->runFunctionAsync([&](QObject*) { thirdRan = true; }));
        gate.release();
        worker->runFunctionSync([](QObject*) {});
        QCOMPARE(ran.load(), 2);
        QVERIFY(!thirdRan);
        // Once work has finished, new work is accepted again.
        QVERIFY(worker->runFunctionAsync([&](QObject*) { ++ran; }));
        worker->runFunctionSync([](QObject*) {});
        QCOMPARE(ran.load(), 3);
    }

    void syncWorkRunsAfterQueuedAsyncWorkInArrivalOrder()
    {
        auto worker = Worker::create(nullptr, true);
        QSemaphore gate(0);
        QList<int> order;
        worker->runFunctionAsync([&](QObject*) {
            gate.acquire();
            order << 1;
        });
        worker->runFunctionAsync([&](QObject*) { order << 2; });
        worker->runFunctionAsync([&](QObject*) { order << 3; });
        gate.release();
        worker->runFunctionSync([&](QObject*) { order << 4; });
        QCOMPARE(order, (QList<int> {1, 2, 3, 4}));
    }

    void syncExReturnsTheFunctionsResult()
    {
        auto worker = Worker::create(nullptr, true);
        const int r = worker->runFunctionSyncEx<int>([](QObject*) { return 42; });
        QCOMPARE(r, 42);
        const QString s = worker->runFunctionSyncEx<QString>([](QObject*) { return QStringLiteral("done"); });
        QCOMPARE(s, QStringLiteral("done"));
    }

    void stoppedWorkerRefusesWork()
    {
        auto worker = Worker::create(nullptr, true);
        worker->stop();
        QVERIFY(worker->isFinished());
        bool ran = false;
        QVERIFY(!worker->runFunctionAsync([&](QObject*) { ran = true; }));
        worker->runFunctionSync([&](QObject*) { ran = true; });
        QCOMPARE(worker->runFunctionSyncEx<int>([](QObject*) { return 7; }), 0);
        QVERIFY(!ran);
    }

    void interruptionReleasesWaitingSyncCallers()
    {
        auto worker = Worker::create(nullptr, true);
        QSemaphore started(0);
        QSemaphore gate(0);
        worker->runFunctionAsync([&](QObject*) {
            started.release();
            gate.acquire();
        });
        QVERIFY(started.tryAcquire(1, 5000));

        // Callers that queue behind the blocked job while the worker is stopped.
        std::atomic<int> result {-1};
        std::atomic<bool> syncRan {false};
        std::unique_ptr<QThread> caller(QThread::create([&] {
            result = worker->runFunctionSyncEx<int>([&](QObject*) {
                syncRan = true;
                return 5;
            });
        }));
        caller->start();
        QTest::qWait(50);
        std::unique_ptr<QThread> stopper(QThread::create([&] { worker->stop(); }));
        stopper->start();
        QTRY_VERIFY(worker->isInterruptionRequested());
        gate.release();
        QVERIFY(caller->wait(5000));
        QVERIFY(stopper->wait(5000));
        QVERIFY(!syncRan);
        QCOMPARE(result.load(), 0);
    }

    void syncCallerRacingWithStopNeverHangs()
    {
        // A synchronous call that slips in just as the event loop ends must
        // still return. Calls that find the loop gone say so; that is expected here.
        const QtMessageHandler previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        const auto restore = qScopeGuard([previous] { qInstallMessageHandler(previous); });
        for (int round = 0; round < 30; ++round) {
            auto worker = Worker::create(nullptr, true);
            QSemaphore calling(0);
            std::unique_ptr<QThread> caller(QThread::create([&] {
                for (int i = 0; i < 5000; ++i) {
                    worker->runFunctionSync([](QObject*) {});
                    if (i == 0)
                        calling.release();
                }
            }));
            caller->start();
            QVERIFY(calling.tryAcquire(1, 5000));
            worker->stop();
            QVERIFY2(caller->wait(5000), "a synchronous caller was left waiting");
        }
    }

    void workPostedFromInsideRunsLaterNotNested()
    {
        auto worker = Worker::create(nullptr, true);
        QList<QString> events;
        std::shared_ptr<Worker> self = worker;
        worker->runFunctionSync([&](QObject*) {
            events << "outer begin";
            self->runFunctionAsync([&](QObject*) { events << "inner"; });
            events << "outer end";
        });
        worker->runFunctionSync([](QObject*) {});
        QCOMPARE(events, (QStringList {"outer begin", "outer end", "inner"}));
    }

    void manyThreadsSubmitAndEveryJobRunsOnceInPerThreadOrder()
    {
        auto worker = Worker::create(nullptr, true);
        constexpr int kThreads = 4;
        constexpr int kJobs = 2000;
        QList<int> last(kThreads, -1);
        std::atomic<int> outOfOrder {0};
        std::atomic<int> total {0};
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back(QThread::create([&, t] {
                for (int i = 0; i < kJobs; ++i) {
                    auto job = [&, t, i](QObject*) {
                        if (last[t] != i - 1)
                            ++outOfOrder;
                        last[t] = i;
                        ++total;
                    };
                    if (i % 10 == 0)
                        worker->runFunctionSync(job);
                    else
                        QVERIFY(worker->runFunctionAsync(job));
                }
            }));
            threads.back()->start();
        }
        for (auto& t : threads)
            QVERIFY(t->wait(30000));
        worker->runFunctionSync([](QObject*) {});
        QCOMPARE(total.load(), kThreads * kJobs);
        QCOMPARE(outOfOrder.load(), 0);
    }

    void destroyingTheLastOwnerJoinsTheThread()
    {
        auto worker = Worker::create(nullptr, true);
        QPointer<QThread> watch(worker.get());
        std::atomic<bool> finished {false};
        QSemaphore started(0);
        worker->runFunctionAsync([&](QObject*) {
            started.release();
            QThread::msleep(50);
            finished = true;
        });
        QVERIFY(started.tryAcquire(1, 5000));
        worker.reset();
        // The running job completed before the thread was joined and freed.
        QVERIFY(finished);
        QVERIFY(watch.isNull());
    }
};

QTEST_GUILESS_MAIN(WorkerTest)
#include "tst_worker.moc"
