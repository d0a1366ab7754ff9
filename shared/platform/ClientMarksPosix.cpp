#include "ClientMarks.h"
#include "PosixObjects.h"
#include "SharedMemory.h"

#include <atomic>
#include <cstdlib>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ClientMarks {

namespace {

constexpr char kDir[] = "/dev/shm";

// Marks are named after the counter they belong to (which carries the user
// id) and its generation:
//   <counter>.client.<generation>.<pid>.<serial>   counted client
//   <counter>.pending.<generation>.<pid>.<serial>  not counted yet
std::string markName(const std::string& counterName, const char* kind)
{
    return SharedMemory::platformName(counterName).substr(1) + kind; // without the leading "/"
}

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The generation a mark name carries after its prefix.
uint64_t generationOf(const std::string& name, size_t prefixLength)
{
    return std::strtoull(name.c_str() + prefixLength, nullptr, 10);
}

// Creates the file `path` already holding an exclusive lock on it. The file
// is made without a name, locked, and only then linked under `path`: a reaper
// can never find it unlocked and take it for a dead client's. -1 on failure.
int createLocked(const std::string& path)
{
    const int fd = open(kDir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (fchmod(fd, 0600) == 0 && flock(fd, LOCK_EX | LOCK_NB) == 0
        && linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return fd;
    close(fd);
    return -1;
}

} // namespace

Mark::~Mark()
{
    withdraw();
}

bool Mark::prepare(const std::string& counterName, uint64_t generation)
{
    withdraw();
    static std::atomic<unsigned> serial {0};
    const std::string id = std::to_string(generation) + "." + std::to_string(getpid()) + "." + std::to_string(serial++);
    const std::string dir = std::string(kDir) + "/";
    const std::string pending = dir + markName(counterName, ".pending.") + id;
    const int fd = createLocked(pending);
    if (fd < 0)
        return false;
    _fd = fd;
    _pendingPath = pending;
    _path = dir + markName(counterName, ".client.") + id;
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

int reapDead(const std::string& counterName, uint64_t generation)
{
    const std::string counted = markName(counterName, ".client.");
    const std::string pending = markName(counterName, ".pending.");
    DIR* dir = opendir(kDir);
    if (!dir)
        return 0;
    int dead = 0;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        const bool isCounted = startsWith(name, counted);
        if (!isCounted && !startsWith(name, pending))
            continue;
        const std::string path = std::string(kDir) + "/" + name;
        // Only our own, private files: anything else under these names was
        // put there by somebody else and proves nothing.
        const int fd = SharedMemory::posix::openTrusted(path, O_RDWR, false);
        if (fd < 0)
            continue;
        // A lock we can take means its holder is gone. The mark still being
        // linked under its name after we hold the lock means nobody else has
        // claimed it before us.
        struct stat held = {}, named = {};
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &held) == 0 && held.st_nlink > 0
            && stat(path.c_str(), &named) == 0 && named.st_ino == held.st_ino && named.st_dev == held.st_dev
            && unlink(path.c_str()) == 0) {
            // A client that died before it was counted, or that was counted
            // by an earlier counter, leaves only its file to remove.
            if (isCounted && generationOf(name, counted.size()) == generation)
                ++dead;
        }
        close(fd);
    }
    closedir(dir);
    return dead;
}

} // namespace ClientMarks
