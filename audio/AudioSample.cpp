#include "AudioSample.h"

#include <QDebug>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

bool sameAudioFormat(const QAudioFormat& a, const QAudioFormat& b)
{
    return a.sampleRate() == b.sampleRate() && a.channelCount() == b.channelCount()
        && a.sampleFormat() == b.sampleFormat();
}

bool AudioSample::isValid() const
{
    return timestamp != 0 && !data.isEmpty();
}

QString AudioSample::conversionKey(const QAudioFormat& target)
{
    return QStringLiteral("%1.%2.%3")
        .arg(target.channelCount())
        .arg(target.sampleRate())
        .arg(int(target.sampleFormat()));
}

AudioSample AudioSample::convertTo(const QAudioFormat& target, bool verbose) const
{
    if (sameAudioFormat(format, target))
        return *this;
    const QString key = conversionKey(target);
    auto it = conversions.find(key);
    if (it == conversions.end()) {
        AudioSample converted;
        converted.format = target;
        converted.timestamp = timestamp;
        converted.data = resampleAudio(data, format, target, verbose);
        it = conversions.insert(key, converted);
    }
    return it.value();
}

namespace {

bool isConvertible(QAudioFormat::SampleFormat f)
{
    return f == QAudioFormat::Int16 || f == QAudioFormat::Float;
}

template <typename T>
std::vector<T> samplesOf(const QByteArray& bytes)
{
    std::vector<T> v(size_t(bytes.size()) / sizeof(T));
    if (!v.empty())
        std::memcpy(v.data(), bytes.constData(), v.size() * sizeof(T));
    return v;
}

template <typename T>
QByteArray bytesOf(const std::vector<T>& v)
{
    return QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size() * sizeof(T)));
}

qint16 floatToInt16(float x)
{
    // NaN carries no level; treat it as silence rather than converting garbage.
    if (std::isnan(x))
        return 0;
    const double v = std::trunc(double(x) * 32767.0);
    return qint16(std::clamp(v, -32767.0, 32767.0));
}

float int16ToFloat(qint16 x)
{
    return std::clamp(float(x) / 32768.0f, -1.0f, 1.0f);
}

// Average of two samples the way each format does it: halves for floats,
// truncating integer halves for Int16.
float mix(float a, float b)
{
    return 0.5f * a + 0.5f * b;
}
qint16 mix(qint16 a, qint16 b)
{
    return qint16(a / 2 + b / 2);
}

template <typename T>
QByteArray convertChannels(const QByteArray& bytes, int fromCh, int toCh)
{
    const auto in = samplesOf<T>(bytes);
    std::vector<T> out;
    if (fromCh == 1 && toCh == 2) {
        out.reserve(in.size() * 2);
        for (T s : in) {
            out.push_back(s);
            out.push_back(s);
        }
    } else {
        const size_t frames = in.size() / 2;
        out.resize(frames);
        for (size_t i = 0; i < frames; ++i)
            out[i] = mix(in[2 * i], in[2 * i + 1]);
    }
    return bytesOf(out);
}

template <typename T>
QByteArray convertRate(const QByteArray& bytes, int ch, int fromRate, int toRate)
{
    const auto in = samplesOf<T>(bytes);
    const float ratio = float(toRate) / float(fromRate);
    const size_t inFrames = in.size() / size_t(ch);
    const auto outFrames = quint64(float(inFrames) * ratio);
    std::vector<T> out(outFrames * size_t(ch), T(0));
    if (inFrames == 0)
        return bytesOf(out);
    for (quint64 i = 0; i < outFrames; ++i) {
        // Float rounding may map the last output frame one past the input.
        const size_t j = std::min(size_t(int(float(i) / ratio)), inFrames - 1);
        const T v = mix(in[j * ch], in[j * ch + ch - 1]);
        out[i * ch] = v;
        out[i * ch + ch - 1] = v;
    }
    return bytesOf(out);
}

// The zero-order hold of convertRate with its position carried across calls:
// output frames fall every `step` input frames from `position` on.
template <typename T>
QByteArray convertRateFrom(const QByteArray& bytes, int ch, double step, double& position)
{
    const auto in = samplesOf<T>(bytes);
    const size_t inFrames = in.size() / size_t(ch);
    std::vector<T> out;
    out.reserve(size_t(double(inFrames) / step + 2) * size_t(ch));
    for (; position < double(inFrames); position += step) {
        const size_t j = size_t(position);
        const T v = mix(in[j * ch], in[j * ch + ch - 1]);
        out.insert(out.end(), size_t(ch), T(0));
        out[out.size() - size_t(ch)] = v;
        out.back() = v;
    }
    position -= double(inFrames);
    return bytesOf(out);
}

} // namespace

