#include "FrameMemory.h"

#include "platform/LargeBuffer.h"

namespace framememory {

namespace {

// No frame comes near this; a size beyond it is a damaged one.
constexpr qsizetype kMaxBytes = qsizetype(1) << 30;

struct Block
{
    void* data;
    std::size_t bytes;
};

void releaseBlock(void* info)
{
    auto* block = static_cast<Block*>(info);
    largebuffer::release(block->data, block->bytes);
    delete block;
}

} // namespace

QImage createImage(int width, int height, QImage::Format format)
{
    if (width <= 0 || height <= 0 || format == QImage::Format_Invalid)
        return {};
    // Rows as QImage lays them out itself: whole 32-bit words.
    const qsizetype depth = QImage::toPixelFormat(format).bitsPerPixel();
    const qsizetype rowBytes = (qsizetype(width) * depth + 31) / 32 * 4;
    if (depth <= 0 || rowBytes > kMaxBytes / height)
        return {};
    if (rowBytes * height < kLargeFrom) {
        QImage image(width, height, format);
        image.fill(0);
        return image;
    }
    const auto bytes = std::size_t(rowBytes) * std::size_t(height);
    void* data = largebuffer::allocate(bytes);
    if (!data)
        return {};
    auto* block = new Block {data, bytes};
    QImage image(static_cast<uchar*>(data), width, height, rowBytes, format, releaseBlock, block);
    if (image.isNull())
        releaseBlock(block);
    return image;
}

} // namespace framememory
