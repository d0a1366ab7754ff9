// The shared instance counter: a 4-byte section holding the number of virtual
// camera delivery threads running in all processes, guarded by a named mutex.
// Filters add and subtract one; the control application only reads it.
#pragma once

#include "platform/SharedMemory.h"

#include <cstdint>
#include <string>

class InstanceCounter
{
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

    // Subtracts the counted clients that died without ending (their liveness
    // marks are left without a holder; see platform/ClientMarks.h) and returns
    // how many. Clients call it when they begin and end and now and then while
    // they run; the control application before it reads the count, so that a
    // count left too high by killed clients comes back down even when no
    // other client comes along.
    int releaseDeadClients();

    // Which counter object this is: liveness marks belong to one generation.
    uint64_t generation() const { return _section.identity(); }

    bool isUsable() const;

private:
    bool add(int32_t delta, const char* label);
    int32_t addLocked(int32_t delta); // with the mutex held; returns the new count

    std::string _sectionName;
    std::string _mutexName;
    SharedMemory::Section _section;
    SharedMemory::NamedMutex _mutex;
    int32_t* _value = nullptr;
};
