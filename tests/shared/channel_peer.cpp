// A second (third, ...) process for the cross-process tests of the frame
// channel and the instance counter. Built for Linux and, with MinGW, for
// Windows; the tests start it with one of these commands:
//   writer NAME WIDTH HEIGHT FRAMES INTERVAL_MS RETRY_MS
//       creates the channel (retrying for up to RETRY_MS), prints "ready", then
//       writes FRAMES frames (-1: until killed) whose every 32-bit word equals
//       the frame's sequence number, one each INTERVAL_MS; closes, prints "closed".
//   reader NAME FRAMES REOPENS TIMEOUT_MS
//       polls every millisecond, checks every new frame (all words equal the
//       sequence; sequences rise between reopenings), prints "streaming" after
//       FRAMES new frames and exits 0 once it has seen FRAMES new frames after
//       at least REOPENS reopenings; prints "frames N reopens R bad B".
//   count SECTION MUTEX inc|dec N      opens the counter, N increments or decrements
//   read SECTION MUTEX                 prints "value V" or "unknown"
//   client SECTION MUTEX               counts itself with a liveness mark, as a
//                                      virtual camera client begins; prints "counted", sleeps
//   hold MUTEX                         locks the named mutex, prints "locked", sleeps
//   open NAME                          opens the channel once: "channel" or "no channel"
//   view NAME SECTION MUTEX            opens the counter and the channel, takes one frame,
//                                      prints "holding", and at the end of its input
//                                      prints "state S word W" (the channel's state now
//                                      and the frame's first word) before it lets go
//   timed COMMAND...                   runs COMMAND, then prints "took N ms"
#include "FrameChannel.h"
#include "InstanceCounter.h"
#include "platform/ClientMarks.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
static void sleepMs(unsigned ms)
{
    Sleep(ms);
}
#else
#include <unistd.h>
static void sleepMs(unsigned ms)
{
    usleep(ms * 1000u);
}
#endif

