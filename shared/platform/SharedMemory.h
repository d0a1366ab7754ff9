// Platform seam for named shared memory and named mutexes. One implementation
// per platform: SharedMemoryPosix.cpp (POSIX shared memory and flock) and
// SharedMemoryWin32.cpp (file mappings and mutexes). Callers never include a
// platform header.
//
// Lifetime follows the Windows rule on both platforms: a named object lives
// while any process holds it and goes with its last holder. On Linux every
// holder keeps a lock on the object; the last one to let go removes it from
// /dev/shm together with the lock objects beside it, and an object that nobody
// locks any more (its holders died without letting go) is stale and replaced.
//
// On Linux the objects live in /dev/shm under predictable names: anything
// found there that is not a regular file of ours, private to us, is refused.
// A view whose object is shrunk under it (tmpfs drops the pages) would kill
// the process with SIGBUS at its next access; such a view is swapped for
// zeroed memory instead and reports lost().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace SharedMemory {

// Every wait for a lock that another process holds ends after this long: a
// client program's streaming thread and the application's checks never hang
// on a stopped or hostile holder.
constexpr int kLockWaitMs = 1000;

// One mapped view of a named section. Move-only; unmaps and closes on
// destruction.
class Section
{
public:
    Section() = default;
    ~Section() { reset(); }
    Section(Section&& other) noexcept { swap(other); }
    Section& operator=(Section&& other) noexcept
    {
        if (this != &other) {
            reset();
            swap(other);
        }
        return *this;
    }
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;

    // Creates a fresh section of `size` bytes, mapped read/write, for the one
    // writer of a channel. Fails while a live writer still holds an existing
    // section of that name. On Linux an existing section that nobody holds, or
    // whose writer is gone, is removed and replaced (readers still mapping it
    // keep their view until they let go). While the returned section lives the
    // process counts as the channel's live writer (readers check for one).
    static Section createWriter(const std::string& name, uint32_t size);

    // Opens an existing section read-only and maps all of it. Fails when none
    // exists, when it is being replaced, or when no writer holds it.
    static Section openReader(const std::string& name);

    // Opens the section, or creates it with `size` zero bytes when none exists
    // (or, on Linux, when the existing one is stale). Maps `size` bytes
    // read/write. `created` tells which happened. On failure `error` holds the
    // system error code and `failedStep` which step failed.
    enum class Step { None, Create, Map };
    static Section openOrCreate(const std::string& name, uint32_t size, bool& created, Step& failedStep,
                                unsigned long& error);

    bool isValid() const { return base_ != nullptr; }
    void* data() const { return base_; }
    size_t size() const { return size_; } // bytes that may be accessed
    // True once the object was shrunk under the view: what the view shows
    // from then on is zeros, not the object. Always false on Windows, where a
    // section's size is fixed.
    bool lost() const;
    // Tells this object apart from an earlier one of the same name (Linux:
    // its inode; Windows: a stamp kept in the spare end of the section's last
    // page by openOrCreate, 0 for channel sections).
    uint64_t identity() const { return identity_; }
    // Unmaps and closes. On Linux the last holder of a section also removes
    // it (and its lock objects) from /dev/shm; every wait this takes is short
    // and bounded, so a reader's streaming thread can reset at any time.
    void reset();

private:
    void swap(Section& other) noexcept
    {
        std::swap(name_, other.name_);
        std::swap(base_, other.base_);
        std::swap(size_, other.size_);
        std::swap(handle_, other.handle_);
        std::swap(writerLock_, other.writerLock_);
        std::swap(identity_, other.identity_);
        std::swap(guard_, other.guard_);
    }

    void* base_ = nullptr;
    size_t size_ = 0;
    intptr_t handle_ = -1;     // fd or HANDLE
    intptr_t writerLock_ = -1; // writer-alive marker: fd or HANDLE
    uint64_t identity_ = 0;
    int guard_ = -1;   // Linux: this view's entry among the views watched for SIGBUS
    std::string name_; // Linux: the object's name, set once it is fully open
};

// A named, process-shared mutex. The kernel releases it when its holder dies
// (Linux: flock on a named object; Windows: abandoned mutexes count as
// acquired). Within one process, threads sharing one object also exclude each
// other. Like a section, the object goes with the last process that has it
// open.
class NamedMutex
{
public:
    NamedMutex() = default;
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Opens the mutex (synchronize access) or creates it, not owned.
    bool openOrCreate(const std::string& name, unsigned long& error);
    bool isValid() const { return handle_ != -1; }
    // Waits at most kLockWaitMs: false when another holder kept it all that
    // time, and the caller then goes without.
    [[nodiscard]] bool lock();
    void unlock();
    void reset();

private:
    intptr_t handle_ = -1;
    void* local_ = nullptr; // in-process lock where the platform needs one
    std::string name_;      // Linux: the object's name, to check and remove it
};

// The platform's object name for `name`: on Linux a POSIX shared-memory name
// with the user id appended ("/VantorCamVideo-1000"); on Windows the name as is.
std::string platformName(const std::string& name);

} // namespace SharedMemory
