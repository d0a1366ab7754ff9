// POSIX shared memory with per-user names and mode 0600. Locks are flock(2)
// locks on named objects, which the kernel drops when their holder dies:
// - every holder of a section keeps a shared lock on it, so a section nobody
//   locks is known to be stale;
// - "<name>.guard" serializes creation, replacement and removal of one
//   section;
// - "<name>.writer" is held exclusively by a channel's writer for as long as
//   it lives, so readers and the next writer can tell a live writer from a
//   crashed one (tested with F_OFD_GETLK, which takes no lock).
//
// Objects leave /dev/shm with their last holder, as they would on Windows. A
// section being closed takes its guard (briefly, bounded) and then tries to
// turn its shared lock into an exclusive one without waiting: that works only
// when no other process holds the section, and the section then goes, its
// guard with it. A closing writer removes its writer marker whether or not
// the section goes: a marker nobody holds means nothing. Whoever fails keeps no lock on the section
// once it lets the guard go, so of two last holders closing at once the second
// always finds itself alone. A named mutex keeps a presence mark beside its
// lock and the last one to let go removes it (see NamedMutex::reset).
// A lock object (guard, mutex) may thus be removed and made anew while some
// process waits for its lock; every such lock counts only once its name is
// found to still refer to the object locked (stillNamed).
//
// Every object is opened through PosixObjects.h, which refuses what is not
// ours, and every lock wait is bounded.
#include "SharedMemory.h"
#include "PosixObjects.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace SharedMemory {
using namespace posix;

namespace {

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// --- Views that survive their object being shrunk -------------------------
//
// Touching a page of a mapping beyond the end of its tmpfs object raises
// SIGBUS. A process-wide handler looks the faulting address up among our
// views; for one of ours it maps zeroed private memory over the whole view
// and marks it lost, and the access completes on the zeros. Any other SIGBUS
// goes to the handler that was there before (or to the default action).
// The table is fixed and lock-free: the handler may only read atomics.

struct WatchedView
{
    std::atomic<uintptr_t> begin {0};
    std::atomic<size_t> length {0};
    std::atomic<int> protection {0};
    std::atomic<bool> lost {false};
};

constexpr int kWatchedViews = 64;
WatchedView g_views[kWatchedViews];
struct sigaction g_previousAction;

// Hands a SIGBUS that is not ours to whoever handled it before.
void passOn(int signal, siginfo_t* info, void* context)
{
    if (g_previousAction.sa_flags & SA_SIGINFO) {
        g_previousAction.sa_sigaction(signal, info, context);
    } else if (g_previousAction.sa_handler == SIG_DFL || g_previousAction.sa_handler == SIG_IGN) {
        // Back to the old disposition. A faulting access runs again and meets
        // it; a signal that was sent is sent again.
        sigaction(SIGBUS, &g_previousAction, nullptr);
        if (info->si_code <= 0)
            raise(signal);
    } else {
        g_previousAction.sa_handler(signal);
    }
}

void onBusError(int signal, siginfo_t* info, void* context)
{
    const int savedErrno = errno;
    // Only a fault (not a signal somebody sent) has an address to look up.
    const auto address = info->si_code > 0 ? reinterpret_cast<uintptr_t>(info->si_addr) : 0;
    for (WatchedView& view : g_views) {
        const uintptr_t begin = view.begin.load(std::memory_order_acquire);
        const size_t length = view.length.load(std::memory_order_relaxed);
        if (address == 0 || begin <= 1 || address < begin || address - begin >= length)
            continue;
        void* zeros = mmap(reinterpret_cast<void*>(begin), length, view.protection.load(std::memory_order_relaxed),
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (zeros == MAP_FAILED)
            break; // no memory to put there: the fault stays a fault
        view.lost.store(true, std::memory_order_release);
        errno = savedErrno;
        return;
    }
    passOn(signal, info, context);
    errno = savedErrno;
}

void installBusErrorHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        sigaction(SIGBUS, nullptr, &g_previousAction);
        struct sigaction action = {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, nullptr);
    });
}

// Starts watching a view; -1 when the table is full (the view then works,
// unwatched).
int watchView(void* base, size_t length, int protection)
{
    installBusErrorHandler();
    for (int i = 0; i < kWatchedViews; ++i) {
        WatchedView& view = g_views[i];
        uintptr_t expected = 0;
        // Claim the entry with a placeholder address no view can have.
        if (!view.begin.compare_exchange_strong(expected, 1, std::memory_order_acq_rel))
            continue;
        view.length.store(length, std::memory_order_relaxed);
        view.protection.store(protection, std::memory_order_relaxed);
        view.lost.store(false, std::memory_order_relaxed);
        view.begin.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
        return i;
    }
    reportOnce("Too many shared-memory views to watch; a shrunk object may end the program");
    return -1;
}

