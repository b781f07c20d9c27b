#pragma once

#include "base/TimerSource.h"
#include "transfer/BootLines.h"
#include "transfer/Bootstrap.h"
#include "transfer/CanLink.h"
#include "transfer/SerialLink.h"
#include "transfer/TransferEvent.h"
#include "transfer/TransferRecord.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// What the download and the upload have in common: the two target files, opening and closing the
// serial port and the CAN thread, the bootstrap phase, the watchdog with the send-and-arm rule,
// the idle actions that start, move to CAN and finish a transfer, the boot prompt, the final
// report, and the record of the transfer with its stream of events.
//
// A presenter (the window or the command-line tool) connects to the signals and:
//   1. calls start(); the Started event comes at once, the rest runs as an idle action;
//   2. shows errorBox() texts (a modal error box in the window), with the hint as last line;
//   3. answers bootPromptRequested() with answerBootPrompt(), at once or later;
//   4. offers userBreak() while breakAvailable(true);
//   5. shows finalReport() (an information box in the window), which comes just before the end;
//   6. on the Finished event ends with the modal result or exit status of its record.
// The events come in order: Started first, Finished last and exactly once, also when the window
// is closed or the transfer destroyed before its end (a listener that frees a running transfer
// must still be whole then, or disconnect first).
// Destroying the transfer removes the serial handlers, stops the CAN thread and closes the port;
// idle actions still queued for it are dropped. A subclass calls shutdown() in its own destructor,
// so that nothing reaches its handlers once its part of the object is gone.
class TransferBase : public QObject
{
    Q_OBJECT
public:
    using CanLinkFactory = std::function<std::unique_ptr<CanLink>()>;

    static constexpr int AbortDelayMs = 100;

    ~TransferBase() override;

    // The port that the serial link opens, for the record: "COM1" and its device path; and the
    // port's boot line sequence from the settings, if it has one.
    void describePort(int portIndex);
    // Boot entry through the modem lines in place of the boot prompt: `text` is the sequence
    // (empty: the prompt), `origin` names where it came from in an error ("--boot-lines").
    // Its form is checked when the transfer starts. Set before start().
    void setBootLines(const QString &text, const QString &origin);
    bool usesBootLines() const { return !m_bootLinesText.trimmed().isEmpty(); }
    // Sends the Started event and schedules the start as an idle action.
    void start();
    // The user's answer to the boot prompt.
    void answerBootPrompt(bool confirmed);
    // "Close COM": closes the ports and ends through the time-out path with the user-break text.
    void userBreak();
    // The window is closed by the user: close the ports and finish without a report.
    void closedByUser();

    bool bootPromptPending() const { return m_bootPromptPending; }
    bool hasStarted() const { return m_started; }
    bool hasFinished() const { return m_finished; }
    // What ran, with what and (once finished) how it went.
    const TransferRecord &record() const { return m_record; }
    TransferPhase phase() const { return m_phase; }
    // The text of the final report as the message box shows it, with "\r\n" line breaks.
    QString resultText() const { return m_resultText; }
    QString loaderFile() const { return m_loaderFile; }
    QString programFile() const { return m_programFile; }
    bool usesCan() const { return m_useCan; }
    int watchdogInterval() const { return m_watchdog->interval(); }
    bool watchdogActive() const { return m_watchdog->isActive(); }

    // The final report with "\r\n" turned into "\n".
    static QString plainText(const QString &text);
    // Status-panel text of a TBaudrate ordinal ("9600 bit/s" for the rates it does not name).
    static QString baudrateText(int ordinal);

    // QObject::event(QEvent *) stays as it is; this name is the transfer's own stream.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Woverloaded-virtual"
#endif
signals:
    // The transfer's events, in order (TransferEvent.h).
    void event(const TransferEvent &event);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

signals:
    void statusText(const QString &text);
    // The serial baud rate chosen for this transfer, as the main window's status bar shows it.
    void baudrateChanged(const QString &text);
    // `hint`: what to do about it, as the setup doctor would say (empty when nothing is known);
    // a presenter shows it as the last line.
    void errorBox(const QString &title, const QString &text, const QString &hint = QString());
    void bootPromptRequested(const QString &text);
    void breakAvailable(bool available);
    // The final report ("\r\n" line breaks), shown before anything else that the end brings
    // (the compare after an upload) and before the Finished event.
    void finalReport(const QString &text);

protected:
    // Watchdog, short waits, idle actions, the used time and the record's times run on `timers`.
    TransferBase(SerialLink &serial, CanLinkFactory canFactory, QObject *parent,
                 TimerSource &timers);

