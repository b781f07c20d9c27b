#pragma once

#include "support/SimDevice.h"

#include <QByteArray>
#include <QList>
#include <QString>

// A bare host: the protocols' bytes and messages written straight onto the pseudo-terminal
// and a plain QCanBusDevice, each one as soon as the answer it waits for has come, with none
// of the tool's code (no serial component, no CAN thread, no transfer classes, no event
// hand-over). What it achieves against a paced simulated device is the reference the tool's
// benchmarks are measured against: the best a host on this machine and this simulator can do.
namespace BareHost {

struct Run
{
    bool ok = false;
    double seconds = 0; // from the boot byte to the final answer
    QList<SimTraceLine> trace; // the simulator's, after it ended
    QString error;
};

// One flash block as the programming protocols cut the image.
struct Block
{
    int start = 0;
    int sector = 0;
    QByteArray data;
};

// The blocks of image[0, dataEnd): whole 16-bit words, up to 32 bytes, never across a sector
// end, erased words (0xFFFF) skipped.
QList<Block> flashBlocks(const QByteArray &image, int dataEnd);
int sectorStart(int sector);

// A 46xx whole-flash download of image[0, dataEnd) over RS-232; maxBlocks < 0: all blocks.
Run serialDownload(const SimDeviceOptions &options, const QByteArray &image, int dataEnd,
                   int maxBlocks = -1);
// Retain values over RS-232: frames of 16 bytes.
Run serialRetainDownload(const SimDeviceOptions &options, int frames);
// A 46xx flash read over RS-232 of sectors first..end-1 (first == end: the whole flash).
Run serialUpload(const SimDeviceOptions &options, int firstSector, int endSector);
// The same download with the CAN phase on the simulator's virtual bus (channel 1).
Run canDownload(const SimDeviceOptions &options, const QByteArray &image, int dataEnd,
                int maxBlocks = -1);
// The same read with the CAN phase on the virtual bus.
Run canUpload(const SimDeviceOptions &options, int firstSector, int endSector);

// Serial bytes of both directions in a trace (the line limit's measure).
qint64 serialLineBytes(const QList<SimTraceLine> &trace);

} // namespace BareHost
