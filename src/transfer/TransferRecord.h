#pragma once

#include "base/DeviceKind.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QtGlobal>

// What a transfer was, with what, how it went and where it failed: one value per download,
// upload or compare. The transfer fills it in as it goes; presenters, the service record and the
// JSON progress feed read it. Field names of toJson() are a stored format: add, never rename.
// Unknown: a record line that names none of them (never a transfer's own record).
enum class TransferOperation { Download, Upload, Compare, Unknown };

// How a transfer ended. Modal result (window) and exit status (command-line tool) both derive
// from it, in TransferOutcome.h.
enum class TransferOutcome {
    Running, // not ended yet (a record written at the start)
    Success, // the device reported the end
    Failed, // time-out, user break, line or dongle error, error reported by the device
    Aborted, // missing target file, port or dongle not opened, prompt declined, invalid
             // identification, unexpected answer, nothing sent
};

// The protocol phase a transfer is in; the failing phase of a record is the one it was in.
enum class TransferPhase {
    Starting, // target files, ports
    BootPrompt, // waiting for the user to press the boot pushbutton
    Identification, // boot byte sent, waiting for the target ID
    Loader, // sending the loader
    Program, // sending the program
    Sectors, // start and end sector
    Erase,
    Data, // programming or reading blocks
    Finishing,
    Ended,
};

// One range of differing bytes found by a compare: `start` and `end` are the first and the last
// differing byte (both included), `bytes` counts the differing bytes between them. `sector` is
// the flash sector that holds the range, -1 where the addresses are not flash (retain values,
// the 4610 board's NV parameters).
struct CompareRange
{
    qint32 start = 0;
    qint32 end = 0;
    qint32 bytes = 0;
    qint32 sector = -1;

    friend bool operator==(const CompareRange &, const CompareRange &) = default;
};

struct TransferRecord
{
    // A record keeps this many of a compare's ranges; the count of differing bytes covers all.
    static constexpr qsizetype MaxCompareRanges = 1000;

    // Identity and what ran.
    QString id; // a UUID without braces, the same in the start and the end line
    QString toolVersion;
    TransferOperation operation = TransferOperation::Download;
    DeviceKind deviceType = DeviceKind::Device46xx;
    QString interfaceName; // "rs232", "can1", "can2"
    QString portPath; // device path of the serial port
    QString portName; // "COM1"
    QString unitId; // the unit's own name (a serial number from its label); empty: not given
    int lineRate = 0; // bit/s on the serial line
    int canBitRate = 0; // kbit/s, 0 without CAN

    // With what.
    QString imageFile; // empty for an upload without a loaded image
    QByteArray imageSha256; // raw 32 bytes of the bytes sent (download) or read (upload)
    qint32 firstSector = 0;
    qint32 endSector = 0;
    quint32 startAddress = 0;
    quint32 endAddress = 0; // exclusive
    bool retain = false; // retain values (NV RAM) rather than flash
    QString loaderFile;
    QString programFile;

    // How it went.
    QDateTime started;
    QDateTime ended;
    qint64 bytes = 0; // data bytes programmed or read
    qint64 totalBytes = 0; // data bytes the transfer set out to move
    qint64 blocks = 0;
    qint64 blocksResent = 0;
    TransferOutcome outcome = TransferOutcome::Running;
    int modalResult = 0; // mrOk / mrCancel / mrAbort as the window returns it
    QString reportText; // the final report, "\n" line breaks

    // Where a failure struck; -1 where it does not apply.
    TransferPhase failedPhase = TransferPhase::Ended;
    bool hasFailure = false;
    qint32 failedSector = -1;
    qint64 failedAddress = -1;

    // Resuming a flash download. `resumeSector`: the first sector not known to hold the image
    // (the sector of the block in flight; blocks go in address order and each one answered is
    // verified), kept up to date while blocks go out and meaningful after a failure only.
    // `resumedFromSector`: the sector this download started at instead of its first one.
    // A record line whose resume_sector is no sector number reads as UnreadableSector.
    static constexpr qint32 UnreadableSector = -2;
    qint32 resumeSector = -1;
    qint32 resumedFromSector = -1;

    // A run that tries a download several times: this is try `attempt` of at most `attempts`
    // (both 0 for a single try).
    int attempt = 0;
    int attempts = 0;
    // The sectors read back and found to hold the image before a resume (the unit proof).
    QList<qint32> proofSectors;

    // A compare after a successful reading (on a download: the verify read after it): whether the
    // data read equal the image, where the first difference is (or where one of the two ended), and
    // the compare's own report.
    bool compared = false;
    bool compareEqual = false;
    qint64 compareAddress = -1;
    QString compareText; // "\n" line breaks
    // Every differing byte counts, also in ranges the record leaves out.
    qint64 bytesDiffering = 0;
    QList<CompareRange> compareRanges; // at most MaxCompareRanges, in address order
    bool compareRangesTruncated = false; // there were more

    // Keeps the first MaxCompareRanges of `ranges`.
    void setCompareRanges(const QList<CompareRange> &ranges, qint64 differing);

    QJsonObject toJson() const;
    // Reads what toJson() wrote; unknown fields are ignored, missing ones keep their defaults,
    // except that a missing or unknown operation or device type reads as Unknown and None.
    static TransferRecord fromJson(const QJsonObject &object);

    static QString operationName(TransferOperation operation); // "download", "upload", "compare"
    static QString outcomeName(TransferOutcome outcome); // "running", "success", ...
    static QString phaseName(TransferPhase phase); // "identification", "data", ...
    static TransferOperation operationFromName(const QString &name);
    static TransferOutcome outcomeFromName(const QString &name);
    static TransferPhase phaseFromName(const QString &name);
};
