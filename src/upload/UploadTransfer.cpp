#include "upload/UploadTransfer.h"

#include "comm/KTComm.h"
#include "core/ImageState.h"
#include "core/SectorMap.h"
#include "transfer/TargetFiles.h"

#include <QLoggingCategory>

#include <array>
#include <cstring>

Q_LOGGING_CATEGORY(lcUpload, "brasvik.upload", QtWarningMsg)

namespace {

// Outside block collection one read takes at most this many bytes.
constexpr qint64 RxBufferSize = 513;
constexpr quint8 SectorAck = 0xAA;

} // namespace

UploadSetup UploadSetup::fromSelections(const ImageState &image, DeviceKind deviceType,
                                        const TSettings &settings)
{
    UploadSetup setup;
    setup.deviceType = deviceType;
    setup.FirstSector = image.FirstSector;
    setup.EndSector = image.EndSector;
    setup.RetainMode = image.RetainData;
    setup.CompareMode = image.CompareMode;
    setup.UploadChoiceText = image.UploadChoiceText;
    setup.comInterface = settings.COMInterface;
    setup.baudrateOrdinal
        = deviceType == DeviceKind::Board4610 ? settings.brCVBRDx : settings.brDefault;
    setup.can.epp = settings.CANEPP;
    setup.can.bitrateCode = settings.CANBaudrate;
    setup.can.extendedIds = false;
    setup.can.portIndex = settings.CANIOPort;
    setup.can.interruptIndex = settings.CANInterrupt;
    if (image.CompareMode) {
        setup.compareImage = image.ImageBuffer;
        setup.imageFile = image.FileName;
    }
    return setup;
}

UploadTransfer::UploadTransfer(const UploadSetup &setup, SerialLink &serial,
                               CanLinkFactory canFactory, QObject *parent, TimerSource &timers)
    : TransferBase(serial, std::move(canFactory), parent, timers)
    , m_setup(setup)
    , m_region(
          UploadRegion::of(setup.deviceType, setup.RetainMode, setup.FirstSector, setup.EndSector))
{
    const TargetFiles::Names names
        = TargetFiles::choose(TargetFiles::Direction::Upload, setup.RetainMode, setup.deviceType,
                              setup.comInterface, setup.can.bitrateCode);
    const QString dir = TargetFiles::directory();
    m_loaderFile = TargetFiles::resolve(dir, names.loader);
    m_programFile = TargetFiles::resolve(dir, names.program);
    m_useCan = TargetFiles::usesCan(setup.deviceType, setup.comInterface);
    m_baudrateOrdinal = setup.baudrateOrdinal;
    m_canParams = setup.can;
    m_operationWord = QStringLiteral("Upload");

    setWatchdogInterval(InitialTimeoutMs);
    setResultText(abortedPrefix() + QStringLiteral("TIMEOUT"));
    // A wrong answer to the loader (and to the retain values' program) waits out the current
    // interval. A line error keeps the state: during a block its short wait is a block time-out.
    m_bootstrapRules.programStartTimeoutMs = ProgramTimeoutMs;
    m_bootstrapRules.shortWaitOnWrongLoaderAnswer = false;
    m_bootstrapRules.shortWaitOnWrongProgramAnswer = !setup.RetainMode;
    if (!setup.RetainMode && setup.deviceType != DeviceKind::Device46xx)
        m_bootstrapRules.stateAfterLoader = quint8(State::WaitEndSectorAck);
    m_bootstrapRules.lineErrorStopsProtocol = false;

    m_comInterface = setup.comInterface;
    m_record.operation = setup.CompareMode ? TransferOperation::Compare : TransferOperation::Upload;
    m_record.deviceType = setup.deviceType;
    m_record.imageFile = setup.CompareMode ? setup.imageFile : QString();
    m_record.firstSector = setup.FirstSector;
    m_record.endSector = setup.EndSector;
    m_record.startAddress = quint32(m_region.start);
    m_record.endAddress = quint32(m_region.end);
    m_record.retain = setup.RetainMode;
    m_record.totalBytes = m_region.end - m_region.start;
    m_canCommand.ID = CanCommandId;
    m_canCommand.MsgType = MSGTYPE_STANDARD;
}

UploadTransfer::~UploadTransfer()
{
    // Nothing may reach the protocol handlers once this part of the object is gone.
    shutdown();
}

QString UploadTransfer::caption() const
{
    return (m_setup.CompareMode ? QStringLiteral("Compare - ") : QStringLiteral("Upload - "))
        + m_setup.UploadChoiceText;
}

QString UploadTransfer::abortedPrefix() const
{
    return m_setup.RetainMode ? QStringLiteral("Retain values reading aborted:\r\n\r\n")
                              : QStringLiteral("Flash reading aborted:\r\n\r\n");
}

void UploadTransfer::onUserBreak()
{
    setState(State::Idle);
}

