#include "UpdateManager.h"

#include "Sha256.h"
#include "Worker.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QSslCertificate>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

namespace {

// The releases this build installs, and how its executables are named.
const QString kPlatformTag = QStringLiteral("linux");
const QString kExecutableSuffix;

const QStringList kInstallerArguments {QStringLiteral("/SILENT"), QStringLiteral("/NORESTART")};
// Each download gets a folder of its own that only this user can enter.
const QString kFolderPrefix = QStringLiteral("VantorUpdate-");
constexpr qint64 kProgressStep = 256000;
constexpr int kMaxRedirects = 5;
// How much of the body the reply holds before the worker takes it.
constexpr qint64 kReadBufferBytes = 1 << 20;
constexpr qint64 kChunkBytes = 256 << 10;

QString installerName(QString version)
{
    return QStringLiteral("Update_%1_%2").arg(QStringLiteral("Vantor"), version.replace(u'.', u'_'))
         + kExecutableSuffix;
}

bool interrupted()
{
    return QThread::currentThread()->isInterruptionRequested();
}

// Earlier downloads' folders of this user: their installers have run or been
// abandoned. Only folders with the owner of `ours` are touched, so nothing
// another user planted is followed.
void removeStaleFolders(const QString& root, const QFileInfo& ours)
{
    const auto entries = QDir(root).entryInfoList({kFolderPrefix + u'*'}, QDir::Dirs | QDir::NoSymLinks | QDir::Hidden);
    for (const QFileInfo& info : entries) {
        if (info.absoluteFilePath() == ours.absoluteFilePath() || info.isSymLink() || info.ownerId() != ours.ownerId())
            continue;
        qDebug() << "UpdateManager -> removing an earlier download:" << info.absoluteFilePath();
        QDir(info.absoluteFilePath()).removeRecursively();
    }
}

} // namespace

// Where a fetched body goes. A sink refuses more than its limit, and a write
// that fails; either stops the transfer.
class UpdateBodySink
{
public:
    enum Fault { None, TooLarge, WriteFailed };

    explicit UpdateBodySink(qint64 limit)
        : _limit(limit)
    {}
    virtual ~UpdateBodySink() = default;

    bool take(const QByteArray& data)
    {
        if (_size + data.size() > _limit) {
            _fault = TooLarge;
            return false;
        }
        if (!write(data)) {
            _fault = WriteFailed;
            return false;
        }
        _size += data.size();
        return true;
    }
    qint64 limit() const { return _limit; }
    qint64 size() const { return _size; }
    Fault fault() const { return _fault; }

protected:
    virtual bool write(const QByteArray& data) = 0;

private:
    qint64 _limit;
    qint64 _size = 0;
    Fault _fault = None;
};

namespace {

class MemorySink final : public UpdateBodySink
{
public:
    using UpdateBodySink::UpdateBodySink;
    const QByteArray& bytes() const { return _bytes; }

protected:
    bool write(const QByteArray& data) override
    {
        _bytes += data;
        return true;
    }

private:
    QByteArray _bytes;
};

// Streams the body to a file and hashes it on the way.
class FileSink final : public UpdateBodySink
{
public:
    FileSink(QFile& file, qint64 limit)
        : UpdateBodySink(limit)
        , _file(file)
    {}
    QByteArray sha256() { return _hash.result(); }

protected:
    bool write(const QByteArray& data) override
    {
        _hash.addData(data);
        return _file.write(data) == data.size();
    }

private:
    QFile& _file;
    Sha256 _hash;
};

} // namespace

UpdateOptions UpdateOptions::fromEnvironment()
{
    UpdateOptions options;
    const QString url = qEnvironmentVariable("VANTOR_UPDATE_MANIFEST_URL");
    if (!url.isEmpty()) {
        const QUrl manifest(url, QUrl::StrictMode);
        if (manifest.isValid() && manifest.scheme() == QLatin1String("https") && !manifest.host().isEmpty())
            options.manifestUrl = manifest;
        else
            qWarning() << "UpdateOptions -> ignoring VANTOR_UPDATE_MANIFEST_URL, not an https address:" << url;
    }
    const QString authorities = qEnvironmentVariable("VANTOR_UPDATE_CA_CERTIFICATES");
    if (!authorities.isEmpty()) {
        const QList<QSslCertificate> added = QSslCertificate::fromPath(authorities, QSsl::Pem);
        if (added.isEmpty())
            qWarning() << "UpdateOptions -> no certificate in VANTOR_UPDATE_CA_CERTIFICATES:" << authorities;
        else
            options.tls.addCaCertificates(added);
    }
    return options;
}

