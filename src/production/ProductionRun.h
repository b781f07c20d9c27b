#pragma once

#include "download/DownloadTransfer.h"
#include "transfer/TransferSetup.h"
#include "upload/UploadTransfer.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class ClockTimer;

// How a download on the line is run around the transfer itself.
struct ProductionOptions
{
    // After a successful download, read the programmed range back and compare it.
    bool verify = false;
    // Read the image's range first and download only from the first differing sector to the
    // last, or nothing when the unit already holds the image.
    bool skipUnchanged = false;
    // Further tries after a failed one; each resumes where the last one stopped.
    int retries = 0;
    // The request's start was asked for (--from-sector): what lies below it is the user's
    // business, and a later try proves the unit only from that start on.
    bool trustStart = false;
};

// One download on one port as a production line runs it: a sequence of transfers on the same
// link, each a bootstrap entry of its own (by the boot lines where they are set, else the boot
// prompt again):
//   - check (--skip-unchanged): a compare of the image's range, which decides what to program;
//   - proof: before the download resumes at a sector S, the first sector of the image's range
//     and sector S-1 are read back and compared; only a unit that holds the image there is
//     resumed, any other is refused before anything is erased;
//   - download;
//   - verify: the programmed range read back and compared; a difference fails the download,
//     with the resume point at the first differing sector;
//   - and, after a failed try, the next one resuming as --resume does, up to the retries given.
// A presenter shows each transfer as it would a single one (sessionStarted, sessionEnded) and
// the run's own lines (log); the service record and the JSON feed follow event(), in which the
// download of each try is one transfer whose record carries the proof, the verify result, the
// unit and the try. The proof and the verify reads are parts of that record, not transfers of
// their own; the check is a compare of its own.
class ProductionRun : public QObject
{
    Q_OBJECT
public:
    enum class Step { Check, Proof, Download, Verify };

    struct Result
    {
        // The last try's download as recorded; the check's compare when nothing was
        // downloaded; the proof's reading when it could not read.
        TransferRecord record;
        int exitStatus = 0;
        QString refusal; // the unit proof's refusal
        // What the run found after the last report a transfer of its own showed: the refusal,
        // a verify's difference, a read of the run that failed. Empty when that report said it.
        QString closing;
        int tries = 0;
        bool unchanged = false; // the unit already held the image
    };

    // The device needs a moment after the port closes before it takes the next boot byte.
    static constexpr int ReentryPauseMs = 200;
    // The verify's ranges that a report lists; the record holds more.
    static constexpr int ReportedRanges = 10;

    ProductionRun(SerialLink &serial, TransferSession::CanLinkFactory canFactory,
                  DownloadRequest request, const ProductionOptions &options,
                  const TransferSetup &setup, QObject *parent = nullptr);
    ~ProductionRun() override;

    // Starts the first transfer; finished() comes once the run has ended.
    void start();
    // The user break: the running transfer is broken and no further one starts.
    void userBreak();
    // No further transfer starts; the running one (which its presenter may break) ends the run.
    void stop();
    // The verify after the download, changed while the run goes on (the window's check box):
    // it counts until the download ends.
    void setVerify(bool verify) { m_options.verify = verify; }
    bool hasFinished() const { return m_finished; }
    // The transfer running now (nullptr between two).
    TransferSession *session() const { return m_session.get(); }
    const Result &result() const { return m_result; }

    // The regions [first, end) a proof before resuming at `sector` reads: the image's first
    // sector and sector-1, as one region when they lie next to each other.
    static QList<QPair<qint32, qint32>> proofRegions(const DownloadRequest &request, qint32 sector);
    // A compare of sectors [first, end) of the device with the request's image.
    static UploadSetup readBack(const DownloadRequest &request, qint32 first, qint32 end);
    // The sectors [first, end) a download of `request` erases and programs.
    static QPair<qint32, qint32> programmedSectors(const DownloadRequest &request);
    // "The unit on COM1 does not hold this image below sector 4 (first difference at
    // 000200h): download it in full."
    static QString refusalText(const QString &portName, qint32 sector, qint64 address);
    // `download` failed by the verify read `verify` that found differences.
    static TransferRecord failedByVerify(TransferRecord download, const TransferRecord &verify);

signals:
    // A transfer of the run is about to start; a presenter attaches to it here (and may start
    // it itself).
    void sessionStarted(TransferSession &session, ProductionRun::Step step);
    // The transfer has ended and is about to be freed; a presenter lets go of it here.
    void sessionEnded(TransferSession &session);
    // The record stream: every try's download and the check, as single transfers.
    void event(const TransferEvent &event);
    // The run's own lines: what it checks, what it found, the next try.
    void log(const QString &line);
    void finished();

private:
    // Starts `session` now or, after an earlier one, once the device has had its pause.
    void startSession(Step step, std::unique_ptr<TransferSession> session);
    void begin(Step step, std::unique_ptr<TransferSession> session);
    void onSessionEvent(const TransferEvent &event);
    // After a transfer has ended: frees it and goes on after the pause.
    void sessionDone();
    void advance();
    void beginTry();
    void startCheck();
    void startProof();
    void startDownload();
    void startVerify();
    void afterCheck(const TransferRecord &record);
    void afterProof(const TransferRecord &record);
    void afterDownload(const TransferRecord &record);
    void afterVerify(const TransferRecord &record);
    // A failed try: the next one, or the end.
    void tryFailed(const TransferRecord &record);
    TransferRecord stamped(TransferRecord record) const;
    // The download held back for its verify, put on record as it is; returns it.
    TransferRecord releaseHeld();
    void emitRecord(TransferEvent::Kind kind, const TransferRecord &record);
    void finish(const TransferRecord &record, const QString &refusal = {},
                const QString &closing = {});

    SerialLink &m_serial;
    TransferSession::CanLinkFactory m_canFactory;
    const DownloadRequest m_base; // as asked, with its resume sector if any
    DownloadRequest m_try; // the current try's request
    ProductionOptions m_options;
    TransferSetup m_setup;
    std::unique_ptr<TransferSession> m_session;
    Step m_step = Step::Download;
    TransferRecord m_ended; // the record of the transfer that ended last
    TransferRecord m_download; // the current try's download
    bool m_held = false; // its end is held back for the verify
    QList<QPair<qint32, qint32>> m_proofLeft;
    QList<qint32> m_proven;
    std::unique_ptr<ClockTimer> m_after; // follows a transfer up outside its own signal
    std::unique_ptr<ClockTimer> m_pause; // before the next entry
    std::unique_ptr<TransferSession> m_next; // waiting for the pause, with its step
    Step m_nextStep = Step::Download;
    int m_tryNumber = 0;
    int m_entries = 0; // transfers started or waiting to
    bool m_checked = false; // the check read every sector: the first try needs no proof
    bool m_broken = false;
    bool m_finished = false;
    Result m_result;
};
