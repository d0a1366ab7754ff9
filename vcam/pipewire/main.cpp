// vantor-vcam-pipewire: publishes the virtual camera "Vantor Control" as a
// PipeWire camera node for the user's session (run as a systemd user service
// by scripts/install-vcam). Log lines go to standard output and standard
// error, i.e. the journal.
#include "CameraService.h"

#include <cstdio>

int main()
{
    // Whole lines, at once: the journal and the tests read them as they come.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    vcam::pipewire::CameraService service;
    return service.run();
}
