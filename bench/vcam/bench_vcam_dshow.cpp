// Figures of the Windows virtual camera under Wine: one capture client
// receiving I420 at 1280 x 720 from a publisher for 10 seconds.
//   dshow_delivery_cpu_percent      processor share of the delivery thread
//   dshow_frame_interval_jitter_ms  standard deviation of the intervals at
//                                   which samples reach the client
// The measuring itself is the capture test program's bench mode; this runs
// it in a fresh private Wine prefix and passes its figures on.
#include <cstdio>
#include <cstdlib>
#include <string>

int main()
{
    const std::string tool = VANTOR_SOURCE_DIR "/tests/fixtures/wine-prefix";
    const std::string prefix = VANTOR_BINARY_DIR "/bench-wine";
    const std::string program = VANTOR_WINDOWS_CROSS_DIR "/x86_64/bin/dshow_capture_test.exe";
    if (std::system((tool + " setup " + prefix).c_str()) != 0) {
        std::fprintf(stderr, "no Wine prefix\n");
        return 1;
    }
    const int status =
        std::system((tool + " run " + prefix + " 120 " + program + " bench 10 | grep '^dshow_'").c_str());
    if (std::system((tool + " cleanup " + prefix).c_str()) != 0)
        std::fprintf(stderr, "the Wine prefix was not removed\n");
    return status == 0 ? 0 : 1;
}
