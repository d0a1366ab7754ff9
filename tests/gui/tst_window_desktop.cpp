// The window on a real X display with a tray host and a compositing manager:
// it opens beside the tray icon, every row is reachable with the keyboard, and
// a row dragged with the real pointer (xdotool) changes and keeps the order.
#include "App.h"
#include "CameraGrabber.h"
#include "DesktopSession.h"
#include "LogCapture.h"
#include "MainWidget.h"
#include "PostProcessor.h"
#include "ProcessTools.h"

#include <QCheckBox>
#include <QDir>
#include <QScreen>
#include <QSlider>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

std::unique_ptr<DesktopSession> desktop;

} // namespace

class WindowDesktopTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<LogCapture> log;
    std::unique_ptr<CameraGrabber> grabber;
    std::shared_ptr<PostProcessor> effects;
    std::unique_ptr<QProcess> compositor;

    App* app() { return App::instance(); }
    MainWidget::Components components()
    {
        MainWidget::Components c;
        c.grabber = grabber.get();
        c.effects = effects;
        return c;
    }
    void pointer(const QStringList& args) { desktop->x("xdotool", args); }

private slots:
    void initTestCase()
    {
        QVERIFY(desktop && desktop->isReady());
        log = std::make_unique<LogCapture>();
        compositor = std::make_unique<QProcess>();
        compositor->setProcessEnvironment(desktop->environment());
        compositor->start("xcompmgr", {});
        QVERIFY(compositor->waitForStarted(5000));
        grabber = std::make_unique<CameraGrabber>();
        effects = std::make_shared<PostProcessor>(app()->settings());
        // Embedded in the tray host's panel at the bottom right (until then the
        // icon reports a place at the screen's origin).
        QTRY_VERIFY_WITH_TIMEOUT(app()->trayIcon() && !app()->trayIcon()->geometry().isEmpty()
                                     && app()->trayIcon()->geometry().x() > 0,
                                 10000);
    }
    void cleanupTestCase()
    {
        app()->shutdown();
        effects.reset();
        grabber.reset();
        stopProcess(compositor.get());
    }

    // Shown, the window sits beside the tray icon, inside the screen.
    void opensBesideTheTrayIcon()
    {
        MainWidget window(components());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QRect icon = app()->trayIcon()->geometry();
        const QRect screen = window.screen()->geometry();
        // The page's height and the window's place follow in steps.
        const auto beside = [&] {
            const QRect frame = window.frameGeometry();
            const int gapX = std::max({0, frame.left() - icon.right(), icon.left() - frame.right()});
            const int gapY = std::max({0, frame.top() - icon.bottom(), icon.top() - frame.bottom()});
            return screen.contains(frame) && !frame.intersects(icon) && gapX < 100 && gapY < 100;
        };
        QTRY_VERIFY2_WITH_TIMEOUT(beside(),
                                  qPrintable(QStringLiteral("%1,%2 %3x%4 beside %5,%6")
                                                 .arg(window.frameGeometry().x())
                                                 .arg(window.frameGeometry().y())
                                                 .arg(window.frameGeometry().width())
                                                 .arg(window.frameGeometry().height())
                                                 .arg(icon.x())
                                                 .arg(icon.y())),
                                  5000);
        if (const QString dir = qEnvironmentVariable("VANTOR_LOOK_DIR"); !dir.isEmpty() && QDir().mkpath(dir))
            window.screen()->grabWindow(0).save(dir + QStringLiteral("/Desktop.png"));
    }

    // Tab walks through every row's toggle and slider.
    void everyRowIsReachableWithTab()
    {
        MainWidget window(components());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.activateWindow();
        QTRY_VERIFY(window.isActiveWindow());
        QWidget* page = window.pageWidget(MainWidget::Sliders);
        QSet<QWidget*> wanted;
        for (QWidget* w : page->findChildren<QWidget*>())
            if ((qobject_cast<QCheckBox*>(w) || qobject_cast<QSlider*>(w)) && w->isEnabled())
                wanted << w;
        QVERIFY(wanted.size() >= 6);
        QSet<QWidget*> reached;
        for (int i = 0; i < 200 && reached != wanted; ++i) {
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &window, Qt::Key_Tab);
            if (wanted.contains(QApplication::focusWidget()))
                reached << QApplication::focusWidget();
        }
        QCOMPARE(reached.size(), wanted.size());
    }

    // A row dragged by its handle with the pointer over another row takes its
    // place, and the new order is stored.
    void draggingARowWithThePointer()
    {
        app()->settings()->remove("Sliders");
        MainWidget window(components());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::qWait(300);
        QWidget* page = window.pageWidget(MainWidget::Sliders);
        QWidget* skin = page->findChild<QWidget*>("Setting_SkinTone");
        QWidget* balance = page->findChild<QWidget*>("Setting_WhiteBalance");
        QVERIFY(skin && balance);
        QWidget* handle = skin->findChild<QWidget*>("icon_drag_label");
        QVERIFY(handle);
        const QPoint from = handle->mapToGlobal(handle->rect().center());
        const QPoint to = balance->mapToGlobal(balance->rect().center());
        pointer({"mousemove", QString::number(from.x()), QString::number(from.y())});
        pointer({"mousedown", "1"});
        // The drag runs its own loop inside the press: the pointer moves on
        // from another thread of control, the X server's.
        for (int i = 1; i <= 10; ++i) {
            const QPoint p = from + (to - from) * i / 10;
            QTimer::singleShot(100 * i, [p] {
                desktop->x("xdotool", {"mousemove", QString::number(p.x()), QString::number(p.y())});
            });
        }
        QTimer::singleShot(1300, [] { desktop->x("xdotool", {"mouseup", "1"}); });
        QTRY_COMPARE_WITH_TIMEOUT(window.rowOrder(MainWidget::Sliders).value(0), QStringLiteral("Skin Tone"), 5000);
        QTest::qWait(1500);
        QCOMPARE(app()->settings()->value("Sliders").toStringList().value(0), QStringLiteral("Skin Tone"));
        app()->settings()->remove("Sliders");
    }
};

int main(int argc, char** argv)
{
    desktop = std::make_unique<DesktopSession>(true);
    if (desktop->isReady()) {
        qputenv("DISPLAY", desktop->display().toLocal8Bit());
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    int status = 1;
    {
        App app(argc, argv, false);
        WindowDesktopTest test;
        status = QTest::qExec(&test, argc, argv);
    }
    desktop.reset();
    return status;
}

#include "tst_window_desktop.moc"
