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

void meanOf2x2Row(const quint32* a, const quint32* b, quint32* out, int count, int step)
{
    for (int i = 0; i < count; ++i) {
        const quint32* pa = a + qsizetype(i) * step;
        const quint32* pb = b + qsizetype(i) * step;
        // Two bytes at a time, each in a 16-bit lane with room for the sum.
        const quint32 even =
            ((pa[0] & 0xff00ff) + (pa[1] & 0xff00ff) + (pb[0] & 0xff00ff) + (pb[1] & 0xff00ff) + 0x20002) >> 2;
        const quint32 odd = (((pa[0] >> 8) & 0xff00ff) + ((pa[1] >> 8) & 0xff00ff) + ((pb[0] >> 8) & 0xff00ff)
                             + ((pb[1] >> 8) & 0xff00ff) + 0x20002)
                         >> 2;
        out[i] = (even & 0xff00ff) | ((odd & 0xff00ff) << 8);
    }
}

} // namespace framememory
