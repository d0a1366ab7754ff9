// The frame channel and the instance counter between real processes: a writer
// and readers, a writer killed mid-stream and replaced, many processes counting
// at once, a mutex holder that dies, and objects leaving /dev/shm with their
// last holder.
#include "FrameChannel.h"
#include "InstanceCounter.h"
#include "platform/SharedMemory.h"
#include "SectionNames.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

// One peer process; killed (SIGKILL) if still running when dropped.
class Peer
{
public:
    explicit Peer(const QStringList& args)
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(QStringLiteral(CHANNEL_PEER), args);
    }
    ~Peer()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    // Waits (at most timeoutMs) for a line of output equal to `line`.
    bool waitForLine(const QByteArray& line, int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            while (process.canReadLine()) {
                const QByteArray got = process.readLine().trimmed();
                seen.append(got);
                if (got == line)
                    return true;
            }
            if (process.state() == QProcess::NotRunning && !process.canReadLine())
                return false;
            process.waitForReadyRead(int(qMax<qint64>(1, qMin<qint64>(100, deadline.remainingTime()))));
        }
        return false;
    }
    int finish(int timeoutMs = 30000)
    {
        if (!process.waitForFinished(timeoutMs))
            return -1;
        seen.append(process.readAllStandardOutput().trimmed().split('\n'));
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    }
    QProcess process;
    QByteArrayList seen;
};

QStringList args(std::initializer_list<QString> list)
{
    return QStringList(list);
}
QString q(const std::string& s)
{
    return QString::fromStdString(s);
}

} // namespace

class TestChannelProcesses : public QObject
{
    Q_OBJECT

    std::string chan = uniqueName("Chan");
    std::string sect = uniqueName("Count");
    std::string mux = uniqueName("Mux");

    // What /dev/shm holds of the channel, the counter and the mutex, as
    // "c", "c.guard", "s", "m", ... (sorted).
    QStringList leftInShm() const
    {
        QStringList found;
        for (const auto& [name, tag] : {std::pair(chan, "c"), std::pair(sect, "s"), std::pair(mux, "m")}) {
            const QString base = q(SharedMemory::platformName(name).substr(1));
            for (const QString& file : QDir(QStringLiteral("/dev/shm")).entryList({base, base + ".*"}, QDir::Files))
                found << QLatin1String(tag) + file.mid(base.size());
        }
        found.sort();
        return found;
    }

private slots:
    void cleanup()
    {
        unlinkAll(chan);
        unlinkAll(sect);
        unlinkAll(mux);
    }

    void writerAndReaders()
    {
        Peer writer(args({"writer", q(chan), "160", "90", "300", "3", "0"}));
        QVERIFY(writer.waitForLine("ready"));
        std::vector<std::unique_ptr<Peer>> readers;
        for (int i = 0; i < 3; ++i)
            readers.push_back(std::make_unique<Peer>(args({"reader", q(chan), "50", "0", "20000"})));
        for (auto& r : readers) {
            QCOMPARE(r->finish(), 0);
            QVERIFY2(r->seen.last().endsWith("bad 0"), r->seen.last());
        }
        // A second writer is refused while the first one lives.
        Peer second(args({"writer", q(chan), "160", "90", "1", "1", "0"}));
        QCOMPARE(second.finish(), 1);
        QVERIFY(second.seen.contains("create failed"));
        QCOMPARE(writer.finish(), 0);
        QVERIFY(writer.seen.contains("closed"));
    }

