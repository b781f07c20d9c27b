#pragma once

#include "base/TimerSource.h"
#include "transfer/BootLines.h"
#include "transfer/CanLink.h"
#include "transfer/SerialLink.h"
#include "transfer/TransferEvent.h"
#include "transfer/TransferMachine.h"
#include "transfer/TransferRecord.h"
#include "transfer/TransferSetup.h"

#include <QObject>
#include <QString>

#include <array>
#include <functional>
#include <memory>
#include <optional>

// One transfer, driven: the session owns the links, the watchdog and the short waits (on the
// setup's clock), the boot prompt and the boot lines, the record and the stream of events, and
// feeds what happens to one protocol machine (TransferMachine), whose steps it carries out.
// The protocol itself (every byte, wait and log line, and whether the transfer succeeded) is
// the machine's.
//
// A presenter (the window or the command-line tool) connects to the signals and:
//   1. calls start(); the Started event comes at once, the rest runs as an idle action;
//   2. shows errorBox() texts (a modal error box in the window), with the hint as last line;
//   3. answers bootPromptRequested() with answerBootPrompt(), at once or later;
//   4. offers userBreak() while breakAvailable(true);
//   5. shows finalReport() (an information box in the window), which comes just before the end;
//   6. on the Finished event ends with the modal result or exit status of its record.
// The events come in order: Started first, Finished last and exactly once, also when the window
// is closed or the session destroyed before its end (a listener that frees a running session
// must still be whole then, or disconnect first).
// Destroying the session removes the serial handlers, stops the CAN link and closes the port;
// idle actions still queued for it are dropped. A subclass calls shutdown() in its own
// destructor, so that nothing reaches it once its part of the object is gone.
class TransferSession : public QObject
{
    Q_OBJECT
public:
    using CanLinkFactory = std::function<std::unique_ptr<CanLink>()>;

    static constexpr int AbortDelayMs = MachineStep::AbortDelayMs;

    ~TransferSession() override;

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
    QString resultText() const { return m_machine ? m_machine->resultText() : QString(); }
    QString loaderFile() const { return m_loaderFile; }
    QString programFile() const { return m_programFile; }
    bool usesCan() const { return m_useCan; }
    int watchdogInterval() const { return m_watchdog->interval(); }
    bool watchdogActive() const { return m_watchdog->isActive(); }
    const TransferMachine &machine() const { return *m_machine; }

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
    TransferSession(SerialLink &serial, CanLinkFactory canFactory, const TransferSetup &setup,
                    QObject *parent);

    // The protocol machine; set by the subclass's constructor.
    void setMachine(std::unique_ptr<TransferMachine> machine);
    TransferMachine &protocol()
    {
        return *m_machine;
    }

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
    // the rest comes from the fields above, the setup and the run.
    TransferRecord m_record;
    const TransferSetup m_setup;

    // After the final report, before the Finished event: what the end still brings (the
    // compare). Its log lines and progress are events like any other.
    virtual void onReported() { }
    // The final report as shown; a subclass may add a closing line to the machine's text.
    virtual QString finalReportText() const
    {
        return resultText();
    }

    // Events.
    void log(const QString &line);
    // A new phase; the same phase again sends nothing.
    void enterPhase(TransferPhase phase);
    // Progress with the record's bytes and total, and the image address reached.
    void reportProgress(qint64 position);

    // Removes the serial handlers and closes the ports; a transfer that has started and not
    // finished yet sends its Finished event. Safe to call more than once.
    void shutdown();

private:
    // Feeds one input to the machine and carries out its step.
    void drive(const std::function<void(TransferMachine &, MachineStep &)> &input);
    void carryOut(const MachineStep &step);
    // The watchdog follows the machine's deadline.
    void syncWatchdog();
    void loadTarget(TargetProgram which);
    // Reads what the line brought, up to `limit` bytes, into m_rx; returns the bytes read.
    QByteArrayView readInput(qint64 limit);
    void syncTally();
    qint64 elapsedMs() const;

    void onSerialRx();
    void onSerialTxEmpty();
    void onSerialError();
    void onTimeout();
    void startCanPhase();

    void startTransfer();
    bool openPorts();
    void closePorts();
    void finishTransfer();
    void endWithoutReport();
    // Completes the record and sends the Finished event, once. `struck` and `place` say where
    // a failure struck.
    void finish(bool reported, TransferPhase struck, TransferMachine::Place place);
    void postIdle(void (TransferSession::*action)());
    void showError(const QString &title, const QString &text, const QString &hint = QString());
    // Boot entry through the modem lines (TransferSessionBootLines.cpp). Before the port opens:
    // false, with the error shown, when the sequence is malformed. After it opened: true when
    // a sequence runs in place of the boot prompt.
    bool bootLinesAccepted();
    bool startBootLines();
    void runBootLines();
    // Stops a running sequence; true when one was running.
    bool stopBootLines();
    void bootEntered();

    SerialLink &m_serial;
    CanLinkFactory m_canFactory;
    std::unique_ptr<CanLink> m_can;
    TimerSource &m_timers;
    std::unique_ptr<TransferMachine> m_machine;
    std::unique_ptr<ClockTimer> m_watchdog;
    qint64 m_watchdogDeadline = -1; // the machine's deadline the watchdog was started for
    qint64 m_startMs = -1; // when the user confirmed the boot prompt
    QByteArray m_txBuffer; // kept until the next write: the port may still be sending it
    std::array<char, 1024> m_rx {};
    // How the session itself ended the transfer, where the machine had no say (a port that
    // did not open, a declined prompt, a closed window).
    std::optional<TransferOutcome> m_sessionOutcome;
    QString m_shownError; // the last error box, for the record of a transfer that never ran
    TransferPhase m_phase = TransferPhase::Starting;
    bool m_bootPromptPending = false;
    QString m_bootLinesText;
    QString m_bootLinesOrigin;
    QList<BootLines::Step> m_bootSteps;
    qsizetype m_bootStep = -1; // the next step while the sequence runs; -1 otherwise
    std::unique_ptr<ClockTimer> m_bootLinesWait;
    bool m_started = false;
    bool m_finished = false;
};
