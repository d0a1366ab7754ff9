// The real program on a real X display: its tray icon in a tray host, the
// "already running" box of a second start, "Quit" from the tray menu, and a
// desktop without any tray host.
#include "DesktopSession.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

namespace {

const QString kVantor = QStringLiteral(VANTOR_EXE);

QString lockPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + QStringLiteral("/Vantor.lock");
}

void finish(QProcess& p)
{
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(5000);
    }
}

} // namespace

class DesktopTest : public QObject
{
    Q_OBJECT

    // Waits until `pid` shows exactly `count` visible windows; returns them.
    static QStringList waitForWindows(const DesktopSession& desktop, qint64 pid, int count)
    {
        QStringList windows;
        QDeadlineTimer deadline(15000);
        while (!deadline.hasExpired()) {
            windows = desktop.visibleWindows(pid);
            if (windows.size() == count)
                return windows;
            QTest::qWait(50);
        }
        return windows;
    }

private slots:
    void trayQuitAndSecondInstance()
    {
        DesktopSession desktop(true);
        QVERIFY(desktop.isReady());

        QProcess first;
        first.setProcessEnvironment(desktop.environment());
        first.setProcessChannelMode(QProcess::ForwardedChannels);
        first.start(kVantor);
        QVERIFY(first.waitForStarted(5000));
        const auto cleanupFirst = qScopeGuard([&] { finish(first); });

        // The tray icon is embedded in the tray host's panel at the bottom right.
        const QStringList trayWindows = waitForWindows(desktop, first.processId(), 1);
        QCOMPARE(trayWindows.size(), 1);
        const QRect icon = desktop.geometry(trayWindows[0]);
        QVERIFY2(icon.top() >= 760 && icon.left() >= 1000,
                 qPrintable(QString("icon at %1,%2").arg(icon.x()).arg(icon.y())));
        QVERIFY(QFile::exists(lockPath()));

        // A second start shows one box and leaves with 1 once it is accepted.
        QProcess second;
        second.setProcessEnvironment(desktop.environment());
        second.start(kVantor);
        QVERIFY(second.waitForStarted(5000));
        const auto cleanupSecond = qScopeGuard([&] { finish(second); });
        const QStringList boxes = waitForWindows(desktop, second.processId(), 1);
        QCOMPARE(boxes.size(), 1);
        QTest::qWait(300);
        QCOMPARE(desktop.visibleWindows(second.processId()).size(), 1);
        QVERIFY(
            desktop.x(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), boxes[0]})
                .isEmpty());
        desktop.x(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Return")});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 1);

        // The first instance still runs and still owns its lock file.
        QCOMPARE(first.state(), QProcess::Running);
        QLockFile probe(lockPath());
        qint64 owner = 0;
        QString host, app;
        QVERIFY(probe.getLockInfo(&owner, &host, &app));
        QCOMPARE(owner, first.processId());

        // "Quit" from the tray icon's context menu ends it with code 0.
        desktop.click(icon.center(), 3);
        const QStringList withMenu = waitForWindows(desktop, first.processId(), 2);
        QCOMPARE(withMenu.size(), 2);
        QString menu = withMenu[0] == trayWindows[0] ? withMenu[1] : withMenu[0];
        desktop.x(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), menu});
        desktop.x(QStringLiteral("xdotool"),
                  {QStringLiteral("key"), QStringLiteral("Down"), QStringLiteral("Down"), QStringLiteral("Return")});
        QVERIFY(first.waitForFinished(10000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 0);
        QVERIFY(!QFile::exists(lockPath()));
    }

    void withoutTheVirtualCameraItSaysSoAndEnds()
    {
        DesktopSession desktop(false);
        QVERIFY(desktop.isReady());
        QProcess vantor;
        QProcessEnvironment env = desktop.environment();
        // No GStreamer plugins of ours: the virtual camera is not installed.
        env.remove(QStringLiteral("GST_PLUGIN_PATH"));
        env.remove(QStringLiteral("VANTOR_DEMO_CAMERA"));
        vantor.setProcessEnvironment(env);
        vantor.start(kVantor);
        QVERIFY(vantor.waitForStarted(5000));
        const auto cleanup = qScopeGuard([&] { finish(vantor); });
        const QStringList boxes = waitForWindows(desktop, vantor.processId(), 1);
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(vantor.state(), QProcess::Running);
        desktop.x(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), boxes[0]});
        desktop.x(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Return")});
        QVERIFY(vantor.waitForFinished(10000));
        QCOMPARE(vantor.exitStatus(), QProcess::NormalExit);
        QCOMPARE(vantor.exitCode(), 0);
        QVERIFY(!QFile::exists(lockPath()));
    }

    void runsWithoutATrayHost()
    {
        DesktopSession desktop(false);
        QVERIFY(desktop.isReady());
        QProcess vantor;
        vantor.setProcessEnvironment(desktop.environment());
        vantor.start(kVantor);
        QVERIFY(vantor.waitForStarted(5000));
        // Past the delayed start, it still runs and holds the lock.
        QVERIFY(!vantor.waitForFinished(3500));
        QCOMPARE(vantor.state(), QProcess::Running);
        QVERIFY(QFile::exists(lockPath()));
        vantor.terminate();
        QVERIFY(vantor.waitForFinished(5000));
    }
};

QTEST_GUILESS_MAIN(DesktopTest)
#include "tst_desktop.moc"