QByteArray StreamResampler::convert(const QByteArray& bytes, const QAudioFormat& from, const QAudioFormat& to,
                                    bool verbose)
{
    if (from.sampleRate() == to.sampleRate() || !isConvertible(to.sampleFormat()) || from.sampleRate() <= 0
        || to.sampleRate() <= 0 || to.channelCount() <= 0) {
        reset();
        return resampleAudio(bytes, from, to, verbose);
    }
    // Sample format and channels first, as resampleAudio does; then the rate.
    QAudioFormat atSourceRate = to;
    atSourceRate.setSampleRate(from.sampleRate());
    const QByteArray data = resampleAudio(bytes, from, atSourceRate, verbose);
    const double step = double(from.sampleRate()) / double(to.sampleRate());
    return to.sampleFormat() == QAudioFormat::Int16 ? convertRateFrom<qint16>(data, to.channelCount(), step, position)
                                                    : convertRateFrom<float>(data, to.channelCount(), step, position);
}

QByteArray resampleAudio(const QByteArray& bytes, const QAudioFormat& from, const QAudioFormat& to, bool verbose)
{
    if (sameAudioFormat(from, to))
        return bytes;
    if (verbose)
        qDebug() << "resampleAudio input != output" << from << to;

    QByteArray data = bytes;
    if (from.sampleFormat() != to.sampleFormat()) {
        if (from.sampleFormat() == QAudioFormat::Float && to.sampleFormat() == QAudioFormat::Int16) {
            const auto in = samplesOf<float>(data);
            std::vector<qint16> out(in.size());
            std::transform(in.begin(), in.end(), out.begin(), floatToInt16);
            data = bytesOf(out);
        } else if (from.sampleFormat() == QAudioFormat::Int16 && to.sampleFormat() == QAudioFormat::Float) {
            const auto in = samplesOf<qint16>(data);
            std::vector<float> out(in.size());
            std::transform(in.begin(), in.end(), out.begin(), int16ToFloat);
            data = bytesOf(out);
        } else {
            qWarning() << "resampleAudio unsupported sample format conversion -> input != output" << from << to;
            return bytes;
        }
    }

    const bool convertible = isConvertible(to.sampleFormat());
    if (from.channelCount() != to.channelCount() && convertible) {
        const bool supported = (from.channelCount() == 1 && to.channelCount() == 2)
                            || (from.channelCount() == 2 && to.channelCount() == 1);
        if (!supported) {
            qWarning() << "resampleAudio unsupported channels conversion -> input != output" << from << to;
            return data;
        }
        data = to.sampleFormat() == QAudioFormat::Int16
                 ? convertChannels<qint16>(data, from.channelCount(), to.channelCount())
                 : convertChannels<float>(data, from.channelCount(), to.channelCount());
    }

    if (from.sampleRate() != to.sampleRate() && convertible && from.sampleRate() > 0 && to.sampleRate() > 0
        && to.channelCount() > 0) {
        data = to.sampleFormat() == QAudioFormat::Int16
                 ? convertRate<qint16>(data, to.channelCount(), from.sampleRate(), to.sampleRate())
                 : convertRate<float>(data, to.channelCount(), from.sampleRate(), to.sampleRate());
    }
    return data;
}

float levelDb(const QByteArray& bytes, const QAudioFormat& format)
{
    double sum = 0;
    size_t count = 0;
    if (format.sampleFormat() == QAudioFormat::Float) {
        for (float x : samplesOf<float>(bytes))
            sum += double(x) * x;
        count = size_t(bytes.size()) / sizeof(float);
    } else if (format.sampleFormat() == QAudioFormat::Int16) {
        for (qint16 s : samplesOf<qint16>(bytes)) {
            const double x = s / 32768.0;
            sum += x * x;
        }
        count = size_t(bytes.size()) / sizeof(qint16);
    }
    if (count == 0)
        return 0.0f;
    const double rms = std::sqrt(sum / double(count));
    if (!(rms >= 1.1920929e-7)) // also catches NaN
        return -100.0f;
    return std::max(float(20.0 * std::log10(std::min(rms, 1.0))), -100.0f);
}
