#include "download/DownloadFrames.h"

#include "core/SectorMap.h"

namespace DownloadFrames {

qint32 SectorEndAbove(qint64 position)
{
    if (position >= 0xF0000)
        return 0x100000;
    return SectorStart(SectorOfAddress(static_cast<qint32>(position)) + 1);
}

FlashBlock nextFlashBlock(const QByteArray &image, qint64 position, qint32 dataEnd,
                          bool board4610Limit)
{
    FlashBlock block;
    const qint64 size = image.size();
    if (position < size) {
        qint64 limit = SectorEndAbove(position);
        while (position < size && position < dataEnd && position < limit
               && block.data.size() < MaxFlashBlockBytes
               && !(board4610Limit && limit >= Board4610FlashLimit)) {
            const qint64 at = position;
            const char lo = image.at(position);
            // An odd-sized image ends in half a word; treat the missing byte as erased.
            const char hi = position + 1 < size ? image.at(position + 1) : char(0xFF);
            position += 2;
            const bool erased = quint8(lo) == 0xFF && quint8(hi) == 0xFF;
            if (erased && block.data.isEmpty()) {
                // The sector changes only where its end is reached; looked up there alone, the
                // long erased stretches of an image are skipped quickly.
                if (position >= limit)
                    limit = SectorEndAbove(position);
                continue;
            }
            if (erased)
                break;
            if (block.data.isEmpty()) {
                block.start = static_cast<qint32>(at);
                block.sector = static_cast<quint8>(SectorOfAddress(block.start));
            }
            block.data.append(lo);
            block.data.append(hi);
        }
    }
    if (block.data.isEmpty())
        block.start = 0;
    block.nextPosition = position;
    return block;
}

quint8 xorChecksum(const QByteArray &bytes)
{
    quint8 sum = 0;
    for (char c : bytes)
        sum ^= quint8(c);
    return sum;
}

QByteArray flashBlockFrame(const FlashBlock &block)
{
    QByteArray frame;
    frame.reserve(block.data.size() + 6);
    frame.append(char(4 + block.data.size()));
    frame.append(char(block.sector));
    frame.append(char(block.start & 0xFF));
    frame.append(char((block.start >> 8) & 0xFF));
    frame.append(char((block.start >> 16) & 0xFF));
    frame.append(block.data);
    frame.append(char(xorChecksum(frame)));
    return frame;
}

QByteArray retainBlockFrame(const QByteArray &data)
{
    QByteArray frame;
    frame.reserve(RetainFrameBytes + 2);
    frame.append(char(RetainFrameBytes));
    frame.append(data.left(RetainFrameBytes));
    frame.append(RetainFrameBytes + 1 - frame.size(), '\0');
    frame.append(char(xorChecksum(frame)));
    return frame;
}

} // namespace DownloadFrames
