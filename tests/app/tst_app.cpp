#include "App.h"

#include "platform/LoginLauncher.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QMenu>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTimer>
#include <QTranslator>
#include <QWidget>
#include <QtTest>

namespace {

// Answers the tray labels in German, to see the menu re-translate.
class GermanTray : public QTranslator
{
public:
    QString translate(const char* context, const char* source, const char*, int) const override
    {
        if (qstrcmp(context, "App") != 0)
            return {};
        if (qstrcmp(source, "Open") == 0)
            return QStringLiteral("Öffnen");
        if (qstrcmp(source, "Quit") == 0)
            return QStringLiteral("Beenden");
        return {};
    }
    bool isEmpty() const override { return false; }
};

QMessageBox* visibleBox()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
            return box;
    }
    return nullptr;
}

// Runs `act` on the message box once it shows.
void whenBoxShows(std::function<void(QMessageBox*)> act)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
        if (QMessageBox* box = visibleBox()) {
            poll->stop();
            poll->deleteLater();
            act(box);
        }
    });
    poll->start(10);
}

QPalette darkPalette()
{
    QPalette p;
    p.setColor(QPalette::Window, QColor(30, 30, 30));
    p.setColor(QPalette::WindowText, QColor(230, 230, 230));
    return p;
}

QPalette lightPalette()
{
    QPalette p;
    p.setColor(QPalette::Window, QColor(240, 240, 240));
    p.setColor(QPalette::WindowText, QColor(20, 20, 20));
    return p;
}

} // namespace

class AppTest : public QObject
{
    Q_OBJECT

    App* app() { return App::instance(); }

private slots:
    void identityAndLock()
    {
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Vantor Control"));
        QCOMPARE(app()->appVersion(), QStringLiteral("v0.25.8"));
        QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral("v0.25.8"));
        QCOMPARE(app()->appTitle(), QStringLiteral("Vantor Control v0.25.8 - Public Beta"));
        QVERIFY(app()->lockAcquired());
        // In the per-user runtime folder, not the temporary folder all users share.
        QCOMPARE(app()->lockFilePath(), qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/Vantor.lock"));
        QVERIFY(QFile::exists(app()->lockFilePath()));
        QVERIFY(!QApplication::quitOnLastWindowClosed());
        QVERIFY(app()->settings()->fileName().endsWith(QLatin1String("Quillet/VantorControl.conf")));
        // A lock another process would try is refused while this one runs.
        QLockFile other(app()->lockFilePath());
        QVERIFY(!other.tryLock(100));
    }

    void trayMenuHasOpenQuitAndTitle()
    {
        QVERIFY(app()->trayIcon());
        QVERIFY(!app()->trayIcon()->icon().isNull());
        QCOMPARE(app()->trayIcon()->icon().availableSizes().value(0), QSize(128, 128));
        const QList<QAction*> actions = app()->trayMenu()->actions();
        QCOMPARE(actions.size(), 4);
        QCOMPARE(actions[0]->text(), QStringLiteral("Open"));
        QCOMPARE(actions[1]->text(), QStringLiteral("Quit"));
        QVERIFY(actions[2]->isSeparator());
        QCOMPARE(actions[3]->text(), app()->appTitle());
        QCOMPARE(app()->trayMenu()->title(), QStringLiteral("Vantor Control"));
    }

    void trayClickWithoutWindowDoesNothingOtherActivationsRetranslate()
    {
        GermanTray german;
        QCoreApplication::installTranslator(&german);
        const QList<QAction*> actions = app()->trayMenu()->actions();
        emit app()->trayIcon()->activated(QSystemTrayIcon::Trigger);
        QCOMPARE(actions[0]->text(), QStringLiteral("Open"));
        // "Open" without a main window shows nothing.
        actions[0]->trigger();
        QVERIFY(QApplication::topLevelWidgets().isEmpty() || !QApplication::activeWindow());

        emit app()->trayIcon()->activated(QSystemTrayIcon::Context);
        QCOMPARE(actions[0]->text(), QStringLiteral("Öffnen"));
        QCOMPARE(actions[1]->text(), QStringLiteral("Beenden"));
        QCoreApplication::removeTranslator(&german);
        emit app()->trayIcon()->activated(QSystemTrayIcon::DoubleClick);
        QCOMPARE(actions[0]->text(), QStringLiteral("Open"));
        QCOMPARE(actions[1]->text(), QStringLiteral("Quit"));
    }

