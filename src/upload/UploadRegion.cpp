#include "upload/UploadRegion.h"

#include "base/BKGlobal.h"
#include "core/SectorMap.h"

UploadRegion UploadRegion::of(DeviceKind deviceType, bool retainMode, qint32 firstSector,
                              qint32 endSector)
{
    UploadRegion region;
    if (retainMode) {
        region.end = deviceType == DeviceKind::Device46xx ? UploadWire::RetainSize46xx
                                                          : UploadWire::RetainSize4610;
    } else if (deviceType == DeviceKind::Device46xx) {
        region.start = SectorStart(firstSector);
        region.end = EndSectorAddress(endSector);
    } else {
        region.end = UploadWire::BoardImageEnd;
    }
    return region;
}

namespace UploadWire {

QByteArray serialSectorBytes(qint32 firstSector, qint32 endSector)
{
    QByteArray bytes;
    bytes.append(char(quint8(firstSector)));
    bytes.append(char(quint8(endSector)));
    return bytes;
}

QByteArray canFirstCommand(bool retainMode, qint32 firstSector, qint32 endSector)
{
    QByteArray bytes;
    if (retainMode) {
        bytes.append(char(0x55));
        return bytes;
    }
    bytes.append(char(quint8(firstSector)));
    bytes.append(char(firstSector == endSector ? CanWholeFlashEndSector : quint8(endSector)));
    return bytes;
}

bool prefilledBuffer(DeviceKind deviceType, bool retainMode)
{
    return deviceType == DeviceKind::Device46xx && !retainMode;
}

bool appendsTrailer(DeviceKind deviceType, bool retainMode, qint32 firstSector, qint32 endSector)
{
    return deviceType == DeviceKind::Device46xx && !retainMode && firstSector != endSector;
}

} // namespace UploadWire