void unwatchView(int index)
{
    if (index >= 0)
        g_views[index].begin.store(0, std::memory_order_release);
}

// --- Locks ----------------------------------------------------------------

// How long a closing section waits for its guard. Guards are held for
// microseconds (a few milliseconds while an 11 MB section is created), so this
// only runs out on a stopped or hostile holder; the objects then stay behind
// and the next writer or counter replaces them as stale.
constexpr int kRemovalWaitMs = 50;

// Holds the guard of one section for the current scope.
class Guard
{
public:
    // Waits at most waitMs. With `create` unset a missing guard is not made
    // (nobody can be creating the section then).
    explicit Guard(const std::string& base, int waitMs = kLockWaitMs, bool create = true)
        : name_(base + ".guard")
    {
        const bool locked = retryWithin(waitMs, [&] {
            if (fd_ < 0 && (fd_ = create ? openOrCreateLockObject(name_) : openTrusted(name_, O_RDWR)) < 0)
                return Attempt::Failed;
            const Attempt attempt = tryLock(fd_, LOCK_EX);
            if (attempt != Attempt::Done || stillNamed(name_, fd_))
                return attempt;
            // Removed since we opened it: lock what the name holds now.
            closeFd(fd_);
            return Attempt::Again;
        });
        if (!locked) {
            error_ = errno;
            closeFd(fd_);
            if (error_ == EWOULDBLOCK && waitMs >= kLockWaitMs)
                reportOnce("Shared object " + name_ + " stays locked by another process");
        }
    }
    ~Guard() { closeFd(fd_); }
    bool held() const { return fd_ >= 0; }
    int error() const { return error_; } // why it is not held
    // Removes the guard object; whoever waits for it finds that out once it
    // holds the lock, and makes a new one.
    void remove()
    {
        if (fd_ >= 0 && stillNamed(name_, fd_))
            shm_unlink(name_.c_str());
    }

private:
    std::string name_;
    int fd_ = -1;
    int error_ = 0;
};

