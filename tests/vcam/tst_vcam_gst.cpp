// The virtual camera plugin in real pipelines inside the test process (so
// that it also runs under the sanitizers): formats and negotiation, timing
// and timestamps, the pulsing placeholder, written frames converted exactly,
// a writer that stalls, closes or is killed, the client count and the device
// provider.
#include "VCamTestSupport.h"
#include "YuvReference.h"

#include <FrameChannel.h>
#include <Placeholder.h>

#include <QtTest>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

using namespace vcamtest;

namespace {

constexpr GstClockTime kFrame = 33333333; // one frame at 30 per second, in ns

const char* referenceKind(const QByteArray& gstFormat)
{
    if (gstFormat == "I420" || gstFormat == "NV12" || gstFormat == "YUY2")
        return gstFormat.constData();
    return "COPY";
}

double pulseAt(GstClockTime pts)
{
    return vcam::pulseFactor(int64_t(pts / 100));
}

// The placeholder as a client must receive it at stream time `pts`.
QByteArray expectedPlaceholder(const QByteArray& format, GstClockTime pts)
{
    const auto picture = vcam::placeholderPicture();
    std::vector<uint8_t> pulsed(picture->pixels.size());
    const double m = pulseAt(pts);
    for (size_t i = 0; i < pulsed.size(); i += 4) {
        for (int c = 0; c < 3; ++c)
            pulsed[i + c] = uint8_t(double(picture->pixels[i + c]) * m);
        pulsed[i + 3] = 255;
    }
    return yuvref::convert(referenceKind(format), pulsed.data(), 1280, 720);
}

std::vector<uint8_t> solidPicture(uint8_t r, uint8_t g, uint8_t b)
{
    std::vector<uint8_t> p(1280 * 720 * 4);
    for (size_t i = 0; i < p.size(); i += 4) {
        p[i] = b;
        p[i + 1] = g;
        p[i + 2] = r;
        p[i + 3] = 255;
    }
    return p;
}

// With `latest`, the sink keeps only the newest two buffers, so a test that
// is held up looks at current pictures rather than a backlog.
QByteArray pipelineFor(const QByteArray& format, int buffers = -1, bool latest = false)
{
    QByteArray d = "vantorvcamsrc name=src";
    if (buffers > 0)
        d += " num-buffers=" + QByteArray::number(buffers);
    if (!format.isEmpty())
        d += " ! video/x-raw,format=" + format;
    return d + " ! appsink name=sink sync=true" + (latest ? " max-buffers=2 drop=true" : "");
}

} // namespace

class VCamGstTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        gst_init(nullptr, nullptr);
        QVERIFY2(gst_element_factory_find("vantorvcamsrc"), "the plugin is not on GST_PLUGIN_PATH");
        QCOMPARE(clientCount(), 0);
    }

    void negotiation()
    {
        // Exactly the five formats at 1280 x 720, then the two 32-bit ones at
        // half size, all at 30 frames per second.
        GstElementFactory* factory = gst_element_factory_find("vantorvcamsrc");
        GstElement* element = gst_element_factory_create(factory, nullptr);
        GstPad* pad = gst_element_get_static_pad(element, "src");
        GstCaps* caps = gst_pad_query_caps(pad, nullptr);
        QStringList formats;
        const QList<int> full {1280, 720, 30, 1}, half {640, 360, 30, 1};
        for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
            const GstStructure* s = gst_caps_get_structure(caps, i);
            formats << gst_structure_get_string(s, "format");
            int w = 0, h = 0, num = 0, den = 0;
            QVERIFY(gst_structure_get_int(s, "width", &w) && gst_structure_get_int(s, "height", &h));
            QVERIFY(gst_structure_get_fraction(s, "framerate", &num, &den));
            QCOMPARE(QList<int>({w, h, num, den}), i < 5 ? full : half);
            // YUV as the converter's BT.601 studio-range coefficients produce it.
            if (!QByteArray(gst_structure_get_string(s, "format")).startsWith("BGR"))
                QCOMPARE(QByteArray(gst_structure_get_string(s, "colorimetry")), QByteArray("bt601"));
        }
        QCOMPARE(formats, QStringList({"BGRA", "BGRx", "I420", "NV12", "YUY2", "BGRA", "BGRx"}));
        gst_caps_unref(caps);
        gst_object_unref(pad);
        gst_object_unref(gst_object_ref_sink(element));
        gst_object_unref(factory);

        // I420 when downstream leaves the choice open; otherwise downstream's pick.
        for (auto [filter, expected] : {std::pair {QByteArray(), QByteArrayList({"I420"})},
                                        std::pair {QByteArray("{ YUY2, NV12 }"), QByteArrayList({"YUY2", "NV12"})},
                                        std::pair {QByteArray("{ NV12, I420 }"), QByteArrayList({"I420"})}}) {
            Pipeline p(pipelineFor(filter));
            QVERIFY(p.play());
            QVERIFY(!p.pull().data.isEmpty());
            QVERIFY2(expected.contains(p.negotiatedFormat()), p.negotiatedFormat().constData());

            // Live, one frame of latency, no upper bound for the sink's deadline.
            GstElement* src = gst_bin_get_by_name(GST_BIN(p.pipeline), "src");
            GstQuery* latency = gst_query_new_latency();
            QVERIFY(gst_element_query(src, latency));
            gst_object_unref(src);
            gboolean live = FALSE;
            GstClockTime min = 0, max = 0;
            gst_query_parse_latency(latency, &live, &min, &max);
            gst_query_unref(latency);
            QVERIFY(live);
            QCOMPARE(min, kFrame);
            QCOMPARE(max, GST_CLOCK_TIME_NONE);
        }

        // Anything else is refused rather than delivered wrongly.
        for (const char* other :
             {"video/x-raw,format=RGB", "video/x-raw,width=320", "video/x-raw,format=I420,width=640"}) {
            Pipeline p(QByteArray("vantorvcamsrc ! ") + other + " ! appsink name=sink");
            QVERIFY(p.play());
            QVERIFY(p.pull(GST_SECOND).data.isEmpty());
        }
    }

    void formatsRunInRealTimeWithThePlaceholder_data()
    {
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<int>("frameBytes");
        QTest::newRow("BGRA") << QByteArray("BGRA") << 1280 * 720 * 4;
        QTest::newRow("BGRx") << QByteArray("BGRx") << 1280 * 720 * 4;
        QTest::newRow("I420") << QByteArray("I420") << 1280 * 720 * 3 / 2;
        QTest::newRow("NV12") << QByteArray("NV12") << 1280 * 720 * 3 / 2;
        QTest::newRow("YUY2") << QByteArray("YUY2") << 1280 * 720 * 2;
    }

    void formatsRunInRealTimeWithThePlaceholder()
    {
        QFETCH(QByteArray, format);
        QFETCH(int, frameBytes);
        Pipeline p(pipelineFor(format, 60));
        QElapsedTimer timer;
        timer.start();
        QVERIFY(p.play());
        QList<Frame> frames;
        for (Frame f = p.pull(); !f.data.isEmpty(); f = p.pull())
            frames << f;
        const qint64 elapsed = timer.elapsed();
        QCOMPARE(frames.size(), 60);
        // Paced in real time: 60 frames cannot arrive in less than 59 periods.
        QVERIFY2(elapsed >= 1900, qPrintable(QString::number(elapsed)));

        // Timestamps from the pipeline clock at whole frame intervals.
        double lowest = 1, highest = 0;
        for (int n = 0; n < frames.size(); ++n) {
            QCOMPARE(frames[n].data.size(), frameBytes);
            QCOMPARE(frames[n].pts, frames[0].pts + n * kFrame);
            QCOMPARE(frames[n].duration, kFrame);
            lowest = std::min(lowest, pulseAt(frames[n].pts));
            highest = std::max(highest, pulseAt(frames[n].pts));
        }
        // Two seconds span one whole pulse, from half to full brightness.
        QVERIFY(lowest < 0.53 && highest > 0.99);
        // Every picture is the placeholder at its own brightness; checked in
        // full on a few frames, on one bright pixel everywhere (copy formats).
        for (int n : {0, 17, 44})
            QVERIFY2(frames[n].data == expectedPlaceholder(format, frames[n].pts), qPrintable(QString::number(n)));
        if (referenceKind(format) == QByteArray("COPY")) {
            const auto picture = vcam::placeholderPicture();
            const size_t body = (size_t(350) * 1280 + 520) * 4 + 1; // green of the camera body
            QVERIFY(picture->pixels[body] > 200);
            for (const Frame& f : frames)
                QCOMPARE(uint8_t(f.data[qsizetype(body)]), uint8_t(double(picture->pixels[body]) * pulseAt(f.pts)));
        }
    }

    void writtenFramesAreConvertedExactly()
    {
        FrameChannel::Handle* writer = FrameChannel::createWriter(1280, 720, 330000);
        QVERIFY(writer);
        std::vector<uint8_t> picture(1280 * 720 * 4);
        std::mt19937 gen(42);
        for (auto& b : picture)
            b = uint8_t(gen());
        FrameChannel::writeFrame(writer, picture.data(), uint32_t(picture.size()), 0);
        for (const QByteArray format : {"BGRA", "BGRx", "I420", "NV12", "YUY2"}) {
            Pipeline p(pipelineFor(format, 2));
            QVERIFY(p.play());
            const Frame f = p.pull();
            QVERIFY2(f.data == yuvref::convert(referenceKind(format), picture.data(), 1280, 720), format.constData());
        }
        // At half size, each pixel is its 2 x 2 block's rounded mean, byte by byte.
        QByteArray half(640 * 360 * 4, Qt::Uninitialized);
        for (int y = 0; y < 360; ++y)
            for (int x = 0; x < 640 * 4; ++x) {
                const size_t at = size_t(2 * y) * 1280 * 4 + size_t(x / 4) * 8 + size_t(x % 4);
                half[y * 640 * 4 + x] =
                    char((picture[at] + picture[at + 4] + picture[at + 1280 * 4] + picture[at + 1280 * 4 + 4] + 2) / 4);
            }
        for (const QByteArray format : {"BGRA", "BGRx"}) {
            Pipeline p(pipelineFor(format + ",width=640,height=360", 2));
            QVERIFY(p.play());
            QVERIFY2(p.pull().data == half, format.constData());
        }
        FrameChannel::close(writer);
    }

    void buffersComeFromAPoolWithDownstreamsPadding()
    {
        FrameChannel::Handle* writer = FrameChannel::createWriter(1280, 720, 330000);
        QVERIFY(writer);
        const auto closeWriter = qScopeGuard([writer] { FrameChannel::close(writer); });
        std::vector<uint8_t> picture(1280 * 720 * 4);
        std::mt19937 gen(43);
        for (auto& b : picture)
            b = uint8_t(gen());
        // The same picture as a new frame every 30 ms: each tick converts one
        // (a frame the element has delivered already goes out again as a
        // copy sharing the last buffer's memory, not from the pool). Not
        // faster: a conversion that three newer frames overtake (a slow
        // sanitizer build) is dropped as possibly torn, and a first frame
        // dropped leaves a black picture.
        std::atomic<bool> writing {true};
        std::thread feeder([&] {
            while (writing) {
                FrameChannel::writeFrame(writer, picture.data(), uint32_t(picture.size()), 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
            }
        });
        const auto stopFeeder = qScopeGuard([&] {
            writing = false;
            feeder.join();
        });
        for (const QByteArray format : {"BGRx", "I420", "NV12", "YUY2"})
            for (bool offerPool : {false, true}) {
                Pipeline p(pipelineFor(format));
                // Downstream offers a pool whose rows carry 40 bytes of padding
                // and reads the layout from video meta.
                GstBufferPool* offered = nullptr;
                GstPad* sinkPad = gst_element_get_static_pad(p.sink, "sink");
                if (offerPool)
                    gst_pad_add_probe(
                        sinkPad, GST_PAD_PROBE_TYPE_QUERY_DOWNSTREAM,
                        [](GstPad*, GstPadProbeInfo* info, gpointer user) -> GstPadProbeReturn {
                            GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
                            if (GST_QUERY_TYPE(query) != GST_QUERY_ALLOCATION)
                                return GST_PAD_PROBE_OK;
                            GstCaps* caps = nullptr;
                            gst_query_parse_allocation(query, &caps, nullptr);
                            GstVideoInfo vinfo;
                            gst_video_info_from_caps(&vinfo, caps);
                            GstBufferPool* pool = gst_video_buffer_pool_new();
                            GstStructure* config = gst_buffer_pool_get_config(pool);
                            GstVideoAlignment align;
                            gst_video_alignment_reset(&align);
                            align.padding_right = GST_VIDEO_INFO_FORMAT(&vinfo) == GST_VIDEO_FORMAT_BGRx ? 10 : 40;
                            gst_buffer_pool_config_add_option(config, GST_BUFFER_POOL_OPTION_VIDEO_META);
                            gst_buffer_pool_config_add_option(config, GST_BUFFER_POOL_OPTION_VIDEO_ALIGNMENT);
                            gst_buffer_pool_config_set_video_alignment(config, &align);
                            gst_video_info_align(&vinfo, &align);
                            gst_buffer_pool_config_set_params(config, caps, guint(GST_VIDEO_INFO_SIZE(&vinfo)), 0, 0);
                            gst_buffer_pool_set_config(pool, config);
                            gst_query_add_allocation_pool(query, pool, guint(GST_VIDEO_INFO_SIZE(&vinfo)), 0, 0);
                            gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
                            *static_cast<GstBufferPool**>(user) = pool;
                            return GST_PAD_PROBE_HANDLED;
                        },
                        &offered, nullptr);
                gst_object_unref(sinkPad);
                QVERIFY(p.play());
                int pooled = 0;
                for (int n = 0; n < 6; ++n) {
                    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(p.sink), 5 * GST_SECOND);
                    QVERIFY(sample);
                    GstBuffer* buffer = gst_sample_get_buffer(sample);
                    // Pooled buffers (ours, or the one downstream offered). The
                    // first is a copy, made to mark the stream's start, and so is
                    // a repeat on a tick the feeding thread was late for.
                    pooled += n > 0 && buffer->pool;
                    if (n > 0 && offerPool && buffer->pool)
                        QCOMPARE(buffer->pool, offered);
                    GstVideoInfo vinfo;
                    QVERIFY(gst_video_info_from_caps(&vinfo, gst_sample_get_caps(sample)));
                    GstVideoFrame frame;
                    QVERIFY(gst_video_frame_map(&frame, &vinfo, buffer, GST_MAP_READ));
                    // The picture read through its strides is the exact conversion.
                    QByteArray packed;
                    for (guint plane = 0; plane < GST_VIDEO_FRAME_N_PLANES(&frame); ++plane) {
                        const int rowBytes =
                            GST_VIDEO_FRAME_COMP_WIDTH(&frame, plane) * GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, plane);
                        const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, plane);
                        QVERIFY(offerPool ? stride > rowBytes : stride == rowBytes);
                        const auto* data = static_cast<const char*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, plane));
                        for (int row = 0; row < GST_VIDEO_FRAME_COMP_HEIGHT(&frame, plane); ++row)
                            packed.append(data + row * stride, rowBytes);
                    }
                    gst_video_frame_unmap(&frame);
                    gst_sample_unref(sample);
                    QVERIFY2(packed == yuvref::convert(referenceKind(format), picture.data(), 1280, 720),
                             format.constData());
                }
                QVERIFY(pooled > 0);
                if (offered)
                    gst_object_unref(offered);
            }
    }

    void writerStallsClosesAndIsKilled()
    {
        const QByteArray colour = yuvref::convert("I420", solidPicture(200, 40, 90).data(), 1280, 720);
        const QByteArray colour2 = yuvref::convert("I420", solidPicture(20, 180, 60).data(), 1280, 720);
        Pipeline p(pipelineFor("I420", -1, true));
        QVERIFY(p.play());
        Frame f = p.pull();
        QVERIFY(f.data == expectedPlaceholder("I420", f.pts));

        auto framesUntil = [&p](const QByteArray& wanted, int limit) {
            for (int n = 0; n < limit; ++n)
                if (p.pull().data == wanted)
                    return n;
            return -1;
        };
        {
            Peer writer({"write", "200", "40", "90"});
            QVERIFY(writer.waitForLine("writing"));
            QVERIFY(framesUntil(colour, 30) >= 0);

            // No new frames: the last one stays on screen, through the reader's
            // periodic reopening, never the placeholder or a blank picture.
            writer.say("stall");
            for (int n = 0; n < 40; ++n)
                QVERIFY2(p.pull().data == colour, qPrintable(QString::number(n)));

            // The writer closes: the placeholder from the next frame on (the
            // sink may still hold two older ones, a third may be on its way).
            writer.say("close");
            QVERIFY(writer.process.waitForFinished(5000));
            int live = 0;
            for (f = p.pull(); f.data == colour && live < 5; f = p.pull())
                ++live;
            QVERIFY2(live <= 3, qPrintable(QString::number(live)));
            QVERIFY(f.data == expectedPlaceholder("I420", f.pts));
            f = p.pull();
            QVERIFY(f.data == expectedPlaceholder("I420", f.pts));
        }
        {
            // A new writer is picked up by the running client.
            Peer writer({"write", "20", "180", "60"});
            QVERIFY(writer.waitForLine("writing"));
            QVERIFY(framesUntil(colour2, 30) >= 0);
            // Killed: its last frame at most 10 more times, then the placeholder.
            writer.process.kill();
            QVERIFY(writer.process.waitForFinished(5000));
            int repeats = 0;
            for (f = p.pull(); f.data == colour2 && repeats < 20; f = p.pull())
                ++repeats;
            QVERIFY2(repeats <= 10 + 3, qPrintable(QString::number(repeats)));
            QVERIFY(f.data == expectedPlaceholder("I420", f.pts));
        }
    }

    void eachRunningSourceCountsAsAClient()
    {
        QCOMPARE(clientCount(), 0);
        {
            Pipeline a(pipelineFor("I420"));
            QVERIFY(a.play());
            QVERIFY(!a.pull().data.isEmpty());
            QCOMPARE(clientCount(), 1);
            Pipeline b(pipelineFor("BGRx"));
            // Counted from the start of streaming (paused), not only when playing.
            gst_element_set_state(b.pipeline, GST_STATE_PAUSED);
            QVERIFY(waitForCount(2));
            gst_element_set_state(a.pipeline, GST_STATE_NULL);
            QCOMPARE(clientCount(), 1);
            // Stopped and started again: counted once, not twice.
            gst_element_set_state(b.pipeline, GST_STATE_READY);
            QCOMPARE(clientCount(), 0);
            QVERIFY(b.play());
            QVERIFY(!b.pull().data.isEmpty());
            QCOMPARE(clientCount(), 1);
        }
        QCOMPARE(clientCount(), 0);
    }

    void deviceProviderListsTheCamera()
    {
        GstDeviceMonitor* monitor = gst_device_monitor_new();
        gst_device_monitor_add_filter(monitor, "Video/Source", nullptr);
        QVERIFY(gst_device_monitor_start(monitor));
        GstDevice* camera = nullptr;
        GList* devices = gst_device_monitor_get_devices(monitor);
        for (GList* d = devices; d; d = d->next) {
            gchar* name = gst_device_get_display_name(GST_DEVICE(d->data));
            if (QByteArray(name) == "Vantor Control" && !camera)
                camera = GST_DEVICE(gst_object_ref(d->data));
            g_free(name);
        }
        g_list_free_full(devices, gst_object_unref);
        gst_device_monitor_stop(monitor);
        gst_object_unref(monitor);
        QVERIFY(camera);
        QVERIFY(gst_device_has_classes(camera, "Video/Source"));
        GstCaps* caps = gst_device_get_caps(camera);
        QCOMPARE(gst_caps_get_size(caps), 7u);
        gst_caps_unref(caps);

        // The device's element streams.
        GstElement* source = gst_device_create_element(camera, "src");
        gst_object_unref(camera);
        QVERIFY(source);
        QCOMPARE(QByteArray(GST_OBJECT_NAME(gst_element_get_factory(source))), QByteArray("vantorvcamsrc"));
        Pipeline p("queue name=queue ! appsink name=sink sync=true");
        gst_bin_add(GST_BIN(p.pipeline), source);
        GstElement* queue = gst_bin_get_by_name(GST_BIN(p.pipeline), "queue");
        QVERIFY(gst_element_link(source, queue));
        gst_object_unref(queue);
        QVERIFY(p.play());
        const Frame f = p.pull();
        QVERIFY(f.data == expectedPlaceholder("I420", f.pts));
    }
};

QTEST_GUILESS_MAIN(VCamGstTest)
#include "tst_vcam_gst.moc"
