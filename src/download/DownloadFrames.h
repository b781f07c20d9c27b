#pragma once

#include <QByteArray>
#include <QtGlobal>

// Block building and framing of the download: pure functions over the image bytes, so that they
// are tested from known-good bytes and shared by the serial and the CAN path.
namespace DownloadFrames {

constexpr int MaxFlashBlockBytes = 32;
constexpr int RetainFrameBytes = 16;
// The 4610 board's flash ends at 0x50000; its NV parameters follow in the combined image.
constexpr qint32 Board4610FlashLimit = 0x60000;

constexpr quint8 EndOfData = 0xFF;
constexpr quint8 SwitchToRetain = 0xF0;

struct FlashBlock
{
    qint32 start = 0; // image address of the first data byte
    quint8 sector = 0; // sector that holds it
    QByteArray data; // even length, 0 to 32 bytes, no 0xFFFF word
    qint64 nextPosition = 0; // image position after the block (erased words consumed)
};

// The start address of the sector after the one holding `position`; 0x100000 from 0xF0000 on.
qint32 SectorEndAbove(qint64 position);

// Gathers the next block from `position` on: whole 16-bit words; 0xFFFF words before the block are
// skipped, one inside it ends it; a block never crosses a sector end, `dataEnd` or the image end
// and holds at most 16 words. With `board4610Limit` nothing is taken from the sector that starts
// at 0x50000 on. An empty block means end of data (or, below `dataEnd`, the retain part of a
// combined 4610 image).
FlashBlock nextFlashBlock(const QByteArray &image, qint64 position, qint32 dataEnd,
                          bool board4610Limit);

// Serial frame: N = 4 + D, sector, 24-bit little-endian address, data, checksum (N XOR all bytes
// after it). N + 2 bytes in all.
QByteArray flashBlockFrame(const FlashBlock &block);

// Serial frame of up to 16 retain-values bytes: 0x10, 16 data bytes, checksum. A shorter tail is
// padded with 0x00, which leaves the checksum over the bytes read unchanged.
QByteArray retainBlockFrame(const QByteArray &data);

// XOR of all bytes.
quint8 xorChecksum(const QByteArray &bytes);

} // namespace DownloadFrames
