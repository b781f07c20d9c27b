#include "production/ProductionRun.h"

#include "base/ModalResult.h"
#include "core/SectorMap.h"
#include "transfer/TransferOutcome.h"

namespace {

QString hexAddress(qint64 address)
{
    return QStringLiteral("%1").arg(address, 6, 16, QLatin1Char('0')).toUpper() + u'h';
}

QString sectorsText(qint32 first, qint32 end)
{
    return end - first == 1 ? QStringLiteral("sector %1").arg(first)
                            : QStringLiteral("sectors %1 to %2").arg(first).arg(end - 1);
}

// A read-back went through when every byte came, whether or not the bytes match the image.
bool readBackComplete(const TransferRecord &record)
{
    return record.outcome == TransferOutcome::Success
        || record.outcome == TransferOutcome::Different;
}

} // namespace

ProductionRun::ProductionRun(SerialLink &serial, TransferSession::CanLinkFactory canFactory,
                             DownloadRequest request, const ProductionOptions &options,
                             const TransferSetup &setup, QObject *parent)
    : QObject(parent)
    , m_serial(serial)
    , m_canFactory(std::move(canFactory))
    , m_base(std::move(request))
    , m_try(m_base)
    , m_options(options)
    , m_setup(setup)
{
    m_after = m_setup.clock->createTimer([this] { advance(); });
    m_after->setInterval(0);
    m_pause = m_setup.clock->createTimer([this] { begin(m_nextStep, std::move(m_next)); });
    m_pause->setInterval(ReentryPauseMs);
}

ProductionRun::~ProductionRun()
{
    m_after.reset();
    m_pause.reset();
    if (m_session)
        m_session->disconnect(this);
}

void ProductionRun::start()
{
    m_tryNumber = 1;
    if (m_options.skipUnchanged)
        startCheck();
    else
        beginTry();
}

void ProductionRun::userBreak()
{
    if (m_session && !m_session->hasFinished())
        m_session->userBreak();
    stop();
}

void ProductionRun::stop()
{
    if (m_finished)
        return;
    m_broken = true;
    if (m_session)
        return; // ends with the transfer
    // Between two transfers: nothing runs that could be broken.
    m_after->stop();
    m_pause->stop();
    m_next.reset();
    finish(m_step == Step::Download ? releaseHeld() : m_ended);
}

QList<QPair<qint32, qint32>> ProductionRun::proofRegions(const DownloadRequest &request,
                                                         qint32 sector)
{
    const qint32 first = request.firstSector;
    if (sector <= first)
        return {};
    if (sector - 1 <= first + 1)
        return {{first, sector}};
    return {{first, first + 1}, {sector - 1, sector}};
}

UploadSetup ProductionRun::readBack(const DownloadRequest &request, qint32 first, qint32 end)
{
    const TSettings &s = request.settings;
    UploadSetup setup;
    setup.deviceType = request.deviceType;
    setup.FirstSector = first;
    setup.EndSector = end;
    setup.CompareMode = true;
    setup.UploadChoiceText = sectorsText(first, end);
    setup.comInterface = s.COMInterface;
    setup.baudrateOrdinal = s.brDefault;
    setup.can.epp = s.CANEPP;
    setup.can.bitrateCode = s.CANBaudrate;
    setup.can.extendedIds = false;
    setup.can.portIndex = s.CANIOPort;
    setup.can.interruptIndex = s.CANInterrupt;
    setup.compareImage = request.image;
    setup.imageFile = request.fileName;
    return setup;
}

QPair<qint32, qint32> ProductionRun::programmedSectors(const DownloadRequest &request)
{
    const qint32 first = request.resumeSector >= 0 ? request.resumeSector : request.firstSector;
    qint32 end = request.dataEnd > 0 ? SectorOfAddress(request.dataEnd - 1) + 1 : first;
    if (request.endSector != request.firstSector)
        end = qMin(end, request.endSector);
    return {first, qMax(first, end)};
}

QString ProductionRun::refusalText(const QString &portName, qint32 sector, qint64 address)
{
    return QStringLiteral("The unit on %1 does not hold this image below sector %2 (first "
                          "difference at %3): download it in full.")
        .arg(portName)
        .arg(sector)
        .arg(hexAddress(address));
}

