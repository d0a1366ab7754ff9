// The endpoint utilities against a real sound server (PulseAudio, started by
// tests/fixtures/pulseaudio-session, or PipeWire with its pulse server, by
// tests/fixtures/pipewire-session) carrying the virtual cable that
// scripts/install-cable makes: lookups by part of a description, volume and
// mute read back through pactl, renaming, the server's kind, the default
// devices, a stalled server, and the cable's installation and removal.
#include "AVFUtils.h"
#include "SoundServer.h"
#include "platform/EndpointControl.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

using namespace soundserver;

int installCable(const QStringList& args = {})
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(qEnvironmentVariable("VANTOR_SOURCE_DIR") + QStringLiteral("/scripts/install-cable"), args);
    if (!p.waitForFinished(30000)) {
        p.kill();
        return -1;
    }
    return p.exitCode();
}

// The server of this session: the pulseaudio or pipewire-pulse process that
// runs with our runtime folder.
pid_t daemonPid()
{
    const QByteArray runtime = "XDG_RUNTIME_DIR=" + qgetenv("XDG_RUNTIME_DIR");
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = pid_t(entry.toInt(&number));
        if (!number)
            continue;
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid)), environ(QStringLiteral("/proc/%1/environ").arg(pid));
        if (comm.open(QIODevice::ReadOnly)
            && QByteArrayList({"pulseaudio", "pipewire-pulse"}).contains(comm.readAll().trimmed())
            && environ.open(QIODevice::ReadOnly) && environ.readAll().split('\0').contains(runtime))
            return pid;
    }
    return 0;
}

QString userPulseConfig()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME", QDir::homePath() + QStringLiteral("/.config"))
         + QStringLiteral("/pulse/default.pa");
}

// PipeWire's pulse server cannot rename a device: there the cable carries
// "Vantor Control" from the start.
QString cableInput()
{
    return onPipeWire() ? QStringLiteral("Vantor Control") : QStringLiteral("Cable Input");
}
QString cableOutput()
{
    return onPipeWire() ? QStringLiteral("Vantor Control") : QStringLiteral("Cable Output");
}
QString pipewireDropIn()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME", QDir::homePath() + QStringLiteral("/.config"))
         + QStringLiteral("/pipewire/pipewire-pulse.conf.d/vantor-cable.conf");
}

const QRegularExpression kNotFound(QStringLiteral("^Device not found\\.$"));

} // namespace

class AudioUtilsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Made twice: the second run changes nothing.
        QCOMPARE(installCable(), 0);
        const QList<QByteArray> before = modules();
        QCOMPARE(installCable(), 0);
        QCOMPARE(modules(), before);
        QCOMPARE(field(false, "vantor_cable", "Description"), cableInput().toUtf8());
        QCOMPARE(field(true, "vantor_cable_output", "Description"), cableOutput().toUtf8());
        // Kept for the next login.
        if (onPipeWire()) {
            QFile dropIn(pipewireDropIn());
            QVERIFY(dropIn.open(QIODevice::ReadOnly));
            const QByteArray text = dropIn.readAll();
            QVERIFY(text.contains("pulse.cmd = ["));
            QCOMPARE(text.count("{ cmd = \"load-module\" args = \"module-"), 2);
            QVERIFY(!QFile::exists(userPulseConfig()));
            return;
        }
        QFile config(userPulseConfig());
        QVERIFY(config.open(QIODevice::ReadOnly));
        const QByteArray text = config.readAll();
        QVERIFY(text.startsWith(".include /etc/pulse/default.pa\n"));
        QCOMPARE(text.count("load-module module-null-sink sink_name=vantor_cable "), 1);
        QCOMPARE(text.count("load-module module-remap-source master=vantor_cable.monitor"), 1);
    }

    void endpointsAreFoundByPartOfTheirDescription()
    {
        QVERIFY(AVFUtils::isDeviceAvailable(cableOutput().toLower(), true));
        QVERIFY(AVFUtils::isDeviceAvailable(cableInput().toUpper(), false));
        // A playback endpoint's monitor is not a recording endpoint here, and
        // a direction holds only its own endpoints.
        QTest::ignoreMessage(QtWarningMsg, kNotFound);
        QVERIFY(!AVFUtils::isDeviceAvailable(QStringLiteral("Monitor of Cable"), true));
        QTest::ignoreMessage(QtWarningMsg, kNotFound);
        QVERIFY(!AVFUtils::isDeviceAvailable(QStringLiteral("Vantor Camera"), false));

        // Two playback endpoints share a name part (the session's own sink
        // came first): the first in the server's order is the one used.
        const QString shared = onPipeWire() ? QStringLiteral("Vantor") : QStringLiteral("Cable Input");
        const QByteArray first = onPipeWire() ? "mic_bus" : "cable";
        QVERIFY(AVFUtils::setDeviceVolumeByName(shared, 0.25f, false));
        QVERIFY(field(false, first, "Volume").contains("25%"));
        QVERIFY(!field(false, "vantor_cable", "Volume").contains("25%"));
        pactl({QStringLiteral("set-sink-volume"), QString::fromUtf8(first), QStringLiteral("100%")});
    }

    void volumeAndMuteReadBackThroughPactl_data()
    {
        QTest::addColumn<bool>("capture");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QByteArray>("device");
        QTest::newRow("playback") << false << cableInput() << QByteArray(onPipeWire() ? "vantor_cable" : "cable");
        QTest::newRow("recording") << true << cableOutput() << QByteArray("vantor_cable_output");
    }

    void volumeAndMuteReadBackThroughPactl()
    {
        QFETCH(bool, capture);
        QFETCH(QString, description);
        QFETCH(QByteArray, device);
        const QString kind = capture ? QStringLiteral("source") : QStringLiteral("sink");

        QVERIFY(AVFUtils::setDeviceVolumeByName(description, 0.3f, capture));
        QVERIFY2(field(capture, device, "Volume").contains("30%"), field(capture, device, "Volume").constData());
        float volume = -1;
        QVERIFY(AVFUtils::getDeviceVolumeByName(description, volume, capture));
        QVERIFY(std::abs(volume - 0.3f) < 0.005f);

        // Outside 0..1 (the server would amplify), and not a number: refused, unchanged.
        for (float wrong : {1.5f, -0.1f, std::nanf("")}) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Failed to set the master volume")));
            QVERIFY(!AVFUtils::setDeviceVolumeByName(description, wrong, capture));
        }
        QVERIFY(field(capture, device, "Volume").contains("30%"));
        // Amplified by someone else: reads as full.
        pactl({QStringLiteral("set-%1-volume").arg(kind), QString::fromUtf8(device), QStringLiteral("150%")});
        QVERIFY(AVFUtils::getDeviceVolumeByName(description, volume, capture));
        QCOMPARE(volume, 1.0f);

        for (bool mute : {true, false}) {
            QVERIFY(AVFUtils::setDeviceMuteByName(description, mute, capture));
            QCOMPARE(field(capture, device, "Mute"), QByteArray(mute ? "yes" : "no"));
            bool read = !mute;
            QVERIFY(AVFUtils::getDeviceMuteByName(description, read, capture));
            QCOMPARE(read, mute);
        }
    }

    void renamedEndpointAnswersToItsNewName()
    {
        QTemporaryDir dir;
        const QString icon = dir.filePath(QStringLiteral("vantor.png"));
        {
            QFile f(icon);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("not really a picture");
        }
        if (onPipeWire()) {
            // No means to rename: a clear failure, nothing changed.
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("offers no way to rename")));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Failed to set friendly name\\.$")));
            QVERIFY(!AVFUtils::setDevicePropertiesByName(cableOutput(), QStringLiteral("Renamed"), icon, true));
            QCOMPARE(field(true, "vantor_cable_output", "Description"), cableOutput().toUtf8());
            return;
        }
        // The description changes; the icon is copied but the server keeps its
        // own, which is reported.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("keeps the icon")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Failed to set icon\\.$")));
        QVERIFY(!AVFUtils::setDevicePropertiesByName(QStringLiteral("Cable Output"), QStringLiteral("Vantor Control"),
                                                     icon, true));
        QCOMPARE(field(true, "vantor_cable_output", "Description"), QByteArray("Vantor Control"));
        const QString copy =
            QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QStringLiteral("/vantor.png");
        QFile copied(copy);
        QVERIFY(copied.open(QIODevice::ReadOnly));
        QCOMPARE(copied.readAll(), QByteArray("not really a picture"));
        QTest::ignoreMessage(QtWarningMsg, kNotFound);
        QVERIFY(!AVFUtils::isDeviceAvailable(QStringLiteral("Cable Output"), true));
        QVERIFY(AVFUtils::isDeviceAvailable(QStringLiteral("vantor control"), true));

        // A missing icon stops the steps after the rename, and says so.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Failed to copy the icon")));
        QVERIFY(!AVFUtils::setDevicePropertiesByName(QStringLiteral("Vantor Control"), QStringLiteral("Cable Output"),
                                                     dir.filePath(QStringLiteral("missing.png")), true));
        QCOMPARE(field(true, "vantor_cable_output", "Description"), QByteArray("Cable Output"));

        // A server without a way to rename (as PipeWire's): a clear failure.
        for (const QByteArray& line : modules())
            if (line.contains("module-device-manager"))
                pactl({QStringLiteral("unload-module"), QString::fromUtf8(line.split('\t').first())});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("offers no way to rename")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Failed to set friendly name\\.$")));
        QVERIFY(!AVFUtils::setDevicePropertiesByName(QStringLiteral("Cable Output"), QStringLiteral("Vantor Control"),
                                                     icon, true));
        QCOMPARE(field(true, "vantor_cable_output", "Description"), QByteArray("Cable Output"));
        QVERIFY(!AVFUtils::hideDeviceByName(QStringLiteral("Cable Input"), false));
    }

    void serverTellsWhetherItRunsInGraphCycles()
    {
        // A live output keeps a short server buffer only where the server
        // takes sound as the stream's buffer sets: given one on PipeWire, the
        // cable ran up to 130 ms late.
        const auto control = EndpointControl::create();
        QVERIFY(control);
        QCOMPARE(control->runsInGraphCycles(), std::optional<bool>(onPipeWire()));
    }

    void defaultDevicesMove()
    {
        QVERIFY(AVFUtils::setDefaultDevice(QStringLiteral("vantor_cable_output")));
        QCOMPARE(pactl({QStringLiteral("get-default-source")}), QByteArray("vantor_cable_output"));
        QVERIFY(AVFUtils::setDefaultDevice(QStringLiteral("cable")));
        QCOMPARE(pactl({QStringLiteral("get-default-sink")}), QByteArray("cable"));
        QVERIFY(!AVFUtils::setDefaultDevice(QStringLiteral("no_such_device")));
        QCOMPARE(pactl({QStringLiteral("get-default-sink")}), QByteArray("cable"));
    }

    void emptyNamesAreRefusedSilently()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        float volume = 0;
        bool mute = false;
        QVERIFY(!AVFUtils::getDeviceVolumeByName(QString(), volume, false));
        QVERIFY(!AVFUtils::setDeviceVolumeByName(QString(), 0.5f, false));
        QVERIFY(!AVFUtils::getDeviceMuteByName(QString(), mute, true));
        QVERIFY(!AVFUtils::isDeviceAvailable(QString(), true));
    }

    void stalledServerCostsABoundedWait()
    {
        const pid_t daemon = daemonPid();
        QVERIFY(daemon > 0);
        QVERIFY(kill(daemon, SIGSTOP) == 0);
        QElapsedTimer timer;
        timer.start();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("sound server")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("sound server")));
        const bool found = AVFUtils::isDeviceAvailable(cableOutput(), true);
        const qint64 ms = timer.elapsed();
        kill(daemon, SIGCONT);
        QVERIFY(!found);
        QVERIFY2(ms < 5000, qPrintable(QString::number(ms)));
        QVERIFY(AVFUtils::isDeviceAvailable(cableOutput(), true));
    }

    void cableIsRemovedNowAndForLater()
    {
        QCOMPARE(installCable({QStringLiteral("--remove")}), 0);
        QVERIFY(!modules().join('\n').contains("vantor_cable"));
        QVERIFY(!QFile::exists(userPulseConfig()));
        QVERIFY(!QFile::exists(pipewireDropIn()));
        QTest::ignoreMessage(QtWarningMsg, kNotFound);
        QVERIFY(!AVFUtils::isDeviceAvailable(cableOutput(), true));
    }
};

QTEST_GUILESS_MAIN(AudioUtilsTest)
#include "tst_audio_utils.moc"
