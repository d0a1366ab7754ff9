#include "App.h"

#include "VCam.h"
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
#include <QStandardPaths>
#include <QSysInfo>
#include <QTimer>

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

} // namespace

App::App(int& argc, char** argv)
    : QApplication(argc, argv)
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
}

void App::start()
{
    _vcam = new VCam(&_settings, nullptr);
    connect(_vcam, &VCam::onMessage, this, &App::showComponentMessage);
    if (!_vcam->start()) {
        QTimer::singleShot(1, this, &App::shutdown);
        return;
    }
}

void App::showComponentMessage(const QString& message)
{
    messageBox(message, QString(), tr("Ok"), QString());
}

void App::setupUpdateManager() {}

void App::shutdown()
{
    if (_mainWidget) {
        _mainWidget->close();
        delete std::exchange(_mainWidget, nullptr);
    }
    if (_vcam) {
        _vcam->stop();
        delete std::exchange(_vcam, nullptr);
    }
    if (_trayIcon)
        _trayIcon->hide();
    if (!_quitting) {
        _quitting = true;
        QCoreApplication::quit();
    }
}

void App::showMainWindow()
{
    if (_mainWidget)
        _mainWidget->show();
}

void App::recreateMainWindow() {}

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
        if (_mainWidget)
            _mainWidget->setVisible(!_mainWidget->isVisible());
        return;
    }
    for (auto it = _trayActions.cbegin(); it != _trayActions.cend(); ++it)
        it.value()->setText(tr(it.key().toUtf8().constData()));
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
