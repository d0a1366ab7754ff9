#pragma once

#include <cstddef>

// Memory for the frame-sized pictures every frame sweeps through. Where the
// system allows, a block is laid out in large pages: one frame then needs a
// handful of address translations instead of about a thousand. That matters
// most when the pictures have left the caches between two frames, as on a busy
// machine they do: every cold page would otherwise cost a walk of cold page
// tables before its first byte arrives.
namespace largebuffer {

// Whether blocks are laid out in large pages by this build (not under the
// address sanitizer, which only sees the ordinary allocator's blocks).
bool largePages();
// A block of at least `bytes` bytes, all zero, aligned to 64 bytes at least;
// null when the memory cannot be had.
void* allocate(std::size_t bytes);
// Gives back a block from allocate() with the same `bytes`.
void release(void* block, std::size_t bytes);

} // namespace largebuffer