    void colourTableFollowsTheScheme()
    {
        QApplication::setPalette(lightPalette());
        QTRY_VERIFY(!app()->isDarkMode());
        QCOMPARE(app()->colorName(0), QStringLiteral("#ffffff"));
        QCOMPARE(app()->color(1), QColor(0xff, 0xff, 0xff, 0xe0));
        QCOMPARE(app()->color(11), QColor(0x00, 0x64, 0xda));
        QApplication::setPalette(darkPalette());
        QTRY_VERIFY(app()->isDarkMode());
        QCOMPARE(app()->colorName(0), QStringLiteral("#2d2d2f"));
        QCOMPARE(app()->color(3), QColor(0x2e, 0x2e, 0x30, 0xe0));
        QCOMPARE(app()->colorName(10), QStringLiteral("#cbcbcb"));
        QApplication::setPalette(lightPalette());
        QTRY_VERIFY(!app()->isDarkMode());
    }

    void schemeChangeIsAnnouncedOnlyWhenDarknessChanges()
    {
        QApplication::setPalette(lightPalette());
        QTRY_VERIFY(!app()->isDarkMode());
        QSignalSpy changed(app(), &App::appearenceChanged);
        QPalette otherLight = lightPalette();
        otherLight.setColor(QPalette::Button, Qt::yellow);
        QApplication::setPalette(otherLight);
        QTest::qWait(50);
        QCOMPARE(changed.count(), 0);
        QApplication::setPalette(darkPalette());
        QTRY_COMPARE(changed.count(), 1);
        QVERIFY(app()->isDarkMode());
        QVERIFY(!app()->trayIcon()->icon().isNull());
        QApplication::setPalette(lightPalette());
        QTRY_COMPARE(changed.count(), 2);
    }

    void popupPlacementStaysOnScreen_data()
    {
        QTest::addColumn<QRect>("area");
        QTest::addColumn<QPoint>("anchor");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QRect>("expected");
        const QRect screen(0, 0, 1920, 1030);
        QTest::newRow("tray at bottom right")
            << screen << QPoint(1800, 1040) << QSize(400, 600) << QRect(1520, 430, 400, 600);
        QTest::newRow("tray at top left") << screen << QPoint(10, 30) << QSize(400, 600) << QRect(10, 30, 400, 600);
        QTest::newRow("larger than the screen")
            << QRect(0, 0, 300, 200) << QPoint(250, 150) << QSize(400, 600) << QRect(0, 0, 400, 600);
        QTest::newRow("second screen") << QRect(1920, 0, 1280, 974) << QPoint(3100, 1000) << QSize(300, 300)
                                       << QRect(2900, 674, 300, 300);
    }

    void popupPlacementStaysOnScreen()
    {
        QFETCH(QRect, area);
        QFETCH(QPoint, anchor);
        QFETCH(QSize, size);
        QFETCH(QRect, expected);
        QCOMPARE(App::placeInside(area, anchor, size), expected);
    }

    void trayWindowGeometryWithoutTrayGeometryUsesTheScreenCorner()
    {
        QCOMPARE(app()->trayWindowGeometry(nullptr), QRect());
        QWidget popup;
        popup.resize(300, 200);
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        const QRect placed = app()->trayWindowGeometry(&popup);
        QCOMPARE(placed.size(), QSize(300, 200));
        QCOMPARE(placed.right(), screen.right());
        QCOMPARE(placed.bottom(), screen.bottom() - 50);
    }

    void osVersionParts()
    {
        QCOMPARE(App::versionPart(QStringLiteral("10.0.22631"), 0), 10);
        QCOMPARE(App::versionPart(QStringLiteral("10.0.22631"), 1), 0);
        QCOMPARE(App::versionPart(QStringLiteral("10.0.22631"), 2), 22631);
        QCOMPARE(App::versionPart(QStringLiteral("11"), 0), 11);
        QCOMPARE(App::versionPart(QStringLiteral("11"), 1), 0);
        QCOMPARE(App::versionPart(QStringLiteral("11"), 2), 0);
        QCOMPARE(App::versionPart(QStringLiteral("..12..4"), 1), 4);
        QCOMPARE(App::versionPart(QString(), 0), 0);
        QCOMPARE(app()->getOSMajorVersion(), App::versionPart(QSysInfo::productVersion(), 0));
    }

