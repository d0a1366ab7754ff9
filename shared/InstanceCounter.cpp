#include "InstanceCounter.h"

#include <cstdio>
#include <utility>

InstanceCounter::InstanceCounter(std::string sectionName, std::string mutexName)
    : _sectionName(std::move(sectionName))
    , _mutexName(std::move(mutexName))
{
}

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
            std::fprintf(stderr, "Could not map view of file: %lu\n", error);
        else
            std::fprintf(stderr, "Could not create file mapping object: %lu\n", error);
        return false;
    }
    if (!_mutex.openOrCreate(_mutexName, error)) {
        std::fprintf(stderr, "Could not create mutex: %lu\n", error);
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

bool InstanceCounter::isUsable() const { return _value && _section.isValid() && _mutex.isValid(); }

bool InstanceCounter::readValue(int32_t& value)
{
    if (!isUsable())
        return false;
    _mutex.lock();
    value = __atomic_load_n(_value, __ATOMIC_RELAXED);
    _mutex.unlock();
    return true;
}

bool InstanceCounter::add(int32_t delta, const char* label)
{
    if (!isUsable())
        return false;
    _mutex.lock();
    // Wrap instead of overflowing (undefined for int32_t).
    const int32_t next = int32_t(uint32_t(__atomic_load_n(_value, __ATOMIC_RELAXED)) + uint32_t(delta));
    __atomic_store_n(_value, next, __ATOMIC_RELAXED);
    std::printf("%s%d\n", label, int(next));
    std::fflush(stdout);
    _mutex.unlock();
    return true;
}

bool InstanceCounter::increment() { return add(1, "Incremented: "); }

bool InstanceCounter::decrement() { return add(-1, "Decremented: "); }
