#include "PosixObjects.h"
#include "DriverLog.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <set>

namespace SharedMemory::posix {
namespace {

const char* kindOf(const struct stat& st)
{
    if (S_ISFIFO(st.st_mode))
        return "a FIFO";
    if (S_ISDIR(st.st_mode))
        return "a directory";
    if (S_ISSOCK(st.st_mode))
        return "a socket";
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return "a device";
    return "not a regular file";
}

void sleepMs(long ms)
{
    timespec pause {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {}
}

long elapsedMs(const timespec& since)
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000L + (now.tv_nsec - since.tv_nsec) / 1000000L;
}

} // namespace

void reportOnce(const std::string& text)
{
    static std::mutex mutex;
    static std::set<std::string> reported;
    {
        std::lock_guard lock(mutex);
        if (reported.size() >= 256 || !reported.insert(text).second)
            return;
    }
    // Written outside the lock: a blocked log must not hold up other threads.
    DriverLog::write(DriverLog::Level::Warning, "%s", text.c_str());
}

int openTrusted(const std::string& name, int access, bool shmName)
{
    const int flags = access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    const int fd = shmName ? shm_open(name.c_str(), flags, 0) : open(name.c_str(), flags);
    if (fd < 0) {
        if (errno == ELOOP || errno == EISDIR || errno == ENXIO) {
            reportOnce("Refusing shared object " + name + ": not a regular file");
            errno = EPERM;
        } else if (errno == EACCES) {
            reportOnce("Refusing shared object " + name + ": another user's");
            errno = EPERM;
        }
        return -1;
    }
    struct stat st = {};
    const char* why = nullptr;
    if (fstat(fd, &st) != 0)
        why = "cannot be examined";
    else if (!S_ISREG(st.st_mode))
        why = kindOf(st);
    else if (st.st_uid != geteuid())
        why = "owned by another user";
    else if (st.st_mode & (S_IRWXG | S_IRWXO))
        why = "open to other users";
    if (why) {
        ::close(fd);
        reportOnce("Refusing shared object " + name + ": " + why);
        errno = EPERM;
        return -1;
    }
    return fd;
}

int openOrCreateLockObject(const std::string& name)
{
    // Two rounds cover an object removed between our two attempts.
    for (int round = 0; round < 2; ++round) {
        int fd = openTrusted(name, O_RDWR);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            fchmod(fd, 0600); // whatever the umask left
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

bool stillNamed(const std::string& name, int fd)
{
    // shm_open names map to files in /dev/shm.
    struct stat named = {}, open = {};
    return lstat(("/dev/shm" + name).c_str(), &named) == 0 && fstat(fd, &open) == 0 && named.st_ino == open.st_ino
        && named.st_dev == open.st_dev;
}

bool retryWithin(int waitMs, const std::function<Attempt()>& attempt)
{
    timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    long pauseMs = 1;
    for (;;) {
        switch (attempt()) {
        case Attempt::Done:
            return true;
        case Attempt::Failed:
            return false;
        case Attempt::Again:
            break;
        }
        const long left = waitMs - elapsedMs(start);
        if (left <= 0) {
            errno = EWOULDBLOCK;
            return false;
        }
        sleepMs(pauseMs < left ? pauseMs : left);
        if (pauseMs < 16)
            pauseMs *= 2;
    }
}

Attempt tryLock(int fd, int op)
{
    if (flock(fd, op | LOCK_NB) == 0)
        return Attempt::Done;
    return errno == EWOULDBLOCK || errno == EINTR ? Attempt::Again : Attempt::Failed;
}

bool lockWithin(int fd, int op, int waitMs)
{
    return retryWithin(waitMs, [fd, op] { return tryLock(fd, op); });
}

bool reserve(int fd, size_t size)
{
    if (ftruncate(fd, off_t(size)) != 0)
        return false;
    const int rc = posix_fallocate(fd, 0, off_t(size));
    if (rc != 0) {
        errno = rc;
        return false;
    }
    return true;
}

} // namespace SharedMemory::posix
