#include "MediaTypes.h"

#include <amvideo.h>
#include <dvdmedia.h>
#include <uuids.h>

#include <cstring>

namespace DShow {

using namespace vcam;

namespace {

struct FormatRow
{
    FormatId id;
    GUID subtype;
    uint32_t compression;
    WORD planes;
};

// The driver's format table: subtype, compression code and plane count of
// each format it knows.
const FormatRow kRows[] = {
    {FormatARGB32, MEDIASUBTYPE_ARGB32, fourcc("ARGB"), 1},
    {FormatRGB32, MEDIASUBTYPE_RGB32, fourcc("RGB4"), 1},
    {FormatI420, fourccSubtype(fourcc("I420")), fourcc("I420"), 3},
    {FormatNV12, fourccSubtype(fourcc("NV12")), fourcc("NV12"), 2},
    {FormatYV12, fourccSubtype(fourcc("YV12")), fourcc("YV12"), 2},
    {FormatY800, fourccSubtype(fourcc("Y800")), fourcc("Y800"), 1},
    {FormatYVYU, fourccSubtype(fourcc("YVYU")), fourcc("YVYU"), 1},
    {FormatYUY2, fourccSubtype(fourcc("YUY2")), fourcc("YUY2"), 1},
    {FormatUYVY, fourccSubtype(fourcc("UYVY")), fourcc("UYVY"), 1},
    {FormatHDYC, GUID_NULL, fourcc("HDYC"), 0},
    {FormatMJPG, fourccSubtype(fourcc("MJPG")), fourcc("MJPG"), 0},
    {FormatH264, fourccSubtype(fourcc("H264")), fourcc("H264"), 0},
};

const FormatRow* rowOf(FormatId id)
{
    for (const FormatRow& row : kRows)
        if (row.id == id)
            return &row;
    return nullptr;
}

// Other names clients give some of the formats.
struct SubtypeAlias
{
    GUID subtype;
    FormatId id;
};
const SubtypeAlias kSubtypeAliases[] = {
    {MEDIASUBTYPE_RGB24, FormatRGB32},
    {fourccSubtype(fourcc("IYUV")), FormatI420},
};
struct CompressionAlias
{
    uint32_t code;
    FormatId id;
};
const CompressionAlias kCompressionAliases[] = {
    {fourcc("IYUV"), FormatI420},
    {fourcc("RGB2"), FormatRGB32},
};

FormatId fromSubtype(const GUID& subtype)
{
    // A format without a subtype of its own (GUID_NULL) is known by its
    // compression code only.
    if (IsEqualGUID(subtype, GUID_NULL))
        return FormatUnknown;
    for (const FormatRow& row : kRows)
        if (IsEqualGUID(row.subtype, subtype))
            return row.id;
    for (const SubtypeAlias& alias : kSubtypeAliases)
        if (IsEqualGUID(alias.subtype, subtype))
            return alias.id;
    return FormatUnknown;
}

FormatId fromCompression(uint32_t code)
{
    for (const FormatRow& row : kRows)
        if (row.compression == code)
            return row.id;
    for (const CompressionAlias& alias : kCompressionAliases)
        if (alias.code == code)
            return alias.id;
    return FormatUnknown;
}

} // namespace

bool buildVideoType(FormatId id, AM_MEDIA_TYPE& mt)
{
    std::memset(&mt, 0, sizeof mt);
    const FormatRow* row = rowOf(id);
    auto* info = static_cast<VIDEOINFOHEADER*>(CoTaskMemAlloc(sizeof(VIDEOINFOHEADER)));
    if (!row || !info)
        return CoTaskMemFree(info), false;
    std::memset(info, 0, sizeof *info);
    const LONG sampleSize = LONG(bitsPerPixel(id) * (kDefaultWidth * kDefaultHeight / 8));
    const REFERENCE_TIME interval = REFERENCE_TIME(kDefaultFrameInterval);
    info->rcSource = info->rcTarget = RECT {0, 0, LONG(kDefaultWidth), LONG(kDefaultHeight)};
    info->dwBitRate = DWORD(int64_t(sampleSize) * 10000000 / interval * 8);
    info->AvgTimePerFrame = interval;
    BITMAPINFOHEADER& bmi = info->bmiHeader;
    bmi.biSize = sizeof(BITMAPINFOHEADER);
    bmi.biWidth = LONG(kDefaultWidth);
    bmi.biHeight = LONG(kDefaultHeight);
    bmi.biPlanes = row->planes;
    bmi.biBitCount = WORD(bitsPerPixel(id));
    bmi.biCompression = row->compression;
    bmi.biSizeImage = DWORD(sampleSize);

    mt.majortype = MEDIATYPE_Video;
    mt.subtype = row->subtype;
    mt.bFixedSizeSamples = TRUE;
    mt.bTemporalCompression = FALSE;
    mt.lSampleSize = ULONG(sampleSize);
    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = sizeof(VIDEOINFOHEADER);
    mt.pbFormat = reinterpret_cast<BYTE*>(info);
    return true;
}

HRESULT copyMediaType(AM_MEDIA_TYPE& dst, const AM_MEDIA_TYPE& src)
{
    dst = src;
    dst.pbFormat = nullptr;
    dst.cbFormat = 0;
    if (src.cbFormat && src.pbFormat) {
        dst.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(src.cbFormat));
        if (!dst.pbFormat) {
            dst.pUnk = nullptr;
            return E_OUTOFMEMORY;
        }
        std::memcpy(dst.pbFormat, src.pbFormat, src.cbFormat);
        dst.cbFormat = src.cbFormat;
    }
    if (dst.pUnk)
        dst.pUnk->AddRef();
    return S_OK;
}

