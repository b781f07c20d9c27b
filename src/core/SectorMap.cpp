#include "core/SectorMap.h"

qint32 SectorStart(qint32 n)
{
    switch (n) {
    case 1:
        return 0x4000;
    case 2:
        return 0x6000;
    case 3:
        return 0x8000;
    default:
        break;
    }
    if (n >= 4 && n <= SectorCount)
        return (n - 3) * 0x10000;
    return 0;
}

qint32 EndSectorAddress(qint32 n)
{
    if (n == 0 || n == SectorCount)
        return FlashSize46xx;
    return SectorStart(n);
}

qint32 LastSectorBelow(qint32 end)
{
    for (qint32 n = 1; n <= LastSector; ++n) {
        if (end <= SectorStart(n))
            return n - 1;
    }
    return LastSector;
}

qint32 SectorOfAddress(qint32 addr)
{
    for (qint32 n = 1; n <= LastSector; ++n) {
        if (addr < SectorStart(n))
            return n - 1;
    }
    return LastSector;
}
