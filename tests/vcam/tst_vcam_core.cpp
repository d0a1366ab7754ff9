// The virtual camera core on its own: conversion formulas and bounds, the
// placeholder and its pulse, pacing, the delivery engine against a real
// shared frame channel, and client counting with processes that get killed.
#include "YuvReference.h"

#include <ClientRegistration.h>
#include <FrameConverter.h>
#include <FrameDelivery.h>
#include <Pacer.h>
#include <PixelMeans.h>
#include <Placeholder.h>
#include <PlaceholderArt.h>
#include <YuvRows.h>

#include <QtTest>

#include <unistd.h>

#include <cmath>
#include <random>
#include <vector>

using vcam::FrameConverter;
using vcam::FrameDelivery;
using Result = vcam::FrameDelivery::Result;

namespace {

std::vector<uint8_t> randomPicture(int w, int h, unsigned seed)
{
    std::mt19937 gen(seed);
    std::vector<uint8_t> p(size_t(w) * h * 4);
    for (auto& b : p)
        b = uint8_t(gen());
    // Extremes of every channel, where rounding and shifts matter most.
    const uint8_t corners[][3] = {{0, 0, 0}, {255, 255, 255}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}};
    for (size_t i = 0; i < std::size(corners) && i * 4 < p.size(); ++i)
        std::memcpy(&p[i * 4], corners[i], 3);
    return p;
}

// Every conversion's row loops: the scalar reference and each vector build
// this processor runs.
QList<QPair<QByteArray, const vcam::yuv::Rows*>> rowLoops()
{
    QList<QPair<QByteArray, const vcam::yuv::Rows*>> loops {{"scalar", &vcam::yuv::scalarRows()}};
    const std::pair<const char*, simd::Level> levels[] = {
        {"SSE2", simd::Level::Baseline}, {"AVX2", simd::Level::Avx2}, {"AVX-512", simd::Level::Avx512}};
    for (const auto& [name, level] : levels)
        if (const vcam::yuv::Rows* rows = vcam::yuv::vectorRows(level))
            loops.append({name, rows});
    return loops;
}

std::string uniqueName(const char* what)
{
    return "VantorVCamTest" + std::to_string(getpid()) + what;
}

int32_t counterValue(const std::string& section, const std::string& mutex)
{
    InstanceCounter counter(section, mutex);
    int32_t value = -999;
    if (!counter.createOrOpenSharedMemory() || !counter.readValue(value))
        return -999;
    return value;
}

struct Writer
{
    FrameChannel::Handle* h;
    ~Writer() { FrameChannel::close(h); }
};

} // namespace

