// A helper process for the virtual camera tests.
//   vcam_client_peer count SECTION MUTEX
//     counts itself as a client in the named instance counter, says
//     "counted" and waits for "end" on standard input (or to be killed).
//   vcam_client_peer write R G B
//     is the channel's writer: publishes 1280x720 frames of one colour at 30
//     frames per second, says "writing"; "stall" stops publishing, "close"
//     closes the channel and exits.
#include <ClientRegistration.h>
#include <FrameChannel.h>

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// A line from standard input if one is ready within `ms`; empty otherwise.
std::string readLine(int ms)
{
    pollfd p {0, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0)
        return {};
    char line[64] = {};
    if (!std::fgets(line, sizeof line, stdin))
        return "close"; // standard input closed: the test is gone
    return line;
}

int count(const char* section, const char* mutex)
{
    vcam::ClientRegistration client(section, mutex);
    client.begin();
    std::printf("counted\n");
    std::fflush(stdout);
    for (;;)
        if (readLine(1000).rfind("end", 0) == 0)
            break;
    client.end();
    return 0;
}

int write(uint8_t r, uint8_t g, uint8_t b)
{
    FrameChannel::Handle* writer = FrameChannel::createWriter(1280, 720, 330000);
    if (!writer) {
        std::printf("refused\n");
        return 1;
    }
    std::vector<uint8_t> frame(1280 * 720 * 4);
    for (size_t i = 0; i < frame.size(); i += 4) {
        frame[i] = b;
        frame[i + 1] = g;
        frame[i + 2] = r;
        frame[i + 3] = 255;
    }
    FrameChannel::writeFrame(writer, frame.data(), uint32_t(frame.size()), 0);
    std::printf("writing\n");
    std::fflush(stdout);
    bool publishing = true;
    for (;;) {
        const std::string line = readLine(33);
        if (line.rfind("close", 0) == 0)
            break;
        if (line.rfind("stall", 0) == 0)
            publishing = false;
        if (publishing)
            FrameChannel::writeFrame(writer, frame.data(), uint32_t(frame.size()), 0);
    }
    FrameChannel::close(writer);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "count") == 0)
        return count(argv[2], argv[3]);
    if (argc == 5 && std::strcmp(argv[1], "write") == 0)
        return write(uint8_t(std::atoi(argv[2])), uint8_t(std::atoi(argv[3])), uint8_t(std::atoi(argv[4])));
    std::fprintf(stderr, "usage: vcam_client_peer count SECTION MUTEX | write R G B\n");
    return 2;
}
