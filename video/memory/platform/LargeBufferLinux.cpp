#include "LargeBuffer.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace largebuffer {

#if defined(__SANITIZE_ADDRESS__)
#define VANTOR_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VANTOR_ADDRESS_SANITIZER 1
#endif
#endif

#if defined(VANTOR_ADDRESS_SANITIZER)
// The address sanitizer watches only memory from the allocator: there the
// blocks come from it, so reads and writes past a picture are still caught.
bool largePages()
{
    return false;
}

void* allocate(std::size_t bytes)
{
    if (bytes == 0 || bytes > SIZE_MAX - 64)
        return nullptr;
    const std::size_t size = (bytes + 63) / 64 * 64;
    void* block = std::aligned_alloc(64, size);
    if (block)
        std::memset(block, 0, size); // as fresh pages are
    return block;
}

void release(void* block, std::size_t)
{
    std::free(block);
}
#else
namespace {

// The processor's large page on x86-64 and arm64 (4 KiB base pages).
constexpr std::size_t kLargePage = std::size_t(2) << 20;

std::size_t rounded(std::size_t bytes)
{
    return (bytes + kLargePage - 1) / kLargePage * kLargePage;
}

} // namespace

bool largePages()
{
    return true;
}

void* allocate(std::size_t bytes)
{
    if (bytes == 0 || bytes > SIZE_MAX - 2 * kLargePage)
        return nullptr;
    const std::size_t size = rounded(bytes);
    // Map a large page more than needed, keep the aligned part, return the rest.
    const std::size_t span = size + kLargePage;
    void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + kLargePage - 1) / kLargePage * kLargePage;
    if (aligned > start)
        munmap(mapped, aligned - start);
    if (const std::uintptr_t end = start + span, used = aligned + size; end > used)
        munmap(reinterpret_cast<void*>(used), end - used);
    // Transparent large pages are often granted only on request; without them
    // the block still works, in small pages.
    madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void release(void* block, std::size_t bytes)
{
    if (block)
        munmap(block, rounded(bytes));
}
#endif

} // namespace largebuffer
