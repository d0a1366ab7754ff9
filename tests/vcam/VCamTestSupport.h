// Helpers shared by the virtual camera tests: helper processes, the client
// count, and pulling buffers out of a running pipeline.
#pragma once

#include <InstanceCounter.h>

#include <QtTest>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

namespace vcamtest {

// A helper process (vcam_client_peer); killed if still running when dropped.
class Peer
{
public:
    explicit Peer(const QStringList& args) { process.start(QStringLiteral(VCAM_CLIENT_PEER), args); }
    ~Peer()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    bool waitForLine(const QByteArray& line, int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            while (process.canReadLine())
                if (process.readLine().trimmed() == line)
                    return true;
            if (process.state() == QProcess::NotRunning)
                return false;
            process.waitForReadyRead(50);
        }
        return false;
    }
    void say(const char* line) { process.write(line), process.write("\n"), process.waitForBytesWritten(1000); }
    QProcess process;
};

// The product's client count (under this test run's private object names).
inline int32_t clientCount()
{
    InstanceCounter counter(InstanceCounter::kSectionName, InstanceCounter::kMutexName);
    int32_t value = -999;
    if (!counter.createOrOpenSharedMemory() || !counter.readValue(value))
        return -999;
    return value;
}

// Waits (at most timeoutMs) until the client count equals `expected`.
inline bool waitForCount(int32_t expected, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (clientCount() != expected && !deadline.hasExpired())
        QTest::qWait(20);
    return clientCount() == expected;
}

struct Frame
{
    QByteArray data;
    GstClockTime pts = GST_CLOCK_TIME_NONE;
    GstClockTime duration = GST_CLOCK_TIME_NONE;
};

// A pipeline ending in an appsink named "sink".
class Pipeline
{
public:
    explicit Pipeline(const QByteArray& description)
    {
        GError* error = nullptr;
        pipeline = gst_parse_launch(description.constData(), &error);
        if (error) {
            qWarning("cannot build \"%s\": %s", description.constData(), error->message);
            g_error_free(error);
        }
        if (pipeline)
            sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    }
    ~Pipeline()
    {
        if (sink)
            gst_object_unref(sink);
        if (pipeline) {
            gst_element_set_state(pipeline, GST_STATE_NULL);
            gst_object_unref(pipeline);
        }
    }
    bool play() { return pipeline && gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE; }
    // The next buffer, or an empty frame after 5 s or at the end of the stream.
    Frame pull(GstClockTime timeout = 5 * GST_SECOND)
    {
        Frame frame;
        if (!sink)
            return frame;
        GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), timeout);
        if (!sample)
            return frame;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            frame.data = QByteArray(reinterpret_cast<const char*>(map.data), qsizetype(map.size));
            gst_buffer_unmap(buffer, &map);
            frame.pts = GST_BUFFER_PTS(buffer);
            frame.duration = GST_BUFFER_DURATION(buffer);
        }
        gst_sample_unref(sample);
        return frame;
    }
    QByteArray negotiatedFormat()
    {
        QByteArray format;
        GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
        if (!src)
            return format;
        GstPad* pad = gst_element_get_static_pad(src, "src");
        if (GstCaps* caps = gst_pad_get_current_caps(pad)) {
            format = gst_structure_get_string(gst_caps_get_structure(caps, 0), "format");
            gst_caps_unref(caps);
        }
        gst_object_unref(pad);
        gst_object_unref(src);
        return format;
    }
    GstElement* pipeline = nullptr;
    GstElement* sink = nullptr;
};

} // namespace vcamtest
