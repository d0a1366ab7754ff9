// The shared instance counter: a 4-byte section holding the number of virtual
// camera delivery threads running in all processes, guarded by a named mutex.
// Filters add and subtract one; the control application only reads it.
#pragma once

#include "platform/SharedMemory.h"

#include <cstdint>
#include <string>

class InstanceCounter {
public:
    static constexpr char kSectionName[] = "GlobalVantorInstanceCounterSM";
    static constexpr char kMutexName[] = "GlobalVantorInstanceCounterMux";

    InstanceCounter(std::string sectionName, std::string mutexName);
    ~InstanceCounter();
    InstanceCounter(const InstanceCounter&) = delete;
    InstanceCounter& operator=(const InstanceCounter&) = delete;

    // Opens the section and the mutex, creating whichever does not exist yet.
    // The process that creates the section zeroes it. Failures are written to
    // standard error with the system error code.
    bool createOrOpenSharedMemory();

    // False, leaving `value` untouched, when the counter is not usable: the
    // count is then unknown, never zero.
    bool readValue(int32_t& value);

    // Add or subtract one under the mutex and print the new value. False when
    // the counter is not usable.
    bool increment();
    bool decrement();

    bool isUsable() const;

private:
    bool add(int32_t delta, const char* label);

    std::string _sectionName;
    std::string _mutexName;
    SharedMemory::Section _section;
    SharedMemory::NamedMutex _mutex;
    int32_t* _value = nullptr;
};
