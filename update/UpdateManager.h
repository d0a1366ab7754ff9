#pragma once

#include "UpdateManifest.h"

#include <QMutex>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QUrl>

#include <atomic>
#include <memory>

class UpdateBodySink;
class Worker;

// Where the manager looks and how long it waits. Users get the defaults; tests
// point it at a local server that their own certificate authority vouches for.
struct UpdateOptions
{
    QUrl manifestUrl = QUrl(QStringLiteral("https://updates.vantorcontrol.com/VantorControl/update_manifest.json"));
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    // Where the uninstaller is looked for; empty means the program's own folder.
    QString programDir;
    // A transfer that moves no byte for this long, connecting included, fails.
    int stallTimeoutMs = 15000;
    // The manifest is small: all of it must arrive within this time.
    int manifestDeadlineMs = 60000;
    qint64 maxManifestBytes = 1 << 20;
    // The largest installer accepted when the manifest gives no size.
    qint64 maxInstallerBytes = qint64(1) << 30;
    // From the installer's start to the request that the program shut down,
    // so that the installer can replace the files of a program that has exited.
    int shutdownDelayMs = 5000;

    // The defaults, with the release host replaced by a staging or test server
    // where the environment names one: VANTOR_UPDATE_MANIFEST_URL (an https
    // address) and VANTOR_UPDATE_CA_CERTIFICATES (a PEM file of the
    // authorities that vouch for it, trusted in addition to the system's).
    // A value that cannot be used is logged and left out.
    static UpdateOptions fromEnvironment();
};

// Keeps the program current: reads the update manifest, reports the newest
// release for this platform that is newer than the running version, downloads
// its installer on request and starts it; also finds and starts the uninstaller.
//
// Network and file work runs on the manager's own worker thread, where the
// manager lives; the signals reach other threads queued. Only https addresses
// are followed, redirects included. An installer is streamed into a new file
// in a private folder, checked against the manifest's SHA-256 and size when it
// gives them, and renamed to its final name only when complete and verified.
// Without a digest, an installer is taken only from the manifest's own host,
// which the TLS connection already vouches for.
class UpdateManager : public QObject
{
    Q_OBJECT
public:
    using UpdateInfo = ::UpdateInfo;

    enum UpdateError {
        NoError = 0,
        ManifestDownloadFailed = 1,
        UpdateDownloadFailed = 2,
        FileDownloadFailed = 3,
        FileDownloadInterruped = 4,
        ParseFailed = 5,
        MissingField = 6,
        InvalidVersion = 7,
        CorruptUpdateFile = 8,
        FailedToWriteUpdateFile = 9,
        FailedToStartInstaller = 10,
    };
    Q_ENUM(UpdateError)

    explicit UpdateManager(QObject* parent = nullptr, UpdateOptions options = {});
    ~UpdateManager() override;

    // False, doing nothing, while a check or a download runs.
    bool checkForUpdate(bool notifyNoUpdates);
    // False while a download runs.
    bool downloadInstaller(UpdateInfo ui);
    // Starts an installer this manager downloaded and verified, detached; the
    // program is asked to shut down (onShutdownRequested) a little later.
    void runInstaller(QString filepath);
    // Starts the uninstaller found beside the program; true when it started.
    bool runUninstaller();

    static QString errorString(UpdateError error);
    static Version runningVersion();

    bool isChecking() const { return _checking; }
    bool isDownloading() const { return _downloading; }

signals:
    void onNewUpdateAvailable(UpdateInfo ui);
    void onNoUpdatesAvailable();
    void onCheckForUpdateError(UpdateError error);
    void onUpdateError(UpdateError error);
    void onDownloadFinished(QString filepath);
    void onCheckForUpdatesStarted();
    void onCheckForUpdatesFinished();
    void onDownloadProcessStarted();
    void onDownloadProcessFinished();
    // 0 to 100, rising, at most once per percent.
    void onDownloadProgress(float perc);
    // The installer runs: the program should now shut down.
    void onShutdownRequested();

private:
    void downloadUpdateInfo(bool notifyNoUpdates);
    void downloadUpdate(const UpdateInfo& ui);
    UpdateError saveInstaller(const UpdateInfo& ui, QString* path);
    // GETs `url` into `sink`: NoError, FileDownloadFailed or FileDownloadInterruped.
    UpdateError fetch(const QUrl& url, UpdateBodySink& sink, bool reportProgress, int deadlineMs);

    UpdateOptions _options;
    std::shared_ptr<Worker> worker;
    std::atomic<bool> _checking {false};
    std::atomic<bool> _downloading {false};
    // The installer last downloaded and verified: the only file runInstaller starts.
    QMutex _verifiedLock;
    QString _verifiedInstaller;
};
