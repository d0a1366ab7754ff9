// The application with its real components on the demo camera: the delayed
// start, the tray popup's behaviour, the wheel over a slider, message boxes,
// a window replaced while it waits in its own box, and a SIGTERM shutdown.
#include "App.h"
#include "CameraGrabber.h"
#include "LogCapture.h"
#include "UpdateManager.h"
#include "VCam.h"

#include <QElapsedTimer>
#include <QMessageBox>
#include <QPalette>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QStackedWidget>
#include <QTimer>
#include <QWheelEvent>
#include <QtTest>

#include <csignal>
#include <memory>
#include <unistd.h>

namespace {

QElapsedTimer sinceStart;

QList<QMessageBox*> visibleBoxes(const QString& text = {})
{
    QList<QMessageBox*> boxes;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
            if (text.isEmpty() || box->text() == text)
                boxes << box;
    return boxes;
}

// Runs `act` on the first box showing `text`, once it shows.
void whenBoxShows(const QString& text, std::function<void(QMessageBox*)> act)
{
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, text, act] {
        const QList<QMessageBox*> boxes = visibleBoxes(text);
        if (boxes.isEmpty())
            return;
        poll->stop();
        poll->deleteLater();
        act(boxes.first());
    });
    poll->start(10);
}

QPalette schemePalette(bool dark)
{
    QPalette p;
    p.setColor(QPalette::Window, dark ? QColor(30, 30, 30) : QColor(240, 240, 240));
    p.setColor(QPalette::WindowText, dark ? QColor(230, 230, 230) : QColor(20, 20, 20));
    return p;
}

} // namespace

class AppWiringTest : public QObject
{
    Q_OBJECT

    // Installed once the test runs, after the test library's own handler.
    std::unique_ptr<LogCapture> log;
    QTimer dismissUpdateErrors;

    App* app() { return App::instance(); }

private slots:
    void initTestCase()
    {
        log = std::make_unique<LogCapture>();
        // The silent check cannot reach the update host from here: its error
        // box is answered whenever it shows.
        connect(&dismissUpdateErrors, &QTimer::timeout, this, [] {
            for (QMessageBox* box : visibleBoxes())
                if (box->text().startsWith(QLatin1String("There was an error while checking for updates")))
                    box->defaultButton()->click();
        });
        dismissUpdateErrors.start(50);
    }

    // The components come 2.5 s after the start, the window hidden; the
    // update manager and the shown window a second later.
    void startCreatesTheComponentsThenShowsTheWindow()
    {
        QTRY_VERIFY_WITH_TIMEOUT(app()->vcam(), 15000);
        QVERIFY(sinceStart.elapsed() >= 2500);
        QVERIFY(app()->lightController());
        QVERIFY(app()->vmic());
        QVERIFY(app()->cameraGrabber());
        QVERIFY(app()->mainWidget());
        QVERIFY(!app()->mainWidget()->isVisible());
        QVERIFY(!app()->updateManager());
        auto* checkForUpdates = app()->mainWidget()->findChild<QPushButton*>(QStringLiteral("update_button"));
        QVERIFY(checkForUpdates && !checkForUpdates->isEnabled());
        QCOMPARE(LogCapture::count(QStringLiteral("recreating main window")), 1);
        QTRY_VERIFY_WITH_TIMEOUT(app()->updateManager(), 5000);
        QVERIFY(app()->mainWidget()->isVisible());
        // The first window, made before the update manager, uses it too.
        QVERIFY(checkForUpdates->isEnabled());
        QVERIFY(sinceStart.elapsed() >= 3500);
        // The preview runs on the window's grabber while the window is shown.
        QTRY_VERIFY_WITH_TIMEOUT(app()->cameraGrabber()->isCameraStarted(), 10000);
    }

    void trayClickTogglesAndDeactivationHidesOnlyWithATrayHost()
    {
        QWidget* window = app()->mainWidget();
        emit app()->trayIcon()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(!window->isVisible());
        emit app()->trayIcon()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(window->isVisible());
        // Without a tray host (offscreen), hiding would leave no way back.
        QEvent deactivate(QEvent::ApplicationDeactivate);
        QCoreApplication::sendEvent(app(), &deactivate);
        QCOMPARE(window->isVisible(), !QSystemTrayIcon::isSystemTrayAvailable());
        window->show();
    }