UpdateManager::UpdateManager(QObject* parent, UpdateOptions options)
    : QObject(parent)
    , _options(std::move(options))
{
    qRegisterMetaType<UpdateInfo>();
    qRegisterMetaType<UpdateError>();
    worker = Worker::create(this);
}

UpdateManager::~UpdateManager()
{
    qDebug() << "UpdateManager DCTOR!";
    // Stopping the worker ends a transfer in progress; its job then cleans up
    // without reporting.
    worker->stop();
    worker.reset();
}

Version UpdateManager::runningVersion()
{
    static const Version running = Version::parse(QStringLiteral(VANTOR_VERSION)).value_or(Version {});
    return running;
}

QString UpdateManager::errorString(UpdateError error)
{
    switch (error) {
    case NoError:
        return tr("no error");
    case ManifestDownloadFailed:
        return tr("failed to download update manifest");
    case UpdateDownloadFailed:
    case FileDownloadFailed:
        return tr("failed to download update file");
    case FileDownloadInterruped:
        return tr("download was interrupted");
    case ParseFailed:
        return tr("failed to parse update manifest");
    case MissingField:
        return tr("update manifest has missing fields");
    case InvalidVersion:
        return tr("update manifest contains invalid version");
    case CorruptUpdateFile:
        return tr("corrupted update file");
    case FailedToWriteUpdateFile:
        return tr("failed to write update file");
    case FailedToStartInstaller:
        return tr("failed to start installer");
    }
    return {};
}

bool UpdateManager::checkForUpdate(bool notifyNoUpdates)
{
    bool idle = false;
    if (_downloading || !_checking.compare_exchange_strong(idle, true))
        return false;
    if (!worker->runFunctionAsync([this, notifyNoUpdates](QObject*) { downloadUpdateInfo(notifyNoUpdates); })) {
        _checking = false;
        return false;
    }
    return true;
}

bool UpdateManager::downloadInstaller(UpdateInfo ui)
{
    bool idle = false;
    if (!_downloading.compare_exchange_strong(idle, true))
        return false;
    if (!worker->runFunctionAsync([this, ui](QObject*) { downloadUpdate(ui); })) {
        _downloading = false;
        return false;
    }
    return true;
}

UpdateManager::UpdateError UpdateManager::fetch(const QUrl& url, UpdateBodySink& sink, bool reportProgress,
                                                int deadlineMs)
{
    const auto fail = [](const QString& why) {
        qWarning() << "UpdateManager::downloadFile -> failed! ->" << why;
        return FileDownloadFailed;
    };
    if (url.scheme() != QLatin1String("https"))
        return fail(QStringLiteral("not an https address: %1").arg(url.toDisplayString()));

    QNetworkAccessManager network;
    QNetworkRequest request(url);
    request.setSslConfiguration(_options.tls);
    request.setTransferTimeout(_options.stallTimeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    const std::unique_ptr<QNetworkReply> reply(network.get(request));
    reply->setReadBufferSize(kReadBufferBytes);

    QEventLoop loop;
    QString refusal;
    const auto refuse = [&](const QString& why) {
        if (refusal.isEmpty())
            refusal = why;
        reply->abort();
    };

    // Progress is reported as the body is taken, once per step of bytes and
    // at most once per percent.
    qint64 total = -1;
    qint64 lastBucket = -1;
    qint64 lastPercent = -1;
    const QString fileName = url.fileName();
    const auto progress = [&](qint64 received) {
        if (total <= 0)
            return;
        const qint64 bucket = received / kProgressStep;
        const qint64 percent = received * 100 / total;
        if (bucket == lastBucket || percent == lastPercent)
            return;
        lastBucket = bucket;
        lastPercent = percent;
        qDebug() << "Downloading" << fileName << "->" << percent << "%";
        if (reportProgress)
            emit onDownloadProgress(float(percent));
    };
    const auto drain = [&] {
        while (refusal.isEmpty() && reply->bytesAvailable() > 0) {
            if (!sink.take(reply->read(kChunkBytes)))
                refuse(sink.fault() == UpdateBodySink::TooLarge
                           ? QStringLiteral("more than the %1 bytes expected").arg(sink.limit())
                           : QStringLiteral("the file could not be written"));
            else
                progress(sink.size());
        }
    };
    QObject::connect(reply.get(), &QNetworkReply::redirected, &loop, [&](const QUrl& to) {
        if (to.scheme() != QLatin1String("https"))
            refuse(QStringLiteral("redirected to an address that is not https: %1").arg(to.toDisplayString()));
        else
            emit reply->redirectAllowed();
    });
    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, &loop, [&] {
        bool known = false;
        const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        total = known ? announced : -1;
        if (known && announced > sink.limit())
            refuse(QStringLiteral("%1 bytes announced, more than the %2 expected").arg(announced).arg(sink.limit()));
    });
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, drain);
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);

    QTimer deadline;
    if (deadlineMs > 0) {
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop,
                         [&] { refuse(QStringLiteral("not complete after %1 ms").arg(deadlineMs)); });
        deadline.start(deadlineMs);
    }
    loop.exec();

    if (!reply->isFinished()) {
        // The worker is stopping: the loop ended before the transfer did.
        reply->abort();
        qWarning() << "UpdateManager::downloadFile -> interrupted by shutdown";
        return FileDownloadInterruped;
    }
    drain();
    const qint64 received = sink.size();
    if (!refusal.isEmpty())
        return fail(refusal);
    if (reply->error() != QNetworkReply::NoError) {
        // Qt ends a transfer that moves nothing for the stall time as cancelled.
        const QString why = reply->error() == QNetworkReply::OperationCanceledError
                              ? QStringLiteral("no data for %1 ms").arg(_options.stallTimeoutMs)
                              : reply->errorString();
        qWarning() << "UpdateManager::downloadFile -> failed! ->" << why;
        return received > 0 && total > received ? FileDownloadInterruped : FileDownloadFailed;
    }
    if (total >= 0 && received < total) {
        qWarning() << "UpdateManager::downloadFile -> cut short:" << received << "of" << total << "bytes";
        return FileDownloadInterruped;
    }
    qDebug() << "UpdateManager::downloadFile -> succeeded!" << received << "bytes";
    // A body of unknown length, or one whose last percent fell in a step
    // already reported, still ends at 100.
    if (reportProgress && lastPercent != 100)
        emit onDownloadProgress(100.f);
    return NoError;
}

