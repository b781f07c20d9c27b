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

    // What is in flight: the device's next answer is to it. Once the end marker has gone out it
    // stays in flight until the end.
    enum class Frame {
        None,
        FlashBlock,
        RetainBlock,
        Switch, // the 4610 board's switch to its NV part
        End, // the end marker
    };

    // The block in flight was answered as programmed.
    void blockAcknowledged();
    // Sends `frame` as the one in flight, to be sent again when the device asks for it.
    void sendFrame(Frame kind, const QByteArray &frame, MachineStep &step);
    // The data are over: the end marker goes out.
    void sendEndMarker(MachineStep &step, quint8 marker);
    // Up to `count` retain-values bytes from the image position on (none at the image end), with
    // the byte count shown before and the progress after.
    QByteArray nextRetainBytes(int count, MachineStep &step);
    // The answers to a serial frame; other bytes are let pass.
    static bool isFrameAnswer(quint8 b)
    {
        return b == BlockOk || b == CompareError || b == Refused || b == Acknowledge;
    }
    // The answer to a serial frame (block, retain frame or marker): the next frame, the same
    // again, or the end.
    void frameAnswer(quint8 b, MachineStep &step);
    // An answer of the data phase that sends next: false, with the transfer failed, when a later
    // byte of the same read is an answer too (it came before anything was sent to answer).
    bool inStep(quint8 b, MachineStep &step);
    // The answers no longer match the frames: `text` says how.
    void answersOutOfStep(const QString &text, MachineStep &step);
    // The device refused the frame in flight once more than it may be sent again.
    void refusedTooOften(MachineStep &step);
    // "the block at 000020h (sector 0)", "the end of data", ...
    QString frameText() const;
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
    qint32 m_previousSector = -1; // of the block answered before the one in flight
    Frame m_frame = Frame::None;
    int m_repeats = 0; // of the frame in flight
    qint64 m_inFlight = 0; // data bytes sent and not answered yet
    qint64 m_acknowledged = 0;
    QByteArray m_lastFrame;
};
