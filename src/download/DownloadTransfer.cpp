#include "download/DownloadTransfer.h"

#include "core/ImageState.h"
#include "core/SectorMap.h"
#include "download/CanDownload.h"
#include "download/DownloadFrames.h"
#include "download/SerialFlashDownload.h"
#include "download/SerialRetainDownload.h"
#include "transfer/TargetFiles.h"

#include <QFileInfo>

#include <QCryptographicHash>

namespace {

struct Plan
{
    qint64 total = 0; // data bytes from `sendStart` on
    QByteArray sha256; // of the data bytes from `imageStart` on
};

// The blocks a download will send, built as the protocol builds them: their bytes give the total
// and the fingerprint of what goes to the device. A resumed download sends only those from
// `sendStart` on, and keeps the fingerprint of the whole image.
Plan plan(const DownloadRequest &request, qint64 imageStart, qint64 sendStart, bool boardLimit)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    Plan result;
    qint64 position = imageStart;
    bool retainPart = request.retainData;
    if (!retainPart) {
        for (;;) {
            const DownloadFrames::FlashBlock block = DownloadFrames::nextFlashBlock(
                request.image, position, request.dataEnd, boardLimit);
            position = block.nextPosition;
            if (block.data.isEmpty())
                break;
            if (block.start >= sendStart)
                result.total += block.data.size();
            hash.addData(block.data);
        }
        // The NV parameters of a combined 4610 image follow its flash part.
        retainPart = boardLimit && position < request.dataEnd && position < request.image.size();
    }
    if (retainPart && position < request.image.size()) {
        const QByteArrayView rest = QByteArrayView(request.image).sliced(position);
        result.total += rest.size();
        hash.addData(rest);
    }
    result.sha256 = hash.result();
    return result;
}

bool boardLimitOf(const DownloadRequest &request)
{
    return request.deviceType == DeviceKind::Board4610
        && !TargetFiles::usesCan(request.deviceType, request.settings.COMInterface);
}

} // namespace

DownloadRequest DownloadRequest::fromImage(const ImageState &image, DeviceKind deviceType,
                                           const TSettings &settings)
{
    DownloadRequest request;
    request.image = image.ImageBuffer;
    request.fileName = image.FileName;
    request.firstSector = image.FirstSector;
    request.endSector = image.EndSector;
    request.dataEnd = image.DataEnd;
    request.retainData = image.RetainData;
    request.deviceType = deviceType;
    request.settings = settings;
    return request;
}

DownloadTransfer::DownloadTransfer(SerialLink &serial, CanLinkFactory canFactory,
                                   DownloadRequest request, const TransferSetup &setup,
                                   QObject *parent)
    : TransferSession(serial, std::move(canFactory), setup, parent), m_request(std::move(request))
{
    const TSettings &s = m_request.settings;
    m_operationWord = QStringLiteral("Download");
    m_useCan = TargetFiles::usesCan(m_request.deviceType, s.COMInterface);
    const TargetFiles::Names names
        = TargetFiles::choose(TargetFiles::Direction::Download, m_request.retainData,
                              m_request.deviceType, s.COMInterface, s.CANBaudrate);
    m_loaderFile = TargetFiles::resolve(setup.targetDirectory, names.loader);
    m_programFile = TargetFiles::resolve(setup.targetDirectory, names.program);
    m_baudrateOrdinal = m_request.deviceType == DeviceKind::Board4610 ? s.brCVBRDx : s.brDefault;
    m_canParams.epp = s.CANEPP;
    m_canParams.bitrateCode = s.CANBaudrate;
    m_canParams.extendedIds = false;
    m_canParams.portIndex = s.CANIOPort;
    m_canParams.interruptIndex = s.CANInterrupt;
    m_comInterface = s.COMInterface;
    // The record keeps the image's own sectors; a resumed download tells the device its later
    // start, and the end sector instead of the whole flash's 0, which only the first sector
    // would mean.
    m_record.firstSector = m_request.firstSector;
    m_record.endSector = m_request.endSector;
    const qint64 imageStart = SectorStart(m_request.firstSector);
    if (m_request.resumeSector >= 0 && canResumeAt(m_request, m_request.resumeSector)) {
        if (m_request.endSector == m_request.firstSector)
            m_request.endSector = SectorCount;
        m_request.firstSector = m_request.resumeSector;
        m_record.resumedFromSector = m_request.resumeSector;
    } else {
        m_request.resumeSector = -1;
    }

    m_record.operation = TransferOperation::Download;
    m_record.deviceType = m_request.deviceType;
    // Absolute, so that the record still names the file when read from elsewhere.
    m_record.imageFile = m_request.fileName.isEmpty()
        ? QString()
        : QFileInfo(m_request.fileName).absoluteFilePath();
    m_record.startAddress = quint32(progressMinimum());
    m_record.endAddress = quint32(qMax<qint64>(0, m_request.dataEnd));
    m_record.retain = m_request.retainData;
    DownloadJob job = jobFor(m_request, imageStart, &m_record.imageSha256);
    m_record.totalBytes = job.plannedBytes;
    setMachine(machineFor(m_request, std::move(job)));
}

