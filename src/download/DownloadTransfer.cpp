#include "download/DownloadTransfer.h"

#include "comm/KTComm.h"
#include "core/ImageState.h"
#include "core/SectorMap.h"
#include "transfer/TargetFiles.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcDownload, "brasvik.download", QtWarningMsg)

namespace {

constexpr int RxBufferSize = 512;

QString hex6(qint64 v)
{
    return QStringLiteral("%1").arg(v, 6, 16, QLatin1Char('0')).toUpper();
}

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
                                   DownloadRequest request, QObject *parent, TimerSource &timers)
    : TransferBase(serial, std::move(canFactory), parent, timers), m_request(std::move(request))
{
    const TSettings &s = m_request.settings;
    m_retainHandlers = m_request.retainData;
    setResultText(abortedPrefix() + QStringLiteral("TIMEOUT"));
    m_operationWord = QStringLiteral("Download");
    m_useCan = TargetFiles::usesCan(m_request.deviceType, s.COMInterface);
    const TargetFiles::Names names
        = TargetFiles::choose(TargetFiles::Direction::Download, m_request.retainData,
                              m_request.deviceType, s.COMInterface, s.CANBaudrate);
    const QString dir = TargetFiles::directory();
    m_loaderFile = TargetFiles::resolve(dir, names.loader);
    m_programFile = TargetFiles::resolve(dir, names.program);
    m_baudrateOrdinal = m_request.deviceType == DeviceKind::Board4610 ? s.brCVBRDx : s.brDefault;
    m_canParams.epp = s.CANEPP;
    m_canParams.bitrateCode = s.CANBaudrate;
    m_canParams.extendedIds = false;
    m_canParams.portIndex = s.CANIOPort;
    m_canParams.interruptIndex = s.CANInterrupt;
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
        // Nothing from here on is known to hold the image until a block is answered.
        m_record.resumeSector = m_request.resumeSector;
    } else {
        m_request.resumeSector = -1;
    }
    m_position = progressMinimum();

    m_comInterface = s.COMInterface;
    m_bootstrapRules.programStartTimeoutMs
        = m_request.retainData ? RetainProgramStartTimeoutMs : FlashProgramStartTimeoutMs;
    // The board's flash program answers its start only after the (absent) sector bytes.
    if (!m_request.retainData && m_request.deviceType == DeviceKind::Board4610)
        m_bootstrapRules.stateAfterLoader = quint8(State::WaitEndSectorAck);

    m_record.operation = TransferOperation::Download;
    m_record.deviceType = m_request.deviceType;
    m_record.imageFile = m_request.fileName;
    m_record.startAddress = quint32(progressMinimum());
    m_record.endAddress = quint32(qMax<qint64>(0, m_request.dataEnd));
    m_record.retain = m_request.retainData;
    planTransfer(imageStart);
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

void DownloadTransfer::planTransfer(qint64 imageStart)
{
    const Plan p = plan(m_request, imageStart, progressMinimum(),
                        m_request.deviceType == DeviceKind::Board4610 && !usesCan());
    m_record.totalBytes = p.total;
    m_record.imageSha256 = p.sha256;
}

TransferBase::Place DownloadTransfer::failurePlace() const
{
    if (m_retainHandlers)
        return {-1, m_blockStart};
    return {m_blockSector, m_blockStart};
}

DownloadTransfer::~DownloadTransfer()
{
    shutdown();
}

qint64 DownloadTransfer::progressMinimum() const
{
    return SectorStart(m_request.firstSector);
}

QString DownloadTransfer::abortedPrefix() const
{
    return m_retainHandlers ? QStringLiteral("Retain values programming aborted:\r\n\r\n")
                            : QStringLiteral("Flash programming aborted:\r\n\r\n");
}

QString DownloadTransfer::compareErrorText() const
{
    return abortedPrefix()
        + QStringLiteral("Compare error!\r\n\r\nSector: %1\r\nRange:  %2h to %3h")
              .arg(m_blockSector)
              .arg(hex6(m_blockStart), hex6(m_position));
}

QString DownloadTransfer::finalReportText() const
{
    QString text = TransferBase::finalReportText();
    if (m_request.reportResumeSector && outcome() != TransferOutcome::Success
        && m_record.resumeSector >= 0 && !m_request.retainData
        && m_request.deviceType != DeviceKind::Board4610)
        text += QStringLiteral("\r\n\r\nProgramming can be resumed from sector %1.")
                    .arg(m_record.resumeSector);
    return text;
}

void DownloadTransfer::onBootConfirmed()
{
    if (!m_request.resumeNote.isEmpty())
        log(m_request.resumeNote);
    sendBootByte();
}

void DownloadTransfer::onSerialRx()
{
    if (m_retainHandlers)
        SerialResultNV();
    else
        SerialResult();
}

