// Objects that somebody else put under the channel's and the counter's names
// in /dev/shm: by the same user, or by another user when the test runs as root
// (the planting process then drops to "nobody"). Each is refused, or survived,
// within a bound, and no process dies of a signal. The objects are planted by
// small Python programs so that nothing of ours helps the planter.
#include "SectionNames.h"

#include <QtTest>

#include <unistd.h>

namespace {

QString q(const std::string& s)
{
    return QString::fromStdString(s);
}
QString shmPath(const std::string& name)
{
    return q("/dev/shm" + SharedMemory::platformName(name));
}

// Python helpers every planting script starts with. make() creates a regular
// file of `size` bytes with exactly `mode`; hold() keeps the given files
// locked until the test ends the planter.
const char kPrelude[] = R"(
import fcntl, os, struct, sys
def make(path, size, mode, data=b''):
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL, mode)
    os.fchmod(fd, mode)
    os.ftruncate(fd, size)
    if data: os.pwrite(fd, data, 0)
    return fd
def header(w, h):
    f = w * h * 4
    s1 = (f + 159) & ~31
    s2 = (s1 + f + 63) & ~31
    return struct.pack('<7I2IIQ', 1, 1, 2, 96, s1, s2, 0, w, h, 0, 330000), (s2 + f + 63) & ~31
def hold(*fds):
    print('planted', flush=True)
    sys.stdin.read()
)";

// A planting program; ended (SIGKILL) when dropped.
class Planter
{
public:
    Planter(const QString& script, const QStringList& paths, bool foreign)
    {
        QStringList args;
        QString program = QStringLiteral("/usr/bin/python3");
        if (foreign) {
            args << QStringLiteral("--reuid=65534") << QStringLiteral("--regid=65534")
                 << QStringLiteral("--clear-groups") << program;
            program = QStringLiteral("setpriv");
        }
        args << QStringLiteral("-c") << QString::fromLatin1(kPrelude) + script << paths;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(program, args);
    }
    ~Planter()
    {
        process.kill();
        process.waitForFinished(5000);
    }
    bool planted()
    {
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && process.state() != QProcess::NotRunning)
            if (process.waitForReadyRead(100) && process.readAll().contains("planted"))
                return true;
        return false;
    }
    QProcess process;
};

struct Outcome
{
    bool normalExit = false;
    QByteArray output;
    int tookMs = -1;
};

Outcome runPeer(const QStringList& args, const QString& wrapper = {})
{
    QProcess peer;
    peer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (wrapper.isEmpty())
        peer.start(QStringLiteral(CHANNEL_PEER), args);
    else
        peer.start(QStringLiteral("sh"),
                   QStringList {QStringLiteral("-c"), wrapper, QStringLiteral(CHANNEL_PEER)} + args);
    Outcome outcome;
    if (!peer.waitForFinished(20000)) {
        peer.kill();
        peer.waitForFinished(5000);
        return outcome;
    }
    outcome.normalExit = peer.exitStatus() == QProcess::NormalExit;
    outcome.output = peer.readAllStandardOutput();
    const qsizetype at = outcome.output.lastIndexOf("took ");
    if (at >= 0)
        outcome.tookMs = outcome.output.mid(at + 5).split(' ').value(0).toInt();
    return outcome;
}

} // namespace

class TestHostileObjects : public QObject
{
    Q_OBJECT

    std::string chan = uniqueName("HostileChan");
    std::string sect = uniqueName("HostileCount");
    std::string mux = uniqueName("HostileMux");

    static bool root() { return geteuid() == 0; }

private slots:
    void cleanup()
    {
        unlinkAll(chan);
        unlinkAll(sect);
        unlinkAll(mux);
    }

