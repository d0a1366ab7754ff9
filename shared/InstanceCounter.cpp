#include "InstanceCounter.h"
#include "DriverLog.h"
#include "platform/ClientMarks.h"

#include <utility>

InstanceCounter::InstanceCounter(std::string sectionName, std::string mutexName)
    : _sectionName(std::move(sectionName))
    , _mutexName(std::move(mutexName))
{}

InstanceCounter::~InstanceCounter()
{
    _value = nullptr;
    _section.reset();
    _mutex.reset();
}

bool InstanceCounter::createOrOpenSharedMemory()
{
    _value = nullptr;
    _section.reset();
    _mutex.reset();

    bool created = false;
    SharedMemory::Section::Step failedStep;
    unsigned long error = 0;
    _section = SharedMemory::Section::openOrCreate(_sectionName, sizeof(int32_t), created, failedStep, error);
    if (!_section.isValid()) {
        if (failedStep == SharedMemory::Section::Step::Map)
            DriverLog::write(DriverLog::Level::Warning, "Could not map view of file: %lu", error);
        else
            DriverLog::write(DriverLog::Level::Warning, "Could not create file mapping object: %lu", error);
        return false;
    }
    if (!_mutex.openOrCreate(_mutexName, error)) {
        DriverLog::write(DriverLog::Level::Warning, "Could not create mutex: %lu", error);
        _section.reset();
        return false;
    }
    // A section this call created is fresh and therefore already zero. Storing
    // 0 again would race: another process may have opened it and counted
    // itself in the meantime, and the store would wipe that.
    (void)created;
    _value = static_cast<int32_t*>(_section.data());
    return true;
}

// A section shrunk under us reads zeros from then on: the count is unknown.
bool InstanceCounter::isUsable() const
{
    return _value && _section.isValid() && !_section.lost() && _mutex.isValid();
}

bool InstanceCounter::readValue(int32_t& value)
{
    if (!isUsable() || !_mutex.lock())
        return false;
    const int32_t seen = __atomic_load_n(_value, __ATOMIC_RELAXED);
    _mutex.unlock();
    if (_section.lost())
        return false;
    value = seen;
    return true;
}

int32_t InstanceCounter::addLocked(int32_t delta)
{
    // Wrap instead of overflowing (undefined for int32_t).
    const int32_t next = int32_t(uint32_t(__atomic_load_n(_value, __ATOMIC_RELAXED)) + uint32_t(delta));
    __atomic_store_n(_value, next, __ATOMIC_RELAXED);
    return next;
}

bool InstanceCounter::add(int32_t delta, const char* label)
{
    if (!isUsable() || !_mutex.lock())
        return false;
    const int32_t next = addLocked(delta);
    _mutex.unlock();
    if (_section.lost())
        return false;
    // Printed after the mutex is released: a client whose standard output
    // blocks must not stall every other client.
    DriverLog::write(DriverLog::Level::Info, "%s%d", label, int(next));
    return true;
}

int InstanceCounter::releaseDeadClients()
{
    if (!isUsable() || !_mutex.lock())
        return 0;
    // Claimed and subtracted under one hold of the mutex: a mark that was
    // claimed is never left unsubtracted.
    const int dead = ClientMarks::reapDead(_sectionName, generation());
    const int32_t next = addLocked(-dead);
    _mutex.unlock();
    for (int i = 0; i < dead; ++i) {
        DriverLog::write(DriverLog::Level::Warning, "Releasing a client that ended without signing off");
        DriverLog::write(DriverLog::Level::Info, "Decremented: %d", int(next) + dead - 1 - i);
    }
    return dead;
}

bool InstanceCounter::increment()
{
    return add(1, "Incremented: ");
}

bool InstanceCounter::decrement()
{
    return add(-1, "Decremented: ");
}
