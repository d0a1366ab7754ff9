// The frame channel and the instance counter within one process: layout,
// sequencing and slot choice, states, the writer's limits, and readers facing
// headers they must not trust.
#include "FrameChannel.h"
#include "InstanceCounter.h"
#include "SectionNames.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

using namespace FrameChannel;

namespace {

struct WriterGuard
{
    Handle* h;
    ~WriterGuard() { FrameChannel::close(h); }
};

} // namespace

class TestFrameChannel : public QObject
{
    Q_OBJECT

    std::string name = uniqueName("Chan");
    std::string counterName = uniqueName("Count");
    std::string mutexName = uniqueName("Mux");

private slots:
    void cleanup()
    {
        unlinkAll(name);
        unlinkAll(counterName);
        unlinkAll(mutexName);
    }

    void layout_data()
    {
        QTest::addColumn<uint>("width");
        QTest::addColumn<uint>("height");
        QTest::addColumn<uint>("slot1");
        QTest::addColumn<uint>("slot2");
        QTest::addColumn<uint>("size");
        QTest::newRow("720p") << 1280u << 720u << 3686528u << 7372960u << 11059392u;
        QTest::newRow("1x1") << 1u << 1u << 160u << 224u << 288u;
        QTest::newRow("odd") << 3u << 5u << 192u << 288u << 384u;
    }
    void layout()
    {
        QFETCH(uint, width);
        QFETCH(uint, height);
        QFETCH(uint, slot1);
        QFETCH(uint, slot2);
        QFETCH(uint, size);
        Layout l;
        QVERIFY(computeLayout(width, height, l));
        QCOMPARE(l.frameBytes, width * height * 4);
        QCOMPARE(l.slotOffset[0], 96u);
        QCOMPARE(l.slotOffset[1], slot1);
        QCOMPARE(l.slotOffset[2], slot2);
        QCOMPARE(l.sectionSize, size);
    }

    void layoutRejectsWrappingSizes()
    {
        Layout l;
        QVERIFY(!computeLayout(0, 720, l));
        QVERIFY(!computeLayout(1280, 0, l));
        // F fits in 32 bits but the section would not: the offsets would wrap.
        QVERIFY(!computeLayout(20000, 20000, l));
        QVERIFY(!computeLayout(65536, 65536, l));             // F itself wraps to 0
        QVERIFY(!computeLayout(0x80000000u, 0x80000000u, l)); // even in 64 bits
        QVERIFY(computeLayout(16384, 16384, l));              // 1 GiB frames still fit
        QVERIFY(l.sectionSize > l.slotOffset[2] && l.slotOffset[2] > l.slotOffset[1]);
        QCOMPARE(createWriter(65536, 65536, 330000), nullptr);
    }