TransferRecord ProductionRun::failedByVerify(TransferRecord download, const TransferRecord &verify)
{
    const qint32 sector = verify.compareRanges.isEmpty()
        ? SectorOfAddress(qint32(verify.compareAddress))
        : verify.compareRanges.first().sector;
    download.outcome = TransferOutcome::Failed;
    download.modalResult = mrCancel;
    download.hasFailure = true;
    download.failedPhase = TransferPhase::Data;
    download.failedSector = sector;
    download.failedAddress = verify.compareAddress;
    download.resumeSector = sector;
    download.compared = true;
    download.compareEqual = false;
    download.compareAddress = verify.compareAddress;
    download.compareText = verify.compareText;
    download.setCompareRanges(verify.compareRanges, verify.bytesDiffering);
    download.compareRangesTruncated = verify.compareRangesTruncated;
    QString text = QStringLiteral("Flash programming failed:\n\nThe verify read found %1 "
                                  "differing bytes, the first at %2 (sector %3):")
                       .arg(verify.bytesDiffering)
                       .arg(hexAddress(verify.compareAddress))
                       .arg(sector);
    const qsizetype shown = qMin<qsizetype>(verify.compareRanges.size(), ReportedRanges);
    for (qsizetype i = 0; i < shown; ++i) {
        const CompareRange &r = verify.compareRanges.at(i);
        text += QStringLiteral("\n%1-%2  %3 bytes  sector %4")
                    .arg(hexAddress(r.start), hexAddress(r.end))
                    .arg(r.bytes)
                    .arg(r.sector);
    }
    if (shown < verify.compareRanges.size())
        text += QStringLiteral("\n... and %1 more ranges").arg(verify.compareRanges.size() - shown);
    text += QStringLiteral("\n\nProgramming can be resumed from sector %1.").arg(sector);
    download.reportText = text;
    return download;
}

void ProductionRun::startSession(Step step, std::unique_ptr<TransferSession> session)
{
    // The port has just been closed by the last transfer: the device gets its moment.
    if (m_entries++ > 0) {
        m_nextStep = step;
        m_next = std::move(session);
        m_pause->start();
        return;
    }
    begin(step, std::move(session));
}

void ProductionRun::begin(Step step, std::unique_ptr<TransferSession> session)
{
    m_step = step;
    m_session = std::move(session);
    connect(m_session.get(), &TransferSession::event, this, &ProductionRun::onSessionEvent);
    emit sessionStarted(*m_session, step);
    if (!m_session->hasStarted())
        m_session->start();
}

void ProductionRun::onSessionEvent(const TransferEvent &event)
{
    switch (m_step) {
    case Step::Check:
        emit this->event(event); // a compare of its own
        break;
    case Step::Download:
        if (event.kind == TransferEvent::Kind::Started) {
            emitRecord(TransferEvent::Kind::Started, stamped(event.record));
        } else if (event.kind == TransferEvent::Kind::Finished) {
            m_download = stamped(event.record);
            // A verified download ends when its verify does.
            m_held = m_options.verify && m_download.outcome == TransferOutcome::Success;
            if (!m_held)
                emitRecord(TransferEvent::Kind::Finished, m_download);
        } else {
            emit this->event(event);
        }
        break;
    case Step::Proof:
    case Step::Verify:
        break; // parts of the download's record
    }
    if (event.kind == TransferEvent::Kind::Finished) {
        m_ended = event.record;
        // Freed and followed up outside its own signal.
        m_after->start();
    }
}

void ProductionRun::advance()
{
    if (m_session) {
        emit sessionEnded(*m_session);
        m_session->disconnect(this);
        m_session.reset();
    }
    if (m_finished)
        return;
    if (m_broken && m_step != Step::Verify) {
        finish(m_step == Step::Download ? releaseHeld() : m_ended);
        return;
    }
    switch (m_step) {
    case Step::Check:
        afterCheck(m_ended);
        break;
    case Step::Proof:
        afterProof(m_ended);
        break;
    case Step::Download:
        afterDownload(m_download);
        break;
    case Step::Verify:
        afterVerify(m_ended);
        break;
    }
}

void ProductionRun::startCheck()
{
    const auto [first, end] = programmedSectors(m_base);
    emit log(QStringLiteral("Checking what the unit holds in %1...").arg(sectorsText(first, end)));
    startSession(Step::Check,
                 std::make_unique<UploadTransfer>(readBack(m_base, first, end), m_serial,
                                                  m_canFactory, m_setup));
}