    void wheelOverASliderScrollsThePageNotTheSlider()
    {
        QWidget* window = app()->mainWidget();
        window->resize(window->width(), 420);
        auto* stack = window->findChild<QStackedWidget*>(QStringLiteral("_mainStack"));
        QVERIFY(stack);
        QSlider* slider = nullptr;
        QScrollArea* page = nullptr;
        for (int i = 0; i < stack->count() && !slider; ++i) {
            stack->setCurrentIndex(i);
            page = qobject_cast<QScrollArea*>(stack->currentWidget());
            slider = page ? page->findChild<QSlider*>() : nullptr;
        }
        QVERIFY(slider);
        QScrollBar* bar = page->verticalScrollBar();
        QTRY_VERIFY(bar->maximum() > 0);
        bar->setValue(0);
        const int value = slider->value();
        const QPointF local(slider->width() / 2.0, slider->height() / 2.0);
        QWheelEvent turn(local, slider->mapToGlobal(local), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                         Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(slider, &turn);
        QTRY_VERIFY(bar->value() > 0);
        QCOMPARE(slider->value(), value);
        stack->setCurrentIndex(0);
    }

    // The feeder repeats its message on every check: one box per text.
    void aRepeatedMessageOpensOneBox()
    {
        const QString text = QStringLiteral("Feeder trouble");
        int boxesOfText = -1;
        int boxesInAll = -1;
        bool done = false;
        QTimer::singleShot(0, app(), [&] {
            emit app()->vcam()->onMessage(text);
            done = true;
        });
        whenBoxShows(text, [&](QMessageBox*) {
            emit app()->vcam()->onMessage(text); // returns at once
            emit app()->vcam()->onMessage(text);
            whenBoxShows(QStringLiteral("Other trouble"), [&](QMessageBox* other) {
                boxesOfText = visibleBoxes(text).size();
                boxesInAll = visibleBoxes().size();
                other->defaultButton()->click();
                for (QMessageBox* box : visibleBoxes(text))
                    box->defaultButton()->click();
            });
            emit app()->vcam()->onMessage(QStringLiteral("Other trouble"));
        });
        // Boxes that pile up are closed after a while, so a fault fails here.
        QTimer unstick;
        connect(&unstick, &QTimer::timeout, this, [] {
            for (QMessageBox* box : visibleBoxes())
                box->defaultButton()->click();
        });
        unstick.start(3000);
        QTRY_VERIFY_WITH_TIMEOUT(done, 20000);
        QCOMPARE(boxesOfText, 1);
        QCOMPARE(boxesInAll, 2);
        QVERIFY(visibleBoxes().isEmpty());
    }

    // A colour-scheme change while the window waits in its own box: the old
    // window goes (from the event loop) and its code, back from the box,
    // notices; the new window shows in its place with the preview running.
    void schemeChangeWhileTheWindowWaitsInItsBox()
    {
        const QPointer<QWidget> old = app()->mainWidget();
        QPushButton* reset = nullptr;
        for (QPushButton* b : old->findChildren<QPushButton*>())
            if (b->text() == QLatin1String("Reset"))
                reset = b;
        QVERIFY(reset);
        const QString question = QStringLiteral("This action will reset all your settings.\nPress Ok to confirm.");
        bool oldGoneWhileBoxOpen = false;
        bool done = false;
        whenBoxShows(question, [&](QMessageBox* box) {
            QApplication::setPalette(schemePalette(!app()->isDarkMode()));
            QTimer::singleShot(500, app(), [&, box] {
                oldGoneWhileBoxOpen = old.isNull();
                for (QAbstractButton* b : box->buttons())
                    if (b->text() == QLatin1String("Ok"))
                        b->click();
            });
        });
        QTimer::singleShot(0, reset, [&, reset] {
            reset->click();
            done = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(done, 10000);
        QVERIFY(oldGoneWhileBoxOpen);
        QVERIFY(app()->mainWidget());
        QVERIFY(app()->mainWidget()->isVisible());
        QCOMPARE(LogCapture::count(QStringLiteral("recreating main window")), 2);
        // The old window's end left the shared grabber to the new one.
        QTest::qWait(200);
        QVERIFY(app()->cameraGrabber()->isCameraStarted());
    }

    // Last: ends the program. SIGTERM while a mandatory update's box is open:
    // the orderly shutdown runs from the event loop, the components go in
    // order, and the box's answer finds no update manager to download with.
    void sigtermShutsDownInOrderAndTheUpdateBoxFindsNoManager()
    {
        UpdateInfo info;
        info.version = QStringLiteral("9.9.9");
        info.mandatory = true;
        bool boxSeen = false;
        bool boxReturned = false;
        LogCapture::clear();
        QTimer::singleShot(0, app(), [&] {
            whenBoxShows({}, [&](QMessageBox* box) {
                boxSeen = box->text().startsWith(QLatin1String("There is a new update available (v9.9.9)."));
                ::kill(::getpid(), SIGTERM);
            });
            emit app()->updateManager()->onNewUpdateAvailable(info);
            boxReturned = true;
        });
        QTimer::singleShot(30000, app(), [] { QCoreApplication::exit(99); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QTRY_VERIFY(boxReturned);
        QVERIFY(boxSeen);
        QVERIFY(!app()->mainWidget() && !app()->cameraGrabber() && !app()->vcam() && !app()->vmic()
                && !app()->lightController() && !app()->updateManager());
        QVERIFY(!app()->trayIcon()->isVisible());
        const QStringList order = {QStringLiteral("MainWidget DCTOR!"), QStringLiteral("VCam::Opaque DCTOR"),
                                   QStringLiteral("VMic DCTOR!"), QStringLiteral("~LightController DCTOR"),
                                   QStringLiteral("UpdateManager DCTOR!")};
        qsizetype previous = LogCapture::firstLine(QStringLiteral("App::onTerminationSignal"));
        QVERIFY(previous >= 0);
        for (const QString& line : order) {
            const qsizetype at = LogCapture::firstLine(line);
            QVERIFY2(at > previous,
                     qPrintable(line + QStringLiteral(" out of order:\n") + LogCapture::all().join(u'\n')));
            previous = at;
        }
    }
};

int main(int argc, char** argv)
{
    sinceStart.start();
    App app(argc, argv);
    AppWiringTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_app_wiring.moc"
