// Liveness marks on Windows: one small file per counted client in a shared
// directory, on whose first byte the client holds an exclusive byte-range lock
// (LockFileEx) for as long as it counts. The system drops the lock when the
// handle goes, and so when the process dies in any way (TerminateProcess
// included); a reaper that can take the lock knows the holder is gone.
//
// The first byte also records the mark's state, and is only ever read or
// written by whoever holds the lock:
//   (empty)  created, not yet locked (or the creator died right there)
//   'L'      locked by a client that counts, or left by one that died
//   'X'      claimed: withdrawn by its holder or taken by a reaper
// A reaper counts a mark only when it turns an 'L' into an 'X'. As reapers
// take the lock one at a time, every dead mark is counted exactly once, and a
// mark its holder withdrew (an 'X' not yet gone because some reaper still had
// it open) is never counted. Deleting a file cannot serve as the claim: a file
// another handle still has open lingers, delete-pending, and Wine neither
// reports that state nor refuses to open such a file.
//
// A new mark is created under its pending name, then locked and checked to be
// still empty; a reaper that got to it in between has made it non-empty (or
// still holds the lock), and the client starts again under a new name. It is
// renamed to its counted name through the handle that holds the lock, so a
// counted mark never shows unlocked while its client lives.
#include "ClientMarks.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "Win32Text.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace ClientMarks {

