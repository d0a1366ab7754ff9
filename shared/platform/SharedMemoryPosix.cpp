// POSIX shared memory with per-user names and mode 0600. Locks are flock(2)
// locks on named objects, which the kernel drops when their holder dies:
// - every holder of a section keeps a shared lock on it, so a section nobody
//   locks is known to be stale;
// - "<name>.guard" serializes creation and replacement of one section;
// - "<name>.writer" is held exclusively by a channel's writer for as long as
//   it lives, so readers and the next writer can tell a live writer from a
//   crashed one (tested with F_OFD_GETLK, which takes no lock).
#include "SharedMemory.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <utility>

namespace SharedMemory {
namespace {

int retryEintr(int (*fn)(int, int), int fd, int op)
{
    int rc;
    do
        rc = fn(fd, op);
    while (rc != 0 && errno == EINTR);
    return rc;
}

// Opens (creating if needed) a small object that exists only to be locked.
int openLockObject(const std::string& name)
{
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0)
        fchmod(fd, 0600);
    return fd;
}

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Holds the creation guard of one section for the current scope.
class Guard {
public:
    explicit Guard(const std::string& base)
        : fd_(openLockObject(base + ".guard"))
    {
        if (fd_ >= 0 && retryEintr(flock, fd_, LOCK_EX) != 0)
            closeFd(fd_);
    }
    ~Guard() { closeFd(fd_); }
    bool held() const { return fd_ >= 0; }

private:
    int fd_;
};

// True when some process holds the writer marker of `base`.
bool writerHeld(const std::string& base)
{
    const int fd = shm_open((base + ".writer").c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    struct flock probe {};
    probe.l_type = F_RDLCK;
    probe.l_whence = SEEK_SET;
    const bool held = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

// Takes the writer marker of `base`; -1 when another process holds it.
int takeWriterMarker(const std::string& base)
{
    const int fd = openLockObject(base + ".writer");
    if (fd < 0)
        return -1;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

size_t objectSize(int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < 0)
        return 0;
    return size_t(st.st_size);
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

Section::~Section() { reset(); }

Section::Section(Section&& other) noexcept
    : base_(std::exchange(other.base_, nullptr))
    , size_(std::exchange(other.size_, 0))
    , handle_(std::exchange(other.handle_, -1))
    , writerLock_(std::exchange(other.writerLock_, -1))
{
}

Section& Section::operator=(Section&& other) noexcept
{
    if (this != &other) {
        reset();
        base_ = std::exchange(other.base_, nullptr);
        size_ = std::exchange(other.size_, 0);
        handle_ = std::exchange(other.handle_, -1);
        writerLock_ = std::exchange(other.writerLock_, -1);
    }
    return *this;
}

void Section::reset()
{
    if (base_)
        munmap(base_, size_);
    base_ = nullptr;
    size_ = 0;
    int fd = int(handle_);
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
        return section; // a live writer owns the channel
    section.writerLock_ = marker;

    // Any section still under this name belongs to a writer that is gone.
    // Readers that still map it keep their view and let go on their own.
    shm_unlink(base.c_str());

    const int fd = shm_open(base.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        section.reset();
        return section;
    }
    section.handle_ = fd;
    void* view = MAP_FAILED;
    if (fchmod(fd, 0600) == 0 && retryEintr(flock, fd, LOCK_SH) == 0 && ftruncate(fd, off_t(size)) == 0)
        view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) {
        shm_unlink(base.c_str());
        section.reset();
        return section;
    }
    section.base_ = view;
    section.size_ = size;
    return section;
}

Section Section::openReader(const std::string& name)
{
    Section section;
    const std::string base = platformName(name);
    const int fd = shm_open(base.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return section;
    section.handle_ = fd;
    // A writer replacing the section holds its guard, not this object; an
    // exclusive holder here would be the counter's stale check, never ours.
    if (retryEintr(flock, fd, LOCK_SH | LOCK_NB) != 0 || !writerHeld(base)) {
        section.reset();
        return section;
    }
    const size_t size = objectSize(fd);
    void* view = size ? mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
    if (view == MAP_FAILED) {
        section.reset();
        return section;
    }
    section.base_ = view;
    section.size_ = size;
    return section;
}

Section Section::openOrCreate(const std::string& name, uint32_t size, bool& created, Step& failedStep,
                              unsigned long& error)
{
    Section section;
    created = false;
    failedStep = Step::None;
    error = 0;
    const std::string base = platformName(name);
    Guard guard(base);
    if (!guard.held()) {
        failedStep = Step::Create;
        error = static_cast<unsigned long>(errno);
        return section;
    }
    int fd = shm_open(base.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd >= 0) {
        if (retryEintr(flock, fd, LOCK_EX | LOCK_NB) == 0) {
            // Nobody holds it: every process that used it has ended, so on
            // Windows it would be gone. Start over with a fresh one.
            shm_unlink(base.c_str());
            closeFd(fd);
        } else if (retryEintr(flock, fd, LOCK_SH | LOCK_NB) != 0) {
            closeFd(fd);
            failedStep = Step::Create;
            error = EWOULDBLOCK;
            return section;
        }
    } else if (errno != ENOENT) {
        failedStep = Step::Create;
        error = static_cast<unsigned long>(errno);
        return section;
    }
    if (fd < 0) {
        fd = shm_open(base.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 || fchmod(fd, 0600) != 0 || retryEintr(flock, fd, LOCK_SH) != 0
            || ftruncate(fd, off_t(size)) != 0) {
            error = static_cast<unsigned long>(errno);
            if (fd >= 0)
                shm_unlink(base.c_str());
            closeFd(fd);
            failedStep = Step::Create;
            return section;
        }
        created = true;
    }
    section.handle_ = fd;
    // An existing object smaller than asked for would fault on access.
    errno = EINVAL;
    void* view = objectSize(fd) >= size ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                                        : MAP_FAILED;
    if (view == MAP_FAILED) {
        error = static_cast<unsigned long>(errno);
        failedStep = Step::Map;
        section.reset();
        return section;
    }
    section.base_ = view;
    section.size_ = size;
    return section;
}

NamedMutex::~NamedMutex() { reset(); }

bool NamedMutex::openOrCreate(const std::string& name, unsigned long& error)
{
    reset();
    const int fd = openLockObject(platformName(name));
    if (fd < 0) {
        error = static_cast<unsigned long>(errno);
        return false;
    }
    handle_ = fd;
    local_ = new std::mutex;
    return true;
}

void NamedMutex::lock()
{
    static_cast<std::mutex*>(local_)->lock();
    retryEintr(flock, int(handle_), LOCK_EX);
}

void NamedMutex::unlock()
{
    flock(int(handle_), LOCK_UN);
    static_cast<std::mutex*>(local_)->unlock();
}

void NamedMutex::reset()
{
    int fd = int(handle_);
    closeFd(fd);
    handle_ = -1;
    delete static_cast<std::mutex*>(local_);
    local_ = nullptr;
}

} // namespace SharedMemory
