#pragma once

#include <QChar>
#include <QtGlobal>

// Flash sector map of the 46xx devices: 19 sectors over 1 MiB (16 KiB, 8 KiB, 8 KiB, 32 KiB,
// then fifteen of 64 KiB). The 4610 board's flash is the first 0x50000 bytes of the same
// address space and ends at sector 8 in this numbering.

constexpr qint32 FlashSize46xx = 0x100000;
constexpr qint32 FlashSize4610 = 0x50000;
constexpr qint32 SectorCount = 19;
// Sectors are numbered 0..LastSector; SectorCount as an end sector means "to the end".
constexpr qint32 LastSector = SectorCount - 1;
constexpr qint32 EndSector4610 = 8;
// End sector of the operating-system region (0x00000 to 0x80000).
constexpr qint32 OperatingSystemEndSector = 11;

// Value of a hex digit; "0" and every character that is not a hex digit give 0.
constexpr int HexDigitValue(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    return 0;
}

constexpr int HexDigitValue(QChar ch)
{
    return ch.unicode() < 0x80 ? HexDigitValue(char(ch.unicode())) : 0;
}

// Start address of sector n (1..19; 19 gives 0x100000); 0 for 0 and any value outside 1..19.
qint32 SectorStart(qint32 n);
// Exclusive end address of a region that ends before sector n: as SectorStart for 1..18,
// 0x100000 for 0 (up to the end of the flash) and 19, 0 for any other value.
qint32 EndSectorAddress(qint32 n);
// Index of the last sector that [0, end) reaches (0 for end <= 0x4000, 18 above 0xF0000).
qint32 LastSectorBelow(qint32 end);
// Index of the sector that holds addr (0 for anything below 0x4000, 18 from 0xF0000 on).
qint32 SectorOfAddress(qint32 addr);