void UpdateManager::downloadUpdateInfo(bool notifyNoUpdates)
{
    qDebug() << "UpdateManager::onCheckForUpdatesStarted";
    emit onCheckForUpdatesStarted();

    MemorySink manifest(_options.maxManifestBytes);
    const UpdateError fetched = fetch(_options.manifestUrl, manifest, false, _options.manifestDeadlineMs);
    if (interrupted()) {
        _checking = false;
        return;
    }
    UpdateError error = fetched == FileDownloadFailed ? ManifestDownloadFailed : fetched;
    std::optional<UpdateInfo> newest;
    if (error == NoError) {
        const ManifestReading reading = readManifest(manifest.bytes(), kPlatformTag, runningVersion());
        switch (reading.fault) {
        case ManifestReading::None:
            newest = reading.newest;
            break;
        case ManifestReading::Malformed:
            qWarning() << "UpdateManager::downloadUpdateInfo -> error parsing json file! ->" << reading.detail
                       << manifest.bytes().left(512);
            error = ParseFailed;
            break;
        case ManifestReading::MissingField:
            qWarning() << "UpdateManager::downloadUpdateInfo ->" << reading.detail;
            error = MissingField;
            break;
        case ManifestReading::InvalidVersion:
            qWarning() << "UpdateManager::downloadUpdateInfo -> invalid version" << reading.detail;
            error = InvalidVersion;
            break;
        }
    }

    if (error != NoError) {
        qDebug() << "UpdateManager::onCheckForUpdateError" << error;
        emit onCheckForUpdateError(error);
    } else if (newest) {
        qDebug() << "UpdateManager::onNewUpdateAvailable" << newest->version;
        emit onNewUpdateAvailable(*newest);
    } else if (notifyNoUpdates) {
        qDebug() << "UpdateManager::onNoUpdatesAvailable";
        emit onNoUpdatesAvailable();
    }
    qDebug() << "UpdateManager::onCheckForUpdatesFinished";
    emit onCheckForUpdatesFinished();
    _checking = false;
}

void UpdateManager::downloadUpdate(const UpdateInfo& ui)
{
    emit onDownloadProcessStarted();
    QString path;
    const UpdateError error = saveInstaller(ui, &path);
    if (interrupted()) {
        _downloading = false;
        return;
    }
    if (error != NoError) {
        qDebug() << "UpdateManager::onUpdateError" << error;
        emit onUpdateError(error);
    } else {
        qDebug() << "UpdateManager::onDownloadFinished" << path;
        emit onDownloadFinished(path);
    }
    _downloading = false;
    emit onDownloadProcessFinished();
}