    // Set by the subclass before start().
    QString m_loaderFile;
    QString m_programFile;
    bool m_useCan = false;
    int m_comInterface = 0; // 1 or 2 names the CAN interface
    int m_baudrateOrdinal = 7;
    CanLink::Params m_canParams;
    // "Download" or "Upload", for "... will be aborted!".
    QString m_operationWord;
    // The subclass fills in what it knows (operation, device, image, sectors, range, totals);
    // the rest comes from the fields above and from the run.
    TransferRecord m_record;

    // The protocol state byte. The bootstrap phase's states mean the same in every transfer;
    // each protocol names them, and its own, in its State enum.
    enum class BootState : quint8 {
        Idle = 0, // nothing expected: received bytes are dropped
        WaitTargetId = 1,
        WaitLoaderStarted = 2,
        WaitProgramStarted = 4,
    };
    quint8 stateByte() const
    {
        return m_state;
    }
    void setStateByte(quint8 state)
    {
        m_state = state;
    }
    bool isIdle() const
    {
        return m_state == quint8(BootState::Idle);
    }

    // What sets the bootstrap phase of one transfer apart from another's (download or upload,
    // flash or retain values, 46xx device or 4610 board). Set by the subclass's constructor.
    struct BootstrapRules
    {
        // The wait for the program's start.
        int programStartTimeoutMs = Bootstrap::ProgramStartTimeoutMs;
        // An unexpected answer to the loader or to the program sets the abort result and ends
        // the transfer after the short wait; otherwise only when the current wait runs out (a
        // right answer meanwhile still counts).
        bool shortWaitOnWrongLoaderAnswer = true;
        bool shortWaitOnWrongProgramAnswer = true;
        // The state once the loader runs: WaitProgramStarted, or the protocol's own state in
        // which the program's start is answered (the 4610 board's flash transfers).
        quint8 stateAfterLoader = quint8(BootState::WaitProgramStarted);
        // A line error makes the protocol drop what arrives from then on; otherwise the state
        // is kept, so that the short wait ends as a time-out of that state would.
        bool lineErrorStopsProtocol = true;
    };
    BootstrapRules m_bootstrapRules;

    // Phase 1: the boot byte goes out and the target's identification is awaited.
    void sendBootByte();
    // Phases 1 to 3 (identification, loader, program): acts on the answer `b` in the
    // bootstrap's states and returns true; false in any other state.
    bool bootstrapAnswer(quint8 b);
    // The program has answered that it runs: logs its size and "Brasvik started...". Over CAN
    // the CAN phase is scheduled and the result is false; true when RS-232 goes on.
    bool programStarted();
    // The RS-232 part is over: whatever the serial line still brings is no answer.
    bool inCanPhase() const
    {
        return m_canPhase;
    }

    // Protocol hooks, all on the GUI thread.
    virtual void onBootConfirmed() = 0; // set the protocol up and send the boot byte
    virtual void onSerialRx() = 0;
    virtual void onSerialTxEmpty(); // default: arm the watchdog while the port is open
    // A line error: the result text names it ("COM error:" and the flags, or "System error:"
    // when the flags cannot be read) and the transfer ends through the short wait.
    void onSerialError();
    virtual void onCanResult(const TCANMsg &msg) = 0;
    virtual void onCanError(quint32 code) = 0;
    virtual void onStartCanPhase() = 0;
    virtual void onTimeout(); // default: log "TIMEOUT" and finish
    virtual void onUserBreak() { }
    // The program runs and the protocol goes on over RS-232 (sectors, erase or reading).
    virtual void onProgramRunning() = 0;
    // The start of every abort text ("Flash programming aborted:\r\n\r\n").
    virtual QString abortedPrefix() const = 0;
    // After the final report, before the Finished event: what the end still brings (the
    // compare). Its log lines and progress are events like any other.
    virtual void onReported() { }
    // The final report as shown; a subclass may add a closing line to the result text.
    virtual QString finalReportText() const { return m_resultText; }
    // Where a failure in the data phase struck: the sector (-1 where none applies) and the
    // address of the block in flight.
    struct Place
    {
        qint32 sector = -1;
        qint64 address = -1;
    };
    virtual Place failurePlace() const
    {
        return {};
    }

