#include "ClientMarks.h"

#include <platform/SharedMemory.h>

#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vcam::ClientMarks {

namespace {

constexpr char kDir[] = "/dev/shm";

// "/dev/shm/<counter object name>.client." — marks are named after the
// counter they belong to (which carries the user id).
std::string markPrefix(const std::string& counterName)
{
    return SharedMemory::platformName(counterName) + ".client.";
}

} // namespace

Mark::~Mark()
{
    withdraw();
}

bool Mark::prepare(const std::string& counterName)
{
    withdraw();
    static std::atomic<unsigned> serial {0};
    const std::string id = std::to_string(getpid()) + "." + std::to_string(serial++);
    const std::string base = SharedMemory::platformName(counterName);
    const std::string pending = std::string(kDir) + base + ".pending." + id;
    const int fd = open(pending.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (flock(fd, LOCK_EX) != 0) {
        unlink(pending.c_str());
        close(fd);
        return false;
    }
    _fd = fd;
    _pendingPath = pending;
    _path = std::string(kDir) + markPrefix(counterName) + id;
    return true;
}

void Mark::publish()
{
    if (_fd < 0 || _published)
        return;
    // link() makes the mark appear already locked, so no reaper can take it
    // for a dead one.
    if (link(_pendingPath.c_str(), _path.c_str()) == 0)
        _published = true;
    unlink(_pendingPath.c_str());
}

void Mark::withdraw()
{
    if (_fd < 0)
        return;
    if (_published)
        unlink(_path.c_str());
    unlink(_pendingPath.c_str());
    close(int(_fd));
    _fd = -1;
    _published = false;
}

int reapDead(const std::string& counterName)
{
    const std::string prefix = markPrefix(counterName).substr(1); // without the leading "/"
    const std::string pendingPrefix = SharedMemory::platformName(counterName).substr(1) + ".pending.";
    DIR* dir = opendir(kDir);
    if (!dir)
        return 0;
    int dead = 0;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        const std::string path = std::string(kDir) + "/" + name;
        if (name.compare(0, pendingPrefix.size(), pendingPrefix) == 0) {
            // A client that died before it was counted: nothing to subtract,
            // only its file to remove.
            const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
            if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0)
                unlink(path.c_str());
            if (fd >= 0)
                close(fd);
            continue;
        }
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            continue;
        // A lock we can take means its holder is gone. The mark still being
        // linked under its name after we hold the lock means nobody else has
        // claimed it before us.
        struct stat held {}, named {};
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &held) == 0 && held.st_nlink > 0
            && stat(path.c_str(), &named) == 0 && named.st_ino == held.st_ino && named.st_dev == held.st_dev
            && unlink(path.c_str()) == 0)
            ++dead;
        close(fd);
    }
    closedir(dir);
    return dead;
}

} // namespace vcam::ClientMarks