    void killedWriterIsReplaced()
    {
        auto writer = std::make_unique<Peer>(args({"writer", q(chan), "320", "180", "-1", "3", "0"}));
        QVERIFY(writer->waitForLine("ready"));
        // Readers need frames from the first writer, a reopening, then frames
        // from the second.
        std::vector<std::unique_ptr<Peer>> readers;
        for (int i = 0; i < 2; ++i)
            readers.push_back(std::make_unique<Peer>(args({"reader", q(chan), "20", "1", "30000"})));
        for (auto& r : readers)
            QVERIFY(r->waitForLine("streaming"));
        writer->process.kill(); // SIGKILL, mid-stream
        QVERIFY(writer->process.waitForFinished(5000));
        writer.reset();

        // The dead writer's section is still mapped by both readers; the next
        // writer must not wait for them.
        Peer next(args({"writer", q(chan), "320", "180", "-1", "3", "2000"}));
        QVERIFY(next.waitForLine("ready", 3000));
        for (auto& r : readers) {
            QCOMPARE(r->finish(), 0);
            QVERIFY2(r->seen.last().endsWith("bad 0"), r->seen.last());
        }
    }

    void counterUnderContention()
    {
        InstanceCounter mine(sect, mux); // keeps the section alive throughout
        QVERIFY(mine.createOrOpenSharedMemory());
        constexpr int kPeers = 6, kEach = 400;
        for (const char* direction : {"inc", "dec"}) {
            std::vector<std::unique_ptr<Peer>> peers;
            for (int i = 0; i < kPeers; ++i)
                peers.push_back(std::make_unique<Peer>(
                    args({"count", q(sect), q(mux), QString::fromLatin1(direction), QString::number(kEach)})));
            for (auto& p : peers)
                QCOMPARE(p->finish(), 0);
            int32_t value = -1;
            QVERIFY(mine.readValue(value));
            QCOMPARE(value, direction[0] == 'i' ? kPeers * kEach : 0);
        }
        // Each step is logged with the value it produced.
        Peer one(args({"count", q(sect), q(mux), "inc", "1"}));
        QCOMPARE(one.finish(), 0);
        QVERIFY(one.seen.contains("Incremented: 1"));
    }

