// The frame channel and instance counter on Windows (run under Wine): the
// kernel objects' semantics within one process, then real processes
// (channel_peer.exe next to this program): writer and readers, a writer
// terminated mid-stream and replaced, counting under contention, a mutex
// holder that dies, a counter that cannot be opened, and counted clients that
// are killed.
#include "FrameChannel.h"
#include "InstanceCounter.h"
#include "platform/Win32Text.h"

#include "ChildProcess.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using win32text::widen;

int failures = 0;
#define CHECK(cond)                                                                                                    \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            std::fprintf(stderr, "FAIL %s:%d: %s\n", __FILE__, __LINE__, #cond);                                       \
            ++failures;                                                                                                \
        }                                                                                                              \
    } while (0)

// A channel_peer process.
class Child : public ChildProcess
{
public:
    explicit Child(const std::string& args, bool discard = false)
        : ChildProcess(besideThisProgram(L"channel_peer.exe"), args, discard)
    {}
};

const std::string tag = std::to_string(GetCurrentProcessId());

void inProcess()
{
    const std::string name = "VantorWinChan" + tag;
    FrameChannel::Handle* w = FrameChannel::detail::createWriter(name, 4, 2, 330000);
    CHECK(w);
    if (!w)
        return;
    CHECK(w->mappedSize == 288);
    CHECK(w->header->slotOffset[1] == 160 && w->header->slotOffset[2] == 224);
    FrameChannel::Handle* r = FrameChannel::detail::openReader(name);
    CHECK(r);
    CHECK(r && r->mappedSize >= 288); // whole pages
    FrameChannel::Frame f;
    CHECK(FrameChannel::pollFrame(r, f) == FrameChannel::Poll::NoFrame);
    uint32_t px[8];
    const int slots[] = {1, 2, 0, 1};
    for (uint32_t s = 1; s <= 4; ++s) {
        for (auto& p : px)
            p = s;
        FrameChannel::writeFrame(w, px, 4096, 0); // too long: clamped to the slot
        CHECK(FrameChannel::pollFrame(r, f) == FrameChannel::Poll::NewFrame);
        CHECK(f.sequence == s && f.pixels == r->pixels[slots[s - 1]]);
        CHECK(f.pixels && std::memcmp(f.pixels, px, sizeof px) == 0);
    }
    // Slot 2's header after slot 1's pixels was never overwritten.
    for (uint32_t i = 0; i < 32; ++i)
        CHECK(w->slot[2][i] == 0);
    // One writer: refused while a section of that name exists.
    CHECK(FrameChannel::detail::createWriter(name, 4, 2, 330000) == nullptr);
    FrameChannel::close(w);
    CHECK(FrameChannel::readState(r) == FrameChannel::StateClosed);
    CHECK(FrameChannel::pollFrame(r, f) == FrameChannel::Poll::Reopen);
    // The reader still holds the section; no second reader joins a channel
    // whose writer is gone, and the next writer waits for the holder to go.
    CHECK(FrameChannel::detail::openReader(name) == nullptr);
    CHECK(FrameChannel::detail::createWriter(name, 4, 2, 330000) == nullptr);
    FrameChannel::close(r);
    w = FrameChannel::detail::createWriter(name, 4, 2, 330000);
    CHECK(w && w->header->state == FrameChannel::StateCreated);
    FrameChannel::close(w);
}

void counterBasics()
{
    const std::string sect = "GlobalVantorWinCountSM" + tag, mux = "GlobalVantorWinCountMux" + tag;
    InstanceCounter a(sect, mux);
    int32_t v = 42;
    CHECK(!a.readValue(v) && v == 42);
    CHECK(a.createOrOpenSharedMemory());
    CHECK(a.readValue(v) && v == 0);
    CHECK(a.increment() && a.increment() && a.decrement());
    InstanceCounter b(sect, mux);
    CHECK(b.createOrOpenSharedMemory());
    CHECK(b.readValue(v) && v == 1); // opening keeps the value

    // A name taken by another kind of object: the section cannot be created.
    HANDLE squatter = CreateMutexW(nullptr, FALSE, widen("VantorWinSquat" + tag).c_str());
    InstanceCounter bad("VantorWinSquat" + tag, mux);
    v = 42;
    CHECK(!bad.createOrOpenSharedMemory());
    CHECK(!bad.readValue(v) && v == 42);
    CHECK(!bad.increment() && !bad.decrement());
    // ... or the mutex cannot.
    HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4,
                                        widen("VantorWinSquatSM" + tag).c_str());
    InstanceCounter badMutex(sect, "VantorWinSquatSM" + tag);
    CHECK(!badMutex.createOrOpenSharedMemory() && !badMutex.readValue(v));
    CloseHandle(section);
    CloseHandle(squatter);
}