void ProductionRun::afterCheck(const TransferRecord &record)
{
    if (!readBackComplete(record)) {
        finish(record);
        return;
    }
    if (record.compareEqual) {
        m_result.unchanged = true;
        emit log(QStringLiteral("The unit already holds the image: nothing to download."));
        finish(record);
        return;
    }
    const auto [first, end] = programmedSectors(m_base);
    qint32 from = SectorOfAddress(qint32(record.compareAddress));
    qint32 to = end - 1;
    if (!record.compareRanges.isEmpty() && record.compareRanges.first().sector >= 0) {
        from = record.compareRanges.first().sector;
        if (!record.compareRangesTruncated && record.compareRanges.last().sector >= 0)
            to = record.compareRanges.last().sector;
    }
    from = qBound(first, from, end - 1);
    to = qBound(from, to, end - 1);
    if (from > m_try.firstSector) {
        m_try.resumeSector = from;
        m_try.resumeNote = QStringLiteral("Programming sectors %1 to %2: the others hold the "
                                          "image")
                               .arg(from)
                               .arg(to);
    }
    if (to + 1 < end) {
        m_try.endSector = to + 1;
        m_try.dataEnd = qMin(m_try.dataEnd, SectorStart(to + 1));
    }
    emit log(
        QStringLiteral("The unit differs from the image in %1.").arg(sectorsText(from, to + 1)));
    m_checked = true;
    beginTry();
}

void ProductionRun::beginTry()
{
    m_proven.clear();
    m_download = {};
    const qint32 sector = m_try.resumeSector;
    DownloadRequest floor = m_try;
    if (m_options.trustStart && m_base.resumeSector >= 0)
        floor.firstSector = m_base.resumeSector;
    m_proofLeft = m_checked ? QList<QPair<qint32, qint32>> {} : proofRegions(floor, sector);
    m_checked = false;
    if (m_proofLeft.isEmpty()) {
        startDownload();
        return;
    }
    emit log(
        QStringLiteral("Checking that the unit holds the image below sector %1...").arg(sector));
    startProof();
}

void ProductionRun::startProof()
{
    const auto [first, end] = m_proofLeft.takeFirst();
    startSession(Step::Proof,
                 std::make_unique<UploadTransfer>(readBack(m_try, first, end), m_serial,
                                                  m_canFactory, m_setup));
}

void ProductionRun::afterProof(const TransferRecord &record)
{
    if (!readBackComplete(record)) {
        tryFailed(record);
        return;
    }
    if (!record.compareEqual) {
        finish(record, refusalText(m_setup.portName, m_try.resumeSector, record.compareAddress));
        return;
    }
    for (qint32 s = record.firstSector; s < record.endSector; ++s)
        m_proven.append(s);
    if (!m_proofLeft.isEmpty()) {
        startProof();
        return;
    }
    emit log(QStringLiteral("The unit holds the image in %1.")
                 .arg(m_proven.size() == 1 ? QStringLiteral("sector %1").arg(m_proven.first())
                                           : QStringLiteral("sectors %1").arg([this] {
                                                 QStringList list;
                                                 for (const qint32 s : std::as_const(m_proven))
                                                     list << QString::number(s);
                                                 return list.join(QStringLiteral(", "));
                                             }())));
    startDownload();
}

void ProductionRun::startDownload()
{
    startSession(Step::Download,
                 std::make_unique<DownloadTransfer>(m_serial, m_canFactory, m_try, m_setup));
}

void ProductionRun::afterDownload(const TransferRecord &record)
{
    if (record.outcome != TransferOutcome::Success) {
        tryFailed(record);
        return;
    }
    if (m_held) {
        startVerify();
        return;
    }
    finish(record);
}

void ProductionRun::startVerify()
{
    const auto [first, end] = programmedSectors(m_try);
    emit log(QStringLiteral("Verifying %1...").arg(sectorsText(first, end)));
    startSession(Step::Verify,
                 std::make_unique<UploadTransfer>(readBack(m_try, first, end), m_serial,
                                                  m_canFactory, m_setup));
}

