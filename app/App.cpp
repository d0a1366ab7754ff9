#include "App.h"

#include "CameraGrabber.h"
#include "LightController.h"
#include "MainWidget.h"
#include "UpdateManager.h"
#include "VCam.h"
#include "VMic.h"
#include "platform/ColorSchemeSource.h"
#include "platform/LoginLauncher.h"

#include <QAbstractButton>
#include <QAction>
#include <QDebug>
#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QSocketNotifier>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTimer>
#include <QWheelEvent>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

const char* const kAppName = "Vantor Control";
const char* const kVersionMajor = "0";
const char* const kVersionMinor = "25";
const char* const kVersionPatch = "8";
const char* const kTitleSuffix = " - Public Beta";
const char* const kLockName = "Vantor";
const char* const kIconPath = ":/assets/app.png";
constexpr int kLockTimeoutMs = 100;
constexpr int kStartDelayMs = 2500;
// From the components' creation to the update manager and the shown window.
constexpr int kUpdateManagerDelayMs = 1000;
const char* const kLightName = "Light_ble";
const char* const kLightService = "0000f530-1212-efde-1523-785feabcd123";
const char* const kLightDescriptor = "00002902-0000-1000-8000-00805f9b34fb";
const char* const kLightCharacteristic = "0000f532-1212-efde-1523-785feabcd123";
constexpr int kIconSize = 128;
// The taskbar is assumed to take this much of the bottom of the tray's screen.
constexpr int kTaskbarReserve = 50;

// Colour roles: (light scheme, dark scheme). Eight hex digits carry alpha first.
const QMap<int, std::pair<QString, QString>>& colorTable()
{
    static const QMap<int, std::pair<QString, QString>> table = {
        {0, {"#ffffff", "#2d2d2f"}},     {1, {"#e0ffffff", "#e02d2d2f"}}, {2, {"#ececed", "#2e2e30"}},
        {3, {"#e0ececed", "#e02e2e30"}}, {4, {"#d0d0d0", "#222222"}},     {5, {"#474749", "#ffffff"}},
        {6, {"#474749", "#474749"}},     {7, {"#d8d8d8", "#d0d0d0"}},     {8, {"#8d8d8d", "#8d8d8d"}},
        {9, {"#ffffff", "#ffffff"}},     {10, {"#474749", "#cbcbcb"}},    {11, {"#0064da", "#0064da"}},
        {12, {"#d8d8d8", "#2e2e30"}},    {13, {"#474749", "#ffffff"}},    {14, {"#d8d8d8", "#8d8d8d"}},
        {15, {"#474749", "#ffffff"}},
    };
    return table;
}

// The single-instance lock lives in the user's own runtime folder
// ($XDG_RUNTIME_DIR, or a private folder Qt makes in the temporary one): the
// temporary folder itself is shared by every user, where one user's lock
// would keep all others from starting the suite. Without a runtime folder
// (somebody else holds the one Qt would make), the user's own configuration
// folder serves.
QDir lockFolder()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) {
        folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
        QDir().mkpath(folder);
    }
    return QDir(folder);
}

// The write end of the termination pipe; the signal handler only writes to it.
int g_signalWriteFd = -1;

void onTerminationSignalHandler(int signal)
{
    const unsigned char byte = static_cast<unsigned char>(signal);
    const int saved = errno;
    // A write that fails finds the pipe full: a byte already waits there to
    // wake the loop, so nothing is lost.
    if (g_signalWriteFd >= 0 && ::write(g_signalWriteFd, &byte, 1) < 0) {}
    errno = saved;
}

} // namespace

App::App(int& argc, char** argv, bool startComponents)
    : QApplication(argc, argv)
    , _startComponents(startComponents)
{
    _lockFilePath = lockFolder().absoluteFilePath(QStringLiteral("%1.lock").arg(QLatin1String(kLockName)));
    setQuitOnLastWindowClosed(false);
    setApplicationDisplayName(QString::fromLatin1(kAppName));
    setApplicationName(QString::fromLatin1(kAppName));
    setApplicationVersion(appVersion());
    setWindowIcon(QIcon(QString::fromLatin1(kIconPath)));

    _colorScheme = ColorSchemeSource::create();
    _loginLauncher = LoginLauncher::create();
    _darkMode = _colorScheme->isDark();

    _lockFile = std::make_unique<QLockFile>(_lockFilePath);
    _lockAcquired = _lockFile->tryLock(kLockTimeoutMs);
    if (!_lockAcquired)
        return;
    startup();
}

