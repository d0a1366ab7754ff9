// A child process of a Windows test program, with its standard output on a
// pipe read line by line (or thrown away), killed when the object goes.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <platform/Win32Text.h>

#include <cstdio>
#include <string>
#include <vector>

class ChildProcess
{
public:
    // With `discard`, the output goes to NUL: a child that logs while holding
    // the counter's mutex must never wait for us to drain a pipe.
    ChildProcess(const std::wstring& program, const std::string& args, bool discard = false)
    {
        SECURITY_ATTRIBUTES sa {sizeof sa, nullptr, TRUE};
        HANDLE write = nullptr;
        if (discard)
            write = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
        else if (!CreatePipe(&read_, &write, &sa, 1 << 16))
            return;
        SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW si {};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = write;
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        std::wstring command = L"\"" + program + L"\" " + win32text::widen(args);
        PROCESS_INFORMATION pi {};
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
            process_ = pi.hProcess;
            CloseHandle(pi.hThread);
        } else {
            std::fprintf(stderr, "cannot start %ls: %lu\n", program.c_str(), GetLastError());
        }
        CloseHandle(write);
    }
    ~ChildProcess()
    {
        if (process_) {
            TerminateProcess(process_, 99);
            WaitForSingleObject(process_, 5000);
            CloseHandle(process_);
        }
        if (read_)
            CloseHandle(read_);
    }
    bool started() const { return process_ != nullptr; }

    // Waits (at most timeoutMs) for the output line `line`.
    bool waitForLine(const std::string& line, DWORD timeoutMs = 20000)
    {
        const ULONGLONG end = GetTickCount64() + timeoutMs;
        size_t checked = 0;
        for (;;) {
            splitLines(false);
            for (; checked < lines.size(); ++checked)
                if (lines[checked] == line)
                    return true;
            if (GetTickCount64() >= end)
                return false;
            pump();
        }
    }
    // Waits for the exit; returns the exit code, or -1 on time-out.
    int finish(DWORD timeoutMs = 30000)
    {
        if (!process_)
            return -1;
        const ULONGLONG end = GetTickCount64() + timeoutMs;
        while (WaitForSingleObject(process_, 10) == WAIT_TIMEOUT) {
            pump();
            if (GetTickCount64() >= end)
                return -1;
        }
        while (pump()) {}
        splitLines(true);
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        return int(code);
    }
    void kill()
    {
        TerminateProcess(process_, 9);
        WaitForSingleObject(process_, 5000);
    }
    bool said(const std::string& line) const
    {
        for (const auto& l : lines)
            if (l == line)
                return true;
        return false;
    }
    std::vector<std::string> lines;

private:
    void splitLines(bool all)
    {
        size_t eol;
        while ((eol = buffer_.find('\n')) != std::string::npos || (all && !buffer_.empty())) {
            std::string got = buffer_.substr(0, eol);
            buffer_.erase(0, eol == std::string::npos ? eol : eol + 1);
            while (!got.empty() && (got.back() == '\r' || got.back() == ' '))
                got.pop_back();
            lines.push_back(got);
        }
    }
    // Reads what the pipe holds now; false when nothing was there.
    bool pump()
    {
        DWORD available = 0;
        if (!read_) {
            Sleep(5);
            return false;
        }
        if (!PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr) || available == 0) {
            Sleep(5);
            return false;
        }
        char chunk[4096];
        DWORD got = 0;
        if (!ReadFile(read_, chunk, available < sizeof chunk ? available : sizeof chunk, &got, nullptr))
            return false;
        buffer_.append(chunk, got);
        return got > 0;
    }
    HANDLE process_ = nullptr;
    HANDLE read_ = nullptr;
    std::string buffer_;
};

// The path of the program `name` in this program's folder.
inline std::wstring besideThisProgram(const std::wstring& name)
{
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, n);
    return path.substr(0, path.find_last_of(L"\\/") + 1) + name;
}