namespace {

long long nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void say(const char* text)
{
    std::printf("%s\n", text);
    std::fflush(stdout);
}

int writer(const std::string& name, uint32_t width, uint32_t height, long frames, unsigned intervalMs, long retryMs)
{
    const long long giveUp = nowMs() + retryMs;
    FrameChannel::Handle* channel = nullptr;
    while (!(channel = FrameChannel::detail::createWriter(name, width, height, 330000))) {
        if (nowMs() >= giveUp) {
            say("create failed");
            return 1;
        }
        sleepMs(5);
    }
    say("ready");
    std::vector<uint32_t> frame(size_t(width) * height);
    for (long k = 1; frames < 0 || k <= frames; ++k) {
        std::fill(frame.begin(), frame.end(), uint32_t(k));
        FrameChannel::writeFrame(channel, frame.data(), uint32_t(frame.size() * 4), 0);
        sleepMs(intervalMs);
    }
    FrameChannel::close(channel);
    say("closed");
    return 0;
}

int reader(const std::string& name, long wantFrames, long wantReopens, long timeoutMs)
{
    const long long giveUp = nowMs() + timeoutMs;
    FrameChannel::Handle* channel = nullptr;
    long frames = 0, framesSinceReopen = 0, reopens = 0, bad = 0;
    uint32_t last = 0;
    bool announced = false;
    while (nowMs() < giveUp) {
        if (!channel)
            channel = FrameChannel::detail::openReader(name);
        FrameChannel::Frame frame;
        switch (FrameChannel::pollFrame(channel, frame)) {
        case FrameChannel::Poll::NewFrame: {
            const auto* words = reinterpret_cast<const uint32_t*>(frame.pixels);
            const size_t count = frame.byteCount / 4;
            bool good = frame.sequence > last && count == size_t(frame.width) * frame.height;
            for (size_t i = 0; good && i < count; ++i)
                good = words[i] == frame.sequence;
            // A reader descheduled long enough may be overtaken; that is
            // detected, not corruption.
            if (!good && !FrameChannel::frameIntact(channel, frame))
                good = true;
            bad += good ? 0 : 1;
            last = frame.sequence;
            ++frames;
            ++framesSinceReopen;
            break;
        }
        case FrameChannel::Poll::Reopen:
            FrameChannel::close(channel);
            channel = nullptr;
            last = 0;
            if (framesSinceReopen > 0)
                ++reopens;
            framesSinceReopen = 0;
            break;
        default:
            break;
        }
        if (!announced && frames >= wantFrames) {
            say("streaming");
            announced = true;
        }
        if (reopens >= wantReopens && framesSinceReopen >= wantFrames && frames >= wantFrames)
            break;
        sleepMs(1);
    }
    FrameChannel::close(channel);
    std::printf("frames %ld reopens %ld bad %ld\n", frames, reopens, bad);
    const bool done = reopens >= wantReopens && framesSinceReopen >= wantFrames && bad == 0;
    return done ? 0 : 1;
}

int count(const std::string& section, const std::string& mutex, bool up, long n)
{
    InstanceCounter counter(section, mutex);
    if (!counter.createOrOpenSharedMemory())
        return 2;
    for (long i = 0; i < n; ++i)
        if (!(up ? counter.increment() : counter.decrement()))
            return 3;
    return 0;
}

int read(const std::string& section, const std::string& mutex)
{
    InstanceCounter counter(section, mutex);
    int32_t value = 0;
    if (counter.createOrOpenSharedMemory() && counter.readValue(value)) {
        std::printf("value %d\n", int(value));
        return 0;
    }
    say("unknown");
    return 1;
}

int client(const std::string& section, const std::string& mutex)
{
    InstanceCounter counter(section, mutex);
    if (!counter.createOrOpenSharedMemory())
        return 2;
    counter.releaseDeadClients();
    ClientMarks::Mark mark;
    const bool marked = mark.prepare(section, counter.generation());
    if (!counter.increment())
        return 3;
    if (marked)
        mark.publish();
    say(mark.isPublished() ? "counted" : "unmarked");
    for (;;)
        sleepMs(1000);
}

int openOnce(const std::string& name)
{
    FrameChannel::Handle* channel = FrameChannel::detail::openReader(name);
    say(channel ? "channel" : "no channel");
    FrameChannel::close(channel);
    return 0;
}

int view(const std::string& name, const std::string& section, const std::string& mutex)
{
    InstanceCounter counter(section, mutex);
    FrameChannel::Handle* channel = FrameChannel::detail::openReader(name);
    FrameChannel::Frame frame;
    for (int i = 0; channel && i < 5000 && FrameChannel::pollFrame(channel, frame) != FrameChannel::Poll::NewFrame; ++i)
        sleepMs(1);
    if (!counter.createOrOpenSharedMemory() || !frame.pixels) {
        say("no frame");
        return 1;
    }
    say("holding");
    while (std::getchar() != EOF) {}
    uint32_t word = 0;
    std::memcpy(&word, frame.pixels, sizeof word);
    std::printf("state %u word %u\n", unsigned(FrameChannel::readState(channel)), unsigned(word));
    FrameChannel::close(channel);
    return 0;
}

int hold(const std::string& mutexName)
{
    SharedMemory::NamedMutex mutex;
    unsigned long error = 0;
    if (!mutex.openOrCreate(mutexName, error))
        return 2;
    if (!mutex.lock()) {
        say("busy");
        return 3;
    }
    say("locked");
    for (;;)
        sleepMs(1000);
}

int run(const std::vector<std::string>& a)
{
    auto num = [&](size_t i) { return std::strtol(a.at(i).c_str(), nullptr, 10); };
    try {
        if (a.size() == 7 && a[0] == "writer")
            return writer(a[1], uint32_t(num(2)), uint32_t(num(3)), num(4), unsigned(num(5)), num(6));
        if (a.size() == 5 && a[0] == "reader")
            return reader(a[1], num(2), num(3), num(4));
        if (a.size() == 5 && a[0] == "count")
            return count(a[1], a[2], a[3] == "inc", num(4));
        if (a.size() == 3 && a[0] == "read")
            return read(a[1], a[2]);
        if (a.size() == 3 && a[0] == "client")
            return client(a[1], a[2]);
        if (a.size() == 2 && a[0] == "hold")
            return hold(a[1]);
        if (a.size() == 4 && a[0] == "view")
            return view(a[1], a[2], a[3]);
        if (a.size() == 2 && a[0] == "open")
            return openOnce(a[1]);
        if (a.size() > 1 && a[0] == "timed") {
            const long long start = nowMs();
            const int code = run(std::vector<std::string>(a.begin() + 1, a.end()));
            std::printf("took %lld ms\n", nowMs() - start);
            return code;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    std::fprintf(stderr, "usage: see channel_peer.cpp\n");
    return 64;
}

} // namespace

int main(int argc, char** argv)
{
    return run(std::vector<std::string>(argv + 1, argv + argc));
}