App::~App()
{
    shutdown();
    _trayMenu.reset();
    // The lock is released (and its file removed) with _lockFile.
}

int App::run()
{
    if (!_lockAcquired) {
        messageBox(tr("The application is already running.\nyou are allowed to run only one instance of the "
                      "application."),
                   QString(), tr("Ok"), QString());
        return 1;
    }
    return exec();
}

void App::startup()
{
    connect(_colorScheme.get(), &ColorSchemeSource::colorSchemeChanged, this, &App::onColorSchemeChanged);
    if (_startComponents)
        QTimer::singleShot(kStartDelayMs, this, &App::start);

    _trayMenu = std::make_unique<QMenu>();
    _trayMenu->setTitle(QString::fromLatin1(kAppName));
    QAction* open = _trayMenu->addAction(tr("Open"));
    connect(open, &QAction::triggered, this, &App::showMainWindow);
    QAction* quit = _trayMenu->addAction(tr("Quit"));
    connect(quit, &QAction::triggered, this, &App::shutdown);
    _trayMenu->addSeparator();
    _trayMenu->addAction(appTitle());
    _trayActions.insert(QStringLiteral("Open"), open);
    _trayActions.insert(QStringLiteral("Quit"), quit);

    _trayIcon = new QSystemTrayIcon(this);
    updateAppIcon();
    _trayIcon->setContextMenu(_trayMenu.get());
    _trayIcon->setToolTip(appTitle());
    _trayIcon->setVisible(true);
    connect(_trayIcon, &QSystemTrayIcon::activated, this, &App::onTrayActivated);

    connect(this, &QCoreApplication::aboutToQuit, this, &App::shutdown);
    watchTerminationSignals();

    // Without a tray host there is no icon to bring a hidden window back: the
    // window then stays open (it does not hide when another program takes the
    // focus), and its Quit button ends the program.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        qWarning() << "App::startup -> no system tray: the main window stays open until Quit";
}

void App::watchTerminationSignals()
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        qWarning() << "App::watchTerminationSignals -> no pipe for signals:" << strerror(errno);
        return;
    }
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    g_signalWriteFd = fds[1];
    _signalNotifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, this);
    connect(_signalNotifier, &QSocketNotifier::activated, this, &App::onTerminationSignal);
    struct sigaction action = {};
    action.sa_handler = onTerminationSignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

void App::onTerminationSignal()
{
    unsigned char byte = 0;
    while (::read(int(_signalNotifier->socket()), &byte, 1) == 1)
        qDebug() << "App::onTerminationSignal -> signal" << int(byte) << "- shutting down";
    // From a pass of the event loop of its own, like the tray's Quit, not from
    // inside the notifier's handler.
    QTimer::singleShot(0, this, &App::shutdown);
}

void App::start()
{
    // The feeder. Without the virtual camera nothing else can work: its
    // message has been shown by the time start() returns, and the program ends.
    _vcam = new VCam(&_settings, nullptr);
    connect(_vcam, &VCam::onMessage, this, &App::showComponentMessage);
    if (!_vcam->start()) {
        QTimer::singleShot(1, this, &App::shutdown);
        return;
    }

    // The light panel.
    _lightController =
        new LightController(&_settings, QString::fromLatin1(kLightName), QString::fromLatin1(kLightService),
                            QString::fromLatin1(kLightDescriptor), QString::fromLatin1(kLightCharacteristic), nullptr);
    _lightController->start();

    // A colour-scheme change rebuilds the window for the new scheme.
    connect(this, &App::appearenceChanged, this, [this] {
        _darkMode = _colorScheme->isDark();
        recreateMainWindow();
    });

    // The virtual microphone, only when the virtual cable exists; it runs
    // while the virtual camera has clients.
    _vmic = new VMic(&_settings, nullptr);
    if (VMic::findVirtualOutputDevice(false).isNull()) {
        _vmic->stop();
    } else {
        connect(_vmic, &VMic::onMessage, this, &App::showComponentMessage);
        _vmic->start();
        connect(_vcam, &VCam::onClientsConnectedChanged, this, [this](bool connected) {
            if (_vmic)
                _vmic->clientsConnected = connected;
        });
    }

    // The preview's grabber and the window, hidden for now.
    _cameraGrabber = new CameraGrabber(nullptr);
    recreateMainWindow();

    // The autostart entry follows the setting on every start.
    setupAppToLauncAtStartup(_settings.getSetting(BaseSettings::General, BaseSettings::StartAtLogin).toBool());

    // Updates and the window a second later.
    QTimer::singleShot(kUpdateManagerDelayMs, this, [this] {
        setupUpdateManager();
        showMainWindow();
    });
}