    void plantedObjectsAreRefused_data()
    {
        QTest::addColumn<bool>("foreign");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("victim");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<int>("withinMs");

        // Paths handed to the scripts: argv[1] channel, [2] its writer marker,
        // [3] counter, [4] its guard, [5] the counter's mutex.
        const QStringList open {QStringLiteral("open"), q(chan)};
        const QStringList write {QStringLiteral("writer"), q(chan),
                                 QStringLiteral("64"),     QStringLiteral("64"),
                                 QStringLiteral("1"),      QStringLiteral("1"),
                                 QStringLiteral("0")};
        const QStringList read {QStringLiteral("read"), q(sect), q(mux)};
        const QString fifoAtChannel = QStringLiteral("os.mkfifo(sys.argv[1], 0o600); hold()");
        const QString fifoAtMarker = QStringLiteral("h, n = header(64, 64)\n"
                                                    "a = make(sys.argv[1], n, 0o600, h)\n"
                                                    "os.mkfifo(sys.argv[2], 0o600); hold(a)");
        // A section others may rewrite, with a live writer marker beside it.
        const QString openSection = QStringLiteral("h, n = header(64, 64)\n"
                                                   "a = make(sys.argv[1], n, 0o644, h)\n"
                                                   "w = make(sys.argv[2], 0, 0o600)\n"
                                                   "fcntl.lockf(w, fcntl.LOCK_EX); hold(a, w)");
        const QString tinySection = QStringLiteral("a = make(sys.argv[1], 16, 0o600)\n"
                                                   "w = make(sys.argv[2], 0, 0o600)\n"
                                                   "fcntl.lockf(w, fcntl.LOCK_EX); hold(a, w)");
        const QString heldMarker = QStringLiteral("w = make(sys.argv[2], 0, 0o600)\n"
                                                  "fcntl.lockf(w, fcntl.LOCK_EX); hold(w)");
        const QString counterOf1000 = QStringLiteral("c = make(sys.argv[3], 4, 0o666, struct.pack('<i', 1000))\n"
                                                     "fcntl.flock(c, fcntl.LOCK_SH); hold(c)");
        const QString fifoAtCounter = QStringLiteral("os.mkfifo(sys.argv[3], 0o600); hold()");
        const QString emptyCounter = QStringLiteral("c = make(sys.argv[3], 0, 0o600)\n"
                                                    "fcntl.flock(c, fcntl.LOCK_SH); hold(c)");
        const QString lockedGuard = QStringLiteral("g = make(sys.argv[4], 0, 0o600)\n"
                                                   "fcntl.flock(g, fcntl.LOCK_EX); hold(g)");
        const QString lockedMutex = QStringLiteral("m = make(sys.argv[5], 0, 0o600)\n"
                                                   "fcntl.flock(m, fcntl.LOCK_EX); hold(m)");
        constexpr int kRefusal = 100;
        // A lock held by a process of our own user is waited for, within a bound.
        constexpr int kBoundedWait = SharedMemory::kLockWaitMs + 400;

        for (const bool foreign : {false, true}) {
            const char* who = foreign ? "another user: " : "same user: ";
            auto row = [&](const char* what) -> QTestData& {
                return QTest::newRow((QByteArray(who) + what).constData());
            };
            row("FIFO at the channel") << foreign << fifoAtChannel << open << QByteArray("no channel") << kRefusal;
            row("FIFO at the writer marker, reader")
                << foreign << fifoAtMarker << open << QByteArray("no channel") << kRefusal;
            row("FIFO at the writer marker, writer")
                << foreign << fifoAtMarker << write << QByteArray("create failed") << kRefusal;
            row("section open to others") << foreign << openSection << open << QByteArray("no channel") << kRefusal;
            row("section too small") << foreign << tinySection << open << QByteArray("no channel") << kRefusal;
            row("FIFO at the counter") << foreign << fifoAtCounter << read << QByteArray("unknown") << kRefusal;
            row("counter too small") << foreign << emptyCounter << read << QByteArray("unknown") << kRefusal;
            row("guard locked") << foreign << lockedGuard << read << QByteArray("unknown")
                                << (foreign ? kRefusal : kBoundedWait);
            row("mutex locked") << foreign << lockedMutex << read << QByteArray("unknown")
                                << (foreign ? kRefusal : kBoundedWait);
        }
        // Only another user can plant these and keep us from replacing them.
        QTest::newRow("another user: live writer marker")
            << true << heldMarker << write << QByteArray("create failed") << kRefusal;
        QTest::newRow("another user: counter holding 1000")
            << true << counterOf1000 << read << QByteArray("unknown") << kRefusal;
    }