    void messageBoxShowsLineBreaksAndReportsTheButton()
    {
        QString seenText, seenInfo;
        QStringList buttons;
        whenBoxShows([&](QMessageBox* box) {
            seenText = box->text();
            seenInfo = box->informativeText();
            for (QAbstractButton* b : box->buttons())
                buttons << b->text();
            QCOMPARE(box->defaultButton()->text(), QStringLiteral("Yes"));
            box->defaultButton()->click();
        });
        QVERIFY(app()->messageBox(QStringLiteral("one<br>two<BR>"), QStringLiteral("No"), QStringLiteral("Yes"),
                                  QStringLiteral("(x<br>y)")));
        QCOMPARE(seenText, QStringLiteral("one\ntwo<BR>"));
        QCOMPARE(seenInfo, QStringLiteral("(x\ny)"));
        buttons.sort();
        QCOMPARE(buttons, (QStringList {"No", "Yes"}));

        whenBoxShows([](QMessageBox* box) {
            for (QAbstractButton* b : box->buttons())
                if (b->text() == QLatin1String("No"))
                    b->click();
        });
        QVERIFY(!app()->messageBox(QStringLiteral("q"), QStringLiteral("No"), QStringLiteral("Yes"), QString()));

        // Closed from the window frame, a box with a single button was not accepted.
        whenBoxShows([](QMessageBox* box) { box->close(); });
        QVERIFY(!app()->messageBox(QStringLiteral("q"), QString(), QStringLiteral("Ok"), QString()));
    }

    void startAtLoginWritesAndRemovesTheAutostartEntry()
    {
        const QString entry = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                            + QStringLiteral("/autostart/VantorControl.desktop");
        app()->setupAppToLauncAtStartup(true);
        QVERIFY(QFile::exists(entry));
        QFile file(entry);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        QVERIFY(text.startsWith(QLatin1String("[Desktop Entry]\n")));
        QVERIFY(text.contains(QLatin1String("\nType=Application\n")));
        QVERIFY(text.contains(QStringLiteral("\nExec=\"%1\"\n").arg(QCoreApplication::applicationFilePath())));
        QCOMPARE(LoginLauncher::create()->registeredProgram(),
                 QDir::toNativeSeparators(QCoreApplication::applicationFilePath()));
        app()->setupAppToLauncAtStartup(true); // rewriting is harmless
        app()->setupAppToLauncAtStartup(false);
        QVERIFY(!QFile::exists(entry));
        app()->setupAppToLauncAtStartup(false);
        QVERIFY(!QFile::exists(entry));
    }

    // Every path comes back as written, and the entry stays one valid entry:
    // a line break in the path must not add lines of its own.
    void autostartEntryQuotesAwkwardPaths()
    {
        auto launcher = LoginLauncher::create();
        const QString entry = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                            + QStringLiteral("/autostart/VantorControl.desktop");
        const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        QVERIFY2(!validator.isEmpty(), "desktop-file-validate (desktop-file-utils) is needed");
        for (const QString& path :
             {QStringLiteral("/opt/My Apps/Vantor"), QStringLiteral("/home/a\"b/$HOME/x`y\\z"),
              QStringLiteral("/opt/100% sure/%f %u/Vantor"), QStringLiteral("/tmp/a\nHidden=true\n[Evil]\nExec=x/V"),
              QStringLiteral("/tmp/tab\there/cr\rthere/back\\nslash/Vantor")}) {
            QVERIFY(launcher->enable(path));
            QCOMPARE(launcher->registeredProgram(), path);
            QFile file(entry);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray text = file.readAll();
            QCOMPARE(text.count('\n'), 6); // the six lines written, no more
            QVERIFY2(!text.contains("Hidden=true\n"), text);
            QProcess validate;
            validate.start(validator, {entry});
            QVERIFY(validate.waitForFinished(10000));
            const QByteArray said = validate.readAll();
            QVERIFY2(validate.exitCode() == 0 && !said.contains("error:"), said + text);
        }
        QVERIFY(launcher->disable());
        QCOMPARE(launcher->registeredProgram(), QString());
    }

    // Last: ends the event loop.
    void quitFromTheTrayEndsTheLoopOnceWithCodeZero()
    {
        QSignalSpy aboutToQuit(app(), &QCoreApplication::aboutToQuit);
        QTimer::singleShot(0, app(), [this] { app()->trayMenu()->actions().at(1)->trigger(); });
        QTimer::singleShot(10000, app(), [] { QCoreApplication::exit(99); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(aboutToQuit.count(), 1);
        QVERIFY(!app()->trayIcon()->isVisible());
        app()->shutdown(); // again: nothing left to do, no second quit
        QCOMPARE(aboutToQuit.count(), 1);
    }
};

int main(int argc, char** argv)
{
    App app(argc, argv, false);
    AppTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_app.moc"
