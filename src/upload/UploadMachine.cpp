#include "upload/UploadMachine.h"

#include "core/B86Format.h"
#include "core/SectorMap.h"

#include <cstring>

UploadMachine::UploadMachine(UploadJob job, BootRules rules)
    : TransferMachine(std::move(rules), InitialTimeoutMs)
    , m_job(job)
    , m_region(UploadRegion::of(job.deviceType, job.retainMode, job.firstSector, job.endSector))
{
    setResultText(abortedPrefix() + QStringLiteral("TIMEOUT"));
}

QString UploadMachine::abortedPrefix() const
{
    return m_job.retainMode ? QStringLiteral("Retain values reading aborted:\r\n\r\n")
                            : QStringLiteral("Flash reading aborted:\r\n\r\n");
}

void UploadMachine::bootConfirmed(MachineStep &step)
{
    // A 46xx flash region is read into a 1 MiB image of erased flash, addressed by device
    // address; everything else is appended from offset 0.
    if (UploadWire::prefilledBuffer(m_job.deviceType, m_job.retainMode)) {
        m_uploadData = QByteArray(FlashSize46xx, char(0xFF));
        m_uploadPos = m_region.start;
    } else {
        m_uploadData.clear();
        m_uploadPos = 0;
    }
    m_hash.reset();
    step.progress(m_region.start);
    TransferMachine::bootConfirmed(step);
}

TransferMachine::Place UploadMachine::failurePlace() const
{
    // The block being read starts where the data read so far end.
    const bool sectors = m_job.deviceType == DeviceKind::Device46xx && !m_job.retainMode
        && m_uploadPos < FlashSize46xx;
    return {sectors ? SectorOfAddress(m_uploadPos) : -1, m_uploadPos};
}

qint32 UploadMachine::bytesAsked() const
{
    if (m_job.deviceType == DeviceKind::Board4610 && !m_job.retainMode)
        return qint32(B86Format::Length4610WithNv);
    return m_region.end - m_region.start;
}

bool UploadMachine::dataComplete() const
{
    return bytesRead() == bytesAsked();
}

QString UploadMachine::shortfallText() const
{
    return QStringLiteral("The device ended the reading after %1 of %2 bytes.")
        .arg(bytesRead())
        .arg(m_region.end - m_region.start);
}

bool UploadMachine::storeData(QByteArrayView bytes, MachineStep &step)
{
    if (qint64(bytesRead()) + bytes.size() > bytesAsked()) {
        sentTooMuch(step);
        return false;
    }
    const qint64 end = qint64(m_uploadPos) + bytes.size();
    if (end > m_uploadData.size())
        m_uploadData.resize(end, char(0xFF));
    std::memcpy(m_uploadData.data() + m_uploadPos, bytes.data(), size_t(bytes.size()));
    m_uploadPos = qint32(end);
    m_hash.addData(bytes);
    m_tally.bytes = bytesRead();
    ++m_tally.blocks;
    step.status(QStringLiteral("%1 bytes have been read").arg(bytesRead()));
    step.progress(m_uploadPos);
    return true;
}

void UploadMachine::sentTooMuch(MachineStep &step)
{
    // Nothing past the region is taken: the reading is not the region's any more.
    endWithError(
        step, QStringLiteral("The device sent more than the %1 bytes asked for.").arg(bytesAsked()),
        TransferOutcome::Failed);
}

void UploadMachine::completeReading(MachineStep &step)
{
    const bool retain = m_job.retainMode;
    if (!dataComplete()) {
        // An end before the region is whole is no backup: nothing read may pass for the image.
        succeed(step, QString(), QString());
        return;
    }
    const QString text = (retain ? QStringLiteral("Retain values reading successful:\r\n\r\n")
                                 : QStringLiteral("Flash reading successful:\r\n\r\n"))
        + QStringLiteral("%1 bytes have been read").arg(bytesRead())
        + QStringLiteral("\r\n\r\nUsed time: %1 ms").arg(step.elapsedMs());
    if (UploadWire::appendsTrailer(m_job.deviceType, retain, m_job.firstSector, m_job.endSector)) {
        const qint32 sectors[2] = {m_job.firstSector, m_job.endSector};
        for (qint32 s : sectors) {
            for (int i = 0; i < 4; ++i)
                m_uploadData.append(char((quint32(s) >> (8 * i)) & 0xFF));
        }
    }
    m_tally.sha256 = m_hash.result();
    // Whatever still arrives belongs to no reading.
    succeed(step,
            retain ? QStringLiteral("Retain values reading finished!")
                   : QStringLiteral("Flash reading finished!"),
            text);
}

QString UploadMachine::readingLine() const
{
    if (m_job.firstSector != m_job.endSector)
        return QStringLiteral("Reading flash data sectors %1 up to %2...")
            .arg(m_job.firstSector)
            .arg(m_job.endSector - 1);
    return QStringLiteral("Reading all flash data sectors...");
}
