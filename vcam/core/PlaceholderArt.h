#pragma once

#include <cstddef>
#include <cstdint>

// The placeholder artwork, generated at build time by tools/draw_placeholder:
// run-length records (16-bit little-endian count, then blue, green, red).
namespace vcam::placeholder_art {
const uint8_t* data();
size_t size();
uint32_t width();
uint32_t height();
} // namespace vcam::placeholder_art
