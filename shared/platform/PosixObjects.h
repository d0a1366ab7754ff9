// Opening the named objects in /dev/shm safely. Their names are predictable,
// and /dev/shm is shared by every user of the machine, so anything found under
// one of our names may have been put there by somebody else: a FIFO that
// blocks whoever opens it, a symbolic link, a section another user can
// rewrite or shrink. Only a regular file that belongs to us and that nobody
// else may read or write is used; anything else is refused and logged once.
// Linux only; included by the POSIX implementations of the seams beside it.
#pragma once

#include "SharedMemory.h"

#include <functional>
#include <string>

namespace SharedMemory::posix {

// Opens the existing object at `path` (a /dev/shm path, or a shm_open name
// when `shmName` is set) with O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC and checks
// what it opened. Returns the descriptor, or -1 with errno set: ENOENT when
// nothing is there, EPERM when something is there that we refuse.
int openTrusted(const std::string& name, int access, bool shmName = true);

// Opens the lock object `name` (shm_open name) or creates it exclusively,
// mode 0600. -1 with errno set when neither works.
int openOrCreateLockObject(const std::string& name);

// True when the shm_open name `name` still refers to the object open at `fd`
// (a symbolic link there never does). Lock objects are removed by whoever
// holds their lock last, and a new one may then be made under the same name;
// a process that opened the old object and locked it after its removal holds
// a lock nobody else will ever meet. So every lock on a lock object counts
// only once this check, made with the lock held, succeeds.
bool stillNamed(const std::string& name, int fd);

// What one attempt of retryWithin came to.
enum class Attempt { Done, Again, Failed };

// Makes attempts until one is Done or Failed, for at most waitMs. Holders
// keep our locks for microseconds; a longer hold is a stopped or hostile
// process, so the pauses between attempts grow (1 ms, doubling to 16 ms).
// True when an attempt was Done; false with errno EWOULDBLOCK when the time
// ran out.
bool retryWithin(int waitMs, const std::function<Attempt()>& attempt);

// flock(op) on `fd`, waiting at most kLockWaitMs for a conflicting holder.
// op is LOCK_SH or LOCK_EX. False (errno EWOULDBLOCK) when the wait ran out.
bool lockWithin(int fd, int op, int waitMs = kLockWaitMs);

// One attempt at flock(op) on `fd` without waiting, as retryWithin counts it.
Attempt tryLock(int fd, int op);

// Reserves `size` bytes of tmpfs for a fresh object so that a full /dev/shm
// is found now (ENOSPC) instead of killing the process at its first write.
bool reserve(int fd, size_t size);

// Logs once per process for each distinct text: readers poll on every frame
// and must not flood the client program's log.
void reportOnce(const std::string& text);

} // namespace SharedMemory::posix
