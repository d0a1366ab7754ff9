// The virtual camera as other programs see it, through the GStreamer
// command-line tools: the element and the device are found, every format
// streams at 30 frames per second, and clients killed with SIGKILL are
// released from the client count by the clients that come after them.
#include "VCamTestSupport.h"

#include <QtTest>

using namespace vcamtest;

namespace {

QByteArray run(const QString& program, const QStringList& args, int* exitCode = nullptr, int timeoutMs = 20000)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
    }
    if (exitCode)
        *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return p.readAll();
}

QStringList launchArgs(const QString& pipeline)
{
    return QProcess::splitCommand(pipeline);
}

// A gst-launch-1.0 client that runs until it ends by itself or is killed.
struct Client
{
    explicit Client(const QString& pipeline)
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral("gst-launch-1.0"), launchArgs(pipeline));
    }
    ~Client()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    QProcess process;
};

} // namespace

class VCamToolsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The plugin logs its client count through GStreamer's debug log.
        qputenv("GST_DEBUG", "vantorvcam:INFO");
        qputenv("GST_DEBUG_NO_COLOR", "1");
        // Like the control application, keep the counter open all along: a
        // counter nobody holds any more starts again from zero.
        QVERIFY(feeder.createOrOpenSharedMemory());
        QCOMPARE(clientCount(), 0);
    }

    void inspectAndDeviceMonitorFindTheCamera()
    {
        int code = -1;
        const QByteArray inspect = run(QStringLiteral("gst-inspect-1.0"), {QStringLiteral("vantorvcamsrc")}, &code);
        QCOMPARE(code, 0);
        QVERIFY(inspect.contains("Vantor Control virtual camera"));
        QVERIFY(inspect.contains("GstPushSrc"));

        const QByteArray devices =
            run(QStringLiteral("gst-device-monitor-1.0"), {QStringLiteral("Video/Source")}, &code);
        QCOMPARE(code, 0);
        const qsizetype at = devices.indexOf("name  : Vantor Control");
        QVERIFY2(at >= 0, devices.constData());
        QVERIFY(devices.mid(at).contains("class : Video/Source"));
    }

    void everyFormatStreamsAtThirtyFramesPerSecond_data()
    {
        QTest::addColumn<QString>("format");
        for (const char* f : {"BGRA", "BGRx", "I420", "NV12", "YUY2"})
            QTest::newRow(f) << QString::fromLatin1(f);
    }

    void everyFormatStreamsAtThirtyFramesPerSecond()
    {
        QFETCH(QString, format);
        QElapsedTimer timer;
        timer.start();
        int code = -1;
        const QByteArray out = run(
            QStringLiteral("gst-launch-1.0"),
            launchArgs("vantorvcamsrc num-buffers=60 ! video/x-raw,format=" + format + " ! fakesink sync=true"), &code);
        const qint64 ms = timer.elapsed();
        QVERIFY2(code == 0, out.constData());
        // The latency answer leaves the sink room for its processing deadline.
        QVERIFY2(!out.contains("Not enough buffering available"), out.constData());
        // 60 frames at 30 per second: about two seconds, start-up included.
        QVERIFY2(ms >= 1900 && ms < 4000, qPrintable(QString::number(ms)));
        // The client counted itself and signed off.
        QVERIFY(out.contains("VCamFilter::Thread started 1 instances"));
        QVERIFY(out.contains("VCamFilter::Thread ended 0 instances"));
        QCOMPARE(clientCount(), 0);
    }

    // Nothing of the camera's own reaches the client's standard output: a
    // client that writes the video there gets exactly the frames' bytes.
    void standardOutputCarriesOnlyTheVideo()
    {
        QProcess client;
        client.start(QStringLiteral("gst-launch-1.0"),
                     launchArgs("-q vantorvcamsrc num-buffers=30 ! video/x-raw,format=I420 ! fdsink"));
        QVERIFY(client.waitForFinished(20000));
        QCOMPARE(client.exitCode(), 0);
        QCOMPARE(client.readAllStandardOutput().size(), qsizetype(30) * 1280 * 720 * 3 / 2);
        QVERIFY(client.readAllStandardError().contains("VCamFilter::Thread started 1 instances"));
    }

    void killedClientsAreReleased()
    {
        // A killed client cannot subtract itself: the count stays up...
        {
            Client killed(QStringLiteral("vantorvcamsrc ! fakesink sync=true"));
            QVERIFY(waitForCount(1));
            killed.process.kill();
            QVERIFY(killed.process.waitForFinished(5000));
        }
        QCOMPARE(clientCount(), 1);
        // ...until the next client starts: it releases the dead one first.
        {
            Client next(QStringLiteral("vantorvcamsrc num-buffers=45 ! fakesink sync=true"));
            QVERIFY(next.process.waitForFinished(10000));
            QVERIFY(next.process.readAll().contains("Releasing a client that ended without signing off"));
        }
        QCOMPARE(clientCount(), 0);

        // A client that keeps running releases clients killed meanwhile
        // within about two seconds.
        Client watcher(QStringLiteral("vantorvcamsrc ! fakesink sync=true"));
        QVERIFY(waitForCount(1));
        {
            Client killed(QStringLiteral("vantorvcamsrc ! fakesink sync=true"));
            QVERIFY(waitForCount(2));
            killed.process.kill();
            QVERIFY(killed.process.waitForFinished(5000));
        }
        QVERIFY(waitForCount(1, 5000));
        watcher.process.kill();
        QVERIFY(watcher.process.waitForFinished(5000));
    }

private:
    InstanceCounter feeder {InstanceCounter::kSectionName, InstanceCounter::kMutexName};
};

QTEST_GUILESS_MAIN(VCamToolsTest)
#include "tst_vcam_tools.moc"
