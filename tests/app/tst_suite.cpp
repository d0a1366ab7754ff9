// The whole suite as a user meets it: the real program with every private
// service it talks to (tests/fixtures/SuiteSession), from the tray icon to
// Quit. The steps run in order, each on what the one before left.
#include "BaseSettings.h"
#include "CableRecording.h"
#include "MockPanel.h"
#include "MockPortal.h"
#include "SoundServer.h"
#include "SuiteSession.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QtTest>

#include <csignal>

namespace {

// The window's layout: the page buttons under the preview, and the first two
// rows of a page, each with its toggle at the right and its slider below.
const QPoint kCameraPageButton(109, 227);
const QPoint kLightPageButton(165, 227);
const QPoint kSecondRowToggle(329, 413);
const QPoint kSecondRowSliderEnd(312, 449);

// How long the program's checks may take to see a change: the feeder and the
// microphone look every 2 s, and a killed client is released at the next
// look after its mark is found dead.
constexpr int kCheckPeriodsMs = 2 * 2000 + 1500;

// The processes whose parent is `pid`.
QList<qint64> childrenOf(qint64 pid)
{
    QList<qint64> children;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // "pid (name) state ppid ...": the name may hold spaces and parentheses.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.value(1).toLongLong() == pid)
            children << entry.toLongLong();
    }
    return children;
}

bool alive(qint64 pid)
{
    return pid > 0 && ::kill(pid_t(pid), 0) == 0;
}

// Whether some connection on the bus at `address` belongs to process `pid`.
bool onBus(const QString& address, qint64 pid)
{
    const QString name = QStringLiteral("suite-probe-%1").arg(pid);
    bool found = false;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(address, name);
        const QStringList names = bus.interface()->registeredServiceNames().value();
        for (const QString& n : names)
            if (n.startsWith(u':') && bus.interface()->servicePid(n).value() == uint(pid))
                found = true;
    }
    QDBusConnection::disconnectFromBus(name);
    return found;
}

bool onSoundServer(qint64 pid)
{
    return soundserver::pactl({QStringLiteral("list"), QStringLiteral("clients")})
        .contains("application.process.id = \"" + QByteArray::number(pid) + '"');
}

QVariant panelState(const char* key)
{
    const QDBusMessage state = mockpanel::control().call(QStringLiteral("GetState"));
    return qdbus_cast<QVariantMap>(state.arguments().value(0)).value(QLatin1String(key));
}

bool panelConnected()
{
    return panelState("connected").toBool();
}

QStringList ourSharedObjects()
{
    const QString ns = qEnvironmentVariable("VANTOR_TEST_NAMESPACE");
    return QDir(QStringLiteral("/dev/shm")).entryList({QStringLiteral("*.") + ns + QStringLiteral("-*")}, QDir::Files);
}

} // namespace

class SuiteTest : public QObject
{
    Q_OBJECT
    std::unique_ptr<SuiteSession> suite;
    QTemporaryDir frames;
    QString window;
    double rawDetail = 0;
    double blurredDetail = 0;
    bool failed = false;

    bool toggleWindow(bool show)
    {
        const bool done = suite->toggleWindow(show);
        if (show)
            window = suite->mainWindow();
        return done;
    }

    // Pictures to look at: kept in VANTOR_TEST_PICTURES when it names a folder.
    static void keep(const QImage& picture, const char* name)
    {
        const QString folder = qEnvironmentVariable("VANTOR_TEST_PICTURES");
        if (!folder.isEmpty())
            picture.save(QDir(folder).filePath(QLatin1String(name) + QStringLiteral(".png")));
    }

private slots:
    void initTestCase()
    {
        // The user's stored choices: the background blurred, the denoiser on.
        BaseSettings settings;
        settings.setValue(BaseSettings::keyName(BaseSettings::BackgroundBlur), 90);
        settings.setSetting(BaseSettings::DSPRNN, BaseSettings::Enabled, true);

        suite = std::make_unique<SuiteSession>();
        QVERIFY2(suite->error().isEmpty(), qPrintable(suite->error()));
        QVERIFY(frames.isValid());
        QVERIFY(suite->start(QStringLiteral(VANTOR_EXE)));
    }

    void cleanup() { failed = failed || QTest::currentTestFailed(); }

    void cleanupTestCase()
    {
        if (suite && failed)
            qInfo().noquote() << "program log:\n" << suite->log().join(u'\n');
        suite.reset();
    }

