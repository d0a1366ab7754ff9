// Cost of moving one 1280x720 frame through the shared frame channel: the
// writer's copy into a slot, and a reader's poll plus copy out of it, next to a
// plain memcpy of the same 3,686,400 bytes.
#include "FrameChannel.h"

#include <unistd.h>
#include <sys/mman.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 720, kBytes = kWidth * kHeight * 4;
constexpr int kRounds = 300;

double msPer(std::chrono::steady_clock::duration elapsed, int rounds)
{
    return std::chrono::duration<double, std::milli>(elapsed).count() / rounds;
}

} // namespace

int main()
{
    const std::string name = "VantorBench" + std::to_string(getpid());
    std::vector<uint8_t> source(kBytes), target(kBytes);
    for (uint32_t i = 0; i < kBytes; ++i)
        source[i] = uint8_t(i * 7);
    std::memset(target.data(), 1, kBytes);

    using clock = std::chrono::steady_clock;
    auto start = clock::now();
    for (int i = 0; i < kRounds; ++i) {
        source[0] = uint8_t(i);
        std::memcpy(target.data(), source.data(), kBytes);
    }
    const double plain = msPer(clock::now() - start, kRounds);

    FrameChannel::Handle* writer = FrameChannel::detail::createWriter(name, kWidth, kHeight, 330000);
    FrameChannel::Handle* reader = FrameChannel::detail::openReader(name);
    if (!writer || !reader) {
        std::fprintf(stderr, "cannot create the channel\n");
        return 1;
    }
    for (int i = 0; i < 3; ++i) // touch every slot's pages once
        FrameChannel::writeFrame(writer, source.data(), kBytes, 0);

    start = clock::now();
    for (int i = 0; i < kRounds; ++i) {
        source[0] = uint8_t(i);
        FrameChannel::writeFrame(writer, source.data(), kBytes, 0);
    }
    const double write = msPer(clock::now() - start, kRounds);

    // A reader's share of each frame: poll, copy the newest slot out (the
    // filter's straight copy), check it was not overtaken.
    clock::duration reading {};
    int frames = 0;
    for (int i = 0; i < kRounds; ++i) {
        FrameChannel::writeFrame(writer, source.data(), kBytes, 0);
        const auto t0 = clock::now();
        FrameChannel::Frame frame;
        if (FrameChannel::pollFrame(reader, frame) == FrameChannel::Poll::NewFrame) {
            std::memcpy(target.data(), frame.pixels, frame.byteCount);
            frames += FrameChannel::frameIntact(reader, frame);
        }
        reading += clock::now() - t0;
    }
    FrameChannel::close(reader);
    FrameChannel::close(writer);
    const std::string base = SharedMemory::platformName(name);
    for (const char* suffix : {"", ".guard", ".writer"})
        shm_unlink((base + suffix).c_str());
    if (frames != kRounds) {
        std::fprintf(stderr, "reader saw %d of %d frames\n", frames, kRounds);
        return 1;
    }

    std::printf("memcpy_720p_ms: %.3f ms\n", plain);
    std::printf("write_frame_720p_ms: %.3f ms\n", write);
    std::printf("read_frame_720p_ms: %.3f ms\n", msPer(reading, kRounds));
    return 0;
}