void DownloadTransfer::onSerialTxEmpty()
{
    if (m_retainHandlers)
        SerialTxEmptyNV();
    else
        SerialTxEmpty();
}

void DownloadTransfer::onCanResult(const TCANMsg &msg)
{
    if (m_request.retainData)
        CANResultNV(msg);
    else
        CANResult(msg);
}

void DownloadTransfer::SerialTxEmpty()
{
    TransferBase::onSerialTxEmpty();
}

void DownloadTransfer::SerialTxEmptyNV()
{
    TransferBase::onSerialTxEmpty();
}

int DownloadTransfer::receiveAnswer()
{
    const qint64 waiting = serial().inputCount();
    char buffer[RxBufferSize];
    if (isIdle() || inCanPhase()) {
        // Discarded. The watchdog is left alone: after a line error it is what ends the
        // transfer, and during the CAN phase it guards the CAN replies; a stray byte must
        // neither stop it nor start the CAN phase over.
        if (waiting > 0)
            serial().read(buffer, qMin<qint64>(waiting, RxBufferSize));
        return -1;
    }
    stopWatchdog();
    m_nextByteOfRead = -1;
    const qint64 n = waiting <= 0 ? 0 : serial().read(buffer, qMin<qint64>(waiting, RxBufferSize));
    if (n <= 0) {
        armWatchdog();
        return -1;
    }
    // Later bytes of the same event are dropped: the target answers one byte per request. The
    // erase answer after the end sector's acknowledgement is the exception (SerialResult).
    if (n > 1)
        m_nextByteOfRead = quint8(buffer[1]);
    return quint8(buffer[0]);
}

void DownloadTransfer::unexpectedReply()
{
    setOutcome(TransferOutcome::Aborted);
    endSoon();
}

void DownloadTransfer::endWithError(const QString &line, TransferOutcome outcome,
                                    const QString &text)
{
    log(line);
    setResult(outcome, text.isEmpty() ? abortedPrefix() + line : text);
    scheduleFinish();
}

void DownloadTransfer::succeed(const QString &finishedLine, const QString &successHeading)
{
    const qint64 used = elapsedMs();
    log(finishedLine);
    m_record.bytes = m_bytesProgrammed;
    setResult(TransferOutcome::Success,
              successHeading
                  + QStringLiteral("\r\n\r\n%1 bytes programmed\r\n\r\nUsed time: %2 ms")
                        .arg(m_bytesProgrammed)
                        .arg(used));
    scheduleFinish();
}

void DownloadTransfer::onProgramRunning()
{
    if (m_retainHandlers) {
        log(QStringLiteral("Start retain values programming..."));
        enterPhase(TransferPhase::Data);
        setState(State::RetainProgramming);
        setWatchdogInterval(RetainBlockTimeoutMs);
        SendRetainBlock();
        return;
    }
    enterPhase(TransferPhase::Sectors);
    log(QStringLiteral("Transmitting start sector: %1...").arg(m_request.firstSector));
    setWatchdogInterval(SectorAckTimeoutMs);
    setState(State::WaitStartSectorAck);
    sendByte(quint8(m_request.firstSector));
}

void DownloadTransfer::SerialResult()
{
    const int answer = receiveAnswer();
    if (answer < 0)
        return;
    const quint8 b = quint8(answer);
    if (bootstrapAnswer(b))
        return;
    switch (state()) {
    case State::WaitStartSectorAck:
        if (b != Acknowledge) {
            unexpectedReply();
            break;
        }
        log(QStringLiteral("1 Byte transmitted"));
        // The log names the count, the wire carries the end sector (0 for the whole flash).
        log(QStringLiteral("Transmitting sector count: %1...")
                .arg(m_request.endSector == m_request.firstSector
                         ? SectorCount
                         : m_request.endSector - m_request.firstSector));
        setState(State::WaitEndSectorAck);
        sendByte(quint8(m_request.endSector));
        break;
    case State::WaitEndSectorAck:
        if (b != Acknowledge) {
            unexpectedReply();
            break;
        }
        if (m_request.deviceType == DeviceKind::Board4610) {
            // The board's program answers here that it runs.
            programStarted();
        } else {
            log(QStringLiteral("1 Byte transmitted"));
        }
        if (m_request.endSector == m_request.firstSector)
            log(QStringLiteral("Erasing all flash sectors..."));
        else
            log(QStringLiteral("Erasing flash sectors %1 up to %2...")
                    .arg(m_request.firstSector)
                    .arg(m_request.endSector - 1));
        enterPhase(TransferPhase::Erase);
        setState(State::WaitErase);
        setWatchdogInterval(EraseTimeoutMs);
        armWatchdog();
        // The erase answer follows the acknowledgement without a request of its own; after a
        // quick erase, or when the host was busy, both come in one read. Dropping it would
        // leave the transfer waiting out the whole erase time.
        if (m_nextByteOfRead >= 0) {
            stopWatchdog();
            eraseAnswered(quint8(m_nextByteOfRead));
        }
        break;
    case State::WaitErase:
        eraseAnswered(b);
        break;
    case State::Programming:
        switch (b) {
        case BlockOk:
            SendFlashBlock();
            break;
        case CompareError:
            endWithError(QStringLiteral("Compare error!"), TransferOutcome::Failed,
                         compareErrorText());
            break;
        case Refused:
            // The whole frame again, checksum included.
            ++m_record.blocksResent;
            sendSerial(m_lastFrame);
            break;
        case Acknowledge:
            succeed(QStringLiteral("Flash programming finished!"),
                    QStringLiteral("Flash programming successful:"));
            break;
        default:
            armWatchdog();
            break;
        }
        break;
    default:
        break;
    }
}

