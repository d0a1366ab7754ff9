// The conversion's integer formulas, shared by the scalar loops and the tails
// of the vector ones.
#pragma once

namespace vcam::yuv {

inline int lumaRounded(int r, int g, int b)
{
    return ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
}
inline int lumaPlain(int r, int g, int b)
{
    return ((66 * r + 129 * g + 25 * b) >> 8) + 16;
}
inline int chromaU(int r, int g, int b)
{
    return ((112 * b - 74 * g - 38 * r + 128) >> 8) + 128;
}
inline int chromaV(int r, int g, int b)
{
    return ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
}

} // namespace vcam::yuv
