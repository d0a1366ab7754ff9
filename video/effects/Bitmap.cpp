#include "Bitmap.h"

#include "FrameMemory.h"
#include "PixelRows.h"
#include "platform/LargeBuffer.h"

#include <QDebug>

#include <cstring>
#include <new>

namespace {

// OpenCV's matrix memory hook: the matrix keeps its own reference count and
// shallow copies share the block as usual; only where the bytes come from and
// go back to differs.
class LargePictureAllocator final : public cv::MatAllocator
{
    // What OpenCV passes for a step it leaves to the allocator.
    static constexpr size_t kAutoStep = 0x7fffffff;

public:
    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step, cv::AccessFlag,
                           cv::UMatUsageFlags) const override
    {
        size_t total = CV_ELEM_SIZE(type);
        for (int i = dims - 1; i >= 0; --i) {
            if (step) {
                if (data && step[i] != kAutoStep)
                    total = step[i];
                else
                    step[i] = total;
            }
            total *= size_t(sizes[i]);
        }
        void* block = data ? data : largebuffer::allocate(total);
        if (!block)
            throw std::bad_alloc();
        auto* u = new cv::UMatData(this);
        u->data = u->origdata = static_cast<uchar*>(block);
        u->size = total;
        if (data)
            u->flags |= cv::UMatData::USER_ALLOCATED;
        return u;
    }

    bool allocate(cv::UMatData* u, cv::AccessFlag, cv::UMatUsageFlags) const override { return u != nullptr; }

    void deallocate(cv::UMatData* u) const override
    {
        if (!u)
            return;
        if (!(u->flags & cv::UMatData::USER_ALLOCATED))
            largebuffer::release(u->origdata, u->size);
        delete u;
    }
};

const cv::MatAllocator* largePictures()
{
    // Never destroyed: a bitmap may be let go during the program's exit.
    static const auto* allocator = new LargePictureAllocator;
    return allocator;
}

} // namespace

namespace bitmap {

bool sizeAllowed(int width, int height)
{
    return width > 0 && height > 0 && width <= kMaxDimension && height <= kMaxDimension
        && (long long)width * height <= kMaxPixels;
}

BitmapPtr create(int width, int height, const cv::Scalar& fill)
{
    if (!sizeAllowed(width, height)) {
        qWarning() << "Failed to create ID2D1Bitmap1 from buffer." << width << height;
        return {};
    }
    try {
        auto bmp = std::make_shared<cv::Mat>();
        if (qsizetype(width) * height * 4 >= framememory::kLargeFrom)
            bmp->allocator = const_cast<cv::MatAllocator*>(largePictures());
        bmp->create(height, width, CV_8UC4);
        *bmp = fill;
        return bmp;
    } catch (const std::exception& e) {
        qWarning() << "Failed to create ID2D1Bitmap1 from buffer." << e.what();
        return {};
    }
}

BitmapPtr createFrom(int width, int height, const void* data, size_t pitch)
{
    if (!data || pitch < size_t(width) * 4) {
        qWarning() << "Failed to create ID2D1Bitmap1 from buffer." << width << height << pitch;
        return {};
    }
    BitmapPtr bmp = create(width, height, cv::Scalar());
    if (!bmp)
        return {};
    const auto* src = static_cast<const uchar*>(data);
    for (int y = 0; y < height; ++y)
        std::memcpy(bmp->ptr(y), src + size_t(y) * pitch, size_t(width) * 4);
    return bmp;
}

bool hasSize(const BitmapPtr& bmp, int width, int height)
{
    return bmp && !bmp->empty() && bmp->cols == width && bmp->rows == height;
}

void drawOver(cv::Mat& dst, const cv::Mat& src, const cv::Rect& area)
{
    if (dst.empty() || src.empty() || dst.type() != CV_8UC4 || src.type() != CV_8UC4)
        return;
    const cv::Rect r = area & cv::Rect(0, 0, src.cols, src.rows) & cv::Rect(0, 0, dst.cols, dst.rows);
    if (r.empty())
        return;
    const auto drawOverRow = pixelrows::rows().drawOver;
    for (int y = r.y; y < r.y + r.height; ++y)
        drawOverRow(dst.ptr(y) + size_t(r.x) * 4, dst.ptr(y) + size_t(r.x) * 4, src.ptr(y) + size_t(r.x) * 4, r.width);
}

void composeOver(cv::Mat& dst, const cv::Mat& below, const cv::Mat& above)
{
    if (below.empty() || below.type() != CV_8UC4)
        return;
    if (dst.size() != below.size() || above.size() != below.size() || dst.type() != CV_8UC4 || above.type() != CV_8UC4
        || dst.data == above.data) {
        below.copyTo(dst);
        drawOver(dst, above);
        return;
    }
    const auto drawOverRow = pixelrows::rows().drawOver;
    for (int y = 0; y < dst.rows; ++y)
        drawOverRow(dst.ptr(y), below.ptr(y), above.ptr(y), dst.cols);
}

} // namespace bitmap
