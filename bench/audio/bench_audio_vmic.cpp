// vmic_latency_<server>_ms: how long the virtual microphone, every filter on,
// takes from the fake camera microphone to the cable's recording side, on a
// private PulseAudio and on a private PipeWire (the test fixtures start them).
// One recorder hears both: the microphone's bus and the cable's recording side
// are looped, with the same loopback latency, into the left and the right
// channel of one probe sink, so a spoken word arrives on both, and the delay
// between its arrivals (the peak of the cross-correlation of the channels'
// samples) is VMic's latency.
// Prints the median of five words.
#include "BaseSettings.h"
#include "SoundServer.h"
#include "VMic.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <vector>

namespace {

using namespace soundserver;

QByteArray run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(30000))
        p.kill();
    return p.readAllStandardOutput().trimmed();
}

// The delay (ms, 0 to 400) by which the right channel of 48 kHz stereo 16-bit
// sound best matches the left, from the cross-correlation of the samples
// themselves over the loud part of the left channel. The samples, not their
// loudness: a denoiser or a gain control reshapes a word's loudness (its
// onset most), which would move an envelope's match without any delay.
double delayMs(const QByteArray& raw)
{
    const auto* s = reinterpret_cast<const qint16*>(raw.constData());
    const qsizetype frames = raw.size() / 4, maxLag = 400 * 48;
    int peak = 0;
    for (qsizetype i = 0; i < frames; ++i)
        peak = std::max(peak, std::abs(int(s[2 * i])));
    qsizetype first = -1, last = -1;
    for (qsizetype i = 0; i < frames; ++i)
        if (std::abs(int(s[2 * i])) * 10 > peak) {
            first = first < 0 ? i : first;
            last = i;
        }
    if (peak == 0)
        return -1;
    const qsizetype lags = std::min(maxLag, frames - last);
    std::vector<float> left(size_t(last - first + 1)), right(left.size() + size_t(lags));
    float rightPeak = 0;
    for (size_t i = 0; i < left.size(); ++i)
        left[i] = s[2 * (first + qsizetype(i))];
    for (size_t i = 0; i < right.size(); ++i)
        rightPeak = std::max(rightPeak, std::abs(right[i] = s[2 * (first + qsizetype(i)) + 1]));
    if (rightPeak * 10 < float(peak))
        return -1;
    double best = -1e300;
    qsizetype bestLag = -1;
    for (qsizetype lag = 0; lag < lags; ++lag) {
        float c = 0;
        for (size_t i = 0; i < left.size(); ++i)
            c += left[i] * right[i + size_t(lag)];
        if (c > best) {
            best = c;
            bestLag = lag;
        }
    }
    return double(bestLag) / 48.0;
}

int measure(const char* server)
{
    unloadModules("sink_name=cable ");
    unloadModules("source=cable.monitor");
    QProcess install;
    install.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    install.start(QStringLiteral(VANTOR_SOURCE_DIR "/scripts/install-cable"));
    if (!install.waitForFinished(30000) || install.exitCode() != 0) {
        std::fprintf(stderr, "no audio cable on %s\n", server);
        return 1;
    }
    BaseSettings settings;
    for (auto group : {BaseSettings::DSPRNN, BaseSettings::DSPBass, BaseSettings::DSPTreble, BaseSettings::DSPAGC,
                       BaseSettings::DSPCompressor})
        settings.setSetting(group, BaseSettings::Enabled, true);
    VMic mic(&settings);
    if (!mic.start()) {
        std::fprintf(stderr, "the virtual microphone did not start on %s\n", server);
        return 1;
    }
    pactl({QStringLiteral("set-source-volume"), QStringLiteral("vantor_camera_mic"), QStringLiteral("100%")});
    pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"), QStringLiteral("sink_name=probe"),
           QStringLiteral("rate=48000"), QStringLiteral("channels=2")});
    for (const auto& [source, side] :
         {std::pair {"mic_bus.monitor", "front-left"}, std::pair {"vantor_cable_output", "front-right"}})
        pactl({QStringLiteral("load-module"), QStringLiteral("module-loopback"),
               QStringLiteral("source=") + QLatin1String(source), QStringLiteral("sink=probe"),
               QStringLiteral("latency_msec=20"), QStringLiteral("channels=1"),
               QStringLiteral("channel_map=") + QLatin1String(side), QStringLiteral("remix=no")});
    // Only the word on the microphone: the fixture's tone, periodic, would
    // match itself at many delays, so its stream moves to a sink of its own.
    pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"), QStringLiteral("sink_name=parked")});
    moveSinkInputs("mic_bus", "parked");
    QThread::msleep(2000);

    QTemporaryDir dir;
    const QString word = dir.filePath(QStringLiteral("word.wav"));
    run(QStringLiteral("espeak-ng"), {QStringLiteral("-w"), word, QStringLiteral("seven")});
    std::vector<double> delays;
    for (int i = 0; i < 5; ++i) {
        QProcess recorder;
        recorder.start(QStringLiteral("parec"),
                       {QStringLiteral("-d"), QStringLiteral("probe.monitor"), QStringLiteral("--raw"),
                        QStringLiteral("--format=s16le"), QStringLiteral("--rate=48000"),
                        QStringLiteral("--channels=2"), QStringLiteral("--latency-msec=20")});
        recorder.waitForStarted(5000);
        QThread::msleep(1500);
        run(QStringLiteral("paplay"), {QStringLiteral("-d"), QStringLiteral("mic_bus"), word});
        QThread::msleep(1000);
        ::kill(pid_t(recorder.processId()), SIGINT);
        recorder.waitForFinished(5000);
        const QByteArray heard = recorder.readAllStandardOutput();
        const double ms = delayMs(heard);
        if (ms > 0)
            delays.push_back(ms);
    }
    if (delays.empty()) {
        std::fprintf(stderr, "no word arrived twice on %s\n", server);
        return 1;
    }
    std::sort(delays.begin(), delays.end());
    std::printf("vmic_latency_%s_ms: %.0f ms\n", server, delays[delays.size() / 2]);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const QByteArray server = qgetenv("VANTOR_BENCH_SERVER");
    if (server.isEmpty()) {
        // Once per server, each in its own private session.
        QCoreApplication app(argc, argv);
        int status = 0;
        for (const char* name : {"pulseaudio", "pipewire"}) {
            QProcess child;
            child.setProcessChannelMode(QProcess::ForwardedChannels);
            QStringList environment = QProcess::systemEnvironment();
            environment << QStringLiteral("VANTOR_BENCH_SERVER=") + QLatin1String(name);
            child.setEnvironment(environment);
            child.start(QStringLiteral(VANTOR_SOURCE_DIR "/tests/fixtures/%1-session").arg(QLatin1String(name)),
                        {QCoreApplication::applicationFilePath()});
            if (!child.waitForFinished(180000) || child.exitCode() != 0)
                status = 1;
        }
        return status;
    }
    QCoreApplication app(argc, argv);
    return measure(server.constData());
}
