// What the sound-server tests and benchmarks share: pactl, a device's fields as pactl lists
// them, which server runs, the module list, and moving streams between sinks.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <QStringList>

namespace soundserver {

inline QByteArray pactl(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral("pactl"), args);
    if (!p.waitForFinished(10000))
        p.kill();
    return p.readAllStandardOutput().trimmed();
}

// The value of `key` ("Description", "Volume", "Mute", ...) in the listing of
// the playback (`capture` false) or recording device named `name`.
inline QByteArray field(bool capture, const QByteArray& name, const QByteArray& key)
{
    bool inside = false;
    for (const QByteArray& raw : pactl({QStringLiteral("list"), capture ? "sources" : "sinks"}).split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith("Name: "))
            inside = line.mid(6) == name;
        else if (inside && line.startsWith(key + ": "))
            return line.mid(key.size() + 2);
    }
    return {};
}

// PipeWire's pulse server (rather than PulseAudio) runs the session.
inline bool onPipeWire()
{
    static const bool yes = pactl({QStringLiteral("info")}).contains("PipeWire");
    return yes;
}

inline QList<QByteArray> modules()
{
    return pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("modules")}).split('\n');
}

// Unloads the modules whose arguments contain `text`.
inline void unloadModules(const QByteArray& text)
{
    for (const QByteArray& line : modules())
        if (line.contains(text))
            pactl({QStringLiteral("unload-module"), QString::fromUtf8(line.split('\t').first())});
}

// The indices of the streams playing into sink `sink`.
inline QList<QByteArray> sinkInputsOn(const QByteArray& sink)
{
    QByteArray index;
    for (const QByteArray& line :
         pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sinks")}).split('\n'))
        if (line.split('\t').value(1) == sink)
            index = line.split('\t').first();
    QList<QByteArray> inputs;
    for (const QByteArray& line :
         pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sink-inputs")}).split('\n'))
        if (!index.isEmpty() && line.split('\t').value(1) == index)
            inputs << line.split('\t').first();
    return inputs;
}

// Moves every stream playing into sink `from` to sink `to`. PipeWire's pulse
// server carries a move out after answering and may drop one while its session
// manager relinks the stream, so the move is repeated until `from` is empty
// (for up to 5 s). Returns whether it is.
inline bool moveSinkInputs(const QByteArray& from, const QByteArray& to)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const QList<QByteArray> inputs = sinkInputsOn(from);
        if (inputs.isEmpty())
            return true;
        if (waited.elapsed() > 5000)
            return false;
        for (const QByteArray& input : inputs)
            pactl({QStringLiteral("move-sink-input"), QString::fromUtf8(input), QString::fromUtf8(to)});
        QThread::msleep(200);
    }
}

// Plays the stream of process `pid` into sink `sink`: the stream is moved there
// until the server lists it on that sink (for up to 5 s). PipeWire's session
// manager may link a new stream elsewhere first, whatever device it asked for.
inline bool playIntoSink(qint64 pid, const QByteArray& sink)
{
    const QByteArray wanted = "application.process.id = \"" + QByteArray::number(pid) + '"';
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 5000) {
        QByteArray input;
        QByteArray current;
        for (const QByteArray& raw : pactl({QStringLiteral("list"), QStringLiteral("sink-inputs")}).split('\n')) {
            const QByteArray line = raw.trimmed();
            if (line.startsWith("Sink Input #"))
                current = line.mid(12);
            else if (line == wanted) {
                input = current;
                break;
            }
        }
        if (!input.isEmpty()) {
            if (sinkInputsOn(sink).contains(input))
                return true;
            pactl({QStringLiteral("move-sink-input"), QString::fromUtf8(input), QString::fromUtf8(sink)});
        }
        QThread::msleep(100);
    }
    return false;
}

} // namespace soundserver
