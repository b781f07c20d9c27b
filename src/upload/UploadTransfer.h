#pragma once

#include "base/BKGlobal.h"
#include "transfer/TransferBase.h"
#include "upload/CANUploadBatch.h"
#include "upload/CompareData.h"
#include "upload/UploadBlock.h"
#include "upload/UploadRegion.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

struct ImageState;

// What one reading of the device's memory needs to know, taken over when it is created.
struct UploadSetup
{
    DeviceKind deviceType = DeviceKind::Device46xx;
    qint32 FirstSector = 0;
    qint32 EndSector = 0; // exclusive; equal to FirstSector for the whole flash
    bool RetainMode = false;
    bool CompareMode = false;
    QString UploadChoiceText;
    qint32 comInterface = InterfaceRS232;
    int baudrateOrdinal = 7; // TBaudrate ordinal
    CanLink::Params can;
    // Compare mode: the image that the data read are compared with, and its file name.
    QByteArray compareImage;
    QString imageFile;

    // From the main window's request fields (and, for a compare, its image), the device type
    // and the settings.
    static UploadSetup fromSelections(const ImageState &image, DeviceKind deviceType,
                                      const TSettings &settings);
};

// One reading of a flash region or of the retain values: over RS-232 (blocks of 256 bytes with
// a check byte, re-requested on a bad check byte or a time-out) or, after the RS-232 start, over
// CAN (batches of 32 bytes). A presenter (the upload window or the command-line tool) starts it,
// answers the boot prompt and shows the final report. In compare mode a successful reading is
// then compared with the setup's image before the Finished event, whose record holds the
// compare's result; otherwise the presenter takes uploadData() after a successful reading.
class UploadTransfer : public TransferBase
{
    Q_OBJECT
public:
    enum class State : quint8 {
        Idle = 0,
        WaitTargetID = 1,
        WaitLoaderStarted = 2,
        WaitProgramStarted = 4,
        WaitStartSectorAck = 5,
        WaitEndSectorAck = 6,
        WaitBlock = 11,
        WaitRetainBlock = 13,
        ReceivingBlock = 14,
        ReceivingRetainBlock = 15,
        CANReading = 16,
    };

    // The first wait, for the identification and for the loader's start.
    static constexpr int InitialTimeoutMs = 1000;
    static constexpr int ProgramTimeoutMs = Bootstrap::ProgramStartTimeoutMs;
    static constexpr int SectorTimeoutMs = 1000;
    static constexpr int BlockTimeoutMs = 2000;
    static constexpr int RetainBlockTimeoutMs = 1500;
    static constexpr int CanTimeoutMs = 5000;
    // Re-requests after time-outs within one block; the next time-out ends the reading.
    static constexpr int MaxBlockRetries = 2;

    static constexpr quint8 BlockRequest = 0x55;
    static constexpr quint8 BlockRefused = 0x5A;
    static constexpr quint8 BlockHeader = 0xAA;
    static constexpr quint8 EndMark = 0xA5;
    static constexpr quint32 CanCommandId = 0x63F;

    UploadTransfer(const UploadSetup &setup, SerialLink &serial, CanLinkFactory canFactory,
                   QObject *parent = nullptr, TimerSource &timers = TimerSource::system());
    ~UploadTransfer() override;

    const UploadSetup &setup() const { return m_setup; }
    // The range read: progress minimum and maximum, the compared range.
    UploadRegion region() const { return m_region; }
    State state() const { return State(stateByte()); }
    // "Upload - " or "Compare - " and the choice's text.
    QString caption() const;
    // The data read: for a 46xx flash region 0x100000 bytes addressed by device address (and
    // the trailer after a partial read), else the bytes read from offset 0.
    const QByteArray &uploadData() const { return m_uploadData; }
    qint32 bytesRead() const { return m_uploadPos - m_region.start; }
    // The compare's result, once it has run (the record holds its summary).
    const CompareResult &compareResult() const { return m_compareResult; }

protected:
    void onBootConfirmed() override;
    void onSerialRx() override;
    void onCanResult(const TCANMsg &msg) override;
    void onCanError(quint32 code) override;
    void onStartCanPhase() override;
    void onTimeout() override;
    void onUserBreak() override;
    void onProgramRunning() override;
    QString abortedPrefix() const override;
    void onReported() override;
    Place failurePlace() const override;

private:
    // Compares the data read with `image` over the region into the record. Logs "Comparing
    // data..." and the outcome, reports progress every 256 bytes.
    void compare(QByteArrayView image);
    void setState(State state) { setStateByte(quint8(state)); }
    void answer(quint8 b, const char *data, qint64 count);
    void onStartSectorAck(quint8 b);
    void onEndSectorAck(quint8 b);
    void onBlockAnswer(const char *data, qint64 count);
    // Reads waiting bytes into the block; true when any were taken.
    bool collectBlockBytes();
    void blockBytesTaken();
    void CheckBlock();
    void StoreCANBlock();
    void completeReading();
    void storeData(QByteArrayView bytes);
    bool receiving() const
    {
        return state() == State::ReceivingBlock || state() == State::ReceivingRetainBlock;
    }

    UploadSetup m_setup;
    UploadRegion m_region;
    quint8 m_txByte = Bootstrap::BootByte;
    UploadBlock m_block;
    qint32 m_retryCount = 0;
    QByteArray m_uploadData;
    qint32 m_uploadPos = 0;
    QCryptographicHash m_hash {QCryptographicHash::Sha256}; // of the data read
    CANUploadBatch m_batch;
    CompareResult m_compareResult;
    TCANMsg m_canCommand;
};
