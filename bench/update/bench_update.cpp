// update_download_mib_per_s: a 64 MiB installer fetched over loopback TLS from
// the tests' HTTPS server, streamed to its file and checked against its
// SHA-256, from downloadInstaller to onDownloadFinished. Median of 3 runs.
// update_download_peak_mib_above_idle: the process's peak resident memory
// during a download (VmHWM, reset before each run) above its resident memory
// just before it.
#include "HttpsServer.h"
#include "ProcessTools.h"
#include "UpdateManager.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr qint64 kInstallerBytes = qint64(64) << 20;

// A figure of this process's /proc status, in KiB.
qint64 statusKiB(const char* field)
{
    return processStatusKiB(QCoreApplication::applicationPid(), field);
}

bool resetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    return refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir dir;
    qputenv("TMPDIR", dir.filePath(QStringLiteral("tmp")).toLocal8Bit());
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QCoreApplication app(argc, argv);
    if (!dir.isValid() || !QDir(dir.path()).mkpath(QStringLiteral("tmp"))
        || !QDir(dir.path()).mkpath(QStringLiteral("served")))
        return 1;

    QFile file(dir.filePath(QStringLiteral("served/installer")));
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    std::vector<quint32> block(1 << 18);
    for (qint64 written = 0; written < kInstallerBytes; written += qint64(block.size() * 4)) {
        QRandomGenerator::global()->fillRange(block.data(), qsizetype(block.size()));
        const QByteArrayView bytes(reinterpret_cast<const char*>(block.data()), qsizetype(block.size() * 4));
        hash.addData(bytes);
        file.write(bytes.data(), bytes.size());
    }
    file.close();

    HttpsServer server(dir.filePath(QStringLiteral("served")));
    if (!server.isRunning()) {
        std::fprintf(stderr, "no HTTPS server: %s\n", qPrintable(server.error()));
        return 1;
    }
    UpdateOptions options;
    options.manifestUrl = server.url(QStringLiteral("files/manifest.json"));
    options.tls.setCaCertificates(QSslCertificate::fromPath(server.caCertificatePath()));
    UpdateManager manager(nullptr, options);

    UpdateInfo ui;
    ui.version = QStringLiteral("1.0.0");
    ui.url = server.url(QStringLiteral("files/installer")).toString();
    ui.sha256 = hash.result();
    ui.size = kInstallerBytes;

    QString finished;
    bool failed = false;
    QObject::connect(&manager, &UpdateManager::onDownloadFinished, &app, [&](const QString& path) { finished = path; });
    QObject::connect(&manager, &UpdateManager::onUpdateError, &app, [&] { failed = true; });

    std::vector<double> rates;
    qint64 peakAbove = 0;
    for (int run = 0; run < 3; ++run) {
        finished.clear();
        const qint64 idle = statusKiB("VmRSS:");
        if (!resetPeak())
            return 1;
        QElapsedTimer t;
        t.start();
        if (!manager.downloadInstaller(ui))
            return 1;
        while (finished.isEmpty() && !failed && t.elapsed() < 120000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        const double seconds = double(t.nsecsElapsed()) / 1e9;
        if (finished.isEmpty()) {
            std::fprintf(stderr, "the download failed\n");
            return 1;
        }
        rates.push_back(double(kInstallerBytes) / (1 << 20) / seconds);
        peakAbove = std::max(peakAbove, statusKiB("VmHWM:") - idle);
        QCoreApplication::processEvents();
    }
    std::sort(rates.begin(), rates.end());
    std::printf("update_download_mib_per_s: %.0f MiB/s\n", rates[1]);
    std::printf("update_download_peak_mib_above_idle: %.1f MiB\n", double(peakAbove) / 1024);
    return 0;
}
