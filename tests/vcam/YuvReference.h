// The reference conversions as QByteArray, for the Qt tests.
#pragma once

#include "YuvReferenceCore.h"

#include <QByteArray>

namespace yuvref {

inline QByteArray convert(const char* kind, const uint8_t* src, int w, int h)
{
    const std::vector<uint8_t> out = convertBytes(kind, src, w, h);
    return QByteArray(reinterpret_cast<const char*>(out.data()), qsizetype(out.size()));
}

} // namespace yuvref
