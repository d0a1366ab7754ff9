// The whole suite as a user runs it, on the tests' private services (an X
// display with a tray host, private buses with the portal and the light
// panel, the update server, a private PulseAudio with the audio cable, the
// demo camera):
// - suite_start_to_window_ms: from the program's start to its window shown
//   (the start-up's own delays are 3,500 ms of it);
// - suite_idle_cpu_percent: the program's processor time with the window
//   hidden and no client, so the camera is stopped (10 s);
// - suite_streaming_cpu_percent: the same with one client on the virtual
//   camera, every picture effect and every sound filter on, the microphone
//   running (10 s);
// - suite_rss_mib: the program's resident memory while streaming.
#include "BaseSettings.h"
#include "ProcessTools.h"
#include "SuiteSession.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>

namespace {

constexpr int kMeasureMs = 10000;

// Every picture effect and every sound filter on, as stored settings.
void turnEverythingOn()
{
    BaseSettings settings;
    // The sliders' values are plain keys; the rest are groups.
    settings.setValue(BaseSettings::keyName(BaseSettings::BackgroundBlur), 90);
    settings.setValue(BaseSettings::keyName(BaseSettings::SkinTone), 70);
    settings.setValue(BaseSettings::keyName(BaseSettings::FineCameraRotation), 4);
    for (BaseSettings::Settings group :
         {BaseSettings::LogoOverlay, BaseSettings::TextOverlay, BaseSettings::DSPCompressor, BaseSettings::DSPBass,
          BaseSettings::DSPTreble, BaseSettings::DSPRNN, BaseSettings::DSPAGC})
        settings.setSetting(group, BaseSettings::Enabled, true);
}

bool waitForLine(SuiteSession& suite, const char* text, qsizetype from)
{
    return suite.waitForLine(QLatin1String(text), 10000, from) >= 0;
}

int measure()
{
    turnEverythingOn();
    // Before the session, which stops the client that writes into it.
    QTemporaryDir frames;
    SuiteSession suite;
    if (!suite.error().isEmpty()) {
        std::fprintf(stderr, "bench_suite: %s\n", qPrintable(suite.error()));
        return 1;
    }
    if (!suite.start(QStringLiteral(VANTOR_EXE)) || suite.waitForMainWindow(30000).isEmpty()) {
        std::fprintf(stderr, "bench_suite: the window did not show\n");
        return 1;
    }
    const qint64 toWindow = suite.sinceStartMs();
    const qint64 pid = suite.pid();

    // Hidden, nobody watches: the camera stops at the feeder's next check.
    qsizetype from = suite.log().size();
    if (!suite.toggleWindow(false) || !waitForLine(suite, "stopping VCam physical grabber", from)) {
        std::fprintf(stderr, "bench_suite: the camera did not stop with the window hidden\n");
        return 1;
    }
    QThread::sleep(3);
    const double idle = processCpuPercentOver(pid, kMeasureMs);

    from = suite.log().size();
    if (!suite.startCameraClient(frames.path()) || !waitForLine(suite, "restarting VCam physical grabber", from)
        || !waitForLine(suite, "restarting VMic", from)) {
        std::fprintf(stderr, "bench_suite: the client did not start the camera and the microphone\n");
        return 1;
    }
    // The segmentation model loads with the first pictures.
    QThread::sleep(5);
    const double streaming = processCpuPercentOver(pid, kMeasureMs);
    const qint64 rssKiB = processStatusKiB(pid, "VmRSS:");

    std::printf("suite_start_to_window_ms: %lld ms\n", static_cast<long long>(toWindow));
    std::printf("suite_idle_cpu_percent: %.2f %%\n", idle);
    std::printf("suite_streaming_cpu_percent: %.1f %%\n", streaming);
    std::printf("suite_rss_mib: %.0f MiB\n", double(rssKiB) / 1024.0);

    ::kill(pid_t(pid), SIGTERM);
    suite.program().waitForFinished(20000);
    return suite.program().exitCode() == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("VANTOR_BENCH_SUITE")) {
        // Again inside a private home and a private sound server.
        QCoreApplication app(argc, argv);
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        QStringList environment = QProcess::systemEnvironment();
        environment << QStringLiteral("VANTOR_BENCH_SUITE=1")
                    << QStringLiteral("GST_PLUGIN_PATH=" VANTOR_GST_PLUGIN_DIR);
        child.setEnvironment(environment);
        child.start(
            QStringLiteral(VANTOR_FIXTURES_DIR "/isolated"),
            {QStringLiteral(VANTOR_FIXTURES_DIR "/pulseaudio-session"), QCoreApplication::applicationFilePath()});
        if (!child.waitForFinished(300000) || child.exitCode() != 0)
            return 1;
        return 0;
    }
    QCoreApplication app(argc, argv);
    return measure();
}