void App::showComponentMessage(const QString& message)
{
    // The feeder repeats a failure every check: one box per text at a time,
    // or boxes would pile up, each in the loop of the one before.
    if (_openMessages.contains(message))
        return;
    _openMessages.insert(message);
    messageBox(message, QString(), tr("Ok"), QString());
    _openMessages.remove(message);
}

void App::setupUpdateManager()
{
    if (_quitting || _updateManager)
        return;
    _updateManager = new UpdateManager(nullptr, UpdateOptions::fromEnvironment());
    UpdateManager* u = _updateManager;
    // The window was made before the manager.
    if (auto* window = qobject_cast<MainWidget*>(_mainWidget))
        window->setUpdateManager(u);
    connect(u, &UpdateManager::onNewUpdateAvailable, this, &App::offerUpdate);
    connect(u, &UpdateManager::onNoUpdatesAvailable, this,
            [this] { messageBox(tr("You are running the latest version."), QString(), tr("Ok"), QString()); });
    connect(u, &UpdateManager::onCheckForUpdateError, this, [this](UpdateManager::UpdateError error) {
        reportUpdateError(tr("There was an error while checking for updates"), error);
    });
    connect(u, &UpdateManager::onUpdateError, this, [this](UpdateManager::UpdateError error) {
        reportUpdateError(tr("There was an error while updating"), error);
    });
    connect(u, &UpdateManager::onDownloadFinished, this, &App::installDownloadedUpdate);
    connect(u, &UpdateManager::onCheckForUpdatesStarted, this, [this] {
        qDebug() << "App::onCheckForUpdatesStarted";
        emit onUpdaterStarted();
    });
    connect(u, &UpdateManager::onCheckForUpdatesFinished, this, [this] {
        qDebug() << "App::onCheckForUpdatesFinished";
        emit onUpdaterFinished();
    });
    connect(u, &UpdateManager::onDownloadProcessStarted, this, [this] {
        qDebug() << "App::onDownloadProcessStarted";
        emit onDownloaderStarted();
    });
    connect(u, &UpdateManager::onDownloadProgress, this, [this](float percent) {
        qDebug() << "App::onDownloadProgress";
        emit onDownloaderProgress(percent);
    });
    connect(u, &UpdateManager::onDownloadProcessFinished, this, [this] {
        qDebug() << "App::onDownloadProcessFinished";
        emit onDownloaderFinished();
    });
    // The installer runs and must be able to replace this program's files.
    connect(u, &UpdateManager::onShutdownRequested, this, &App::shutdown, Qt::QueuedConnection);
    // The automatic check does not report that there is no update.
    u->checkForUpdate(false);
}

void App::offerUpdate(const UpdateInfo& info)
{
    const QString text =
        tr("%1 (v%2).<br>%3<br><br>")
            .arg(tr("There is a new update available"), info.version,
                 info.mandatory ? tr("The update will start right away.") : tr("Would you like to install now?"));
    const QString informative = tr("(%1)").arg(tr("download will be done in background"));
    const bool accepted = info.mandatory ? (messageBox(text, QString(), tr("Ok"), informative), true)
                                         : messageBox(text, tr("No"), tr("Yes"), informative);
    // The box runs its own loop: Quit may have deleted the manager meanwhile.
    if (accepted && _updateManager && !_quitting)
        _updateManager->downloadInstaller(info);
}

