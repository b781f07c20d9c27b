#pragma once

#include "base/DeviceKind.h"
#include "transfer/TransferMachine.h"

#include <QByteArray>
#include <QString>

// What a download machine programs: the image and the range, as values.
struct DownloadJob
{
    QByteArray image;
    qint32 dataEnd = 0;
    // The sectors the device is told (a resumed download's later start included); equal for the
    // whole flash.
    qint32 firstSector = 0;
    qint32 endSector = 0;
    bool retainData = false;
    DeviceKind deviceType = DeviceKind::Device46xx;
    // The image position the blocks start from.
    qint64 startPosition = 0;
    // The data bytes the blocks will carry from there on: all of them must be acknowledged.
    qint64 plannedBytes = 0;
    // The first sector not known to hold the image before anything is sent (-1: none).
    qint32 resumeSector = -1;
    QString resumeNote; // the first log line of a resumed download
};

// What the download's machines share: the image position, the block in flight and what the
// device has acknowledged, the retain-values frames (alone, or the NV part of the 4610
// board's combined image), and the texts.
class DownloadMachine : public TransferMachine
{
public:
    // Watchdog intervals of the protocol's waits. The first also guards the loader's start.
    static constexpr int TargetIdTimeoutMs = 2000;
    static constexpr int FlashProgramStartTimeoutMs = Bootstrap::ProgramStartTimeoutMs;
    static constexpr int RetainProgramStartTimeoutMs = 1000;
    static constexpr int SectorAckTimeoutMs = 1000;
    static constexpr int EraseTimeoutMs = 50000;
    static constexpr int FlashBlockTimeoutMs = 5000;
    static constexpr int RetainBlockTimeoutMs = 2000;
    static constexpr int CanRetainBlockTimeoutMs = 5000;

    // Answers of the target after the bootstrap phase.
    static constexpr quint8 Acknowledge = 0xAA;
    static constexpr quint8 BlockOk = 0x55;
    static constexpr quint8 CompareError = 0x5A;
    static constexpr quint8 Refused = 0xA5; // erase error during the erase, else send again

    void bootConfirmed(MachineStep &step) override;
    QString abortedPrefix() const override;
    Place failurePlace() const override;

    qint32 bytesProgrammed() const { return m_bytesProgrammed; }
    qint64 acknowledgedBytes() const { return m_acknowledged; }
    qint64 position() const { return m_position; }
    const DownloadJob &job() const { return m_job; }

protected:
    DownloadMachine(DownloadJob job, BootRules rules);

    bool dataComplete() const override;
    QString shortfallText() const override;

    // The block in flight was answered as programmed.
    void blockAcknowledged();
    // The data are over: the end marker goes out.
    void sendEndMarker(MachineStep &step, quint8 marker);
    // Up to `count` retain-values bytes from the image position on (none at the image end), with
    // the byte count shown before and the progress after.
    QByteArray nextRetainBytes(int count, MachineStep &step);
    // The answer to a serial frame (block, retain frame or marker): the next frame, the same
    // again, or the end.
    void frameAnswer(quint8 b, MachineStep &step);
    // After an answered frame: the next retain-values frame, unless the protocol has others.
    virtual void sendNextFrame(MachineStep &step);
    void sendRetainFrame(MachineStep &step);
    // The count and the status line shown before each block.
    void showProgrammed(MachineStep &step);
    void succeedProgramming(MachineStep &step);
    // "Compare error!" with the sector and range of the block the target refused.
    QString compareErrorText() const;
    // The erase is over (`whole`: all of the flash): the data phase begins.
    void sectorsErased(MachineStep &step, bool whole);
    QString erasingLine() const;

    DownloadJob m_job;
    bool m_retainPart = false; // the retain-values frames have the line
    qint64 m_position = 0; // image position
    qint32 m_bytesProgrammed = 0;
    qint32 m_blockStart = 0;
    quint8 m_blockSector = 0;
    qint64 m_inFlight = 0; // data bytes sent and not answered yet
    qint64 m_acknowledged = 0;
    bool m_endSent = false;
    QByteArray m_lastFrame;
};