    void plantedObjectsAreRefused()
    {
        QFETCH(bool, foreign);
        QFETCH(QString, script);
        QFETCH(QStringList, victim);
        QFETCH(QByteArray, expected);
        QFETCH(int, withinMs);
        if (foreign && !root())
            QSKIP("planting as another user needs root (CI runs as root)");

        const QString base = shmPath(chan), counter = shmPath(sect);
        Planter planter(script, {base, base + ".writer", counter, counter + ".guard", shmPath(mux)}, foreign);
        QVERIFY(planter.planted());
        const Outcome outcome = runPeer(QStringList {QStringLiteral("timed")} + victim);
        QVERIFY2(outcome.normalExit, outcome.output);
        QVERIFY2(outcome.output.split('\n').contains(expected), outcome.output);
        QVERIFY2(outcome.tookMs >= 0 && outcome.tookMs <= withinMs, outcome.output);
    }

    // A section shrunk to nothing while a writer and a reader use it: both
    // live on, the reader lets the lost section go and streams again once a
    // new writer comes.
    void sectionTruncatedUnderWriterAndReader()
    {
        QProcess writer, reader;
        writer.start(QStringLiteral(CHANNEL_PEER),
                     {QStringLiteral("writer"), q(chan), QStringLiteral("160"), QStringLiteral("90"),
                      QStringLiteral("-1"), QStringLiteral("3"), QStringLiteral("0")});
        QVERIFY(writer.waitForReadyRead(10000));
        QCOMPARE(writer.readAllStandardOutput(), QByteArray("ready\n"));
        reader.start(QStringLiteral(CHANNEL_PEER), {QStringLiteral("reader"), q(chan), QStringLiteral("20"),
                                                    QStringLiteral("1"), QStringLiteral("30000")});
        QVERIFY(reader.waitForReadyRead(10000));
        QCOMPARE(reader.readAllStandardOutput(), QByteArray("streaming\n"));

        QVERIFY(QFile::resize(shmPath(chan), 0));
        QTest::qWait(300);
        QCOMPARE(writer.state(), QProcess::Running);
        QCOMPARE(reader.state(), QProcess::Running);

        writer.kill();
        QVERIFY(writer.waitForFinished(5000));
        QProcess next;
        next.start(QStringLiteral(CHANNEL_PEER),
                   {QStringLiteral("writer"), q(chan), QStringLiteral("160"), QStringLiteral("90"),
                    QStringLiteral("-1"), QStringLiteral("3"), QStringLiteral("2000")});
        QVERIFY(reader.waitForFinished(30000));
        QCOMPARE(reader.exitStatus(), QProcess::NormalExit);
        QCOMPARE(reader.exitCode(), 0);
        next.kill();
        next.waitForFinished(5000);
    }

    // A /dev/shm without room (Docker gives 64 MiB): the writer and the
    // counter report their failure instead of dying at their first write.
    void fullSharedMemoryIsReported()
    {
        if (!root())
            QSKIP("a private /dev/shm needs root (CI runs as root)");
        const QString small = QStringLiteral("mount -t tmpfs -o size=4m tmpfs /dev/shm && ");
        const auto inPrivateShm = [&](const QString& then, const QStringList& args) {
            return runPeer(args,
                           QStringLiteral("exec unshare -m sh -c '%1%2 \"$0\" \"$@\"' \"$0\" \"$@\"").arg(small, then));
        };
        const Outcome writer =
            inPrivateShm(QStringLiteral("exec"),
                         {QStringLiteral("timed"), QStringLiteral("writer"), q(chan), QStringLiteral("1280"),
                          QStringLiteral("720"), QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("0")});
        QVERIFY2(writer.normalExit && writer.output.contains("create failed"), writer.output);
        const Outcome counter =
            inPrivateShm(QStringLiteral("{ head -c 8M /dev/zero > /dev/shm/filler 2>/dev/null; true; } && exec"),
                         {QStringLiteral("timed"), QStringLiteral("read"), q(sect), q(mux)});
        QVERIFY2(counter.normalExit && counter.output.contains("unknown"), counter.output);
    }
};

QTEST_GUILESS_MAIN(TestHostileObjects)
#include "tst_HostileObjects.moc"