UpdateManager::UpdateError UpdateManager::saveInstaller(const UpdateInfo& ui, QString* path)
{
    const QUrl url(ui.url);
    if (url.scheme() != QLatin1String("https")) {
        qWarning() << "UpdateManager -> refusing an installer that is not on an https address:" << ui.url;
        return UpdateDownloadFailed;
    }
    if (ui.sha256.isEmpty() && url.host().compare(_options.manifestUrl.host(), Qt::CaseInsensitive) != 0) {
        qWarning() << "UpdateManager -> refusing an installer from" << url.host()
                   << "without a digest: only the manifest's own host is trusted without one";
        return UpdateDownloadFailed;
    }

    const QString root = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    QTemporaryDir folder(root + u'/' + kFolderPrefix + QStringLiteral("XXXXXX"));
    if (!folder.isValid()) {
        qWarning() << "UpdateManager -> cannot make a download folder in" << root << ":" << folder.errorString();
        return FailedToWriteUpdateFile;
    }
    removeStaleFolders(root, QFileInfo(folder.path()));

    const QString name = installerName(ui.version);
    QFile file(folder.filePath(name + QStringLiteral(".part")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        qWarning() << "UpdateManager -> cannot create" << file.fileName() << ":" << file.errorString();
        return FailedToWriteUpdateFile;
    }
    FileSink sink(file, ui.size > 0 ? ui.size : _options.maxInstallerBytes);
    const UpdateError fetched = fetch(url, sink, true, 0);
    if (interrupted())
        return FileDownloadInterruped;
    if (sink.fault() == UpdateBodySink::WriteFailed) {
        qWarning() << "UpdateManager -> writing" << file.fileName() << "failed:" << file.errorString();
        return FailedToWriteUpdateFile;
    }
    if (fetched != NoError)
        return fetched == FileDownloadInterruped ? FileDownloadInterruped : UpdateDownloadFailed;
    if (sink.size() == 0) {
        qWarning() << "UpdateManager -> the installer is empty";
        return UpdateDownloadFailed;
    }
    if (ui.size > 0 && sink.size() != ui.size) {
        qWarning() << "UpdateManager -> the installer has" << sink.size() << "bytes, the manifest says" << ui.size;
        return CorruptUpdateFile;
    }
    if (const QByteArray digest = sink.sha256(); !ui.sha256.isEmpty() && digest != ui.sha256) {
        qWarning() << "UpdateManager -> the installer's SHA-256 is" << digest.toHex() << ", the manifest says"
                   << ui.sha256.toHex();
        return CorruptUpdateFile;
    }
    if (!file.flush()) {
        qWarning() << "UpdateManager -> writing" << file.fileName() << "failed:" << file.errorString();
        return FailedToWriteUpdateFile;
    }
    file.close();
    const QString finalPath = folder.filePath(name);
    if (!file.rename(finalPath)
        || !QFile::setPermissions(finalPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        qWarning() << "UpdateManager -> cannot put the installer in place:" << file.errorString();
        return FailedToWriteUpdateFile;
    }
    folder.setAutoRemove(false);
    *path = QDir::toNativeSeparators(finalPath);
    QMutexLocker lock(&_verifiedLock);
    _verifiedInstaller = *path;
    return NoError;
}

void UpdateManager::runInstaller(QString filepath)
{
    {
        QMutexLocker lock(&_verifiedLock);
        if (filepath.isEmpty() || filepath != _verifiedInstaller) {
            qWarning() << "UpdateManager::runInstaller -> not an installer this manager downloaded:" << filepath;
            emit onUpdateError(FailedToStartInstaller);
            return;
        }
    }
    qint64 pid = 0;
    const QString folder = QDir::toNativeSeparators(QFileInfo(filepath).absolutePath());
    if (!QProcess::startDetached(filepath, kInstallerArguments, folder, &pid) || pid <= 0) {
        qWarning() << "UpdateManager::runInstaller -> failed to start" << filepath;
        emit onUpdateError(FailedToStartInstaller);
        return;
    }
    qDebug() << "UpdateManager::runInstaller -> started" << filepath << "as process" << pid;
    QTimer::singleShot(_options.shutdownDelayMs, this, [this] {
        qDebug() << "UpdateManager -> the installer runs: asking the program to shut down";
        emit onShutdownRequested();
    });
}

bool UpdateManager::runUninstaller()
{
    const QDir dir(_options.programDir.isEmpty() ? QCoreApplication::applicationDirPath() : _options.programDir);
    for (int n = 1000; n >= 0; --n) {
        const QString base = dir.absoluteFilePath(QStringLiteral("unins%1").arg(n, 3, 10, QLatin1Char('0')));
        const QString program = base + kExecutableSuffix;
        if (!QFileInfo(program).isExecutable() || !QFileInfo::exists(base + QStringLiteral(".dat"))
            || !QFileInfo::exists(base + QStringLiteral(".msg")))
            continue;
        qDebug() << "Uninstaller path: " << program;
        qint64 pid = 0;
        return QProcess::startDetached(program, {}, dir.absolutePath(), &pid) && pid > 0;
    }
    qDebug() << "UpdateManager::runUninstaller -> no uninstaller in" << dir.absolutePath();
    return false;
}
