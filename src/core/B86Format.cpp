#include "core/B86Format.h"

#include "core/SectorMap.h"

#include <QtEndian>

namespace B86Format {

Kind kindOfLength(qint64 length)
{
    switch (length) {
    case LengthRetain46xx:
        return Kind::Retain46xx;
    case LengthRetain4610:
        return Kind::Retain4610;
    case Length4610WithNv:
        return Kind::Firmware4610WithNv;
    case LengthFlash46xx:
        return Kind::Flash46xx;
    case LengthFlashWithTrailer:
        return Kind::FlashWithTrailer;
    default:
        return Kind::Invalid;
    }
}

bool Trailer::isValid() const
{
    const auto inMap = [](qint32 n) {
        return n >= 0 && n <= SectorCount;
    };
    return inMap(firstSector) && inMap(endSector) && (endSector == 0 || firstSector < endSector);
}

bool readTrailer(QByteArrayView buffer, Trailer *trailer)
{
    if (buffer.size() < TrailerOffset + TrailerSize)
        return false;
    const char *at = buffer.data() + TrailerOffset;
    trailer->firstSector = qFromLittleEndian<qint32>(at);
    trailer->endSector = qFromLittleEndian<qint32>(at + 4);
    return true;
}

void appendTrailer(QByteArray &buffer, Trailer trailer)
{
    if (buffer.size() < TrailerOffset)
        buffer.append(TrailerOffset - buffer.size(), char(0xFF));
    buffer.resize(TrailerOffset + TrailerSize);
    char *at = buffer.data() + TrailerOffset;
    qToLittleEndian<qint32>(trailer.firstSector, at);
    qToLittleEndian<qint32>(trailer.endSector, at + 4);
}

} // namespace B86Format