class VCamCoreTest : public QObject
{
    Q_OBJECT

private slots:
    void converterMatchesTheFormulas_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<const void*>("rows");
        const std::pair<FrameConverter::Kind, const char*> kinds[] = {
            {FrameConverter::I420, "I420"}, {FrameConverter::NV12, "NV12"}, {FrameConverter::YUY2, "YUY2"}};
        for (const auto& [loops, rows] : rowLoops())
            for (const auto& [kind, name] : kinds)
                QTest::addRow("%s, %s", name, loops.constData()) << int(kind) << QByteArray(name) << (const void*)rows;
        QTest::newRow("copy") << int(FrameConverter::Copy) << QByteArray("COPY") << (const void*)nullptr;
    }

    void converterMatchesTheFormulas()
    {
        QFETCH(int, kind);
        QFETCH(QByteArray, name);
        QFETCH(const void*, rows);
        // Sizes whose rows end inside a vector, and a frame's worth.
        for (auto [w, h] :
             {std::pair {1280, 720}, std::pair {2, 2}, std::pair {34, 18}, std::pair {130, 6}, std::pair {198, 4}}) {
            const auto src = randomPicture(w, h, unsigned(w * h + kind));
            const QByteArray expected = yuvref::convert(name.constData(), src.data(), w, h);
            FrameConverter converter;
            converter.reset(w, h, w, h);
            converter.setKind(FrameConverter::Kind(kind));
            converter.useRows(static_cast<const vcam::yuv::Rows*>(rows));
            QCOMPARE(FrameConverter::requiredBytes(FrameConverter::Kind(kind), w, h), size_t(expected.size()));
            // A guard zone after the destination must stay untouched.
            std::vector<uint8_t> dst(expected.size() + 64, 0xA5);
            QVERIFY(converter.convert(src.data(), src.size(), dst.data(), expected.size()));
            QCOMPARE(QByteArray(reinterpret_cast<const char*>(dst.data()), expected.size()), expected);
            for (size_t i = expected.size(); i < dst.size(); ++i)
                QCOMPARE(dst[i], uint8_t(0xA5));

            // Into planes with padded rows: the same bytes, the padding untouched.
            const size_t pad = 37;
            FrameConverter::Planes planes = FrameConverter::packedPlanes(converter.kind(), w, h, dst.data());
            std::vector<std::vector<uint8_t>> padded;
            const int rowsOf[3] = {h, h / 2, h / 2};
            for (int p = 0; p < 3 && planes.data[p]; ++p) {
                padded.emplace_back(size_t(rowsOf[p]) * (planes.stride[p] + pad), 0x3C);
                planes.data[p] = padded.back().data();
                planes.stride[p] += pad;
            }
            QVERIFY(converter.convert(src.data(), src.size(), planes));
            const FrameConverter::Planes packed =
                FrameConverter::packedPlanes(converter.kind(), w, h, reinterpret_cast<uint8_t*>(dst.data()));
            for (int p = 0; p < 3 && planes.data[p]; ++p)
                for (int y = 0; y < rowsOf[p]; ++y) {
                    const uint8_t* row = planes.data[p] + y * planes.stride[p];
                    const size_t bytes = packed.stride[p];
                    QVERIFY(std::memcmp(row, packed.data[p] + y * bytes, bytes) == 0);
                    QVERIFY(std::all_of(row + bytes, row + bytes + pad, [](uint8_t b) { return b == 0x3C; }));
                }
        }
    }

    void vectorLoopsMatchTheScalarOnes()
    {
        // Every 8-bit value of every channel at every position of the widest
        // run a vector loop takes (64 pixels): channel values step through all
        // 256 values at each position, each channel by its own odd stride.
        constexpr size_t kLanes = 64, kPixels = kLanes * 256;
        std::vector<uint8_t> src(kPixels * 4 * 2 + 64); // room for the starts off alignment
        for (size_t i = 0; i < src.size() / 4; ++i) {
            const size_t lane = i % kLanes, round = i / kLanes;
            src[4 * i] = uint8_t(round + lane);
            src[4 * i + 1] = uint8_t(3 * round + 5 * lane);
            src[4 * i + 2] = uint8_t(7 * round + 11 * lane);
            src[4 * i + 3] = uint8_t(round ^ lane);
        }
        const vcam::yuv::Rows& scalar = vcam::yuv::scalarRows();
        const auto loops = rowLoops();
#if defined(__x86_64__) || defined(__i386__)
        QVERIFY2(loops.size() > 1, "an x86 build has at least SSE2 loops");
#endif
        // Every count up to a few runs (every tail length), a whole pattern,
        // and starts off the vector alignment.
        std::vector<size_t> counts;
        for (size_t n = 0; n <= 3 * kLanes + 1; ++n)
            counts.push_back(n);
        counts.push_back(kPixels / 2);
        const size_t guard = 128;
        for (const auto& [name, rows] : loops.mid(1))
            for (size_t offset : {size_t(0), size_t(4), size_t(36)})
                for (size_t n : counts) {
                    const uint8_t* s = src.data() + offset;
                    const uint8_t* bottom = s + kPixels * 4; // another pattern below
                    const auto check = [&](const char* what, size_t bytes, auto run) {
                        std::vector<uint8_t> want(bytes + guard, 0x77), got(bytes + guard, 0x77);
                        run(scalar, want.data());
                        run(*rows, got.data());
                        QVERIFY2(want == got,
                                 qPrintable(QStringLiteral("%1 %2, %3 at +%4").arg(name, what).arg(n).arg(offset)));
                    };
                    check("luma", n, [&](const vcam::yuv::Rows& r, uint8_t* out) { r.luma(s, out, n); });
                    check("I420 chroma", 2 * n,
                          [&](const vcam::yuv::Rows& r, uint8_t* out) { r.chromaI420(s, out, out + n, n); });
                    check("NV12 chroma", 2 * n,
                          [&](const vcam::yuv::Rows& r, uint8_t* out) { r.chromaNV12(s, bottom, out, n); });
                    check("YUY2", 4 * n, [&](const vcam::yuv::Rows& r, uint8_t* out) { r.yuy2(s, out, n); });
                }
    }

    // Each output pixel is the rounded mean of its 2 x 2 block, byte by byte,
    // for every row length (the vector loop and the rest of the row) and for
    // the sampling steps too.
    void blockMeansAreRoundedPerByte()
    {
        std::mt19937 random(3);
        for (const int step : {2, 4})
            for (int count = 0; count <= 19; ++count) {
                std::vector<uint32_t> a(size_t(count * step + 1)), b(a.size()), out(size_t(count) + 1, 0xdeadbeefu);
                for (size_t i = 0; i < a.size(); ++i)
                    a[i] = random(), b[i] = random();
                pixelmeans::meanOf2x2(a.data(), b.data(), out.data(), count, step);
                for (int i = 0; i < count; ++i)
                    for (int shift = 0; shift < 32; shift += 8) {
                        const auto byte = [&](const std::vector<uint32_t>& v, int at) {
                            return (v[size_t(at)] >> shift) & 0xff;
                        };
                        const int at = i * step;
                        const uint32_t mean = (byte(a, at) + byte(a, at + 1) + byte(b, at) + byte(b, at + 1) + 2) / 4;
                        QCOMPARE((out[size_t(i)] >> shift) & 0xff, mean);
                    }
                QCOMPARE(out[size_t(count)], 0xdeadbeefu); // nothing past the row
            }
    }

    void converterNeverWritesPastTheDestination()
    {
        const auto src = randomPicture(64, 32, 7);
        FrameConverter converter;
        for (int kind = 0; kind <= FrameConverter::Copy; ++kind) {
            converter.reset(64, 32, 64, 32);
            converter.setKind(FrameConverter::Kind(kind));
            const size_t need = FrameConverter::requiredBytes(FrameConverter::Kind(kind), 64, 32);
            // One byte short, a 12-bit-per-pixel buffer for a 32-bit copy, nothing.
            for (size_t size : {need - 1, size_t(64 * 32 * 3 / 2), size_t(0)}) {
                if (size >= need)
                    continue;
                std::vector<uint8_t> dst(need, 0x5A);
                QVERIFY(!converter.convert(src.data(), src.size(), dst.data(), size));
                QVERIFY(std::all_of(dst.begin(), dst.end(), [](uint8_t b) { return b == 0x5A; }));
            }
            // Sizes that differ, a short source, odd sizes for the chroma formats.
            std::vector<uint8_t> dst(64 * 32 * 4, 0x5A);
            converter.reset(64, 32, 32, 32);
            converter.setKind(FrameConverter::Kind(kind));
            QVERIFY(!converter.convert(src.data(), src.size(), dst.data(), dst.size()));
            converter.reset(64, 32, 64, 32);
            converter.setKind(FrameConverter::Kind(kind));
            QVERIFY(!converter.convert(src.data(), src.size() - 1, dst.data(), dst.size()));
            converter.reset(63, 31, 63, 31);
            converter.setKind(FrameConverter::Kind(kind));
            QCOMPARE(converter.convert(src.data(), src.size(), dst.data(), dst.size()), kind == FrameConverter::Copy);
            QVERIFY(std::all_of(dst.begin() + 63 * 31 * 4, dst.end(), [](uint8_t b) { return b == 0x5A; }));
        }
    }

    void placeholderPictureAndPulse()
    {
        const auto picture = vcam::placeholderPicture();
        QVERIFY(picture);
        QCOMPARE(picture->width, 1280u);
        QCOMPARE(picture->height, 720u);
        QCOMPARE(picture, vcam::placeholderPicture()); // decoded once per process
        // Opaque, and actually drawn: many distinct colours, some bright.
        QSet<uint32_t> colours;
        int bright = 0;
        for (size_t i = 0; i < picture->pixels.size(); i += 4) {
            QCOMPARE(picture->pixels[i + 3], uint8_t(255));
            colours.insert(picture->pixels[i] | picture->pixels[i + 1] << 8 | picture->pixels[i + 2] << 16);
            bright += picture->pixels[i + 1] > 200;
        }
        QVERIFY(colours.size() > 100);
        QVERIFY(bright > 10000);

        // Damaged data is refused instead of read past.
        const uint8_t* art = vcam::placeholder_art::data();
        const size_t size = vcam::placeholder_art::size();
        QVERIFY(!vcam::decodePlaceholder(art, size - 5, 1280, 720));
        QVERIFY(!vcam::decodePlaceholder(art, size - 1, 1280, 720));
        QVERIFY(!vcam::decodePlaceholder(art, size, 1280, 719));
        QVERIFY(vcam::decodePlaceholder(art, size, 640, 1440)); // same pixel count, other shape

        // Half brightness at whole 2-second periods, full in between.
        QCOMPARE(vcam::pulseFactor(0), 0.5);
        QVERIFY(std::abs(vcam::pulseFactor(10000000) - 1.0) < 1e-6);
        QVERIFY(std::abs(vcam::pulseFactor(20000000) - 0.5) < 1e-4);
        QVERIFY(std::abs(vcam::pulseFactor(5000000) - (0.5 + 0.5 * std::sin(0.25 * 3.1416))) < 1e-9);
        QCOMPARE(vcam::pulseFactor(12345678), vcam::pulseFactor(12345678 + 20000000));

        const uint8_t in[8] = {255, 101, 3, 17, 0, 200, 255, 0};
        uint8_t out[8];
        vcam::applyPulse(in, out, 8, 0.75);
        const uint8_t expect[8] = {191, 75, 2, 255, 0, 150, 191, 255};
        QCOMPARE(QByteArray(reinterpret_cast<char*>(out), 8), QByteArray(reinterpret_cast<const char*>(expect), 8));
    }

    void pulsedPlaceholderIsThePulseConverted_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("I420") << int(FrameConverter::I420);
        QTest::newRow("NV12") << int(FrameConverter::NV12);
        QTest::newRow("YUY2") << int(FrameConverter::YUY2);
        QTest::newRow("copy") << int(FrameConverter::Copy);
    }

    void pulsedPlaceholderIsThePulseConverted()
    {
        // The built-in art, a picture whose every pixel is a run of its own,
        // and runs of random lengths that begin and end at odd and even columns.
        QFETCH(int, kind);
        std::vector<std::shared_ptr<const vcam::PlaceholderPicture>> pictures {vcam::placeholderPicture()};
        auto ownRuns = std::make_shared<vcam::PlaceholderPicture>();
        ownRuns->width = 34;
        ownRuns->height = 6;
        ownRuns->pixels = randomPicture(34, 6, 11);
        pictures.push_back(ownRuns);
        auto randomRuns = std::make_shared<vcam::PlaceholderPicture>(*ownRuns);
        randomRuns->width = 130;
        randomRuns->height = 8;
        randomRuns->pixels = randomPicture(130, 8, 12);
        std::mt19937 gen(5);
        for (size_t i = 4; i < randomRuns->pixels.size(); i += 4)
            if (gen() % 4 != 0)
                std::memcpy(&randomRuns->pixels[i], &randomRuns->pixels[i - 4], 4);
        pictures.push_back(randomRuns);

        for (const auto& picture : pictures) {
            QVERIFY(picture);
            vcam::PulsingPlaceholder pulsing(picture);
            const uint32_t w = picture->width, h = picture->height;
            FrameConverter converter;
            converter.reset(w, h, w, h);
            converter.setKind(FrameConverter::Kind(kind));
            const size_t bytes = FrameConverter::requiredBytes(converter.kind(), w, h);
            std::vector<uint8_t> pulsed(picture->pixels.size()), expected(bytes), got(bytes + 16, 0xA5);
            for (double m : {0.5, 0.61803, 0.75, 0.99, 1.0}) {
                vcam::applyPulse(picture->pixels.data(), pulsed.data(), pulsed.size(), m);
                QVERIFY(converter.convert(pulsed.data(), pulsed.size(), expected.data(), bytes));
                QVERIFY(pulsing.render(m, converter.kind(),
                                       FrameConverter::packedPlanes(converter.kind(), w, h, got.data())));
                QVERIFY2(std::equal(expected.begin(), expected.end(), got.begin()),
                         qPrintable(QStringLiteral("%1 x %2 at %3").arg(w).arg(h).arg(m)));
                QVERIFY(std::all_of(got.begin() + bytes, got.end(), [](uint8_t b) { return b == 0xA5; }));
            }
        }
    }

    void pacingSleepsThenYields()
    {
        // A simulated clock: sleeping advances it by the time slept, yielding by 0.1 ms.
        int64_t now = 0;
        QList<uint32_t> sleeps;
        int yields = 0;
        vcam::PacerClock clock {[&] { return now; },
                                [&](uint32_t ms) {
                                    sleeps << ms;
                                    now += int64_t(ms) * 10000;
                                },
                                [&] {
                                    ++yields;
                                    now += 1000;
                                },
                                nullptr};
        QVERIFY(vcam::waitUntil(333333, clock, nullptr, 100));
        QCOMPARE(sleeps, QList<uint32_t>({32})); // to 1 ms before the deadline
        QCOMPARE(yields, 14);                    // the remaining 1.33 ms yielded
        QVERIFY(now >= 333333 && now < 333333 + 1000);

        // Counter ticks after three days of uptime, where count x 10^7 would
        // have overflowed 64 bits.
        constexpr int64_t threeDays = int64_t(86400) * 3 * 10000000;
        QCOMPARE(vcam::ticksTo100ns(threeDays, 10000000), threeDays);
        QCOMPARE(vcam::ticksTo100ns(int64_t(3579545) * 86400 * 3 + 1, 3579545), threeDays + 2);

        // With a precise sleep only the last quarter millisecond is yielded.
        now = 0;
        yields = 0;
        QList<int64_t> precise;
        clock.sleepPrecisely = [&](int64_t hundredNs) {
            precise << hundredNs;
            now += hundredNs + 300; // a little late
        };
        QVERIFY(vcam::waitUntil(333333, clock, nullptr, 100));
        QCOMPARE(precise, QList<int64_t>({330833}));
        QVERIFY(yields <= 3 && now >= 333333);
        clock.sleepPrecisely = nullptr;

        // Long waits are cut into pieces; a cancellation ends the wait.
        now = 0;
        sleeps.clear();
        int polls = 0;
        QVERIFY(!vcam::waitUntil(
            10000000, clock, [&] { return ++polls > 3; }, 10));
        QCOMPARE(sleeps, QList<uint32_t>({10, 10, 10}));
        // A deadline in the past returns at once.
        sleeps.clear();
        yields = 0;
        QVERIFY(vcam::waitUntil(0, clock, nullptr));
        QVERIFY(sleeps.isEmpty() && yields == 0);
    }

    void deliveryFollowsTheChannel()
    {
        const std::string name = uniqueName("Chan");
        const size_t i420 = 1280 * 720 * 3 / 2;
        std::vector<uint8_t> dst(i420);
        const auto picture = vcam::placeholderPicture();

        // No writer: the pulsing placeholder, converted.
        FrameDelivery delivery(name);
        QCOMPARE(delivery.produce(10000000, vcam::FormatI420, 1280, 720, dst.data(), dst.size()), Result::Placeholder);
        std::vector<uint8_t> pulsed(picture->pixels.size());
        vcam::applyPulse(picture->pixels.data(), pulsed.data(), pulsed.size(), vcam::pulseFactor(10000000));
        QCOMPARE(QByteArray(reinterpret_cast<char*>(dst.data()), dst.size()),
                 yuvref::convert("I420", pulsed.data(), 1280, 720));
        QVERIFY(!delivery.hasReader());
        // At half size in a 32-bit format, the placeholder halved, pulsing the same.
        std::vector<uint8_t> half(640 * 360 * 4), expectedHalf(half.size());
        QCOMPARE(delivery.produce(10000000, vcam::FormatRGB32, 640, 360, half.data(), half.size()),
                 Result::Placeholder);
        FrameConverter halver;
        halver.reset(1280, 720, 640, 360);
        QVERIFY(
            halver.convert(picture->pixels.data(), picture->pixels.size(), expectedHalf.data(), expectedHalf.size()));
        vcam::applyPulse(expectedHalf.data(), expectedHalf.data(), expectedHalf.size(), vcam::pulseFactor(10000000));
        QVERIFY(half == expectedHalf);
        QCOMPARE(delivery.produce(0, vcam::FormatI420, 640, 360, dst.data(), dst.size()), Result::Unfilled);

        Writer writer {FrameChannel::detail::createWriter(name, 1280, 720, 330000)};
        QVERIFY(writer.h);
        // Created but no frame yet: still the placeholder.
        QCOMPARE(delivery.produce(0, vcam::FormatI420, 1280, 720, dst.data(), dst.size()), Result::Placeholder);
        QVERIFY(delivery.hasReader());

        const auto frame1 = randomPicture(1280, 720, 1);
        FrameChannel::writeFrame(writer.h, frame1.data(), uint32_t(frame1.size()), 0);
        std::vector<uint8_t> yuy2(1280 * 720 * 2);
        QCOMPARE(delivery.produce(0, vcam::FormatYUY2, 1280, 720, yuy2.data(), yuy2.size()), Result::Live);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(yuy2.data()), yuy2.size()),
                 yuvref::convert("YUY2", frame1.data(), 1280, 720));
        QCOMPARE(delivery.sourceInterval(), uint64_t(330000));

        // The writer stalls: the frame goes out 10 times (once new, 9 repeats),
        // the 11th tick fills nothing and lets the channel go, the next opens it
        // again, and the cycle repeats.
        QString pattern;
        for (int tick = 1; tick < 33; ++tick)
            pattern +=
                delivery.produce(0, vcam::FormatNV12, 1280, 720, dst.data(), dst.size()) == Result::Live ? 'L' : '-';
        QCOMPARE(pattern, QString("LLLLLLLLL-LLLLLLLLLL-LLLLLLLLLL-"));
        QCOMPARE(QByteArray(reinterpret_cast<char*>(dst.data()), dst.size()),
                 yuvref::convert("NV12", frame1.data(), 1280, 720));

        // A new frame ends the repeats; the copy formats carry it unchanged.
        const auto frame2 = randomPicture(1280, 720, 2);
        FrameChannel::writeFrame(writer.h, frame2.data(), uint32_t(frame2.size()), 0);
        std::vector<uint8_t> bgrx(1280 * 720 * 4);
        QCOMPARE(delivery.produce(0, vcam::FormatRGB32, 1280, 720, bgrx.data(), bgrx.size()), Result::Live);
        QCOMPARE(delivery.deliveredSequence(), 2u);
        QVERIFY(std::memcmp(bgrx.data(), frame2.data(), bgrx.size()) == 0);

        // Allowed to, the delivery leaves a frame it delivered in the same
        // format and size unwritten; in another format it converts it.
        delivery.allowRepeats(true);
        std::fill(bgrx.begin(), bgrx.end(), 0x44);
        QCOMPARE(delivery.produce(0, vcam::FormatRGB32, 1280, 720, bgrx.data(), bgrx.size()), Result::Repeated);
        QVERIFY(std::all_of(bgrx.begin(), bgrx.end(), [](uint8_t b) { return b == 0x44; }));
        QCOMPARE(delivery.produce(0, vcam::FormatARGB32, 1280, 720, bgrx.data(), bgrx.size()), Result::Live);
        QVERIFY(std::memcmp(bgrx.data(), frame2.data(), bgrx.size()) == 0);
        delivery.allowRepeats(false);

        // A format without a conversion of its own into a buffer of its size
        // writes nothing.
        std::vector<uint8_t> small(1280 * 720, 0x33);
        QCOMPARE(delivery.produce(0, vcam::FormatY800, 1280, 720, small.data(), small.size()), Result::Unfilled);
        QVERIFY(std::all_of(small.begin(), small.end(), [](uint8_t b) { return b == 0x33; }));

        // The writer closes: the placeholder on that very tick.
        FrameChannel::close(writer.h);
        writer.h = nullptr;
        QCOMPARE(delivery.produce(20000000, vcam::FormatI420, 1280, 720, dst.data(), dst.size()), Result::Placeholder);
        QVERIFY(!delivery.hasReader());
        QCOMPARE(delivery.sourceWidth(), 1280u);

        // A channel of another size is never converted into the 1280 x 720 buffer.
        Writer other {FrameChannel::detail::createWriter(name, 640, 360, 330000)};
        QVERIFY(other.h);
        const auto frame3 = randomPicture(640, 360, 3);
        FrameChannel::writeFrame(other.h, frame3.data(), uint32_t(frame3.size()), 0);
        QCOMPARE(delivery.produce(0, vcam::FormatI420, 1280, 720, dst.data(), dst.size()), Result::Unfilled);
        QCOMPARE(delivery.sourceWidth(), 640u);
        std::vector<uint8_t> quarter(640 * 360 * 3 / 2);
        QCOMPARE(delivery.produce(0, vcam::FormatI420, 640, 360, quarter.data(), quarter.size()), Result::Live);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(quarter.data()), quarter.size()),
                 yuvref::convert("I420", frame3.data(), 640, 360));

        // That writer dies without closing (its section still says "flowing")
        // and the next one comes at yet another size: once the reader has let
        // the silent channel go, it reads the new geometry, and the picture
        // flows again instead of freezing.
        delete other.h; // unmaps and lets go, storing nothing: a crash
        other.h = nullptr;
        Writer third {FrameChannel::detail::createWriter(name, 320, 180, 330000)};
        QVERIFY(third.h);
        const auto frame4 = randomPicture(320, 180, 4);
        FrameChannel::writeFrame(third.h, frame4.data(), uint32_t(frame4.size()), 0);
        std::vector<uint8_t> small420(320 * 180 * 3 / 2);
        Result result = Result::Unfilled;
        for (int tick = 0; tick < 2 * int(FrameChannel::kMaxRepeats) && result != Result::Live; ++tick)
            result = delivery.produce(0, vcam::FormatI420, 320, 180, small420.data(), small420.size());
        QCOMPARE(result, Result::Live);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(small420.data()), small420.size()),
                 yuvref::convert("I420", frame4.data(), 320, 180));
    }

    // Somebody shrinks the channel's section under a client and the feeder:
    // neither dies of SIGBUS, the client shows the placeholder at once and
    // takes up the channel the feeder makes next.
    void aShrunkChannelIsLetGo()
    {
        const std::string name = uniqueName("Shrunk");
        Writer writer {FrameChannel::detail::createWriter(name, 320, 180, 330000)};
        QVERIFY(writer.h);
        const auto frame = randomPicture(320, 180, 5);
        FrameChannel::writeFrame(writer.h, frame.data(), uint32_t(frame.size()), 0);
        FrameDelivery delivery(name);
        std::vector<uint8_t> dst(320 * 180 * 4);
        QCOMPARE(delivery.produce(0, vcam::FormatRGB32, 320, 180, dst.data(), dst.size()), Result::Live);

        QVERIFY(QFile::resize(QString::fromStdString("/dev/shm" + SharedMemory::platformName(name)), 0));
        std::vector<uint8_t> placeholder(1280 * 720 * 4);
        QCOMPARE(delivery.produce(0, vcam::FormatRGB32, 1280, 720, placeholder.data(), placeholder.size()),
                 Result::Placeholder);
        FrameChannel::writeFrame(writer.h, frame.data(), uint32_t(frame.size()), 0);
        QVERIFY(FrameChannel::isLost(writer.h)); // the feeder learns its frames go nowhere

        FrameChannel::close(writer.h);
        writer.h = FrameChannel::detail::createWriter(name, 320, 180, 330000);
        QVERIFY(writer.h);
        const auto next = randomPicture(320, 180, 6);
        FrameChannel::writeFrame(writer.h, next.data(), uint32_t(next.size()), 0);
        QCOMPARE(delivery.produce(0, vcam::FormatRGB32, 320, 180, dst.data(), dst.size()), Result::Live);
        QVERIFY(std::memcmp(dst.data(), next.data(), dst.size()) == 0);
    }

    void aFlowingChannelSetsTheSourceAtOnce()
    {
        const std::string name = uniqueName("Peek");
        Writer writer {FrameChannel::detail::createWriter(name, 320, 180, 400000)};
        QVERIFY(writer.h);
        FrameDelivery before(name); // state 1: nothing to take yet
        QCOMPARE(before.sourceWidth(), 1280u);
        const auto frame = randomPicture(320, 180, 4);
        FrameChannel::writeFrame(writer.h, frame.data(), uint32_t(frame.size()), 0);
        FrameDelivery after(name);
        QCOMPARE(after.sourceWidth(), 320u);
        QCOMPARE(after.sourceHeight(), 180u);
        QCOMPARE(after.sourceInterval(), uint64_t(400000));
    }

    void clientsAreCountedAndKilledOnesReleased()
    {
        const std::string section = uniqueName("Count");
        const std::string mutex = uniqueName("CountMux");
        QByteArray out;
        auto startPeer = [&](QProcess& p) {
            p.start(QStringLiteral(VCAM_CLIENT_PEER),
                    {QStringLiteral("count"), QString::fromStdString(section), QString::fromStdString(mutex)});
            out.clear();
            QDeadlineTimer deadline(10000);
            while (!out.contains("counted\n") && !deadline.hasExpired() && p.state() != QProcess::NotRunning) {
                p.waitForReadyRead(100);
                out += p.readAllStandardOutput();
            }
            return out.contains("counted\n");
        };
        {
            vcam::ClientRegistration a(section, mutex);
            a.begin();
            QCOMPARE(counterValue(section, mutex), 1);
            QProcess peer;
            QVERIFY(startPeer(peer));
            QCOMPARE(counterValue(section, mutex), 2);
            peer.write("end\n");
            QVERIFY(peer.waitForFinished(10000));
            QCOMPARE(peer.exitCode(), 0);
            QCOMPARE(counterValue(section, mutex), 1);

            // A killed client cannot subtract itself; its mark shows it is gone
            // and the next client that looks releases it, exactly once.
            QProcess killed1, killed2;
            QVERIFY(startPeer(killed1));
            QVERIFY(startPeer(killed2));
            QCOMPARE(counterValue(section, mutex), 3);
            killed1.kill();
            killed2.kill();
            QVERIFY(killed1.waitForFinished(10000) && killed2.waitForFinished(10000));
            QCOMPARE(counterValue(section, mutex), 3);
            vcam::ClientRegistration reaperA(section, mutex), reaperB(section, mutex);
            reaperA.begin();
            reaperB.begin();
            QCOMPARE(counterValue(section, mutex), 3); // 1 + the two reapers
            QCOMPARE(a.reapDeadClients(), 0);
            reaperA.end();
            reaperB.end();
            QCOMPARE(counterValue(section, mutex), 1);

            // The reading side can release them too, without counting itself.
            QProcess killed3;
            QVERIFY(startPeer(killed3));
            killed3.kill();
            QVERIFY(killed3.waitForFinished(10000));
            InstanceCounter feeder(section, mutex);
            QVERIFY(feeder.createOrOpenSharedMemory());
            QCOMPARE(counterValue(section, mutex), 2);
            QCOMPARE(feeder.releaseDeadClients(), 1);
            QCOMPARE(feeder.releaseDeadClients(), 0);
            QCOMPARE(counterValue(section, mutex), 1);
        } // a ends here
        QCOMPARE(counterValue(section, mutex), 0);

        // A counter that nobody holds any more is replaced by a fresh one at
        // zero; the mark of a client killed under the old one is not taken
        // off the new count, so the next client counts as 1, not 0.
        QProcess lone, next;
        QVERIFY(startPeer(lone));
        lone.kill();
        QVERIFY(lone.waitForFinished(10000));
        QVERIFY(startPeer(next));
        QVERIFY2(out.contains("VCamFilter::Thread started 1 instances"), out);
        QCOMPARE(counterValue(section, mutex), 1);
        next.write("end\n");
        QVERIFY(next.waitForFinished(10000));
        QCOMPARE(next.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(VCamCoreTest)
#include "tst_vcam_core.moc"