    // The tray icon first; the window 3.5 s in; one silent update check.
    void trayIconThenWindowThenOneUpdateCheck()
    {
        QTRY_VERIFY_WITH_TIMEOUT(!suite->trayIcon().isEmpty(), 15000);
        window = suite->waitForMainWindow(20000);
        QVERIFY(!window.isEmpty());
        const qint64 shownAt = suite->sinceStartMs();
        QVERIFY2(shownAt >= 3400, qPrintable(QString::number(shownAt)));
        qInfo() << "window shown" << shownAt << "ms after the start";
        QTRY_COMPARE_WITH_TIMEOUT(suite->updateRequests().size(), 1, 10000);
        QVERIFY(suite->updateRequests().first().endsWith(QLatin1String("/update_manifest.json")));
        QVERIFY(suite->waitForLine(QStringLiteral("App::onCheckForUpdatesFinished"), 10000) >= 0);
        QTest::qWait(500);
        QCOMPARE(suite->updateRequests().size(), 1);
    }

    // The window's preview is a client of the virtual camera itself: with the
    // window hidden there is none, and nothing is fed. A client gets the
    // blurred picture, and the microphone plays the camera's denoised sound
    // into the cable.
    void aClientStartsTheCameraAndTheMicrophone()
    {
        // First the feeder serves the window's preview. (Its first check may
        // come before the preview connects, and then stops the camera; and
        // the checks wait behind the first frame's model load, which takes
        // seconds in the sanitizer build.)
        qsizetype from = suite->log().size();
        QVERIFY(suite->waitForLine(QStringLiteral("Opaque::areAnyClientsConnected() == TRUE"), 30000, from) >= 0);
        from = suite->log().size();
        QVERIFY(toggleWindow(false));
        QVERIFY(suite->waitForLine(QStringLiteral("stopping VCam physical grabber"), kCheckPeriodsMs, from) >= 0);
        QVERIFY(suite->waitForLine(QStringLiteral("stopping VMic, no clientsConnected!"), kCheckPeriodsMs, from) >= 0);
        from = suite->log().size();
        QTest::qWait(2500);
        QCOMPARE(suite->waitForLine(QStringLiteral("Opaque::areAnyClientsConnected() == FALSE"), 0, from) >= 0, true);

        from = suite->log().size();
        QVERIFY(suite->startCameraClient(frames.path()));
        QVERIFY(suite->waitForLine(QStringLiteral("restarting VCam physical grabber"), kCheckPeriodsMs, from) >= 0);
        QVERIFY(suite->waitForLine(QStringLiteral("restarting VMic, it's not running!"), kCheckPeriodsMs, from) >= 0);

        // The person is found once the segmentation model has loaded.
        const QImage raw = suite->rawDemoFrame();
        QVERIFY(!raw.isNull());
        keep(raw, "raw-demo-camera");
        rawDetail = backgroundDetail(raw);
        QImage seen;
        QDeadlineTimer deadline(20000);
        do {
            seen = suite->waitForClientFrame(suite->sinceStartMs(), 5000);
            blurredDetail = backgroundDetail(seen);
        } while (!(blurredDetail >= 0 && blurredDetail < rawDetail * 0.75) && !deadline.hasExpired());
        keep(seen, "client-blurred");
        qInfo() << "background detail: raw" << rawDetail << "blurred" << blurredDetail;
        QVERIFY2(blurredDetail >= 0 && blurredDetail < rawDetail * 0.75, "the client's background is not blurred");

        const QString heard = soundserver::toneHeard(true);
        QVERIFY2(heard.isEmpty(), qPrintable(heard));
    }

    // Turning the blur row off shows in the client's pictures within a second.
    void aRowChangesTheClientsPicture()
    {
        QVERIFY(toggleWindow(true));
        suite->click(kCameraPageButton);
        QTest::qWait(300);
        keep(suite->screenshot(), "camera-page");
        const qint64 clicked = suite->sinceStartMs();
        suite->click(kSecondRowToggle);
        const QImage sharp = suite->waitForClientFrame(clicked + 1000, 5000);
        QVERIFY(!sharp.isNull());
        keep(sharp, "client-unblurred");
        const double detail = backgroundDetail(sharp);
        qInfo() << "background detail after the blur was turned off:" << detail;
        QVERIFY2(detail > blurredDetail * 1.3, qPrintable(QString::number(detail)));
        const QVariant stored = BaseSettings().value(BaseSettings::keyName(BaseSettings::BackgroundBlur));
        QCOMPARE(stored.toInt(), 0);
    }

    // A killed client is let go: the camera and the microphone stop.
    void killingTheClientStopsCameraAndMicrophone()
    {
        QVERIFY(toggleWindow(false));
        QTest::qWait(kCheckPeriodsMs);
        const qsizetype from = suite->log().size();
        const qint64 client = suite->cameraClient().processId();
        QVERIFY(client > 0);
        ::kill(pid_t(client), SIGKILL);
        QVERIFY(suite->cameraClient().waitForFinished(5000));
        QVERIFY(suite->waitForLine(QStringLiteral("stopping VCam physical grabber"), kCheckPeriodsMs, from) >= 0);
        QVERIFY(suite->waitForLine(QStringLiteral("stopping VMic, no clientsConnected!"), kCheckPeriodsMs, from) >= 0);
    }