    // A client whose standard output nobody reads ends up blocked in its log
    // line; it must not hold the counter's mutex while it is, or every other
    // client and the application's check would wait on it.
    void blockedOutputDoesNotHoldTheCounter()
    {
        InstanceCounter mine(sect, mux);
        QVERIFY(mine.createOrOpenSharedMemory());
        const QByteArray fifo = QFile::encodeName(QDir::temp().absoluteFilePath(QStringLiteral("unread-output")));
        QVERIFY(mkfifo(fifo.constData(), 0600) == 0);
        const int unread = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK); // opened, never read
        QVERIFY(unread >= 0);
        QProcess stuck;
        stuck.setStandardOutputFile(QFile::decodeName(fifo));
        stuck.start(QStringLiteral(CHANNEL_PEER), args({"count", q(sect), q(mux), "inc", "1000000"}));
        // Once the pipe is full the count stops rising.
        int32_t before = -1, after = -2;
        for (int i = 0; i < 100 && before != after; ++i) {
            QVERIFY(mine.readValue(before));
            QTest::qSleep(100);
            QVERIFY(mine.readValue(after));
        }
        QCOMPARE(before, after);
        QVERIFY(after > 0);
        Peer reader(args({"timed", "read", q(sect), q(mux)}));
        QCOMPARE(reader.finish(5000), 0);
        QVERIFY2(reader.seen.contains("value " + QByteArray::number(after)), reader.seen.join(' '));
        stuck.kill();
        stuck.waitForFinished(5000);
        ::close(unread);
        QFile::remove(QFile::decodeName(fifo));
    }

    void mutexHolderDies()
    {
        InstanceCounter mine(sect, mux);
        QVERIFY(mine.createOrOpenSharedMemory());
        QVERIFY(mine.increment());
        Peer holder(args({"hold", q(mux)}));
        QVERIFY(holder.waitForLine("locked"));
        Peer blocked(args({"read", q(sect), q(mux)}));
        QVERIFY(!blocked.process.waitForFinished(300)); // waits for the holder
        holder.process.kill();
        QVERIFY(holder.process.waitForFinished(5000));
        QCOMPARE(blocked.finish(5000), 0);
        QVERIFY(blocked.seen.contains("value 1"));
    }

    void objectsGoWithTheirLastHolder()
    {
        const QStringList all {"c", "c.guard", "c.writer", "m", "s", "s.guard"};
        const QStringList afterWriter {"c", "c.guard", "m", "s", "s.guard"};
        const std::vector<uint32_t> sevens(64 * 64, 7);
        // Each process alone: whatever it made goes when it ends.
        for (const QStringList& command :
             {args({"writer", q(chan), "64", "64", "3", "1", "0"}), args({"count", q(sect), q(mux), "inc", "2"}),
              args({"open", q(chan)}), args({"read", q(sect), q(mux)})}) {
            Peer alone(command);
            QCOMPARE(alone.finish(), 0);
            QCOMPARE(leftInShm(), QStringList());
        }
        // A reader in another process outlives the writer and the counter here:
        // only the writer marker goes with the writer, and the reader still
        // reads the frame; its end takes the rest.
        for (int round = 0; round < 3; ++round) {
            auto* writer = FrameChannel::detail::createWriter(chan, 64, 64, 330000);
            QVERIFY2(writer, "a writer right after the removal");
            FrameChannel::writeFrame(writer, sevens.data(), uint32_t(sevens.size() * 4), 0);
            auto counter = std::make_unique<InstanceCounter>(sect, mux);
            QVERIFY(counter->createOrOpenSharedMemory());
            Peer reader(args({"view", q(chan), q(sect), q(mux)}));
            QVERIFY(reader.waitForLine("holding"));
            QCOMPARE(leftInShm(), all);
            FrameChannel::close(writer);
            counter.reset();
            QCOMPARE(leftInShm(), afterWriter);
            reader.process.closeWriteChannel();
            QCOMPARE(reader.finish(), 0);
            QVERIFY2(reader.seen.contains("state 3 word 7"), reader.seen.join(' '));
            QCOMPARE(leftInShm(), QStringList());
        }
        // A counter two processes hold goes with the second: the first one's
        // end leaves its count in place.
        {
            InstanceCounter mine(sect, mux);
            QVERIFY(mine.createOrOpenSharedMemory());
            Peer other(args({"count", q(sect), q(mux), "inc", "5"}));
            QCOMPARE(other.finish(), 0);
            QCOMPARE(leftInShm(), QStringList({"m", "s", "s.guard"}));
            int32_t value = 0;
            QVERIFY(mine.readValue(value));
            QCOMPARE(value, 5);
        }
        QCOMPARE(leftInShm(), QStringList());

        // Counters and mutexes opened and closed from several threads at once
        // (each object its own open file, as in separate processes), so that
        // they are removed and made anew all the time: every holder must meet
        // the same section and the same mutex, and the count under the mutex
        // always equals the number of holders counted in.
        std::atomic<int> holders {0}, broken {0};
        auto churn = [&] {
            for (int i = 0; i < 300; ++i) {
                bool created = false;
                SharedMemory::Section::Step step;
                unsigned long error = 0;
                SharedMemory::Section section = SharedMemory::Section::openOrCreate(sect, 4, created, step, error);
                SharedMemory::NamedMutex mutex;
                if (!section.isValid() || !mutex.openOrCreate(mux, error)) {
                    ++broken;
                    continue;
                }
                auto* count = static_cast<int32_t*>(section.data());
                for (const int delta : {1, -1}) {
                    if (!mutex.lock()) {
                        ++broken;
                        break;
                    }
                    // Loads and stores apart, not one read-modify-write: a
                    // second holder inside the mutex would lose an update.
                    const int32_t seen = __atomic_load_n(count, __ATOMIC_SEQ_CST);
                    const int expected = holders.load();
                    broken += seen != expected;
                    __atomic_store_n(count, seen + delta, __ATOMIC_SEQ_CST);
                    holders.store(expected + delta);
                    mutex.unlock();
                    std::this_thread::yield();
                }
            }
        };
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i)
            threads.emplace_back(churn);
        for (auto& thread : threads)
            thread.join();
        QCOMPARE(broken.load(), 0);
        QCOMPARE(leftInShm(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestChannelProcesses)
#include "tst_ChannelProcesses.moc"
