#pragma once

#include "base/TimerSource.h"
#include "transfer/Bootstrap.h"
#include "transfer/CanLink.h"
#include "transfer/SerialLink.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// What the download and the upload have in common: the two target files, opening and closing the
// serial port and the CAN thread, the watchdog with the send-and-arm rule, the idle actions that
// start, move to CAN and finish a transfer, the boot prompt and the final report.
//
// A presenter (the window or the command-line tool) connects to the signals and:
//   1. calls start(); the start runs as an idle action;
//   2. shows errorBox() texts (a modal error box in the window);
//   3. answers bootPromptRequested() with answerBootPrompt(), at once or later;
//   4. offers userBreak() while breakAvailable(true);
//   5. on finished() shows the report when `showReport` is set, then ends with report.resultCode.
// Destroying the transfer removes the serial handlers, stops the CAN thread and closes the port;
// idle actions still queued for it are dropped. A subclass calls shutdown() in its own destructor,
// so that nothing reaches its handlers once its part of the object is gone.
class TransferBase : public QObject
{
    Q_OBJECT
public:
    // How a transfer ended, for callers that need more than the modal result (exit statuses).
    enum class Outcome {
        Success, // the device reported the end
        Failed, // time-out, user break, line or dongle error, error reported by the device
        Aborted, // missing target file, port or dongle not opened, prompt declined,
                 // invalid identification, unexpected answer
    };
    struct Report
    {
        int resultCode = 2; // 1 = success, 2 = ended without success, 3 = aborted
        QString resultText; // "\r\n" line breaks, as the message box shows it
        Outcome outcome = Outcome::Failed;
    };

    using CanLinkFactory = std::function<std::unique_ptr<CanLink>()>;

    static constexpr int AbortDelayMs = 100;

    ~TransferBase() override;

    // Schedules the start as an idle action.
    void start();
    // The user's answer to the boot prompt.
    void answerBootPrompt(bool confirmed);
    // "Close COM": closes the ports and ends through the time-out path with the user-break text.
    void userBreak();
    // The window is closed by the user: close the ports, nothing else.
    void closedByUser();

    bool bootPromptPending() const { return m_bootPromptPending; }
    bool hasFinished() const { return m_finished; }
    const Report &report() const { return m_report; }
    QString loaderFile() const { return m_loaderFile; }
    QString programFile() const { return m_programFile; }
    bool usesCan() const { return m_useCan; }
    int watchdogInterval() const { return m_watchdog->interval(); }
    bool watchdogActive() const { return m_watchdog->isActive(); }

    // The final report with "\r\n" turned into "\n".
    static QString plainText(const QString &text);
    // Status-panel text of a TBaudrate ordinal ("9600 bit/s" for the rates it does not name).
    static QString baudrateText(int ordinal);

signals:
    void logLine(const QString &line);
    void progressRange(qint64 minimum, qint64 maximum);
    void progress(qint64 position);
    void statusText(const QString &text);
    // The serial baud rate chosen for this transfer, as the main window's status bar shows it.
    void baudrateChanged(const QString &text);
    void errorBox(const QString &title, const QString &text);
    void bootPromptRequested(const QString &text);
    void breakAvailable(bool available);
    void finished(const TransferBase::Report &report, bool showReport);

protected:
    // Watchdog, short waits, idle actions and the used time run on `timers`.
    TransferBase(SerialLink &serial, CanLinkFactory canFactory, QObject *parent,
                 TimerSource &timers);

    // Set by the subclass before start().
    QString m_loaderFile;
    QString m_programFile;
    bool m_useCan = false;
    int m_baudrateOrdinal = 7;
    CanLink::Params m_canParams;
    // "Download" or "Upload", for "... will be aborted!".
    QString m_operationWord;

    // The protocol state byte. The bootstrap phase's states mean the same in every transfer;
    // each protocol names them, and its own, in its State enum.
    enum class BootState : quint8 {
        Idle = 0, // nothing expected: received bytes are dropped
        WaitTargetId = 1,
        WaitLoaderStarted = 2,
        WaitProgramStarted = 4,
    };
    quint8 stateByte() const { return m_state; }
    void setStateByte(quint8 state) { m_state = state; }
    bool isIdle() const { return m_state == quint8(BootState::Idle); }

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
    bool inCanPhase() const { return m_canPhase; }

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

    SerialLink &serial() { return m_serial; }
    CanLink *can() { return m_can.get(); }

    // Send-and-arm: write, and arm the watchdog at once when the write is still in progress;
    // otherwise the transmit-empty event arms it.
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

    void log(const QString &line);
    void setResult(int code, const QString &text, Outcome outcome);
    void setResultText(const QString &text) { m_report.resultText = text; }
    void setResultCode(int code, Outcome outcome);
    // Milliseconds since the user confirmed the boot prompt.
    qint64 elapsedMs() const;

    void closePorts();
    // Removes the serial handlers and closes the ports; safe to call more than once.
    void shutdown();
    bool loadProgram(const QString &path, QByteArray *bytes);
    // Sizes of the loader and the program as sent.
    int loaderSize() const { return m_loaderSize; }
    int programSize() const { return m_programSize; }

private:
    // Loads a target file, sets `nextState` and sends the file; on a file that cannot be read
    // the transfer ends instead.
    void sendTargetFile(const QString &path, int *size, quint8 nextState);
    void wrongBootstrapAnswer(bool shortWait);
    void startTransfer();
    bool openPorts();
    void finishTransfer();
    void endWithoutReport(int code);
    void postIdle(void (TransferBase::*action)());

    SerialLink &m_serial;
    CanLinkFactory m_canFactory;
    std::unique_ptr<CanLink> m_can;
    TimerSource &m_timers;
    std::unique_ptr<ClockTimer> m_watchdog;
    qint64 m_startMs = -1; // when the user confirmed the boot prompt
    QByteArray m_txBuffer; // kept until the next write: the port may still be sending it
    Report m_report;
    quint8 m_state = 0;
    bool m_canPhase = false;
    int m_loaderSize = 0;
    int m_programSize = 0;
    bool m_bootPromptPending = false;
    bool m_finished = false;
};