void UploadTransfer::onBootConfirmed()
{
    // A 46xx flash region is read into a 1 MiB image of erased flash, addressed by device
    // address; everything else is appended from offset 0.
    if (UploadWire::prefilledBuffer(m_setup.deviceType, m_setup.RetainMode)) {
        m_uploadData = QByteArray(FlashSize46xx, char(0xFF));
        m_uploadPos = m_region.start;
    } else {
        m_uploadData.clear();
        m_uploadPos = 0;
    }
    m_block.reset();
    m_retryCount = 0;
    m_batch.clear();
    m_hash.reset();
    reportProgress(m_region.start);
    m_txByte = Bootstrap::BootByte;
    sendBootByte();
}

void UploadTransfer::onSerialRx()
{
    std::array<char, RxBufferSize> rx;
    if (isIdle() || inCanPhase()) {
        // Nothing is expected: consume and drop. A running watchdog is the end of a user break
        // or an abort, or guards the CAN phase, and is left alone.
        while (serial().inputCount() > 0 && serial().read(rx.data(), qint64(rx.size())) > 0) { }
        return;
    }
    stopWatchdog();
    if (receiving()) {
        if (!collectBlockBytes())
            armWatchdog();
        return;
    }
    const qint64 n = serial().inputCount();
    if (n <= 0) {
        armWatchdog();
        return;
    }
    const qint64 count = serial().read(rx.data(), std::min<qint64>(n, RxBufferSize));
    if (count <= 0) {
        armWatchdog();
        return;
    }
    answer(quint8(rx[0]), rx.data(), count);
}

void UploadTransfer::answer(quint8 b, const char *data, qint64 count)
{
    if (bootstrapAnswer(b))
        return;
    switch (state()) {
    case State::WaitStartSectorAck:
        onStartSectorAck(b);
        break;
    case State::WaitEndSectorAck:
        onEndSectorAck(b);
        break;
    case State::WaitBlock:
    case State::WaitRetainBlock:
        onBlockAnswer(data, count);
        break;
    default:
        // CAN phase or finished: the bytes are dropped and the watchdog stays off.
        break;
    }
}

void UploadTransfer::onProgramRunning()
{
    if (m_setup.RetainMode) {
        log(QStringLiteral("Reading retain values..."));
        enterPhase(TransferPhase::Data);
        setState(State::WaitRetainBlock);
        m_txByte = BlockRequest;
        setWatchdogInterval(RetainBlockTimeoutMs);
        sendByte(m_txByte);
        return;
    }
    enterPhase(TransferPhase::Sectors);
    log(QStringLiteral("Transmitting start sector: %1...").arg(m_setup.FirstSector));
    setState(State::WaitStartSectorAck);
    setWatchdogInterval(SectorTimeoutMs);
    sendByte(quint8(UploadWire::serialSectorBytes(m_setup.FirstSector, m_setup.EndSector).at(0)));
}

void UploadTransfer::onStartSectorAck(quint8 b)
{
    if (b != SectorAck) {
        setOutcome(TransferOutcome::Aborted);
        endSoon();
        return;
    }
    log(QStringLiteral("1 Byte transmitted"));
    // The count is what the memo shows; the byte sent is the end sector itself.
    const qint32 count = m_setup.EndSector == m_setup.FirstSector
        ? SectorCount
        : m_setup.EndSector - m_setup.FirstSector;
    log(QStringLiteral("Transmitting sector count: %1...").arg(count));
    setState(State::WaitEndSectorAck);
    sendByte(quint8(UploadWire::serialSectorBytes(m_setup.FirstSector, m_setup.EndSector).at(1)));
}

void UploadTransfer::onEndSectorAck(quint8 b)
{
    if (b != SectorAck) {
        setOutcome(TransferOutcome::Aborted);
        armWatchdog();
        return;
    }
    if (m_setup.deviceType == DeviceKind::Device46xx) {
        log(QStringLiteral("1 Byte transmitted"));
        if (m_setup.FirstSector != m_setup.EndSector) {
            log(QStringLiteral("Reading flash data sectors %1 up to %2...")
                    .arg(m_setup.FirstSector)
                    .arg(m_setup.EndSector - 1));
        } else {
            log(QStringLiteral("Reading all flash data sectors..."));
        }
    } else {
        // The board's program answers here that it runs.
        programStarted();
        log(QStringLiteral("Reading all flash data sectors and NV parameter..."));
    }
    enterPhase(TransferPhase::Data);
    setState(State::WaitBlock);
    m_txByte = BlockRequest;
    setWatchdogInterval(BlockTimeoutMs);
    sendByte(m_txByte);
}

void UploadTransfer::onBlockAnswer(const char *data, qint64 count)
{
    const quint8 b = quint8(data[0]);
    if (b == EndMark) {
        completeReading();
        return;
    }
    if (b != BlockHeader) {
        armWatchdog();
        return;
    }
    setState(state() == State::WaitRetainBlock ? State::ReceivingRetainBlock
                                               : State::ReceivingBlock);
    // The header often arrives together with the first block bytes.
    if (count > 1 && m_block.append(QByteArrayView(data + 1, count - 1)) > 0)
        blockBytesTaken();
    else
        armWatchdog();
}

