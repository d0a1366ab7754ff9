#include "HttpsServer.h"
#include "LogCapture.h"
#include "UpdateManager.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// Every signal of a manager, in the order they arrived on the test's thread.
class Recorder : public QObject
{
public:
    explicit Recorder(UpdateManager* m)
    {
        connect(m, &UpdateManager::onCheckForUpdatesStarted, this, [this] { events << "started"; });
        connect(m, &UpdateManager::onCheckForUpdatesFinished, this, [this] { events << "finished"; });
        connect(m, &UpdateManager::onNewUpdateAvailable, this, [this](const UpdateInfo& ui) {
            events << QStringLiteral("new %1%2").arg(ui.version, ui.mandatory ? " mandatory" : "");
            info = ui;
        });
        connect(m, &UpdateManager::onNoUpdatesAvailable, this, [this] { events << "none"; });
        connect(m, &UpdateManager::onCheckForUpdateError, this,
                [this](UpdateManager::UpdateError e) { events << QStringLiteral("check error %1").arg(name(e)); });
        connect(m, &UpdateManager::onUpdateError, this,
                [this](UpdateManager::UpdateError e) { events << QStringLiteral("error %1").arg(name(e)); });
        connect(m, &UpdateManager::onDownloadProcessStarted, this, [this] { events << "download started"; });
        connect(m, &UpdateManager::onDownloadProcessFinished, this, [this] { events << "download finished"; });
        connect(m, &UpdateManager::onDownloadFinished, this, [this](const QString& path) {
            events << "downloaded";
            downloaded = path;
        });
        connect(m, &UpdateManager::onDownloadProgress, this, [this](float p) { progress << p; });
        connect(m, &UpdateManager::onShutdownRequested, this, [this] { events << "shutdown"; });
    }
    static QString name(UpdateManager::UpdateError e)
    {
        return QString::fromLatin1(QMetaEnum::fromType<UpdateManager::UpdateError>().valueToKey(e));
    }

    QStringList events;
    QList<float> progress;
    UpdateInfo info;
    QString downloaded;
};

QByteArray release(const QString& os, const QString& version, const QString& extra = {})
{
    return QStringLiteral("{\"os\":\"%1\",\"version\":\"%2\",\"url\":\"https://h/i\"%3}")
        .arg(os, version, extra)
        .toUtf8();
}

QByteArray manifest(const QList<QByteArray>& releases)
{
    return "{\"updates\":[" + releases.join(',') + "]}";
}

bool writeFile(const QString& path, const QByteArray& data, bool executable = false)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size())
        return false;
    f.close();
    return !executable || f.setPermissions(f.permissions() | QFile::ExeOwner);
}

QStringList downloadFolders()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation))
        .entryList({"VantorUpdate-*"}, QDir::Dirs | QDir::Hidden);
}

} // namespace

class TestUpdate : public QObject
{
    Q_OBJECT

    std::unique_ptr<LogCapture> log;
    QTemporaryDir root;
    std::unique_ptr<HttpsServer> server;
    QSslConfiguration trustTestCa;
    QString record; // what the served installer writes when it runs
    QByteArray installer;

    std::unique_ptr<UpdateManager> manager(const QString& manifestPath, int stallMs = 1000)
    {
        UpdateOptions o;
        o.manifestUrl = server->url(manifestPath);
        o.tls = trustTestCa;
        o.stallTimeoutMs = stallMs;
        o.manifestDeadlineMs = 5000;
        o.maxInstallerBytes = 8 << 20;
        o.shutdownDelayMs = 300;
        o.programDir = root.filePath("program");
        return std::make_unique<UpdateManager>(nullptr, o);
    }

