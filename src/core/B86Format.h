#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

// B86 files are byte-for-byte dumps of the image buffer; the length alone tells the kind.
namespace B86Format {

constexpr qint64 LengthRetain46xx = 4096;
constexpr qint64 LengthRetain4610 = 0x7000;
constexpr qint64 Length4610WithNv = 329984; // 0x50900
constexpr qint32 DataEnd4610WithNv = 329732; // 0x50804: end of the NV parameters
constexpr qint64 LengthFlash46xx = 0x100000;
constexpr qint64 LengthFlashWithTrailer = 0x100008;
constexpr qint32 TrailerOffset = 0x100000;
constexpr qint32 TrailerSize = 8;

enum class Kind {
    Invalid,
    Retain46xx,
    Retain4610,
    Firmware4610WithNv,
    Flash46xx,
    FlashWithTrailer,
};

// The kind of a file or buffer of this length.
Kind kindOfLength(qint64 length);

// Sectors stored in the 8-byte trailer at 0x100000: two little-endian 32-bit integers.
struct Trailer
{
    qint32 firstSector = 0;
    qint32 endSector = 0;

    // Both sectors in 0..19 and the first below the end unless the end is 0 (whole flash).
    bool isValid() const;
};

// The trailer of a buffer at least TrailerOffset + TrailerSize bytes long; false otherwise.
[[nodiscard]] bool readTrailer(QByteArrayView buffer, Trailer *trailer);
// Resizes the buffer to TrailerOffset (if shorter it is padded with 0xFF) and appends the trailer.
void appendTrailer(QByteArray &buffer, Trailer trailer);

} // namespace B86Format
