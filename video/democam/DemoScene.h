#pragma once

#include <cstdint>

// The photo behind the demo scene, built into the plugin at build time:
// sceneWidth() x sceneHeight() pixels, 4 bytes each in B, G, R, x order.
namespace democam {
const uint8_t* scenePixels();
int sceneWidth();
int sceneHeight();
} // namespace democam
