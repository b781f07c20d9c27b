#pragma once

#include "base/DeviceKind.h"
#include "transfer/TransferRecord.h"

#include <QByteArrayView>
#include <QList>
#include <QString>

#include <functional>

// Byte-by-byte comparison of what was read from the device with the loaded image. Both are
// addressed the same way (device address = offset); the range [start, end) is compared and the
// comparison stops at the first difference. It never reads beyond either buffer: when one of
// them ends inside the range, the comparison stops there and says so instead of reporting
// success.
//
// Besides that report, which names only the first difference, the comparison goes on to the end
// of the range (or of the shorter buffer) and collects every range of differing bytes. Two
// differing bytes fall into one range when fewer than MergeGap equal bytes lie between them
// (addresses a < b with b - a <= MergeGap) and no flash sector starts between them, so that a
// range always lies in one sector.
struct CompareResult
{
    static constexpr qint32 MergeGap = 16;

    enum class Outcome {
        Equal, // the whole range was compared and is equal
        Different, // a differing byte at `address`
        ImageEnded, // the image ends at `address`, inside the range
        DataEnded, // the data read end at `address`, inside the range
    };

    Outcome outcome = Outcome::Equal;
    qint32 compared = 0; // bytes compared, a differing byte included
    qint32 address = 0; // differing byte, or where a buffer ended
    qint32 end = 0; // exclusive end of the range
    QString resultText; // the compare's report
    QString memoLine; // "Data compare complete!" or "Data compare aborted!"
    QList<CompareRange> ranges; // in address order; sectors once setSectors() ran
    qint64 bytesDiffering = 0; // in all ranges
    bool relocated = false; // the relocation rule applied (see below)

    // Sets each range's sector for a reading of `deviceType`: the flash sector, or -1 for
    // retain values and for addresses beyond the device's flash.
    void setSectors(DeviceKind deviceType, bool retain);
    // The differing bytes themselves, as runs of consecutive addresses (`bytes` = the run's
    // length), from the same image and data read.
    [[nodiscard]] QList<CompareRange> differingRuns(QByteArrayView image,
                                                    QByteArrayView uploaded) const;

    bool equal() const { return outcome == Outcome::Equal; }
    // Title of the report box.
    QString title() const { return memoLine; }
};

// p = the address reached (a multiple of 256 while running, the final address at the end).
using CompareProgress = std::function<void(qint32 p)>;

// `relocationRule` is set for a flash reading of the 4610 board: an image whose bytes 0x6000 to
// 0x6003 are all 0xFF expects the device to hold the image's 0xC000..0xCCFF at 0x6000..0x6CFF
// and 0xFF at 0xC000..0xCCFF.
[[nodiscard]] CompareResult CompareData(QByteArrayView image, QByteArrayView uploaded, qint32 start,
                                        qint32 end, bool relocationRule,
                                        const CompareProgress &progress = {});

// The image counts as relocated (see above); false when it is too short to hold the mark.
[[nodiscard]] bool imageIsRelocated(QByteArrayView image);

// The device's bytes laid out as the image: `image` with [start, end) taken from `uploaded`
// (as far as it reaches; an image that ends before is lengthened). Compared byte for byte with
// the image, it differs where the device does.
[[nodiscard]] QByteArray imageWithDeviceBytes(QByteArrayView image, QByteArrayView uploaded,
                                              qint32 start, qint32 end);
