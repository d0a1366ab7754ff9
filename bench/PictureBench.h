#pragma once

// Shared by the picture benchmarks: the 1280 x 720 camera frame and its delivery, a logo, timing
// by median, the stage timings both benchmarks print, and a process kept away
// from the user's settings.
#include "Bitmap.h"
#include "FrameMemory.h"
#include "ImageRotateSP.h"
#include "ImageToneSP.h"

#include <QBuffer>
#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

namespace bench {

constexpr int kW = 1280;
constexpr int kH = 720;

// Never touch the user's own settings; run without a display; keep debug lines
// out of the figures. Call before the application object is built; the folder
// lives as long as the returned object.
inline std::unique_ptr<QTemporaryDir> isolate()
{
    auto config = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CONFIG_HOME", config->path().toUtf8());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    return config;
}

// The photo of a person on a grey 16:9 frame (noise if the photo is missing).
inline QImage cameraFrame()
{
    QImage frame(kW, kH, QImage::Format_RGB32);
    const QImage photo("/usr/lib/python3/dist-packages/skimage/data/astronaut.png");
    frame.fill(QColor(70, 70, 70));
    if (!photo.isNull()) {
        QPainter painter(&frame);
        painter.drawImage(QRect(280, 0, 720, 720), photo);
    } else {
        QRandomGenerator rng(7);
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x)
                frame.setPixel(x, y, 0xff000000u | (rng.generate() & 0xffffffu));
    }
    return frame;
}

// Frames handed on as the camera grabber does it: each copied into the next of
// two kept images (in large pages) and passed on as a shared copy of it.
class Camera
{
public:
    explicit Camera(QImage source)
        : _source(std::move(source))
    {}

    // The next frame, in `frame` (whatever `frame` held before is let go first).
    void deliver(QImage& frame)
    {
        frame = QImage();
        QImage& buffer = _buffers[_next];
        if (buffer.size() != _source.size() || buffer.format() != _source.format() || !buffer.isDetached())
            buffer = framememory::createImage(_source.width(), _source.height(), _source.format());
        std::memcpy(buffer.bits(), _source.constBits(), size_t(_source.sizeInBytes()));
        _latest = buffer;
        _next ^= 1;
        frame = _latest;
    }

private:
    QImage _source;
    QImage _buffers[2];
    QImage _latest;
    int _next = 0;
};

inline QByteArray logoPng()
{
    QImage img(240, 240, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    {
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(QColor(240, 140, 20));
        p.setPen(QPen(Qt::white, 14));
        p.drawEllipse(QPointF(120, 120), 100, 100);
    }
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    img.save(&buffer, "PNG");
    return data;
}

// Median of `runs` timed calls of `fn` after a few untimed ones; `prepare` runs
// untimed before each, and each call starts no sooner than `spacingMs` after
// the previous one started.
inline double medianMs(int runs, const std::function<void()>& fn, const std::function<void()>& prepare = {},
                       int spacingMs = 0)
{
    for (int i = 0; i < 5; ++i) {
        if (prepare)
            prepare();
        fn();
    }
    // VANTOR_BENCH_CLOCK=thread times the calling thread's processor time
    // instead of the wall clock: steadier figures on a busy machine.
    static const bool threadClock = qgetenv("VANTOR_BENCH_CLOCK") == "thread";
    const auto nowMs = [] {
        timespec t {};
        clock_gettime(threadClock ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC, &t);
        return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
    };
    std::vector<double> times;
    times.reserve(size_t(runs));
    QElapsedTimer pace;
    pace.start();
    for (int i = 0; i < runs; ++i) {
        if (prepare)
            prepare();
        while (pace.elapsed() < spacingMs)
            QThread::usleep(200);
        pace.restart();
        const double start = nowMs();
        fn();
        times.push_back(nowMs() - start);
    }
    std::nth_element(times.begin(), times.begin() + runs / 2, times.end());
    return times[size_t(runs / 2)];
}

inline void print(const char* name, double ms)
{
    std::printf("%s: %.4f ms\n", name, ms);
    std::fflush(stdout);
}

// The camera frame, premultiplied, as the stages take it.
inline BitmapPtr premultipliedFrame(const QImage& frame)
{
    const QImage premultiplied = frame.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    return bitmap::createFrom(premultiplied.width(), premultiplied.height(), premultiplied.constBits(),
                              size_t(premultiplied.bytesPerLine()));
}

// The tone stage alone at skin tone 20 (the pipeline benchmarks' setting).
inline double toneStageMs(const BitmapPtr& input, int runs)
{
    ImageToneSP tone;
    tone.setMaxRate(1000000);
    const CameraSetting s {20, 1, 100, 0, 50, false, false};
    return medianMs(runs, [&] {
        float w = float(input->cols), h = float(input->rows);
        tone.processImage(input, w, h, s);
    });
}

// The rotation stage alone, turning by the fine rotation 12 (6 degrees).
inline double fineRotationMs(const BitmapPtr& input, int runs)
{
    ImageRotateSP rotate;
    rotate.setMaxRate(1000000);
    const CameraSetting coarse {0, 1, 2, 0, 0, false, false};
    const CameraSetting fine {12, 1, 20, -20, 0, false, false};
    return medianMs(runs, [&] {
        float w = float(input->cols), h = float(input->rows);
        rotate.processImage(input, w, h, coarse, fine);
    });
}

} // namespace bench
