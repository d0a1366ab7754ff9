// Recording what the virtual microphone plays into the cable, and judging it:
// for the virtual microphone's tests and the whole suite's.
#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <vector>

namespace soundserver {

// At least `ms` of 48 kHz mono 16-bit sound recorded from a source. A remap
// source (the cable's recording side) takes up to a second to deliver its
// first block to a new recorder: callers look at the end of the recording.
// A recorder starved on a busy machine is given up to five more seconds to
// deliver the whole length.
inline std::vector<qint16> record(const QString& source, int ms)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral("parec"),
            {QStringLiteral("-d"), source, QStringLiteral("--raw"), QStringLiteral("--format=s16le"),
             QStringLiteral("--rate=48000"), QStringLiteral("--channels=1"), QStringLiteral("--latency-msec=20")});
    p.waitForStarted(5000);
    QTest::qWait(ms);
    const qint64 wanted = qint64(ms) * 48 * 2;
    QElapsedTimer late;
    late.start();
    while (p.bytesAvailable() < wanted && late.elapsed() < 5000)
        p.waitForReadyRead(100);
    // parec writes what it holds when interrupted, not when terminated.
    ::kill(pid_t(p.processId()), SIGINT);
    if (!p.waitForFinished(5000))
        p.kill();
    const QByteArray bytes = p.readAllStandardOutput();
    std::vector<qint16> samples(size_t(bytes.size()) / 2);
    std::memcpy(samples.data(), bytes.constData(), samples.size() * 2);
    return samples;
}

inline double rmsDb(const std::vector<qint16>& v, size_t from)
{
    double e = 0;
    for (size_t i = from; i < v.size(); ++i)
        e += double(v[i]) * v[i];
    return 10 * std::log10(std::max(e, 1.0) / double(std::max<size_t>(v.size() - from, 1)) / (32768.0 * 32768.0));
}

// The tone's frequency from its zero crossings, counted over the sound only:
// stretches of silence (a gap in the stream) neither add crossings nor time.
inline double frequency(const std::vector<qint16>& v, size_t from)
{
    int crossings = 0;
    size_t sounding = 0;
    for (size_t i = from + 1; i < v.size(); ++i) {
        if (std::abs(int(v[i - 1])) <= 1 && std::abs(int(v[i])) <= 1)
            continue;
        ++sounding;
        crossings += (v[i - 1] < 0) != (v[i] < 0);
    }
    return sounding ? crossings / 2.0 / (double(sounding) / 48000.0) : 0.0;
}

// Whether the camera microphone's tone arrives on the cable's recording side:
// 440 Hz, above silence. VMic sets the microphone to 15 % on every start, so
// the tone is faint (about -55 dB). Judged on the loudest 100 ms of the last
// two thirds of the recording, so that a gap a busy machine leaves elsewhere
// does not count. With `denoised` the pitch is not judged: the denoiser takes
// a steady tone for noise and reshapes what it lets through.
inline QString toneHeard(bool denoised = false)
{
    const std::vector<qint16> heard = record(QStringLiteral("vantor_cable_output"), 3000);
    const size_t window = 4800;
    if (heard.size() < 48000)
        return QStringLiteral("only %1 samples").arg(heard.size());
    size_t best = heard.size() / 3;
    double bestEnergy = -1;
    for (size_t at = heard.size() / 3; at + window <= heard.size(); at += 480) {
        double energy = 0;
        for (size_t i = at; i < at + window; ++i)
            energy += double(heard[i]) * heard[i];
        if (energy > bestEnergy) {
            bestEnergy = energy;
            best = at;
        }
    }
    const std::vector<qint16> loudest(heard.begin() + qsizetype(best), heard.begin() + qsizetype(best + window));
    const double f = frequency(loudest, 0), level = rmsDb(loudest, 0);
    if ((denoised || std::abs(f - 440) < 10) && level > -75)
        return {};
    return QStringLiteral("%1 Hz at %2 dB").arg(f).arg(level);
}

// Clicks in a steady tone of `hz`, from sample `from` on: places where a
// sample leaves the sine its two predecessors foretell by more than a fifth of
// the tone's amplitude (a gap, a jump, a repeated stretch), counted once per
// 10 ms. A clean 440 Hz tone at 48 kHz misses by a few units at most.
inline int clicks(const std::vector<qint16>& v, size_t from, double hz)
{
    std::vector<int> magnitudes;
    for (size_t i = from; i < v.size(); ++i)
        magnitudes.push_back(std::abs(int(v[i])));
    if (magnitudes.size() < 3)
        return 0;
    std::nth_element(magnitudes.begin(), magnitudes.begin() + qsizetype(magnitudes.size() * 99 / 100),
                     magnitudes.end());
    const double threshold = 0.2 * magnitudes[magnitudes.size() * 99 / 100];
    const double c = 2 * std::cos(2 * M_PI * hz / 48000);
    int count = 0;
    size_t last = 0;
    for (size_t i = from + 2; i < v.size(); ++i)
        if (std::abs(v[i] - c * v[i - 1] + v[i - 2]) > threshold) {
            count += count == 0 || i - last > 480;
            last = i;
        }
    return count;
}

} // namespace soundserver