// True when some process holds the writer marker of `base`.
bool writerHeld(const std::string& base)
{
    const int fd = openTrusted(base + ".writer", O_RDONLY);
    if (fd < 0)
        return false;
    struct flock probe = {};
    probe.l_type = F_RDLCK;
    probe.l_whence = SEEK_SET;
    const bool held = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

// Takes the writer marker of `base`; -1 when another process holds it.
int takeWriterMarker(const std::string& base)
{
    const int fd = openOrCreateLockObject(base + ".writer");
    if (fd < 0)
        return -1;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Size and inode of an open object.
bool examine(int fd, size_t& size, uint64_t& identity)
{
    struct stat st = {};
    if (fstat(fd, &st) != 0 || st.st_size < 0)
        return false;
    size = size_t(st.st_size);
    identity = uint64_t(st.st_ino);
    return true;
}

// Creates the object `base` afresh (it must not exist), shared-locked and
// reserved at `size` bytes. -1 with errno set on failure, leaving nothing.
int createFresh(const std::string& base, size_t size)
{
    const int fd = shm_open(base.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    if (fchmod(fd, 0600) == 0 && lockWithin(fd, LOCK_SH) && reserve(fd, size))
        return fd;
    const int error = errno;
    shm_unlink(base.c_str());
    ::close(fd);
    errno = error;
    return -1;
}

// The closing part of Section::reset: removes the section `base`, open at `fd`
// (our shared lock on it still held), when no other process holds it, and
// with it its guard; `marker` is our writer marker, or -1.
void removeIfLast(const std::string& base, int fd, int marker)
{
    Guard guard(base, kRemovalWaitMs, false);
    if (!guard.held())
        return;
    // A writer marker is ours while we hold it: the next writer takes it
    // under this guard, so none can be taking it now.
    const std::string markerName = base + ".writer";
    if (marker >= 0 && stillNamed(markerName, marker))
        shm_unlink(markerName.c_str());
    // Not atomic on failure: the shared lock is dropped first. We are closing
    // anyway, and make sure of it before the guard goes, so that another
    // holder closing right after us finds itself the last one.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        flock(fd, LOCK_UN);
        return;
    }
    // Still ours and nobody else's. The name may meanwhile hold a successor
    // (a writer replaced the section under us): that one stays.
    if (!stillNamed(base, fd))
        return;
    shm_unlink(base.c_str());
    guard.remove();
}

} // namespace

std::string platformName(const std::string& name)
{
    // Test runs set VANTOR_TEST_NAMESPACE so that concurrent runs on one
    // machine (same user) never share a channel or a counter.
    static const std::string ns = [] {
        const char* value = std::getenv("VANTOR_TEST_NAMESPACE");
        std::string out;
        if (value)
            for (const char* c = value; *c; ++c)
                if (std::isalnum(static_cast<unsigned char>(*c)))
                    out += *c;
        return out.empty() ? out : "." + out;
    }();
    return "/" + name + ns + "-" + std::to_string(getuid());
}

bool Section::lost() const
{
    return guard_ >= 0 && g_views[guard_].lost.load(std::memory_order_acquire);
}

void Section::reset()
{
    unwatchView(guard_);
    guard_ = -1;
    if (base_)
        munmap(base_, size_);
    base_ = nullptr;
    size_ = 0;
    identity_ = 0;
    int fd = int(handle_);
    if (fd >= 0 && !name_.empty())
        removeIfLast(name_, fd, int(writerLock_));
    name_.clear();
    closeFd(fd);
    handle_ = -1;
    // The writer marker goes last: whoever sees it released also sees
    // everything the writer stored before.
    fd = int(writerLock_);
    closeFd(fd);
    writerLock_ = -1;
}

Section Section::createWriter(const std::string& name, uint32_t size)
{
    Section section;
    if (size == 0)
        return section;
    const std::string base = platformName(name);
    Guard guard(base);
    if (!guard.held())
        return section;
    const int marker = takeWriterMarker(base);
    if (marker < 0)
        return section; // a live writer owns the channel, or the marker is not ours
    section.writerLock_ = marker;

    // Any section still under this name belongs to a writer that is gone.
    // Readers that still map it keep their view and let go on their own. One
    // that another user put there cannot be removed (the sticky /dev/shm).
    if (shm_unlink(base.c_str()) != 0 && errno != ENOENT)
        reportOnce("Shared object " + base + " is in the way and cannot be removed");

    const int fd = createFresh(base, size);
    if (fd < 0) {
        if (errno == ENOSPC)
            reportOnce("No room in /dev/shm for " + base + " (" + std::to_string(size) + " bytes)");
        section.reset();
        return section;
    }
    section.handle_ = fd;
    void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    size_t ignored = 0;
    if (view == MAP_FAILED || !examine(fd, ignored, section.identity_)) {
        if (view != MAP_FAILED)
            munmap(view, size);
        shm_unlink(base.c_str());
        section.reset();
        return section;
    }
    section.base_ = view;
    section.size_ = size;
    section.guard_ = watchView(view, size, PROT_READ | PROT_WRITE);
    section.name_ = base;
    return section;
}

Section Section::openReader(const std::string& name)
{
    Section section;
    const std::string base = platformName(name);
    const int fd = openTrusted(base, O_RDONLY);
    if (fd < 0)
        return section;
    section.handle_ = fd;
    // A writer replacing the section holds its guard, not this object; an
    // exclusive holder here would be the counter's stale check, never ours.
    size_t size = 0;
    if (flock(fd, LOCK_SH | LOCK_NB) != 0 || !writerHeld(base) || !examine(fd, size, section.identity_) || size == 0) {
        section.reset();
        return section;
    }
    void* view = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) {
        section.reset();
        return section;
    }
    section.base_ = view;
    section.size_ = size;
    section.guard_ = watchView(view, size, PROT_READ);
    section.name_ = base;
    return section;
}

