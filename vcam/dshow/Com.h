// Small COM helpers shared by the driver's objects: an owning interface
// pointer, an atomic reference count, the module's count of live objects and
// server locks, and a slim lock.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <objbase.h>

#include <atomic>
#include <cstdint>
#include <utility>

namespace DShow {

// Owns one reference to a COM interface.
template <typename T>
class ComPtr
{
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference on `p`.
    explicit ComPtr(T* p)
        : _p(p)
    {
        if (_p)
            _p->AddRef();
    }
    ComPtr(const ComPtr& other)
        : ComPtr(other._p)
    {}
    ComPtr(ComPtr&& other) noexcept
        : _p(std::exchange(other._p, nullptr))
    {}
    ~ComPtr() { reset(); }
    ComPtr& operator=(ComPtr other) noexcept
    {
        std::swap(_p, other._p);
        return *this;
    }

    // Adopts a reference the caller already owns (an out-parameter's result).
    static ComPtr adopt(T* p)
    {
        ComPtr result;
        result._p = p;
        return result;
    }

    T* get() const { return _p; }
    T* operator->() const { return _p; }
    explicit operator bool() const { return _p != nullptr; }
    // The address an API call fills; the old pointer is released first.
    T** put()
    {
        reset();
        return &_p;
    }
    // Hands the reference to the caller.
    T* detach() { return std::exchange(_p, nullptr); }
    void reset()
    {
        if (T* p = std::exchange(_p, nullptr))
            p->Release();
    }

private:
    T* _p = nullptr;
};

// Asks `from` for interface I.
template <typename I, typename From>
ComPtr<I> queryInterface(From* from, REFIID iid)
{
    ComPtr<I> result;
    if (from)
        from->QueryInterface(iid, reinterpret_cast<void**>(result.put()));
    return result;
}

// The module may not be unloaded while any of its objects lives or a client
// holds a server lock: DllCanUnloadNow asks canUnload().
namespace module {
void objectCreated();
void objectDestroyed();
void lockServer(bool lock);
bool canUnload();
HMODULE handle();
void setHandle(HMODULE module);
} // namespace module

// Counts its owner among the module's live objects for as long as it exists.
class LiveObject
{
public:
    LiveObject() { module::objectCreated(); }
    ~LiveObject() { module::objectDestroyed(); }
    LiveObject(const LiveObject&) = delete;
    LiveObject& operator=(const LiveObject&) = delete;
};

// A COM object implementing `Interfaces`: one atomic reference count for all
// of them (Release deletes the object at zero), and a place among the
// module's live objects while it exists. `Self` is the object's class, which
// befriends this template if its destructor is not public.
template <typename Self, typename... Interfaces>
class ComObject : public Interfaces...
{
public:
    STDMETHODIMP_(ULONG) AddRef() override { return ++_refs; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG left = --_refs;
        if (left == 0)
            delete static_cast<Self*>(this);
        return left;
    }

protected:
    explicit ComObject(ULONG initialReferences)
        : _refs(initialReferences)
    {}
    ~ComObject() = default;

private:
    std::atomic<ULONG> _refs;
    LiveObject _live;
};

// A slim reader/writer lock used exclusively (usable with std::lock_guard).
class Lock
{
public:
    Lock() { InitializeSRWLock(&_lock); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void lock() { AcquireSRWLockExclusive(&_lock); }
    void unlock() { ReleaseSRWLockExclusive(&_lock); }

private:
    SRWLOCK _lock;
};

// The media subtype GUID of a four-character code.
constexpr GUID fourccSubtype(uint32_t fourcc)
{
    return GUID {fourcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

constexpr uint32_t fourcc(const char (&code)[5])
{
    return uint32_t(uint8_t(code[0])) | uint32_t(uint8_t(code[1])) << 8 | uint32_t(uint8_t(code[2])) << 16
         | uint32_t(uint8_t(code[3])) << 24;
}

} // namespace DShow
