#pragma once

#include <QAudioFormat>
#include <QByteArray>
#include <QMap>
#include <QString>

#include <cstdint>
#include <limits>

// Two formats are the same for this subsystem when sample rate, channel count
// and sample format agree; the channel configuration does not matter.
bool sameAudioFormat(const QAudioFormat& a, const QAudioFormat& b);

// A block of interleaved raw audio with its format and the time of its first
// byte, plus a cache of converted copies keyed by target format.
struct AudioSample
{
    static constexpr quint64 kUnsetTimestamp = std::numeric_limits<quint64>::max();

    QAudioFormat format;
    quint64 timestamp = kUnsetTimestamp; // microseconds since the Unix epoch
    QByteArray data;
    // Converted copies, keyed "<channels>.<rate>.<sample format>". Filled by
    // convertTo, which is logically const.
    mutable QMap<QString, AudioSample> conversions;

    // Valid when it holds data and a time stamp other than 0 (an unset time
    // stamp, all ones, counts as set).
    bool isValid() const;

    // This sample in `target` format. Each target format is converted once;
    // later calls return the cached copy. The time stamp is kept.
    AudioSample convertTo(const QAudioFormat& target, bool verbose) const;

    static QString conversionKey(const QAudioFormat& target);
};

// Converts interleaved Int16/Float audio between sample formats, mono/stereo
// and sample rates (zero-order hold). Unsupported steps are logged and leave
// the data as converted so far.
QByteArray resampleAudio(const QByteArray& bytes, const QAudioFormat& from, const QAudioFormat& to, bool verbose);

// resampleAudio for a stream converted block by block. The stateless
// conversion gives each block a whole number of frames, so a block whose
// length does not scale to one (a 5 ms read at 44.1 kHz is 220.5 frames)
// loses the fraction: at 44.1 to 48 kHz about 0.2 % of the sound, which drains
// any queue the stream feeds in real time. This one carries the conversion's
// position from one block to the next, so the stream keeps its exact rate.
class StreamResampler
{
public:
    QByteArray convert(const QByteArray& bytes, const QAudioFormat& from, const QAudioFormat& to, bool verbose);
    // Starts a new stream: no position carried over.
    void reset() { position = 0; }

private:
    double position = 0; // of the next output frame, in input frames from the start of the next block
};

// RMS level of Int16 or Float audio in dBFS, -100 for silence; 0 for empty
// input or other sample formats.
float levelDb(const QByteArray& bytes, const QAudioFormat& format);