TransferRecord ProductionRun::releaseHeld()
{
    // Broken before its verify began: the download's end goes on record as it came.
    if (m_held) {
        m_held = false;
        emitRecord(TransferEvent::Kind::Finished, m_download);
    }
    return m_download;
}

void ProductionRun::afterVerify(const TransferRecord &verify)
{
    m_held = false;
    TransferRecord download = m_download;
    download.ended = m_setup.clock->now();
    if (readBackComplete(verify) && verify.compareEqual) {
        download.compared = true;
        download.compareEqual = true;
        download.compareAddress = -1;
        download.compareText = verify.compareText;
        emitRecord(TransferEvent::Kind::Finished, download);
        emit log(QStringLiteral("Verified: the unit holds the image."));
        finish(download);
        return;
    }
    if (readBackComplete(verify)) {
        download = failedByVerify(download, verify);
    } else {
        // Programmed but not proven: the next try programs the whole range again.
        const qint32 first = programmedSectors(m_try).first;
        download.outcome = TransferOutcome::Failed;
        download.modalResult = mrCancel;
        download.hasFailure = true;
        download.failedPhase = TransferPhase::Data;
        download.failedSector = first;
        download.failedAddress = SectorStart(first);
        download.resumeSector = first;
        download.reportText = QStringLiteral("Flash programming failed:\n\nThe verify read did "
                                             "not complete:\n")
            + TransferSession::plainText(verify.reportText).trimmed();
    }
    emitRecord(TransferEvent::Kind::Finished, download);
    emit log(download.reportText);
    tryFailed(download);
}

void ProductionRun::tryFailed(const TransferRecord &record)
{
    // A failure is tried again; so is any end after programming began (answers out of step
    // and the like), which leaves a resume point. A refusal before that is not.
    const bool retryable = record.outcome == TransferOutcome::Failed
        || (record.outcome == TransferOutcome::Aborted && record.hasFailure
            && record.resumeSector >= 0);
    if (m_broken || !retryable || m_tryNumber > m_options.retries) {
        finish(record);
        return;
    }
    // The next try resumes where this one stopped, as --resume would.
    if (record.operation == TransferOperation::Download && record.resumeSector >= 0
        && DownloadTransfer::canResumeAt(m_try, record.resumeSector)) {
        m_try.resumeSector = record.resumeSector;
    }
    ++m_tryNumber;
    if (m_try.resumeSector >= 0)
        m_try.resumeNote = QStringLiteral("Resuming at sector %1 (%2), where try %3 stopped")
                               .arg(m_try.resumeSector)
                               .arg(hexAddress(SectorStart(m_try.resumeSector)))
                               .arg(m_tryNumber - 1);
    emit log(QStringLiteral("Try %1 of %2").arg(m_tryNumber).arg(m_options.retries + 1));
    beginTry();
}

TransferRecord ProductionRun::stamped(TransferRecord record) const
{
    if (m_options.retries > 0) {
        record.attempt = m_tryNumber;
        record.attempts = m_options.retries + 1;
    }
    record.proofSectors = m_proven;
    return record;
}

void ProductionRun::emitRecord(TransferEvent::Kind kind, const TransferRecord &record)
{
    TransferEvent e;
    e.kind = kind;
    e.record = record;
    emit event(e);
}

void ProductionRun::finish(const TransferRecord &record, const QString &refusal,
                           const QString &closing)
{
    if (m_finished)
        return;
    m_finished = true;
    m_result.record = record;
    m_result.refusal = refusal;
    m_result.closing = !refusal.isEmpty() ? refusal : closing;
    if (m_result.closing.isEmpty() && (m_step == Step::Proof || m_step == Step::Verify)
        && !readBackComplete(record))
        m_result.closing = record.operation == TransferOperation::Download
            ? record.reportText
            : QStringLiteral("The unit could not be read back:\n\n")
                + TransferSession::plainText(record.reportText).trimmed();
    m_result.tries = m_tryNumber;
    if (!refusal.isEmpty()) {
        m_result.exitStatus = TransferOutcomes::ExitAborted;
        emit log(refusal);
    } else if (m_result.unchanged) {
        m_result.exitStatus = TransferOutcomes::ExitSuccess;
    } else {
        m_result.exitStatus = TransferOutcomes::exitStatus(record);
    }
    emit finished();
}