DownloadJob DownloadTransfer::jobFor(const DownloadRequest &request, qint64 imageStart,
                                     QByteArray *sha256)
{
    DownloadJob job;
    job.image = request.image;
    job.dataEnd = request.dataEnd;
    job.firstSector = request.firstSector;
    job.endSector = request.endSector;
    job.retainData = request.retainData;
    job.deviceType = request.deviceType;
    job.startPosition = SectorStart(request.firstSector);
    if (imageStart < 0)
        imageStart = job.startPosition;
    // One pass over the image gives both the total and the fingerprint.
    const Plan p = plan(request, imageStart, job.startPosition, boardLimitOf(request));
    job.plannedBytes = p.total;
    if (sha256)
        *sha256 = p.sha256;
    // Nothing from a resumed start on is known to hold the image until a block is answered.
    job.resumeSector = request.resumeSector;
    job.resumeNote = request.resumeNote;
    return job;
}

std::unique_ptr<DownloadMachine> DownloadTransfer::machineFor(const DownloadRequest &request,
                                                              DownloadJob job)
{
    if (TargetFiles::usesCan(request.deviceType, request.settings.COMInterface))
        return std::make_unique<CanDownload>(std::move(job));
    if (request.retainData)
        return std::make_unique<SerialRetainDownload>(std::move(job));
    return std::make_unique<SerialFlashDownload>(std::move(job));
}

DownloadTransfer::~DownloadTransfer()
{
    shutdown();
}

bool DownloadTransfer::canResumeAt(const DownloadRequest &request, qint32 sector, QString *why)
{
    QString reason;
    const qint32 last = request.dataEnd > 0 ? SectorOfAddress(request.dataEnd - 1) : -1;
    qint32 end = last + 1;
    if (request.endSector != request.firstSector)
        end = qMin(end, request.endSector);
    if (request.retainData)
        reason = QStringLiteral("retain values are always downloaded whole");
    else if (request.deviceType == DeviceKind::Board4610)
        reason = QStringLiteral("the 4610 board erases its whole flash whenever a download "
                                "starts, so its image is always downloaded whole");
    else if (end <= request.firstSector)
        reason = QStringLiteral("the image holds no flash data");
    else if (sector < request.firstSector || sector >= end)
        reason = QStringLiteral("sector %1 is outside the image's sectors %2 to %3")
                     .arg(sector)
                     .arg(request.firstSector)
                     .arg(end - 1);
    if (why)
        *why = reason;
    return reason.isEmpty();
}

QByteArray DownloadTransfer::imageFingerprint(const DownloadRequest &request)
{
    const qint64 start = SectorStart(request.firstSector);
    return plan(request, start, start, boardLimitOf(request)).sha256;
}

qint32 DownloadTransfer::bytesProgrammed() const
{
    return static_cast<const DownloadMachine &>(machine()).bytesProgrammed();
}

qint64 DownloadTransfer::progressMinimum() const
{
    return SectorStart(m_request.firstSector);
}

QString DownloadTransfer::finalReportText() const
{
    QString text = TransferSession::finalReportText();
    if (m_request.reportResumeSector && machine().outcome() != TransferOutcome::Success
        && m_record.resumeSector >= 0 && !m_request.retainData
        && m_request.deviceType != DeviceKind::Board4610)
        text += QStringLiteral("\r\n\r\nProgramming can be resumed from sector %1.")
                    .arg(m_record.resumeSector);
    return text;
}