bool UploadTransfer::collectBlockBytes()
{
    const qint64 n = serial().inputCount();
    if (n <= 0)
        return false;
    std::array<char, UploadBlock::FrameSize> buf;
    const qint64 count = serial().read(buf.data(), std::min<qint64>(n, m_block.room()));
    if (count <= 0)
        return false;
    m_block.append(QByteArrayView(buf.data(), count));
    blockBytesTaken();
    return true;
}

void UploadTransfer::blockBytesTaken()
{
    if (m_block.complete())
        CheckBlock();
    else
        armWatchdog();
}

void UploadTransfer::CheckBlock()
{
    if (m_block.isGood()) {
        storeData(m_block.data());
        m_txByte = BlockRequest;
    } else {
        // Answered with a re-request; bad check bytes are not counted against the block.
        qCDebug(lcUpload) << "bad check byte at" << m_uploadPos;
        m_txByte = BlockRefused;
        ++m_record.blocksResent;
    }
    m_retryCount = 0;
    m_block.reset();
    setState(state() == State::ReceivingRetainBlock ? State::WaitRetainBlock : State::WaitBlock);
    setResultText(abortedPrefix() + QStringLiteral("TIMEOUT"));
    // The device sends nothing more until it has the request: whatever came beyond the block
    // (stray bytes, the tail of a block that slipped) would be read as the next answer.
    serial().discardInput();
    sendByte(m_txByte);
}

void UploadTransfer::storeData(QByteArrayView bytes)
{
    const qint64 end = qint64(m_uploadPos) + bytes.size();
    if (end > m_uploadData.size())
        m_uploadData.resize(end, char(0xFF));
    std::memcpy(m_uploadData.data() + m_uploadPos, bytes.data(), size_t(bytes.size()));
    m_uploadPos = qint32(end);
    m_hash.addData(bytes);
    m_record.bytes = bytesRead();
    ++m_record.blocks;
    emit statusText(QStringLiteral("%1 bytes have been read").arg(bytesRead()));
    reportProgress(m_uploadPos);
}

void UploadTransfer::onTimeout()
{
    if (!receiving()) {
        TransferBase::onTimeout();
        return;
    }
    // Late bytes are still taken; otherwise the block is asked for again, twice at most.
    if (collectBlockBytes())
        return;
    if (m_retryCount >= MaxBlockRetries) {
        TransferBase::onTimeout();
        return;
    }
    ++m_retryCount;
    ++m_record.blocksResent;
    m_block.reset();
    m_txByte = BlockRefused;
    setState(state() == State::ReceivingRetainBlock ? State::WaitRetainBlock : State::WaitBlock);
    sendByte(m_txByte);
}

void UploadTransfer::completeReading()
{
    const qint64 used = elapsedMs();
    const bool retain = m_setup.RetainMode;
    log(retain ? QStringLiteral("Retain values reading finished!")
               : QStringLiteral("Flash reading finished!"));
    const QString text = (retain ? QStringLiteral("Retain values reading successful:\r\n\r\n")
                                 : QStringLiteral("Flash reading successful:\r\n\r\n"))
        + QStringLiteral("%1 bytes have been read").arg(bytesRead())
        + QStringLiteral("\r\n\r\nUsed time: %1 ms").arg(used);
    if (UploadWire::appendsTrailer(m_setup.deviceType, retain, m_setup.FirstSector,
                                   m_setup.EndSector)) {
        const qint32 sectors[2] = {m_setup.FirstSector, m_setup.EndSector};
        for (qint32 s : sectors) {
            for (int i = 0; i < 4; ++i)
                m_uploadData.append(char((quint32(s) >> (8 * i)) & 0xFF));
        }
    }
    m_record.imageSha256 = m_hash.result();
    setResult(TransferOutcome::Success, text);
    // Whatever still arrives belongs to no reading.
    setState(State::Idle);
    scheduleFinish();
}

TransferBase::Place UploadTransfer::failurePlace() const
{
    // The block being read starts where the data read so far end.
    const bool sectors = m_setup.deviceType == DeviceKind::Device46xx && !m_setup.RetainMode
        && m_uploadPos < FlashSize46xx;
    return {sectors ? SectorOfAddress(m_uploadPos) : -1, m_uploadPos};
}

void UploadTransfer::onReported()
{
    if (m_setup.CompareMode && outcome() == TransferOutcome::Success)
        compare(m_setup.compareImage);
}

void UploadTransfer::compare(QByteArrayView image)
{
    log(QStringLiteral("Comparing data..."));
    const bool relocationRule = !m_setup.RetainMode && m_setup.deviceType != DeviceKind::Device46xx;
    const qint32 start = m_region.start;
    const CompareResult result
        = CompareData(image, m_uploadData, start, m_region.end, relocationRule, [&](qint32 p) {
              emit statusText(QStringLiteral("%1 bytes have been compared").arg(p - start));
              reportProgress(p);
          });
    log(result.memoLine);
    m_record.compared = true;
    m_record.compareEqual = result.equal();
    m_record.compareAddress = result.equal() ? -1 : result.address;
    m_record.compareText = plainText(result.resultText);
    m_compareResult = result;
    m_compareResult.setSectors(m_setup.deviceType, m_setup.RetainMode);
    m_record.setCompareRanges(m_compareResult.ranges, m_compareResult.bytesDiffering);
}
