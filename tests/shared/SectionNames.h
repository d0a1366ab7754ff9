#pragma once

// Per-test names for shared-memory objects, and their removal afterwards.
#include "platform/SharedMemory.h"

#include <string>
#include <sys/mman.h>
#include <unistd.h>

inline std::string uniqueName(const char* what)
{
    return "VantorTest" + std::to_string(getpid()) + what;
}

// Removes a channel or counter section with its guard and writer locks.
inline void unlinkAll(const std::string& name)
{
    const std::string base = SharedMemory::platformName(name);
    for (const char* suffix : {"", ".guard", ".writer"})
        shm_unlink((base + suffix).c_str());
}