void processes()
{
    const std::string chan = "VantorWinProcChan" + tag;
    {
        Child writer("writer " + chan + " 160 90 300 3 0");
        CHECK(writer.waitForLine("ready"));
        std::vector<std::unique_ptr<Child>> readers;
        for (int i = 0; i < 2; ++i)
            readers.push_back(std::make_unique<Child>("reader " + chan + " 40 0 20000"));
        for (auto& r : readers) {
            CHECK(r->finish() == 0);
            CHECK(!r->lines.empty() && r->lines.back().find("bad 0") != std::string::npos);
        }
        Child second("writer " + chan + " 160 90 1 1 0");
        CHECK(second.finish() == 1 && second.said("create failed"));
        CHECK(writer.finish() == 0 && writer.said("closed"));
    }
    {
        auto writer = std::make_unique<Child>("writer " + chan + " 320 180 -1 3 0");
        CHECK(writer->waitForLine("ready"));
        std::vector<std::unique_ptr<Child>> readers;
        for (int i = 0; i < 2; ++i)
            readers.push_back(std::make_unique<Child>("reader " + chan + " 20 1 40000"));
        for (auto& r : readers)
            CHECK(r->waitForLine("streaming"));
        writer->kill(); // mid-stream
        writer.reset();
        // Readers let go of the dead writer's section and do not pick it up
        // again, so the next writer gets a fresh one soon.
        Child next("writer " + chan + " 320 180 -1 3 10000");
        CHECK(next.waitForLine("ready", 15000));
        for (auto& r : readers) {
            CHECK(r->finish() == 0);
            CHECK(!r->lines.empty() && r->lines.back().find("bad 0") != std::string::npos);
        }
    }

    const std::string sect = "GlobalVantorWinProcSM" + tag, mux = "GlobalVantorWinProcMux" + tag;
    InstanceCounter mine(sect, mux);
    CHECK(mine.createOrOpenSharedMemory());
    constexpr int kPeers = 4, kEach = 250;
    for (const char* direction : {"inc", "dec"}) {
        std::vector<std::unique_ptr<Child>> peers;
        for (int i = 0; i < kPeers; ++i)
            peers.push_back(std::make_unique<Child>(
                "count " + sect + " " + mux + " " + direction + " " + std::to_string(kEach), true));
        for (auto& p : peers)
            CHECK(p->finish() == 0);
        int32_t value = -1;
        CHECK(mine.readValue(value) && value == (direction[0] == 'i' ? kPeers * kEach : 0));
    }

    // The holder of the counter's mutex dies: the mutex is abandoned and the
    // next waiter gets it.
    CHECK(mine.increment());
    Child holder("hold " + mux);
    CHECK(holder.waitForLine("locked"));
    Child blocked("read " + sect + " " + mux);
    CHECK(blocked.finish(300) == -1);
    holder.kill();
    CHECK(blocked.finish(10000) == 0 && blocked.said("value 1"));
}

// Counted clients that are killed are subtracted once, by whoever reaps
// first; a live client's mark is left alone; a client killed while it held a
// counter object alone (which went with it) is never subtracted from the next.
void deadClients()
{
    const std::string sect = "GlobalVantorWinMarkSM" + tag, mux = "GlobalVantorWinMarkMux" + tag;
    const std::string client = "client " + sect + " " + mux;
    {
        Child alone(client);
        CHECK(alone.waitForLine("counted"));
        alone.kill();
    }
    InstanceCounter mine(sect, mux);
    CHECK(mine.createOrOpenSharedMemory());
    Child live(client), doomed(client);
    CHECK(live.waitForLine("counted") && doomed.waitForLine("counted"));
    int32_t value = -1;
    CHECK(mine.readValue(value) && value == 2);
    doomed.kill();
    CHECK(mine.releaseDeadClients() == 1);
    CHECK(mine.releaseDeadClients() == 0);
    CHECK(mine.readValue(value) && value == 1);
    live.kill();
    CHECK(mine.releaseDeadClients() == 1 && mine.readValue(value) && value == 0);
}

} // namespace

int main()
{
    inProcess();
    counterBasics();
    processes();
    deadClients();
    std::printf("%s (%d failures)\n", failures ? "FAILED" : "PASSED", failures);
    return failures ? 1 : 0;
}