Section Section::openOrCreate(const std::string& name, uint32_t size, bool& created, Step& failedStep,
                              unsigned long& error)
{
    Section section;
    created = false;
    failedStep = Step::None;
    error = 0;
    const auto fail = [&](Step step, int code) {
        failedStep = step;
        error = static_cast<unsigned long>(code);
        section.reset();
        return std::move(section);
    };
    const std::string base = platformName(name);
    Guard guard(base);
    if (!guard.held())
        return fail(Step::Create, guard.error());
    int fd = openTrusted(base, O_RDWR);
    if (fd >= 0) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            // Nobody holds it: every process that used it has ended, so on
            // Windows it would be gone. Start over with a fresh one.
            shm_unlink(base.c_str());
            closeFd(fd);
        } else if (!lockWithin(fd, LOCK_SH)) {
            closeFd(fd);
            return fail(Step::Create, EWOULDBLOCK);
        }
    } else if (errno != ENOENT) {
        return fail(Step::Create, errno);
    }
    if (fd < 0) {
        fd = createFresh(base, size);
        if (fd < 0) {
            if (errno == ENOSPC)
                reportOnce("No room in /dev/shm for " + base);
            return fail(Step::Create, errno);
        }
        created = true;
    }
    section.handle_ = fd;
    size_t existing = 0;
    if (!examine(fd, existing, section.identity_))
        return fail(Step::Map, errno);
    // An existing object smaller than asked for would fault on access.
    if (existing < size) {
        reportOnce("Refusing shared object " + base + ": smaller than expected");
        return fail(Step::Map, EINVAL);
    }
    void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED)
        return fail(Step::Map, errno);
    section.base_ = view;
    section.size_ = size;
    section.guard_ = watchView(view, size, PROT_READ | PROT_WRITE);
    section.name_ = base;
    return section;
}

// --- Named mutexes ----------------------------------------------------------
//
// Besides the flock that is the mutex, every NamedMutex keeps an OFD read lock
// on the object for as long as it has it open: a presence mark (fcntl locks
// and flock locks do not meet on Linux). The one that can turn its mark into
// a write lock is the only one present and removes the object as it goes.
// Sections cannot decide this for the mutex: the mutex is a name of its own,
// which any process may open without the section beside it. A process that
// opened the object but had not marked it yet when it was removed finds that
// out at its next lock and reopens.

namespace {

bool markPresence(int fd, short type)
{
    struct flock mark = {};
    mark.l_type = type;
    mark.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &mark) == 0;
}

// Opens (or creates) the mutex object and marks our presence on it. The mark
// can only fail while the object's last other holder removes it; lock()
// finds the object gone and comes back.
int openMutexObject(const std::string& name)
{
    const int fd = openOrCreateLockObject(name);
    if (fd >= 0)
        markPresence(fd, F_RDLCK);
    return fd;
}

} // namespace

NamedMutex::~NamedMutex()
{
    reset();
}

bool NamedMutex::openOrCreate(const std::string& name, unsigned long& error)
{
    reset();
    const std::string path = platformName(name);
    const int fd = openMutexObject(path);
    if (fd < 0) {
        error = static_cast<unsigned long>(errno);
        return false;
    }
    handle_ = fd;
    name_ = path;
    local_ = new std::mutex;
    return true;
}

bool NamedMutex::lock()
{
    // Threads of this process sharing the object take its local lock first,
    // then the flock; one bound covers both waits.
    auto* local = static_cast<std::mutex*>(local_);
    const int fd = int(handle_);
    bool localHeld = false;
    const bool locked = retryWithin(kLockWaitMs, [&] {
        if (!localHeld && !(localHeld = local->try_lock()))
            return Attempt::Again;
        const Attempt attempt = tryLock(fd, LOCK_EX);
        if (attempt != Attempt::Done || stillNamed(name_, fd))
            return attempt;
        // The object was removed after we opened it. Put the one the name
        // holds now in its place, under the same descriptor number (other
        // threads of ours read it), and lock that one. Closing the old one
        // drops our lock on it.
        const int fresh = openMutexObject(name_);
        if (fresh < 0) {
            flock(fd, LOCK_UN);
            return Attempt::Failed;
        }
        const bool swapped = dup3(fresh, fd, O_CLOEXEC) >= 0;
        ::close(fresh);
        if (!swapped) {
            flock(fd, LOCK_UN);
            return Attempt::Failed;
        }
        return Attempt::Again;
    });
    if (!locked && localHeld)
        local->unlock();
    return locked;
}

void NamedMutex::unlock()
{
    flock(int(handle_), LOCK_UN);
    static_cast<std::mutex*>(local_)->unlock();
}

void NamedMutex::reset()
{
    int fd = int(handle_);
    // Alone with the object (no other presence mark) and nobody inside it:
    // remove it. The exclusive flock is what makes that safe: whoever locks
    // the object after this checks its name, and nobody holds it now.
    if (fd >= 0 && markPresence(fd, F_WRLCK) && flock(fd, LOCK_EX | LOCK_NB) == 0 && stillNamed(name_, fd))
        shm_unlink(name_.c_str());
    name_.clear();
    closeFd(fd);
    handle_ = -1;
    delete static_cast<std::mutex*>(local_);
    local_ = nullptr;
}

} // namespace SharedMemory