    void writerHeaderAndObject()
    {
        WriterGuard w {detail::createWriter(name, 1280, 720, 330000)};
        QVERIFY(w.h);
        const auto* bytes = reinterpret_cast<const uint8_t*>(w.h->header);
        const uint32_t expect[] = {0, 0, 1, 96, 3686528, 7372960, 0, 1280, 720, 0};
        QCOMPARE(std::memcmp(bytes, expect, sizeof expect), 0);
        uint64_t interval;
        std::memcpy(&interval, bytes + 40, 8);
        QCOMPARE(interval, uint64_t(330000));
        QCOMPARE(w.h->mappedSize, size_t(11059392));

        // Per-user name, owner-only access.
        struct stat st = {};
        const std::string path = "/dev/shm" + SharedMemory::platformName(name);
        QVERIFY(QByteArray::fromStdString(path).endsWith("-" + QByteArray::number(getuid())));
        QCOMPARE(stat(path.c_str(), &st), 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0600));
        QCOMPARE(st.st_size, off_t(11059392));
    }

    void sequencingAndSlots()
    {
        WriterGuard w {detail::createWriter(name, 4, 2, 330000)};
        QVERIFY(w.h);
        Handle* r = detail::openReader(name);
        QVERIFY(r);
        Frame f;
        // Created, no frame yet: the reader must not touch any slot.
        QCOMPARE(pollFrame(r, f), Poll::NoFrame);
        QVERIFY(!r->slotsResolved);
        QCOMPARE(f.pixels, nullptr);

        std::vector<uint32_t> px(8);
        const int expectedSlot[] = {1, 2, 0, 1};
        for (uint32_t s = 1; s <= 4; ++s) {
            std::fill(px.begin(), px.end(), 0xC0DE0000u + s);
            writeFrame(w.h, px.data(), 32, 1000 + s);
            QCOMPARE(w.h->header->writeSequence, s);
            QCOMPARE(w.h->header->publishedSequence, s);
            QCOMPARE(w.h->header->state, uint32_t(StateFlowing));
            const uint8_t* slot = w.h->slot[expectedSlot[s - 1]];
            uint64_t ts;
            std::memcpy(&ts, slot, 8);
            QCOMPARE(ts, uint64_t(1000 + s));
            QCOMPARE(std::memcmp(slot + 32, px.data(), 32), 0);

            QCOMPARE(pollFrame(r, f), Poll::NewFrame);
            QVERIFY(r->slotsResolved);
            QCOMPARE(f.sequence, s);
            QCOMPARE(f.width, 4u);
            QCOMPARE(f.height, 2u);
            QCOMPARE(f.byteCount, 32u);
            QCOMPARE(f.pixels, r->pixels[expectedSlot[s - 1]]);
            QCOMPARE(std::memcmp(f.pixels, px.data(), 32), 0);
            QVERIFY(frameIntact(r, f));
        }
        QCOMPARE(r->frameInterval, uint64_t(330000));
        // Three more frames started: the slot of frame 4 is being rewritten.
        const Frame old = f;
        for (int i = 0; i < 3; ++i)
            writeFrame(w.h, px.data(), 32, 0);
        QVERIFY(!frameIntact(r, old));

        // Closing a reader leaves the header as it was.
        Header before;
        std::memcpy(&before, w.h->header, sizeof before);
        FrameChannel::close(r);
        QCOMPARE(std::memcmp(&before, w.h->header, sizeof before), 0);
    }

    void repeatsThenReopen()
    {
        WriterGuard w {detail::createWriter(name, 2, 2, 330000)};
        Handle* r = detail::openReader(name);
        QVERIFY(w.h && r);
        std::vector<uint32_t> px(4, 7);
        writeFrame(w.h, px.data(), 16, 0);
        Frame f;
        QCOMPARE(pollFrame(r, f), Poll::NewFrame);
        for (uint32_t i = 1; i < kMaxRepeats; ++i) {
            QCOMPARE(pollFrame(r, f), Poll::Repeat);
            QCOMPARE(f.sequence, 1u);
            QVERIFY(f.pixels);
        }
        QCOMPARE(pollFrame(r, f), Poll::Reopen);
        QCOMPARE(f.pixels, nullptr);
        // A new frame resets the count.
        writeFrame(w.h, px.data(), 16, 0);
        QCOMPARE(pollFrame(r, f), Poll::NewFrame);
        QCOMPARE(pollFrame(r, f), Poll::Repeat);
        FrameChannel::close(r);
    }

    void closeMarksClosedAndFreesTheName()
    {
        Handle* w = detail::createWriter(name, 2, 2, 330000);
        QVERIFY(w);
        Handle* r = detail::openReader(name);
        QVERIFY(r);
        // One writer at a time, even within one process.
        QCOMPARE(detail::createWriter(name, 2, 2, 330000), nullptr);
        QCOMPARE(detail::createWriter(name, 8, 8, 1), nullptr);
        QCOMPARE(w->header->width, 2u); // the refusals changed nothing
        QCOMPARE(w->header->state, uint32_t(StateCreated));
        QCOMPARE(readState(r), uint32_t(StateCreated));
        FrameChannel::close(w); // no frame was ever written
        QCOMPARE(readState(r), uint32_t(StateClosed));
        Frame f;
        QCOMPARE(pollFrame(r, f), Poll::Reopen);
        // The writer is gone: no new reader attaches to its section.
        QCOMPARE(detail::openReader(name), nullptr);

        // The next writer replaces the section although a reader still maps
        // the old one; that reader keeps a valid view of the old header.
        Handle* w2 = detail::createWriter(name, 2, 2, 330000);
        QVERIFY(w2);
        QCOMPARE(readState(r), uint32_t(StateClosed));
        FrameChannel::close(r);
        r = detail::openReader(name);
        QVERIFY(r);
        QCOMPARE(readState(r), uint32_t(StateCreated));
        FrameChannel::close(r);
        FrameChannel::close(w2);
        FrameChannel::close(nullptr);
    }

    void staleSectionIsReplaced()
    {
        // Left over by a writer that died: wrong size, garbage, nobody holds it.
        const std::string base = SharedMemory::platformName(name);
        const int fd = shm_open(base.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        QVERIFY(fd >= 0);
        QCOMPARE(ftruncate(fd, 4096), 0);
        std::vector<uint8_t> junk(4096, 0xEE);
        QCOMPARE(write(fd, junk.data(), junk.size()), ssize_t(junk.size()));
        ::close(fd);
        QCOMPARE(detail::openReader(name), nullptr); // no live writer behind it

        WriterGuard w {detail::createWriter(name, 1280, 720, 330000)};
        QVERIFY(w.h);
        QCOMPARE(w.h->header->state, uint32_t(StateCreated));
        QCOMPARE(w.h->header->writeSequence, 0u);
        QCOMPARE(w.h->mappedSize, size_t(11059392));
    }

    void writeFrameStaysInsideTheSlot()
    {
        WriterGuard w {detail::createWriter(name, 4, 4, 330000)};
        QVERIFY(w.h);
        const uint32_t f = 64;
        std::vector<uint8_t> big(4096, 0xAB);
        // Frame 1 goes to slot 1; slot 2's header follows its pixels.
        writeFrame(w.h, big.data(), uint32_t(big.size()), 0);
        QCOMPARE(w.h->pixels[1][f - 1], uint8_t(0xAB));
        for (uint32_t i = 0; i < kSlotHeaderSize; ++i)
            QCOMPARE(w.h->slot[2][i], uint8_t(0));
        // Frame 2 fills the last slot; the padding up to the end stays zero.
        writeFrame(w.h, big.data(), UINT32_MAX, 0);
        const auto* end = reinterpret_cast<const uint8_t*>(w.h->header) + w.h->mappedSize;
        for (const uint8_t* p = w.h->pixels[2] + f; p < end; ++p)
            QCOMPARE(*p, uint8_t(0));
        // A short copy fills only its part and still publishes.
        std::vector<uint8_t> small(8, 0x11);
        writeFrame(w.h, small.data(), 8, 0); // frame 3, slot 0
        QCOMPARE(w.h->pixels[0][7], uint8_t(0x11));
        QCOMPARE(w.h->pixels[0][8], uint8_t(0));
        QCOMPARE(w.h->header->publishedSequence, 3u);

        // Nothing to copy or nowhere to write: nothing changes.
        writeFrame(w.h, nullptr, 64, 0);
        writeFrame(nullptr, big.data(), 64, 0);
        Handle* r = detail::openReader(name);
        QVERIFY(r);
        writeFrame(r, big.data(), 64, 0);
        FrameChannel::close(r);
        QCOMPARE(w.h->header->writeSequence, 3u);
        QCOMPARE(w.h->header->publishedSequence, 3u);
    }

    void sequenceWrapSkipsZero()
    {
        WriterGuard w {detail::createWriter(name, 1, 1, 330000)};
        QVERIFY(w.h);
        w.h->header->writeSequence = 0xFFFFFFFEu;
        const uint32_t a = 0xAAAAAAAA, b = 0xBBBBBBBB;
        writeFrame(w.h, &a, 4, 0);
        QCOMPARE(w.h->header->publishedSequence, 0xFFFFFFFFu); // slot 0
        writeFrame(w.h, &b, 4, 0);
        QCOMPARE(w.h->header->publishedSequence, 1u); // slot 1, not slot 0 again
        uint32_t kept;
        std::memcpy(&kept, w.h->pixels[0], 4);
        QCOMPARE(kept, a);
    }

    // Whatever the header says, a reader only hands out addresses inside its
    // view, and a bad header means "no frame".
    void hostileHeaders_data()
    {
        QTest::addColumn<int>("field");
        QTest::addColumn<uint>("value");
        QTest::newRow("slot 2 past the end") << 5 << 224u + 4096u;
        QTest::newRow("slot 1 near 4 GiB") << 4 << 0xFFFFFFF0u;
        QTest::newRow("slot inside header") << 3 << 8u;
        QTest::newRow("misaligned slot") << 4 << 161u;
        QTest::newRow("width too large") << 7 << 9u;
        QTest::newRow("height wraps F") << 8 << 0x40000000u;
        QTest::newRow("zero height") << 8 << 0u;
        QTest::newRow("F wraps in 64 bits") << 99 << 0x80000000u;
    }
    void hostileHeaders()
    {
        QFETCH(int, field);
        QFETCH(uint, value);
        std::vector<uint8_t> section(288, 0); // a 1x1 channel
        Header h {};
        h.state = StateFlowing;
        h.publishedSequence = 5;
        h.slotOffset[0] = 96;
        h.slotOffset[1] = 160;
        h.slotOffset[2] = 224;
        h.width = 1;
        h.height = 1;
        std::memcpy(section.data(), &h, sizeof h);
        Handle* r = detail::attachReader(section.data(), section.size());
        QVERIFY(r);
        Frame f;
        QCOMPARE(pollFrame(r, f), Poll::NewFrame); // sound as built
        FrameChannel::close(r);

        if (field == 99) { // width and height together
            reinterpret_cast<uint32_t*>(section.data())[7] = value;
            reinterpret_cast<uint32_t*>(section.data())[8] = value;
        } else {
            reinterpret_cast<uint32_t*>(section.data())[field] = value;
        }
        r = detail::attachReader(section.data(), section.size());
        QCOMPARE(pollFrame(r, f), Poll::NoFrame);
        QVERIFY(!r->slotsResolved);
        QCOMPARE(f.pixels, nullptr);
        FrameChannel::close(r);
        QCOMPARE(detail::attachReader(section.data(), 95), nullptr);
    }

    // A header that turns bad after the slots were resolved: the reader
    // checks again whenever the state turns to 2.
    void headerChangesUnderTheReader()
    {
        std::vector<uint8_t> section(288, 0);
        auto* h = reinterpret_cast<Header*>(section.data());
        h->state = StateFlowing;
        h->publishedSequence = 1;
        h->slotOffset[0] = 96;
        h->slotOffset[1] = 160;
        h->slotOffset[2] = 224;
        h->width = h->height = 1;
        Handle* r = detail::attachReader(section.data(), section.size());
        Frame f;
        QCOMPARE(pollFrame(r, f), Poll::NewFrame);
        h->width = 1000; // ignored while frames keep flowing: the checked size stays
        h->publishedSequence = 2;
        QCOMPARE(pollFrame(r, f), Poll::NewFrame);
        QCOMPARE(f.width, 1u);
        h->state = StateCreated;
        QCOMPARE(pollFrame(r, f), Poll::NoFrame);
        h->state = StateFlowing; // back to 2: geometry read again, and rejected
        h->publishedSequence = 3;
        QCOMPARE(pollFrame(r, f), Poll::NoFrame);
        h->width = 1;
        h->state = 77;
        QCOMPARE(pollFrame(r, f), Poll::NoFrame);
        h->state = StateFlowing;
        QCOMPARE(pollFrame(r, f), Poll::NewFrame);
        FrameChannel::close(r);
    }

    void counterCreateOpenAndStale()
    {
        {
            InstanceCounter a(counterName, mutexName);
            QVERIFY(a.createOrOpenSharedMemory());
            int32_t v = -1;
            QVERIFY(a.readValue(v));
            QCOMPARE(v, 0);
            QVERIFY(a.increment());
            QVERIFY(a.increment());
            QVERIFY(a.decrement());
            // A second opener keeps the value.
            InstanceCounter b(counterName, mutexName);
            QVERIFY(b.createOrOpenSharedMemory());
            QVERIFY(b.readValue(v));
            QCOMPARE(v, 1);
            QVERIFY(b.increment());
            QVERIFY(a.readValue(v));
            QCOMPARE(v, 2);
        }
        // Everyone let go: on Windows the section would be gone, so a new
        // opener starts again from zero instead of a count nobody can repair.
        InstanceCounter c(counterName, mutexName);
        QVERIFY(c.createOrOpenSharedMemory());
        int32_t v = -1;
        QVERIFY(c.readValue(v));
        QCOMPARE(v, 0);
    }

    // Threads of one process, sharing one counter object or holding their own.
    void counterAcrossThreads()
    {
        InstanceCounter shared(counterName, mutexName);
        QVERIFY(shared.createOrOpenSharedMemory());
        InstanceCounter own(counterName, mutexName);
        QVERIFY(own.createOrOpenSharedMemory());
        constexpr int kEach = 300;
        std::atomic<int> failed {0};
        auto bump = [&](InstanceCounter* c) {
            for (int i = 0; i < kEach; ++i)
                failed += c->increment() ? 0 : 1;
        };
        std::thread a(bump, &shared), b(bump, &shared), c(bump, &own);
        a.join();
        b.join();
        c.join();
        int32_t v = 0;
        QVERIFY(own.readValue(v));
        QCOMPARE(v, 3 * kEach);
        QCOMPARE(failed.load(), 0);
    }

    void counterOpenFailureIsUnknown()
    {
        // Longer than any object name may be.
        InstanceCounter bad(std::string(300, 'x'), mutexName);
        int32_t v = 12345;
        QVERIFY(!bad.readValue(v)); // never opened
        QVERIFY(!bad.createOrOpenSharedMemory());
        QVERIFY(!bad.isUsable());
        QVERIFY(!bad.readValue(v));
        QCOMPARE(v, 12345);
        QVERIFY(!bad.increment());
        QVERIFY(!bad.decrement());

        // The section opens but the mutex cannot.
        InstanceCounter noMutex(counterName, std::string(300, 'y'));
        QVERIFY(!noMutex.createOrOpenSharedMemory());
        QVERIFY(!noMutex.readValue(v));

        // An existing object too small for the count, held by someone: not
        // mapped (touching it would fault).
        const std::string base = SharedMemory::platformName(counterName);
        shm_unlink(base.c_str());
        const int fd = shm_open(base.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        QVERIFY(fd >= 0);
        QCOMPARE(flock(fd, LOCK_SH), 0);
        InstanceCounter small(counterName, mutexName);
        QVERIFY(!small.createOrOpenSharedMemory());
        QVERIFY(!small.readValue(v));
        ::close(fd);
    }
};

QTEST_GUILESS_MAIN(TestFrameChannel)
#include "tst_FrameChannel.moc"