namespace {

using win32text::narrow;
using win32text::widen;

constexpr char kLive = 'L';
constexpr char kClaimed = 'X';
constexpr int kCreateAttempts = 4;

HANDLE asHandle(intptr_t value)
{
    return reinterpret_cast<HANDLE>(value);
}

// Counter names become part of file names: plain identifiers only.
bool isPlainName(const std::string& name)
{
    if (name.empty() || name.size() > 120)
        return false;
    for (const char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-'))
            return false;
    return true;
}

// Creates `dir` if it is missing; true when it exists afterwards.
bool ensureDirectory(const std::wstring& dir)
{
    if (CreateDirectoryW(dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) {
        const DWORD attributes = GetFileAttributesW(dir.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    }
    return false;
}

// "<base>\Vantor\ClientMarks\" when it exists or can be made; empty if not.
std::wstring marksUnder(std::wstring base)
{
    while (!base.empty() && (base.back() == L'\\' || base.back() == L'/'))
        base.pop_back();
    if (base.empty())
        return {};
    const std::wstring vantor = base + L"\\Vantor";
    const std::wstring marks = vantor + L"\\ClientMarks";
    if (!ensureDirectory(vantor) || !ensureDirectory(marks))
        return {};
    return marks + L"\\";
}

// The directory all clients of a machine share: under the common application
// data folder (%ProgramData%, read from the environment so that no shell
// library is loaded into every program that opens the camera), or under the
// user's temporary folder when that cannot be made. Empty when neither can.
std::wstring markDirectory()
{
    wchar_t buffer[MAX_PATH + 1];
    DWORD length = GetEnvironmentVariableW(L"ProgramData", buffer, MAX_PATH + 1);
    if (length > 0 && length <= MAX_PATH) {
        const std::wstring dir = marksUnder(std::wstring(buffer, length));
        if (!dir.empty())
            return dir;
    }
    length = GetTempPathW(MAX_PATH + 1, buffer);
    if (length > 0 && length <= MAX_PATH)
        return marksUnder(std::wstring(buffer, length));
    return {};
}

// Marks are named after the counter they belong to, the session (counter
// objects without a "Global\" prefix exist once per session, so clients of
// another session count elsewhere and their marks are none of our business)
// and the counter's generation:
//   <counter>.<session>.client.<generation>.<pid>.<serial>   counted client
//   <counter>.<session>.pending.<generation>.<pid>.<serial>  not counted yet
std::string markName(const std::string& counterName, const char* kind)
{
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session))
        session = 0;
    return counterName + "." + std::to_string(session) + kind;
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

// Opens a mark for reading, writing and deleting, sharing all of that: the
// holder and any number of reapers have it open at once. Never inherited by
// child processes, which would otherwise keep the lock alive. A link placed
// under a mark's name is opened as itself, never followed.
HANDLE openMark(const std::wstring& path, DWORD disposition)
{
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool tryLock(HANDLE file)
{
    OVERLAPPED at {};
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);
}

// The state byte: 0 for an empty file, -1 when it cannot be read.
int readState(HANDLE file)
{
    OVERLAPPED at {};
    char state = 0;
    DWORD got = 0;
    if (!ReadFile(file, &state, 1, &got, &at))
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return got == 1 ? static_cast<unsigned char>(state) : 0;
}

bool writeState(HANDLE file, char state)
{
    OVERLAPPED at {};
    DWORD written = 0;
    return WriteFile(file, &state, 1, &written, &at) && written == 1;
}

// Deletes the file behind `file` (once its last handle is closed), wherever
// it has been renamed to.
bool removeFile(HANDLE file)
{
    FILE_DISPOSITION_INFO disposition {};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// Renames the file behind `file`, which keeps its lock. Through the handle,
// not by name: Wine would otherwise still remove the old name when that
// handle deletes the file.
bool renameFile(HANDLE file, const std::wstring& to)
{
    const size_t nameBytes = to.size() * sizeof(wchar_t);
    // 8-byte units keep the structure aligned.
    std::vector<uint64_t> buffer((sizeof(FILE_RENAME_INFO) + nameBytes + 7) / 8, 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = DWORD(nameBytes);
    std::memcpy(info->FileName, to.data(), nameBytes);
    return SetFileInformationByHandle(file, FileRenameInfo, info, DWORD(buffer.size() * 8));
}

// Whether `path` still names the file open as `held`.
bool stillNamed(HANDLE held, const std::wstring& path)
{
    HANDLE named =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION a {}, b {};
    const bool same = GetFileInformationByHandle(held, &a) && GetFileInformationByHandle(named, &b)
                   && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh
                   && a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(named);
    return same;
}

// Creates `path` locked and marked live; INVALID_HANDLE_VALUE when it cannot,
// or when a reaper took it before the lock was ours.
HANDLE createLocked(const std::wstring& path)
{
    HANDLE file = openMark(path, CREATE_NEW);
    if (file == INVALID_HANDLE_VALUE)
        return file;
    if (tryLock(file)) {
        const int state = readState(file);
        if (state == 0 && writeState(file, kLive))
            return file;
        // Locked by us, but a reaper claimed it before (or it cannot be
        // marked live): remove it, claimed.
        if (state != -1) {
            writeState(file, kClaimed);
            removeFile(file);
        }
    }
    // Otherwise a reaper holds the lock: it claims and removes the file.
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
}

} // namespace

Mark::~Mark()
{
    withdraw();
}

bool Mark::prepare(const std::string& counterName, uint64_t generation)
{
    withdraw();
    if (!isPlainName(counterName))
        return false;
    const std::wstring dir = markDirectory();
    if (dir.empty())
        return false;
    static std::atomic<unsigned> serial {0};
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        const std::string id =
            std::to_string(generation) + "." + std::to_string(GetCurrentProcessId()) + "." + std::to_string(serial++);
        const std::wstring pending = dir + widen(markName(counterName, ".pending.") + id);
        const HANDLE file = createLocked(pending);
        if (file == INVALID_HANDLE_VALUE)
            continue;
        _fd = reinterpret_cast<intptr_t>(file);
        _pendingPath = narrow(pending);
        _path = narrow(dir + widen(markName(counterName, ".client.") + id));
        return true;
    }
    return false;
}

void Mark::publish()
{
    if (_fd == -1 || _published)
        return;
    // Renamed through the handle that holds the lock: the counted name
    // appears already locked, so no reaper can take it for a dead client's.
    // On failure the mark stays pending; a reaper then only removes it.
    if (renameFile(asHandle(_fd), widen(_path)))
        _published = true;
}

void Mark::withdraw()
{
    if (_fd == -1)
        return;
    const HANDLE file = asHandle(_fd);
    // Claimed before the lock goes: a reaper that opened the mark before it
    // was removed then takes the lock but does not count it. Should the byte
    // not be written, an empty mark is never counted either.
    if (!writeState(file, kClaimed)) {
        FILE_END_OF_FILE_INFO empty {};
        SetFileInformationByHandle(file, FileEndOfFileInfo, &empty, sizeof empty);
    }
    removeFile(file);
    CloseHandle(file);
    _fd = -1;
    _pendingPath.clear();
    _path.clear();
    _published = false;
}

int reapDead(const std::string& counterName, uint64_t generation)
{
    if (!isPlainName(counterName))
        return 0;
    const std::wstring dir = markDirectory();
    if (dir.empty())
        return 0;
    const std::string counted = markName(counterName, ".client.");
    const std::string pending = markName(counterName, ".pending.");
    WIN32_FIND_DATAW found {};
    const std::wstring pattern = dir + widen(markName(counterName, ".*"));
    HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    int dead = 0;
    do {
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        const std::string name = narrow(found.cFileName);
        const bool isCounted = startsWith(name, counted);
        if (!isCounted && !startsWith(name, pending))
            continue;
        const std::wstring path = dir + found.cFileName;
        const HANDLE file = openMark(path, OPEN_EXISTING);
        if (file == INVALID_HANDLE_VALUE)
            continue;
        // A lock we can take means its holder is gone (or has not locked a
        // mark it is creating yet; it finds the mark claimed and starts over).
        // The name must still be the file's: a client that published (renamed
        // it) and then died is counted under its new name, not removed under
        // its old one.
        if (tryLock(file) && stillNamed(file, path)) {
            const int state = readState(file);
            const bool claimedNow = state != -1 && state != kClaimed && writeState(file, kClaimed);
            if (claimedNow || state == kClaimed)
                removeFile(file);
            // A client that died before it was counted, or that was counted
            // by an earlier counter, leaves only its file to remove.
            if (claimedNow && state == kLive && isCounted && generationOf(name, counted.size()) == generation)
                ++dead;
        }
        CloseHandle(file); // drops our lock
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return dead;
}

} // namespace ClientMarks