void App::reportUpdateError(const QString& what, int error)
{
    messageBox(
        tr("%1 (%2).<br>%3")
            .arg(what, UpdateManager::errorString(UpdateManager::UpdateError(error)), tr("Please try again later.")),
        QString(), tr("Ok"), QString());
}

void App::installDownloadedUpdate(const QString& filepath)
{
    messageBox(tr("The update file was successfully downloaded and it will be installed."), QString(), tr("Ok"),
               QString());
    if (_mainWidget)
        _mainWidget->hide();
    QTimer::singleShot(1, this, [this, filepath] {
        if (_updateManager && !_quitting)
            _updateManager->runInstaller(filepath);
    });
}

void App::shutdown()
{
    // Each component goes after the ones that use it: the window (and any
    // replaced window not yet deleted) uses the grabber and all the others.
    deleteRetiredWindows();
    if (_mainWidget) {
        _mainWidget->close();
        delete std::exchange(_mainWidget, nullptr);
    }
    if (_cameraGrabber) {
        _cameraGrabber->stopCamera();
        delete std::exchange(_cameraGrabber, nullptr);
    }
    if (_vcam) {
        _vcam->stop();
        delete std::exchange(_vcam, nullptr);
    }
    if (_vmic) {
        _vmic->stop();
        delete std::exchange(_vmic, nullptr);
    }
    if (_lightController) {
        _lightController->stop();
        delete std::exchange(_lightController, nullptr);
    }
    if (_updateManager)
        delete std::exchange(_updateManager, nullptr);
    if (_trayIcon)
        _trayIcon->hide();
    if (!_quitting) {
        _quitting = true;
        QCoreApplication::quit();
    }
}

void App::deleteRetiredWindows()
{
    for (const QPointer<QWidget>& window : std::exchange(_retiredWindows, {}))
        delete window.data();
}

void App::showMainWindow()
{
    if (_mainWidget)
        _mainWidget->show();
}

void App::recreateMainWindow()
{
    if (_quitting)
        return;
    qDebug() << "recreating main window";
    const bool visible = _mainWidget && _mainWidget->isVisible();
    QWidget* old = std::exchange(_mainWidget, new MainWidget(nullptr));
    _mainWidget->setVisible(visible);
    if (!old)
        return;
    // The old window may be inside one of its own nested loops (a message
    // box, a dialog, a row drag): it is hidden now and deleted from the event
    // loop, and its code checks that it still exists after each such call.
    old->close();
    _retiredWindows.removeAll(nullptr);
    _retiredWindows << old;
    old->deleteLater();
}

void App::setupAppToLauncAtStartup(bool status)
{
    if (status) {
        if (!_loginLauncher->enable(QDir::toNativeSeparators(QCoreApplication::applicationFilePath())))
            qWarning() << "App::setupAppToLauncAtStartup -> could not write the autostart entry";
        qDebug() << "Application set to launch at startup.";
    } else {
        if (!_loginLauncher->disable())
            qWarning() << "App::setupAppToLauncAtStartup -> could not remove the autostart entry";
        qDebug() << "Application removed from startup.";
    }
}

int App::versionPart(const QString& version, int index)
{
    const QStringList parts = version.split(u'.', Qt::SkipEmptyParts);
    return index < parts.size() ? parts.at(index).toInt() : 0;
}

int App::getOSMajorVersion()
{
    return versionPart(QSysInfo::productVersion(), 0);
}

int App::getOSMinorVersion()
{
    return versionPart(QSysInfo::productVersion(), 1);
}

int App::getOSBuildVersion()
{
    return versionPart(QSysInfo::productVersion(), 2);
}

void App::updateAppIcon()
{
    if (!_trayIcon)
        return;
    const QImage image = QImage(QString::fromLatin1(kIconPath))
                             .scaled(kIconSize, kIconSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    _trayIcon->setIcon(QIcon(QPixmap::fromImage(image)));
}

void App::onColorSchemeChanged()
{
    const bool dark = _colorScheme->isDark();
    if (dark == _darkMode)
        return;
    _darkMode = dark;
    updateAppIcon();
    emit appearenceChanged();
}

void App::onTrayActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger) {
        // A plain click toggles the window.
        if (_mainWidget)
            _mainWidget->setVisible(!_mainWidget->isVisible());
        return;
    }
    for (auto it = _trayActions.cbegin(); it != _trayActions.cend(); ++it)
        it.value()->setText(tr(it.key().toUtf8().constData()));
}