    // The light page's brightness row reaches the panel.
    void theWindowsBrightnessReachesThePanel()
    {
        QTRY_VERIFY_WITH_TIMEOUT(panelConnected(), 20000);
        QVERIFY(toggleWindow(true));
        suite->click(kLightPageButton);
        QTest::qWait(300);
        keep(suite->screenshot(), "light-page");
        mockpanel::control().call(QStringLiteral("ClearWritten"));
        const int before = panelState("brightness").toInt();
        suite->click(kSecondRowToggle);
        suite->click(kSecondRowSliderEnd);
        // A brightness frame (AA 55 20 BB 55 AA) arrives and the panel takes it.
        QTRY_VERIFY_WITH_TIMEOUT(panelState("brightness").toInt() > before, 5000);
        const QList<mockpanel::Write> writes = mockpanel::writes();
        QVERIFY(!writes.isEmpty() && writes.last().bytes.size() == 6);
        QCOMPARE(quint8(writes.last().bytes.at(2)), quint8(0x20));
        QCOMPARE(int(quint8(writes.last().bytes.at(3))), panelState("brightness").toInt());
    }

    // A flip of the colour scheme rebuilds the window, shown where it was.
    void aSchemeChangeRebuildsTheWindowAsItWas()
    {
        const QRect before = suite->desktop().geometry(window);
        const QPoint frame = before.topLeft() + QPoint(10, 245);
        QCOMPARE(qGray(suite->screenshot().pixel(frame)) > 150, true);
        const qsizetype from = suite->log().size();
        QVERIFY(mockportal::setColorScheme(1));
        QVERIFY(suite->waitForLine(QStringLiteral("recreating main window"), 5000, from) >= 0);
        const QString rebuilt = suite->waitForMainWindow(5000, window);
        QVERIFY(!rebuilt.isEmpty());
        window = rebuilt;
        // Beside the tray icon again, and dark where it was light.
        QTest::qWait(500);
        QCOMPARE(suite->desktop().geometry(rebuilt).right(), before.right());
        const QImage screen = suite->screenshot();
        QVERIFY(!screen.isNull());
        keep(screen, "dark-window");
        QVERIFY2(qGray(screen.pixel(frame)) < 100, qPrintable(QString::number(qGray(screen.pixel(frame)))));
    }

    // Quit from the tray: the components go in order, every service sees the
    // program leave, and nothing of it stays behind.
    void quitFromTheTrayLeavesNothingBehind()
    {
        const qint64 pid = suite->pid();
        const QList<qint64> children = childrenOf(pid);
        QVERIFY(onBus(suite->sessionBus().address(), pid) && onBus(suite->systemBus().address(), pid));
        QVERIFY(onSoundServer(pid));
        QVERIFY(!ourSharedObjects().isEmpty());

        const QString icon = suite->trayIcon();
        suite->desktop().click(suite->desktop().geometry(icon).center(), 3);
        QString menu;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const QString& w : suite->desktop().visibleWindows(pid))
                    if (w != icon && w != window)
                        menu = w;
                return !menu.isEmpty();
            }(),
            5000);
        suite->desktop().x(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), menu});
        suite->desktop().x(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Down"),
                                                       QStringLiteral("Down"), QStringLiteral("Return")});
        QVERIFY(suite->program().waitForFinished(20000));
        QCOMPARE(suite->program().exitStatus(), QProcess::NormalExit);
        QCOMPARE(suite->program().exitCode(), 0);

        qsizetype previous = -1;
        for (const char* line : {"MainWidget DCTOR!", "VCam::Opaque DCTOR", "VMic DCTOR!", "~LightController DCTOR",
                                 "UpdateManager DCTOR!"}) {
            const qsizetype at = suite->waitForLine(QLatin1String(line), 0, previous + 1);
            QVERIFY2(at > previous, line);
            previous = at;
        }

        QVERIFY(!onBus(suite->sessionBus().address(), pid));
        QVERIFY(!onBus(suite->systemBus().address(), pid));
        QTRY_VERIFY_WITH_TIMEOUT(!onSoundServer(pid), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!panelConnected(), 5000);
        QVERIFY2(ourSharedObjects().isEmpty(), qPrintable(ourSharedObjects().join(u' ')));
        const QStringList temp = QDir(suite->programTemp()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        QVERIFY2(temp.isEmpty(), qPrintable(temp.join(u' ')));
        for (qint64 child : children)
            QVERIFY2(!alive(child), qPrintable(QString::number(child)));
    }
};

QTEST_GUILESS_MAIN(SuiteTest)
#include "tst_suite.moc"
