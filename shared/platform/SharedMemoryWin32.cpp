// Page-file-backed file mappings and named mutexes. The kernel keeps a named
// object alive while any process holds a handle on it, so lifetime needs no
// extra bookkeeping here. A channel's writer also holds a named mutex
// "<name>Writer" for as long as it lives; readers do not keep a channel whose
// writer is gone, so a crashed writer's section is released by every reader
// within its next polls and the next writer can create a fresh one.
#include "SharedMemory.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "Win32Text.h"

#include <utility>

namespace SharedMemory {
namespace {

using win32text::widen;

HANDLE asHandle(intptr_t value)
{
    return reinterpret_cast<HANDLE>(value);
}

void closeHandle(intptr_t& value)
{
    if (value != -1 && value != 0)
        CloseHandle(asHandle(value));
    value = -1;
}

std::wstring writerMarkerName(const std::string& name)
{
    return widen(name + "Writer");
}

// A value no earlier section of the same name will have carried: the time, a
// high-resolution tick count and the process id, mixed (splitmix64's
// finaliser). Never 0, which marks a stamp not yet set.
uint64_t freshStamp()
{
    FILETIME now {};
    GetSystemTimeAsFileTime(&now);
    LARGE_INTEGER ticks {};
    QueryPerformanceCounter(&ticks);
    uint64_t x = (uint64_t(now.dwHighDateTime) << 32 | now.dwLowDateTime) ^ uint64_t(ticks.QuadPart)
               ^ (uint64_t(GetCurrentProcessId()) << 40);
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    x ^= x >> 31;
    return x ? x : 1;
}

// A section lives only while somebody holds it, and one created again under
// the same name starts from zero: its identity is a stamp in the last 8 bytes
// of its page(s), beyond the `size` bytes callers use. The first opener to
// find it unset sets it, atomically, so all holders agree. 0 when there is no
// room for it.
uint64_t stampOf(void* view, uint32_t size)
{
    MEMORY_BASIC_INFORMATION info {};
    if (VirtualQuery(view, &info, sizeof info) != sizeof info
        || info.RegionSize < ((size_t(size) + 7) & ~size_t(7)) + 8)
        return 0;
    auto* stamp = reinterpret_cast<volatile LONG64*>(static_cast<char*>(view) + info.RegionSize - 8);
    const LONG64 mine = LONG64(freshStamp());
    const LONG64 seen = InterlockedCompareExchange64(stamp, mine, 0);
    return uint64_t(seen ? seen : mine);
}

} // namespace

std::string platformName(const std::string& name)
{
    return name;
}

bool Section::lost() const
{
    return false;
}

void Section::reset()
{
    if (base_)
        UnmapViewOfFile(base_);
    base_ = nullptr;
    size_ = 0;
    closeHandle(handle_);
    closeHandle(writerLock_);
}

Section Section::createWriter(const std::string& name, uint32_t size)
{
    Section section;
    if (size == 0)
        return section;
    const std::wstring wide = widen(name);
    // Some process still holds a channel: there is only ever one writer.
    if (HANDLE existing = OpenFileMappingW(FILE_MAP_READ, FALSE, wide.c_str())) {
        CloseHandle(existing);
        return section;
    }
    HANDLE marker = CreateMutexW(nullptr, FALSE, writerMarkerName(name).c_str());
    if (!marker)
        return section;
    section.writerLock_ = reinterpret_cast<intptr_t>(marker);
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, wide.c_str());
    if (!mapping)
        return Section();
    section.handle_ = reinterpret_cast<intptr_t>(mapping);
    // Another writer created it between our check and now: it is theirs.
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return Section();
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (!view)
        return Section();
    section.base_ = view;
    section.size_ = size;
    return section;
}

Section Section::openReader(const std::string& name)
{
    Section section;
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, widen(name).c_str());
    if (!mapping)
        return section;
    section.handle_ = reinterpret_cast<intptr_t>(mapping);
    HANDLE marker = OpenMutexW(SYNCHRONIZE, FALSE, writerMarkerName(name).c_str());
    if (!marker)
        return Section(); // the writer is gone: do not keep its section alive
    CloseHandle(marker);
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (!view)
        return Section();
    // The view covers the section rounded up to whole pages; all of it is
    // readable.
    MEMORY_BASIC_INFORMATION info {};
    if (VirtualQuery(view, &info, sizeof info) != sizeof info) {
        UnmapViewOfFile(view);
        return Section();
    }
    section.base_ = view;
    section.size_ = info.RegionSize;
    return section;
}

Section Section::openOrCreate(const std::string& name, uint32_t size, bool& created, Step& failedStep,
                              unsigned long& error)
{
    Section section;
    created = false;
    failedStep = Step::None;
    error = 0;
    const std::wstring wide = widen(name);
    HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, wide.c_str());
    if (!mapping) {
        mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, wide.c_str());
        if (!mapping) {
            failedStep = Step::Create;
            error = GetLastError();
            return section;
        }
        // A process that raced us to it created it, not us.
        created = GetLastError() != ERROR_ALREADY_EXISTS;
    }
    section.handle_ = reinterpret_cast<intptr_t>(mapping);
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
    if (!view) {
        failedStep = Step::Map;
        error = GetLastError();
        section.reset();
        return section;
    }
    section.base_ = view;
    section.size_ = size;
    section.identity_ = stampOf(view, size);
    return section;
}

NamedMutex::~NamedMutex()
{
    reset();
}

bool NamedMutex::openOrCreate(const std::string& name, unsigned long& error)
{
    reset();
    const std::wstring wide = widen(name);
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, wide.c_str());
    if (!mutex)
        mutex = CreateMutexW(nullptr, FALSE, wide.c_str());
    if (!mutex) {
        error = GetLastError();
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(mutex);
    return true;
}

bool NamedMutex::lock()
{
    // WAIT_ABANDONED also hands over ownership: the previous holder died.
    // The wait is bounded: a hung holder must not hang the client program.
    const DWORD result = WaitForSingleObject(asHandle(handle_), DWORD(kLockWaitMs));
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

void NamedMutex::unlock()
{
    ReleaseMutex(asHandle(handle_));
}

void NamedMutex::reset()
{
    closeHandle(handle_);
}

} // namespace SharedMemory
