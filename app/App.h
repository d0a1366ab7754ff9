#pragma once

#include "BaseSettings.h"

#include <QApplication>
#include <QColor>
#include <QLockFile>
#include <QMap>
#include <QPointer>
#include <QRect>
#include <QSet>
#include <QSystemTrayIcon>

#include <memory>

class QAction;
class QMenu;
class QSocketNotifier;
class QWidget;
class CameraGrabber;
class ColorSchemeSource;
class LightController;
class LoginLauncher;
class UpdateManager;
struct UpdateInfo;
class VCam;
class VMic;

// The application object: settings store, single-instance guard, tray icon and
// menu, colour scheme, start at login, and the services every window uses.
class App : public QApplication
{
    Q_OBJECT
public:
    // The components are created 2.5 s after construction; a test of the
    // application's own services or of one window passes false and creates
    // the components it needs itself.
    explicit App(int& argc, char** argv, bool startComponents = true);
    ~App() override;

    // The running application, or null when the application object is not an
    // App (a test or tool on a plain QCoreApplication).
    static App* instance() { return qobject_cast<App*>(QCoreApplication::instance()); }

    // Runs the program: the "already running" box and exit code 1 when another
    // instance holds the lock, else the event loop.
    int run();

    bool lockAcquired() const { return _lockAcquired; }
    BaseSettings* settings() { return &_settings; }
    bool isDarkMode() const { return _darkMode; }

    CameraGrabber* cameraGrabber() const { return _cameraGrabber; }
    LightController* lightController() const { return _lightController; }
    VCam* vcam() const { return _vcam; }
    VMic* vmic() const { return _vmic; }
    UpdateManager* updateManager() const { return _updateManager; }
    QWidget* mainWidget() const { return _mainWidget; }

    QColor color(int role) const;
    QString colorName(int role) const;

    QRect trayWindowGeometry(QWidget* widget) const;
    // Where a popup of `size` goes: its top-left at `anchor`, then kept inside `area`.
    static QRect placeInside(const QRect& area, const QPoint& anchor, const QSize& size);

    bool messageBox(const QString& text, const QString& rejectText, const QString& acceptText,
                    const QString& informativeText);

    // Part `index` of a dotted version text ("10.0.22631"), or 0 when it has none.
    static int versionPart(const QString& version, int index);

    QString appVersion() const;
    QString appTitle() const;
    QString lockFilePath() const { return _lockFilePath; }

    QSystemTrayIcon* trayIcon() const { return _trayIcon; }
    QMenu* trayMenu() const { return _trayMenu.get(); }

    // Hides the main window when another application takes the focus, so the
    // window behaves as a tray popup; every event then goes on as usual.
    bool notify(QObject* receiver, QEvent* event) override;

protected:
    // Turns a wheel over a slider of the main window into a scroll of its page.
    bool eventFilter(QObject* watched, QEvent* event) override;

signals:
    void appearenceChanged();
    void onUpdaterStarted();
    void onUpdaterFinished();
    void onDownloaderStarted();
    void onDownloaderProgress(float percent);
    void onDownloaderFinished();

public slots:
    void shutdown();
    void showMainWindow();
    void recreateMainWindow();
    void setupAppToLauncAtStartup(bool status);
    void start();
    int getOSMajorVersion();
    int getOSMinorVersion();
    int getOSBuildVersion();
    void updateAppIcon();

private slots:
    void onColorSchemeChanged();
    void showComponentMessage(const QString& message);
    void onTrayActivated(QSystemTrayIcon::ActivationReason reason);

private:
    void startup();
    void setupUpdateManager();
    void deleteRetiredWindows();
    // SIGTERM, SIGINT and SIGHUP end the program through shutdown(), run from
    // the event loop: the handler itself only writes a byte to a pipe.
    void watchTerminationSignals();
    void onTerminationSignal();
    // The new-update box, then the download when asked for.
    void offerUpdate(const UpdateInfo& info);
    void reportUpdateError(const QString& what, int error);
    void installDownloadedUpdate(const QString& filepath);

    BaseSettings _settings;
    QMap<QString, QAction*> _trayActions;
    QSystemTrayIcon* _trayIcon = nullptr;
    std::unique_ptr<QMenu> _trayMenu;
    CameraGrabber* _cameraGrabber = nullptr;
    LightController* _lightController = nullptr;
    VCam* _vcam = nullptr;
    VMic* _vmic = nullptr;
    QWidget* _mainWidget = nullptr;
    // Windows replaced on a colour-scheme change whose deferred deletion has
    // not run yet: shutdown deletes them before the components they use.
    QList<QPointer<QWidget>> _retiredWindows;
    UpdateManager* _updateManager = nullptr;
    // Texts of the component message boxes open now: a repeated message does
    // not open a second box while the first is still shown.
    QSet<QString> _openMessages;
    QSocketNotifier* _signalNotifier = nullptr;
    QString _lockFilePath;
    std::unique_ptr<QLockFile> _lockFile;
    bool _lockAcquired = false;
    bool _quitting = false;
    bool _startComponents = true;
    bool _darkMode = false;
    std::unique_ptr<ColorSchemeSource> _colorScheme;
    std::unique_ptr<LoginLauncher> _loginLauncher;
};