    UpdateInfo installerInfo(const QString& path, const QString& host = "127.0.0.1") const
    {
        UpdateInfo ui;
        ui.version = "1.2.3";
        ui.major = 1;
        ui.minor = 2;
        ui.patch = 3;
        ui.url = server->url(path, host).toString();
        ui.sha256 = QCryptographicHash::hash(installer, QCryptographicHash::Sha256);
        ui.size = installer.size();
        return ui;
    }

private slots:
    void initTestCase()
    {
        log = std::make_unique<LogCapture>();
        QVERIFY(root.isValid());
        QVERIFY(QDir(root.path()).mkpath("served") && QDir(root.path()).mkpath("program"));
        record = root.filePath("installer-ran");
        // 3 MiB, so the download reports progress several times.
        installer = QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$PWD\" \"$@\" >> '%1'\nexit 0\n").arg(record).toUtf8();
        installer += "# " + QByteArray(3 << 20, 'x') + "\n";
        const QString served = root.filePath("served/");
        QVERIFY(writeFile(served + "installer", installer));
        QVERIFY(writeFile(served + "empty", {}));
        QVERIFY(writeFile(served + "newer.json",
                          manifest({release("linux", "1.2.3", ",\"mandatory\":false"), release("win", "9.0.0"),
                                    release("linux", "0.26.0", ",\"mandatory\":true")})));
        QVERIFY(writeFile(served + "current.json", manifest({release("linux", "0.25.8")})));
        QVERIFY(writeFile(served + "broken.json", "{\"updates\": [ {\"os\": \"linux\", "));
        QVERIFY(writeFile(served + "big.json", "{\"pad\": \"" + QByteArray(600000, 'p') + "\"}"));