bool App::notify(QObject* receiver, QEvent* event)
{
    // Without a tray host a hidden window could never be reached again.
    if (event->type() == QEvent::ApplicationDeactivate && _mainWidget && _trayIcon
        && QSystemTrayIcon::isSystemTrayAvailable())
        _mainWidget->hide();
    return QApplication::notify(receiver, event);
}

bool App::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::Wheel || !_mainWidget || !qobject_cast<QSlider*>(watched))
        return QApplication::eventFilter(watched, event);
    // The page scrolls and the slider keeps its value: the same turn, sent to
    // the vertical scroll bar of the page shown now.
    auto* stack = _mainWidget->findChild<QStackedWidget*>(QStringLiteral("_mainStack"));
    auto* page = stack ? qobject_cast<QScrollArea*>(stack->currentWidget()) : nullptr;
    if (!page)
        return true;
    const auto* wheel = static_cast<const QWheelEvent*>(event);
    QScrollBar* bar = page->verticalScrollBar();
    const QPointF global = wheel->globalPosition();
    QCoreApplication::postEvent(bar, new QWheelEvent(bar->mapFromGlobal(global), global, wheel->pixelDelta(),
                                                     wheel->angleDelta(), wheel->buttons(), wheel->modifiers(),
                                                     wheel->phase(), wheel->inverted(), Qt::MouseEventNotSynthesized,
                                                     QPointingDevice::primaryPointingDevice()));
    return true;
}

QColor App::color(int role) const
{
    return QColor(colorName(role));
}

QString App::colorName(int role) const
{
    const auto entry = colorTable().value(role);
    return _darkMode ? entry.second : entry.first;
}

QRect App::placeInside(const QRect& area, const QPoint& anchor, const QSize& size)
{
    QRect rect(anchor, size);
    if (rect.right() > area.right())
        rect.moveRight(area.right());
    if (rect.bottom() > area.bottom())
        rect.moveBottom(area.bottom());
    if (rect.left() < area.left())
        rect.moveLeft(area.left());
    if (rect.top() < area.top())
        rect.moveTop(area.top());
    return rect;
}

QRect App::trayWindowGeometry(QWidget* widget) const
{
    if (!_trayIcon || !widget)
        return {};
    const QRect tray = _trayIcon->geometry();
    QScreen* screen = QGuiApplication::screenAt(tray.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return {};
    QRect area = screen->geometry();
    area.setHeight(std::max(0, area.height() - kTaskbarReserve));
    const QPoint anchor = tray.isEmpty() ? area.bottomRight() : tray.bottomLeft();
    return placeInside(area, anchor, widget->size());
}

bool App::messageBox(const QString& text, const QString& rejectText, const QString& acceptText,
                     const QString& informativeText)
{
    QMessageBox box;
    box.setText(QString(text).replace(QLatin1String("<br>"), QLatin1String("\n")));
    box.setInformativeText(QString(informativeText).replace(QLatin1String("<br>"), QLatin1String("\n")));
    box.setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    if (!rejectText.isEmpty())
        box.addButton(rejectText, QMessageBox::NoRole);
    QPushButton* accept = box.addButton(acceptText, QMessageBox::YesRole);
    box.setDefaultButton(accept);
    // Only a real press of the accept button counts: a box closed from its
    // window frame reports its sole button as clicked without pressing it.
    bool accepted = false;
    connect(accept, &QAbstractButton::clicked, &box, [&accepted] { accepted = true; });
    box.exec();
    return accepted;
}

QString App::appVersion() const
{
    return QStringLiteral("v%1.%2.%3")
        .arg(QLatin1String(kVersionMajor), QLatin1String(kVersionMinor), QLatin1String(kVersionPatch));
}

QString App::appTitle() const
{
    return QStringLiteral("%1 %2%3").arg(QLatin1String(kAppName), appVersion(), QLatin1String(kTitleSuffix));
}
