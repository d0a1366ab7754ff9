// What the benchmarks that run helper programs (a client, the feeder, the
// PipeWire camera, the whole suite) share: a process's processor time and
// memory figures, and waiting for a condition with a time limit.
#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QThread>

#include <unistd.h>

// User and system time of process `pid` so far, in seconds, from
// /proc/<pid>/stat; -1 when it cannot be read.
inline double processCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    // Fields after the command name in parentheses; utime and stime are the
    // 14th and 15th of the line.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return (fields[11].toDouble() + fields[12].toDouble()) / double(sysconf(_SC_CLK_TCK));
}

// Percent of one core process `pid` uses over the next `ms`; -1 when its
// times cannot be read.
inline double processCpuPercentOver(qint64 pid, int ms)
{
    const double before = processCpuSeconds(pid);
    QElapsedTimer measured;
    measured.start();
    QThread::msleep(ms);
    const double after = processCpuSeconds(pid);
    return before < 0 || after < 0 ? -1 : 100.0 * (after - before) / (double(measured.nsecsElapsed()) / 1e9);
}

// A figure of /proc/<pid>/status ("VmRSS:", "VmHWM:", ...) in KiB; -1 when
// it cannot be read.
inline qint64 processStatusKiB(qint64 pid, const char* field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine())
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').first().toLongLong();
    return -1;
}

// Polls `done` every `pollMs` until it holds (true) or `ms` have passed (false).
template <typename Predicate>
bool waitFor(Predicate done, int ms, int pollMs = 5)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QThread::msleep(pollMs);
    }
    return true;
}