void freeMediaType(AM_MEDIA_TYPE& mt)
{
    CoTaskMemFree(mt.pbFormat);
    mt.pbFormat = nullptr;
    mt.cbFormat = 0;
    if (mt.pUnk) {
        mt.pUnk->Release();
        mt.pUnk = nullptr;
    }
}

AM_MEDIA_TYPE* newMediaType(const AM_MEDIA_TYPE& src)
{
    auto* mt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (mt && FAILED(copyMediaType(*mt, src))) {
        CoTaskMemFree(mt);
        return nullptr;
    }
    return mt;
}

void deleteMediaType(AM_MEDIA_TYPE* mt)
{
    if (!mt)
        return;
    freeMediaType(*mt);
    CoTaskMemFree(mt);
}

const BITMAPINFOHEADER* bitmapHeader(const AM_MEDIA_TYPE& mt)
{
    if (!mt.pbFormat)
        return nullptr;
    if (IsEqualGUID(mt.formattype, FORMAT_VideoInfo) && mt.cbFormat >= sizeof(VIDEOINFOHEADER))
        return &reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->bmiHeader;
    if (IsEqualGUID(mt.formattype, FORMAT_VideoInfo2) && mt.cbFormat >= sizeof(VIDEOINFOHEADER2))
        return &reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat)->bmiHeader;
    return nullptr;
}

REFERENCE_TIME averageTimePerFrame(const AM_MEDIA_TYPE& mt)
{
    if (!bitmapHeader(mt))
        return 0;
    if (IsEqualGUID(mt.formattype, FORMAT_VideoInfo))
        return reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->AvgTimePerFrame;
    return reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat)->AvgTimePerFrame;
}

FormatId mapFormatId(const AM_MEDIA_TYPE& mt, FormatId current)
{
    if (!IsEqualGUID(mt.majortype, MEDIATYPE_Video))
        return current;
    const FormatId bySubtype = fromSubtype(mt.subtype);
    if (bySubtype != FormatUnknown)
        return bySubtype;
    const BITMAPINFOHEADER* bmi = bitmapHeader(mt);
    return bmi ? fromCompression(bmi->biCompression) : FormatUnknown;
}

size_t VideoShape::sampleBytes() const
{
    return size_t(uint64_t(height) * bitsPerPixel(format) * width / 8);
}

std::optional<VideoShape> acceptableShape(const AM_MEDIA_TYPE& mt)
{
    const BITMAPINFOHEADER* bmi = bitmapHeader(mt);
    if (!IsEqualGUID(mt.majortype, MEDIATYPE_Video) || !bmi)
        return std::nullopt;
    VideoShape shape;
    shape.format = mapFormatId(mt, FormatUnknown);
    const FormatRow* row = rowOf(shape.format);
    bool offered = false;
    for (FormatId id : kOfferedFormats)
        offered = offered || id == shape.format;
    // By subtype, so that RGB24 (which maps to the 32-bit format) is refused.
    if (!offered || !IsEqualGUID(mt.subtype, row->subtype))
        return std::nullopt;
    shape.interval = averageTimePerFrame(mt);
    if (bmi->biWidth != LONG(kDefaultWidth) || bmi->biHeight != LONG(kDefaultHeight) || shape.interval <= 0)
        return std::nullopt;
    return shape;
}

} // namespace DShow