void DownloadTransfer::eraseAnswered(quint8 b)
{
    if (b == quint8(m_request.endSector) && b != Refused) {
        if (b != 0)
            log(QStringLiteral("Flash sectors %1 up to %2 erased")
                    .arg(m_request.firstSector)
                    .arg(m_request.endSector - 1));
        else
            log(QStringLiteral("Flash erased"));
        log(QStringLiteral("Start flash programming..."));
        enterPhase(TransferPhase::Data);
        setState(State::Programming);
        setWatchdogInterval(FlashBlockTimeoutMs);
        SendFlashBlock();
    } else {
        endWithError(QStringLiteral("Flash erase error!"), TransferOutcome::Failed);
    }
}

void DownloadTransfer::SerialResultNV()
{
    const int answer = receiveAnswer();
    if (answer < 0)
        return;
    const quint8 b = quint8(answer);
    if (bootstrapAnswer(b) || state() != State::RetainProgramming)
        return;
    switch (b) {
    case BlockOk:
        SendRetainBlock();
        break;
    case CompareError:
        endWithError(QStringLiteral("Compare error!"), TransferOutcome::Failed);
        break;
    case Refused:
        ++m_record.blocksResent;
        sendSerial(m_lastFrame);
        break;
    case Acknowledge:
        succeed(QStringLiteral("Retain values programming finished!"),
                QStringLiteral("Retain values programming successful:"));
        break;
    default:
        armWatchdog();
        break;
    }
}

void DownloadTransfer::SendFlashBlock()
{
    m_record.bytes = m_bytesProgrammed;
    emit statusText(QStringLiteral("%1 bytes programmed").arg(m_bytesProgrammed));
    const DownloadFrames::FlashBlock block
        = DownloadFrames::nextFlashBlock(m_request.image, m_position, m_request.dataEnd,
                                         m_request.deviceType == DeviceKind::Board4610);
    m_position = block.nextPosition;
    if (!block.data.isEmpty()) {
        m_blockStart = block.start;
        m_blockSector = block.sector;
    }
    reportProgress(m_position);
    if (block.data.isEmpty()) {
        if (m_position < m_request.dataEnd && m_position < m_request.image.size()) {
            // The NV parameters of the combined 4610 image follow its flash part.
            m_retainHandlers = true;
            m_record.resumeSector = -1; // the NV part is always downloaded whole
            setResultText(abortedPrefix() + QStringLiteral("TIMEOUT"));
            setState(State::RetainProgramming);
            sendByte(DownloadFrames::SwitchToRetain);
        } else {
            sendByte(DownloadFrames::EndOfData);
        }
        return;
    }
    m_bytesProgrammed += int(block.data.size());
    ++m_record.blocks;
    m_record.resumeSector = m_blockSector;
    m_lastFrame = DownloadFrames::flashBlockFrame(block);
    sendSerial(m_lastFrame);
}

QByteArray DownloadTransfer::nextRetainBytes(int count)
{
    m_record.bytes = m_bytesProgrammed;
    emit statusText(QStringLiteral("%1 bytes programmed").arg(m_bytesProgrammed));
    QByteArray data;
    if (m_position < m_request.image.size()) {
        m_blockStart = qint32(m_position);
        data = m_request.image.mid(m_position, count);
        m_position += data.size();
    }
    reportProgress(m_position);
    if (!data.isEmpty())
        ++m_record.blocks;
    return data;
}

void DownloadTransfer::SendRetainBlock()
{
    const QByteArray data = nextRetainBytes(DownloadFrames::RetainFrameBytes);
    if (data.isEmpty()) {
        sendByte(DownloadFrames::EndOfData);
        return;
    }
    m_bytesProgrammed += int(data.size());
    m_lastFrame = DownloadFrames::retainBlockFrame(data);
    sendSerial(m_lastFrame);
}
