#pragma once

#include "base/DeviceKind.h"
#include "transfer/TransferMachine.h"
#include "upload/UploadRegion.h"

#include <QByteArray>
#include <QCryptographicHash>

// What a reading of the device asks for, as values.
struct UploadJob
{
    DeviceKind deviceType = DeviceKind::Device46xx;
    qint32 firstSector = 0;
    qint32 endSector = 0; // exclusive; equal to firstSector for the whole flash
    bool retainMode = false;
};

// What the upload's machines share: the region, the data read and where they land, and the
// end of the reading, which is a success only when every byte of the region has come.
class UploadMachine : public TransferMachine
{
public:
    // The first wait, for the identification and for the loader's start.
    static constexpr int InitialTimeoutMs = 1000;
    static constexpr int ProgramTimeoutMs = Bootstrap::ProgramStartTimeoutMs;

    static constexpr quint8 BlockRequest = 0x55;

    void bootConfirmed(MachineStep &step) override;
    QString abortedPrefix() const override;
    Place failurePlace() const override;

    const UploadJob &job() const { return m_job; }
    UploadRegion region() const { return m_region; }
    // The data read: for a 46xx flash region 0x100000 bytes addressed by device address (and
    // the trailer after a complete partial read), else the bytes read from offset 0.
    const QByteArray &uploadData() const { return m_uploadData; }
    qint32 bytesRead() const { return m_uploadPos - m_region.start; }
    // The bytes the reading asks the device for: the region (the 4610 board's reading ends on
    // a whole block, past the end of its NV parameters).
    qint32 bytesAsked() const;

protected:
    UploadMachine(UploadJob job, BootRules rules);

    bool dataComplete() const override;
    QString shortfallText() const override;

    // Stores a block; false, with the reading failed, when it would run past the bytes asked
    // for.
    bool storeData(QByteArrayView bytes, MachineStep &step);
    // A block or batch came past the bytes asked for: the reading fails.
    void sentTooMuch(MachineStep &step);
    // The device reported the end of the data.
    void completeReading(MachineStep &step);
    // The reading's log line for the sectors asked for.
    QString readingLine() const;

    UploadJob m_job;
    UploadRegion m_region;

private:
    QByteArray m_uploadData;
    qint32 m_uploadPos = 0;
    QCryptographicHash m_hash {QCryptographicHash::Sha256}; // of the data read
};
