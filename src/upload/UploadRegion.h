#pragma once

#include "base/DeviceKind.h"
#include "core/SectorMap.h"

#include <QByteArray>
#include <QtGlobal>

// Where a reading of the device's memory starts and ends, and how the region is asked for on
// the wire. Derived from the request (device type, retain values or flash, sectors).
struct UploadRegion
{
    // Device address of the first byte; the data read land there in the upload buffer.
    qint32 start = 0;
    // Exclusive end: the progress maximum and the end of the compared range.
    qint32 end = 0;

    static UploadRegion of(DeviceKind deviceType, bool retainMode, qint32 firstSector,
                           qint32 endSector);
};

namespace UploadWire {

// Retain values of a 46xx device and of the 4610 board.
constexpr qint32 RetainSize46xx = 4096;
constexpr qint32 RetainSize4610 = 0x7000;
// The 4610 board's image: flash plus NV parameters up to here (the reading itself delivers
// 329984 bytes).
constexpr qint32 BoardImageEnd = 329732;
// The whole flash on CAN is the sector range 0..SectorCount.
constexpr quint8 CanWholeFlashEndSector = SectorCount;

// The bytes of the serial region request: the start sector, then the (exclusive) end sector;
// 0x00 0x00 for the whole flash.
QByteArray serialSectorBytes(qint32 firstSector, qint32 endSector);

// Data of the first CAN command (identifier 0x63F): the region request for flash, the first
// batch request 0x55 for retain values.
QByteArray canFirstCommand(bool retainMode, qint32 firstSector, qint32 endSector);

// Only a 46xx flash reading prepares a 1 MiB buffer of 0xFF addressed by device address; the
// others append from offset 0.
bool prefilledBuffer(DeviceKind deviceType, bool retainMode);

// A partial 46xx flash reading ends with the 8-byte trailer (FirstSector, EndSector).
bool appendsTrailer(DeviceKind deviceType, bool retainMode, qint32 firstSector, qint32 endSector);

} // namespace UploadWire
