#pragma once

#include "base/BKGlobal.h"
#include "core/SectorMap.h"
#include "download/DownloadFrames.h"
#include "transfer/TransferBase.h"

#include <QByteArray>
#include <QString>

#include <array>

struct ImageState;

// Everything a download takes over from the main window when it starts: its own copy of the
// image and of the fields that describe it, and the selections that choose the target files and
// the ports.
struct DownloadRequest
{
    QByteArray image;
    QString fileName;
    qint32 firstSector = 0;
    qint32 endSector = 0;
    qint32 dataEnd = 0;
    bool retainData = false;
    DeviceKind deviceType = DeviceKind::Device46xx;
    TSettings settings;
    // A flash download may start at a later sector of the image than its first (canResumeAt):
    // the device erases and programs only from there on, and the sectors below stay as they are.
    qint32 resumeSector = -1;
    QString resumeNote; // the first log line of a resumed download
    // After a failure in programming, the final report names the sector to resume from.
    bool reportResumeSector = false;

    // The main window's image state and the selections of the command.
    static DownloadRequest fromImage(const ImageState &image, DeviceKind deviceType,
                                     const TSettings &settings);
};

// One download into the device: flash programming over RS-232, retain values (also the NV part
// of the combined 4610 image), or either of them over CAN after the start over RS-232.
class DownloadTransfer : public TransferBase
{
    Q_OBJECT
public:
    enum class State : quint8 {
        Idle = 0,
        WaitTargetId = 1,
        WaitLoaderStart = 2,
        WaitProgramStart = 4,
        WaitStartSectorAck = 5,
        WaitEndSectorAck = 6, // on the 4610 board: waiting for the program start
        WaitErase = 7,
        Programming = 8,
        RetainProgramming = 12,
    };

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
    static constexpr quint8 CanEraseFinished = 0x33;

    static constexpr quint32 CanCommandId = 0x63F;
    static constexpr quint32 CanDataIds[4] = {0x23F, 0x33F, 0x43F, 0x53F};
    static constexpr quint32 CanReplyId = 0x5BF;
    static constexpr quint8 CanWholeFlashEnd = SectorCount;

    DownloadTransfer(SerialLink &serial, CanLinkFactory canFactory, DownloadRequest request,
                     QObject *parent = nullptr, TimerSource &timers = TimerSource::system());
    ~DownloadTransfer() override;

    // Whether `request` may start at `sector`: flash of a 46xx device, the sector within the
    // image's sectors that hold data. False with the reason in `why`.
    static bool canResumeAt(const DownloadRequest &request, qint32 sector, QString *why = nullptr);
    // The SHA-256 over the data bytes of all the image's blocks, as the record's fingerprint of a
    // download of `request` has it, resumed or not.
    static QByteArray imageFingerprint(const DownloadRequest &request);

    State state() const { return State(stateByte()); }
    bool retainData() const { return m_request.retainData; }
    qint32 bytesProgrammed() const { return m_bytesProgrammed; }
    qint64 progressMinimum() const;
    qint64 progressMaximum() const { return m_request.dataEnd; }
    const DownloadRequest &request() const { return m_request; }

    // The protocol's handlers; public so that tests can drive them one by one.
    void SerialResult();
    void SerialTxEmpty();
    void SerialResultNV();
    void SerialTxEmptyNV();
    void CANResult(const TCANMsg &msg);
    void CANResultNV(const TCANMsg &msg);
    void CANError(quint32 code);
    void StartCANPhase();

protected:
    void onBootConfirmed() override;
    void onSerialRx() override;
    void onSerialTxEmpty() override;
    void onCanResult(const TCANMsg &msg) override;
    void onCanError(quint32 code) override { CANError(code); }
    void onStartCanPhase() override { StartCANPhase(); }
    void onProgramRunning() override;
    QString abortedPrefix() const override;
    Place failurePlace() const override;
    QString finalReportText() const override;

private:
    // Receive step: stops the watchdog, reads what is waiting and returns the first byte, or -1
    // when there is nothing to act on. The second byte of the same read is kept in
    // m_nextByteOfRead (-1: none).
    int receiveAnswer();
    // The answer to the erase (state WaitErase).
    void eraseAnswered(quint8 b);
    void SendFlashBlock();
    void SendRetainBlock();
    void SendCANFlashBlock();
    void SendCANRetainBlock();
    // Up to `count` retain-values bytes from the image position on (none at the image end), with
    // the byte count shown before and the progress after.
    QByteArray nextRetainBytes(int count);
    void setState(State state) { setStateByte(quint8(state)); }
    void unexpectedReply();
    void succeed(const QString &finishedLine, const QString &successHeading);
    // Logs `line` and ends with the report `text` (default: the aborted heading and `line`).
    void endWithError(const QString &line, TransferOutcome outcome, const QString &text = {});
    // The total of the data bytes that the blocks will carry from the start position on, and
    // the SHA-256 of those of the whole image from `imageStart` on.
    void planTransfer(qint64 imageStart);
    // "Compare error!" with the sector and range of the block the target refused.
    QString compareErrorText() const;
    void sendCanBlock(const QByteArray &data);

    DownloadRequest m_request;
    bool m_retainHandlers = false; // serial events go to the retain-values handlers
    qint64 m_position = 0; // TransferImage position
    qint32 m_bytesProgrammed = 0;
    qint32 m_blockStart = 0;
    quint8 m_blockSector = 0;
    QByteArray m_lastFrame;
    int m_nextByteOfRead = -1;
    TCANMsg m_canCommand {};
    std::array<TCANMsg, 4> m_canData {};
};