        server = std::make_unique<HttpsServer>(root.filePath("served"));
        QVERIFY2(server->isRunning(), qPrintable(server->error()));
        trustTestCa = QSslConfiguration::defaultConfiguration();
        trustTestCa.setCaCertificates(QSslCertificate::fromPath(server->caCertificatePath()));
        QVERIFY(!trustTestCa.caCertificates().isEmpty());
    }

    void cleanupTestCase() { server.reset(); }

    // The manifest reader on its own: which release wins, and which documents
    // are refused.
    void manifestReading_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("newest"); // "version[ mandatory]", or empty

        const int ok = ManifestReading::None;
        QTest::newRow("empty object") << QByteArray("{}") << ok << "";
        QTest::newRow("only the running version") << manifest({release("linux", "0.25.8")}) << ok << "";
        QTest::newRow("one patch newer") << manifest({release("linux", "0.25.9")}) << ok << "0.25.9";
        QTest::newRow("older mandatory does not count")
            << manifest({release("linux", "0.25.7", ",\"mandatory\":true"), release("linux", "1.0.0")}) << ok
            << "1.0.0";
        QTest::newRow("newer mandatory makes the newest mandatory") << manifest(
            {release("linux", "1.0.0", ",\"mandatory\":false"), release("linux", "0.26.0", ",\"mandatory\":true")})
                                                                    << ok << "1.0.0 mandatory";
        QTest::newRow("minor 100 beats minor 99")
            << manifest({release("linux", "1.99.0"), release("linux", "1.100.0"), release("linux", "1.9.999")}) << ok
            << "1.100.0";
        QTest::newRow("patch 1000 is not minor + 1")
            << manifest({release("linux", "0.26.0"), release("linux", "0.25.1000")}) << ok << "0.26.0";
        QTest::newRow("nine-digit parts")
            << manifest({release("linux", "999999999.999999999.999999999"), release("linux", "2.0.0")}) << ok
            << "999999999.999999999.999999999";
        QTest::newRow("empty parts are skipped") << manifest({release("linux", "1..2.3")}) << ok << "1..2.3";
        QTest::newRow("other platforms are skipped unread")
            << manifest({release("win", "9.0.0"), release("mac", "not a version")}) << ok << "";
        QTest::newRow("platform tag is case-sensitive") << manifest({release("Linux", "9.0.0")}) << ok << "";
        QTest::newRow("digest and size are read") << manifest(
            {release("linux", "1.0.0", QStringLiteral(",\"sha256\":\"%1\",\"size\":1234").arg("AB", 64, u'0'))})
                                                  << ok << "1.0.0";

        const int missing = ManifestReading::MissingField;
        QTest::newRow("release without url")
            << QByteArray("{\"updates\":[{\"os\":\"win\",\"version\":\"1.0.0\"}," + release("linux", "2.0.0") + "]}")
            << missing << "";
        QTest::newRow("version as a number")
            << QByteArray("{\"updates\":[{\"os\":\"linux\",\"version\":1,\"url\":\"u\"}]}") << missing << "";
        QTest::newRow("release not an object") << QByteArray("{\"updates\":[3]}") << missing << "";
        QTest::newRow("mandatory as text")
            << manifest({release("linux", "1.0.0", ",\"mandatory\":\"yes\"")}) << missing << "";
        QTest::newRow("short digest") << manifest({release("linux", "1.0.0", ",\"sha256\":\"abcd\"")}) << missing << "";
        QTest::newRow("negative size") << manifest({release("linux", "1.0.0", ",\"size\":-5")}) << missing << "";
        QTest::newRow("fractional size") << manifest({release("linux", "1.0.0", ",\"size\":1.5")}) << missing << "";

        const int invalid = ManifestReading::InvalidVersion;
        for (const char* v : {"not a version", "1.2", "1.2.3.4", "1.x.0", "1.2.3-beta", "-1.0.0", "1.0.1234567890"})
            QTest::newRow(qPrintable(QStringLiteral("version \"%1\"").arg(v)))
                << manifest({release("linux", v)}) << invalid << "";

        const int malformed = ManifestReading::Malformed;
        QTest::newRow("cut JSON") << QByteArray("{\"updates\": [") << malformed << "";
        QTest::newRow("top-level array") << QByteArray("[]") << malformed << "";
        QTest::newRow("updates not an array") << QByteArray("{\"updates\":{}}") << malformed << "";
        QTest::newRow("empty document") << QByteArray() << malformed << "";
    }
    void manifestReading()
    {
        QFETCH(QByteArray, json);
        QFETCH(int, fault);
        QFETCH(QString, newest);
        const ManifestReading r = readManifest(json, u"linux", UpdateManager::runningVersion());
        QCOMPARE(int(r.fault), fault);
        QCOMPARE(r.newest ? r.newest->version + (r.newest->mandatory ? " mandatory" : "") : QString(), newest);
        if (r.newest && r.newest->version == "1.0.0" && r.newest->size > 0) {
            QCOMPARE(r.newest->size, 1234);
            QCOMPARE(r.newest->sha256, QByteArray::fromHex(QByteArray("AB").rightJustified(64, '0')));
        }
    }

    // A check against the server ends in exactly one outcome between its
    // started and finished signals, whatever the server does, and leaves the
    // manager ready for the next one.
    void checkEndsInOneOutcome_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("notify");
        QTest::addColumn<QString>("outcome");

        QTest::newRow("newer release") << "files/newer.json" << false << "new 1.2.3 mandatory";
        QTest::newRow("https redirect is followed") << "redirect/https/newer.json" << false << "new 1.2.3 mandatory";
        QTest::newRow("up to date, asked") << "files/current.json" << true << "none";
        QTest::newRow("up to date, silent") << "files/current.json" << false << "";
        QTest::newRow("not JSON") << "files/broken.json" << false << "check error ParseFailed";
        QTest::newRow("404") << "status/404" << false << "check error ManifestDownloadFailed";
        QTest::newRow("500") << "status/500" << false << "check error ManifestDownloadFailed";
        QTest::newRow("redirect to http")
            << "redirect/http/newer.json" << false << "check error ManifestDownloadFailed";
        QTest::newRow("slow start") << "slow/2500/newer.json" << false << "check error ManifestDownloadFailed";
        QTest::newRow("stall mid-body") << "stall/big.json" << false << "check error FileDownloadInterruped";
        QTest::newRow("truncated") << "truncate/big.json" << false << "check error FileDownloadInterruped";
        QTest::newRow("endless document") << "endless" << false << "check error ManifestDownloadFailed";
        QTest::newRow("http address") << "http:" << false << "check error ManifestDownloadFailed";
        QTest::newRow("untrusted certificate") << "untrusted:" << false << "check error ManifestDownloadFailed";
    }
    void checkEndsInOneOutcome()
    {
        QFETCH(QString, path);
        QFETCH(bool, notify);
        QFETCH(QString, outcome);

        UpdateOptions o;
        o.manifestUrl = server->url(path == "http:" || path == "untrusted:" ? "files/newer.json" : path);
        if (path == "http:")
            o.manifestUrl.setScheme("http");
        o.tls = path == "untrusted:" ? QSslConfiguration::defaultConfiguration() : trustTestCa;
        o.stallTimeoutMs = 1000;
        UpdateManager m(nullptr, o);
        Recorder r(&m);
        const int requestsBefore = int(server->requests().size());

        QVERIFY(m.checkForUpdate(notify));
        QVERIFY(!m.checkForUpdate(true));
        QTRY_VERIFY_WITH_TIMEOUT(r.events.contains("finished"), 15000);
        QTest::qWait(50);
        QStringList expected {"started"};
        if (!outcome.isEmpty())
            expected << outcome;
        expected << "finished";
        const QStringList check = r.events.filter(QRegularExpression("^(started|finished|new|none|check error)"));
        QCOMPARE(check, expected);
        QVERIFY(!m.isChecking());
        if (path == "http:")
            QCOMPARE(server->requests().size(), requestsBefore);
        if (outcome.startsWith("new"))
            QCOMPARE(r.info.url, "https://h/i");
    }

    // Every way an installer download can go wrong ends in one error, leaves
    // no file behind and starts nothing.
    void installerFailuresLeaveNothing_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("error");

        QTest::newRow("wrong digest") << "files/installer"
                                      << "digest"
                                      << "CorruptUpdateFile";
        QTest::newRow("longer than the manifest says") << "files/installer"
                                                       << "size-1"
                                                       << "UpdateDownloadFailed";
        QTest::newRow("shorter than the manifest says") << "files/installer"
                                                        << "size+1"
                                                        << "CorruptUpdateFile";
        QTest::newRow("truncated") << "truncate/installer"
                                   << ""
                                   << "FileDownloadInterruped";
        QTest::newRow("stall mid-body") << "stall/installer"
                                        << ""
                                        << "FileDownloadInterruped";
        QTest::newRow("500") << "status/500"
                             << ""
                             << "UpdateDownloadFailed";
        QTest::newRow("redirect to http") << "redirect/http/installer"
                                          << ""
                                          << "UpdateDownloadFailed";
        QTest::newRow("http address") << "files/installer"
                                      << "http"
                                      << "UpdateDownloadFailed";
        QTest::newRow("no digest from another host") << "files/installer"
                                                     << "localhost"
                                                     << "UpdateDownloadFailed";
        QTest::newRow("empty") << "files/empty"
                               << "nodigest"
                               << "UpdateDownloadFailed";
        QTest::newRow("endless, no size given") << "endless"
                                                << "nodigest"
                                                << "UpdateDownloadFailed";
    }
    void installerFailuresLeaveNothing()
    {
        QFETCH(QString, path);
        QFETCH(QString, change);
        QFETCH(QString, error);

        auto m = manager("files/newer.json");
        Recorder r(m.get());
        UpdateInfo ui = installerInfo(path, change == "localhost" ? "localhost" : "127.0.0.1");
        if (change == "digest")
            ui.sha256[0] = char(ui.sha256[0] ^ 1);
        if (change.startsWith("size"))
            ui.size += change == "size+1" ? 1 : -1;
        if (change == "http")
            ui.url.replace("https:", "http:");
        if (change == "localhost" || change == "nodigest") {
            ui.sha256.clear();
            ui.size = -1;
        }
        QFile::remove(record);

        QVERIFY(m->downloadInstaller(ui));
        QTRY_VERIFY_WITH_TIMEOUT(r.events.contains("download finished"), 20000);
        QCOMPARE(r.events, QStringList({"download started", "error " + error, "download finished"}));
        QVERIFY(!m->isDownloading());
        QVERIFY2(downloadFolders().isEmpty(), qPrintable(downloadFolders().join(' ')));
        m->runInstaller(root.filePath("served/installer"));
        QTRY_COMPARE(r.events.size(), 4);
        QCOMPARE(r.events.last(), "error FailedToStartInstaller");
        QTest::qWait(100);
        QVERIFY(!QFile::exists(record));
    }

    // The whole road of a good update: streamed into a private folder (a link
    // planted at the old fixed name is not followed), progress that rises to
    // 100, the installer started once with its arguments, then the request to
    // shut down.
    void verifiedInstallerRunsOnceThenAsksForShutdown()
    {
        const QString tmp = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
        const QString victim = root.filePath("victim");
        QVERIFY(writeFile(victim, "keep me"));
        QVERIFY(QFile::link(victim, tmp + "/Update_Vantor_1_2_3"));
        QVERIFY(QDir(tmp).mkpath("VantorUpdate-earlier/sub"));
        QFile::remove(record);

        auto m = manager("files/newer.json");
        Recorder r(m.get());
        QVERIFY(m->downloadInstaller(installerInfo("redirect/https/installer")));
        QTRY_VERIFY_WITH_TIMEOUT(r.events.contains("download finished"), 20000);
        QCOMPARE(r.events, QStringList({"download started", "downloaded", "download finished"}));

        const QFileInfo file(r.downloaded);
        QCOMPARE(file.fileName(), "Update_Vantor_1_2_3");
        QVERIFY(file.isExecutable() && !file.isSymLink());
        const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
                                        | QFile::WriteOther | QFile::ExeOther;
        QCOMPARE(QFileInfo(file.absolutePath()).permissions() & others, QFile::Permissions());
        QVERIFY(QFileInfo(file.absolutePath())
                    .permissions()
                    .testFlags(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QFile saved(r.downloaded);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll() == installer);
        QFile kept(victim);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), "keep me");
        QCOMPARE(downloadFolders(), QStringList({file.dir().dirName()}));

        QVERIFY2(r.progress.size() >= 5 && r.progress.size() <= 101, qPrintable(QString::number(r.progress.size())));
        QVERIFY(std::adjacent_find(r.progress.begin(), r.progress.end(), std::greater_equal<float>())
                == r.progress.end());
        QCOMPARE(r.progress.last(), 100.f);

        QElapsedTimer sinceStart;
        sinceStart.start();
        m->runInstaller(r.downloaded);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(r.events.contains("shutdown"), 5000);
        QVERIFY(sinceStart.elapsed() >= 290);
        QFile ran(record);
        QVERIFY(ran.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(ran.readAll()).split('\n', Qt::SkipEmptyParts),
                 QStringList({file.absolutePath(), "/SILENT", "/NORESTART"}));
        QCOMPARE(r.events.count("shutdown"), 1);
    }

    // Without a digest, an installer from the manifest's own host is taken.
    void installerWithoutDigestFromTheManifestHost()
    {
        auto m = manager("files/newer.json");
        Recorder r(m.get());
        UpdateInfo ui = installerInfo("files/installer");
        ui.sha256.clear();
        ui.size = -1;
        QVERIFY(m->downloadInstaller(ui));
        QTRY_VERIFY_WITH_TIMEOUT(r.events.contains("download finished"), 20000);
        QCOMPARE(r.events, QStringList({"download started", "downloaded", "download finished"}));
        QCOMPARE(QFileInfo(r.downloaded).size(), installer.size());
    }

    // Deleting the manager mid-download (the program quits) ends the transfer
    // at once and leaves no partial file.
    void quittingMidDownloadLeavesNothing()
    {
        auto m = manager("files/newer.json", 30000);
        Recorder r(m.get());
        QVERIFY(m->downloadInstaller(installerInfo("stall/installer")));
        QVERIFY(!m->downloadInstaller(installerInfo("files/installer")));
        QVERIFY(!m->checkForUpdate(true));
        QTRY_VERIFY_WITH_TIMEOUT(!downloadFolders().isEmpty(), 5000);
        QTest::qWait(300);
        QElapsedTimer t;
        t.start();
        m.reset();
        QVERIFY(t.elapsed() < 3000);
        QVERIFY2(downloadFolders().isEmpty(), qPrintable(downloadFolders().join(' ')));
        QTest::qWait(50);
        QVERIFY(!r.events.contains("downloaded"));
    }

    // The uninstaller is the highest-numbered complete set beside the program.
    void uninstallerNeedsAllThreeFiles()
    {
        const QString dir = root.filePath("program/");
        const QString ran = root.filePath("uninstaller-ran");
        const QByteArray script = QStringLiteral("#!/bin/sh\necho \"$0\" >> '%1'\n").arg(ran).toUtf8();
        auto m = manager("files/newer.json");
        QVERIFY(writeFile(dir + "unins000", script, true));
        QVERIFY(!m->runUninstaller());
        QVERIFY(writeFile(dir + "unins000.dat", "d") && writeFile(dir + "unins000.msg", "m"));
        QVERIFY(writeFile(dir + "unins002", script, true) && writeFile(dir + "unins002.dat", "d"));
        QVERIFY(writeFile(dir + "unins001", script, true) && writeFile(dir + "unins001.dat", "d")
                && writeFile(dir + "unins001.msg", "m"));
        QVERIFY(m->runUninstaller());
        QTRY_VERIFY(QFile::exists(ran));
        QFile f(ran);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll().trimmed(), (dir + "unins001").toUtf8());
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