    SerialLink &serial()
    {
        return m_serial;
    }
    CanLink *can()
    {
        return m_can.get();
    }

    // Send-and-arm: write and arm the watchdog at once, also when the driver took every byte;
    // the transmit-empty event arms it again, which leaves a running watchdog as it is.
    void sendSerial(const QByteArray &bytes);
    void sendByte(quint8 byte);
    // CAN: every transmission arms the watchdog directly; the caller arms it.
    void sendCan(const TCANMsg &msg);

    void armWatchdog();
    void stopWatchdog();
    // Changing the interval of a running watchdog restarts it; the same interval leaves it be.
    void setWatchdogInterval(int ms);
    // Unexpected answer or break from inside an event: end through the time-out path shortly.
    void endSoon();

    void scheduleFinish();
    void scheduleCanPhase();

    // Events.
    void log(const QString &line);
    // A new phase; the same phase again sends nothing.
    void enterPhase(TransferPhase phase);
    // Progress with the record's bytes and total, and the image address reached.
    void reportProgress(qint64 position);

    // How the transfer ends so far: the outcome (modal result and exit status follow from it)
    // and the text of the final report.
    void setResult(TransferOutcome outcome, const QString &text);
    void setResultText(const QString &text)
    {
        m_resultText = text;
    }
    void setOutcome(TransferOutcome outcome)
    {
        m_outcome = outcome;
    }
    TransferOutcome outcome() const
    {
        return m_outcome;
    }
    // Milliseconds since the user confirmed the boot prompt.
    qint64 elapsedMs() const;

    void closePorts();
    // Removes the serial handlers and closes the ports; a transfer that has started and not
    // finished yet sends its Finished event. Safe to call more than once.
    void shutdown();
    bool loadProgram(const QString &path, QByteArray *bytes);
    // Sizes of the loader and the program as sent.
    int loaderSize() const
    {
        return m_loaderSize;
    }
    int programSize() const
    {
        return m_programSize;
    }

private:
    // Loads a target file, enters `phase` and `nextState` and sends the file; on a file that
    // cannot be read the transfer ends instead.
    void sendTargetFile(const QString &path, int *size, TransferPhase phase, quint8 nextState);
    void wrongBootstrapAnswer(bool shortWait);
    void startTransfer();
    bool openPorts();
    void finishTransfer();
    void endWithoutReport();
    // Completes the record and sends the Finished event, once. `struck` and `place` say where
    // a failure struck.
    void finish(bool reported, TransferPhase struck, Place place);
    void postIdle(void (TransferBase::*action)());
    // Boot entry through the modem lines (TransferBaseBootLines.cpp). Before the port opens:
    // false, with the error shown, when the sequence is malformed. After it opened: true when
    // a sequence runs in place of the boot prompt.
    bool bootLinesAccepted();
    bool startBootLines();
    void runBootLines();
    // Stops a running sequence; true when one was running.
    bool stopBootLines();

    SerialLink &m_serial;
    CanLinkFactory m_canFactory;
    std::unique_ptr<CanLink> m_can;
    TimerSource &m_timers;
    std::unique_ptr<ClockTimer> m_watchdog;
    qint64 m_startMs = -1; // when the user confirmed the boot prompt
    QByteArray m_txBuffer; // kept until the next write: the port may still be sending it
    QString m_resultText;
    TransferOutcome m_outcome = TransferOutcome::Failed;
    TransferPhase m_phase = TransferPhase::Starting;
    quint8 m_state = 0;
    bool m_canPhase = false;
    int m_loaderSize = 0;
    int m_programSize = 0;
    bool m_bootPromptPending = false;
    QString m_bootLinesText;
    QString m_bootLinesOrigin;
    QList<BootLines::Step> m_bootSteps;
    qsizetype m_bootStep = -1; // the next step while the sequence runs; -1 otherwise
    std::unique_ptr<ClockTimer> m_bootLinesWait;
    bool m_started = false;
    bool m_finished = false;
};
