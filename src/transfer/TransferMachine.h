#pragma once

#include "transfer/Bootstrap.h"
#include "transfer/MachineStep.h"
#include "transfer/TransferRecord.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <initializer_list>

// A protocol as a state machine without I/O: the session feeds it what happened (the bytes of
// one read, a CAN frame, a time-out, a user break, a line error, a target program read from
// disk) and carries out, in order, what the machine asks for in the step (bytes and frames to
// send, log lines, progress, the end); its timer runs out at the machine's deadline(). A test
// drives it with no event loop.
//
// Every transfer starts with the bootstrap phase, which this base runs: the boot byte, the
// target's identification, the loader and the program. Each machine has one State enum, which
// begins with the states every machine shares (BootState) and goes on with its protocol's; the
// base keeps the machine's one state and sees the protocol's states as BootState::Protocol.
//
// Success is decided here and nowhere else (succeed()): a subclass claims it when the device
// reports the end, and the claim holds only when the data went through (dataComplete());
// otherwise the transfer fails with shortfallText().
class TransferMachine
{
public:
    // The states every machine's State begins with, in this order (startsWithBootStates()).
    enum class BootState {
        Idle, // not started, or stopped: received bytes are dropped; the end may be due
        Ended, // the end has been asked for: the outcome and the report are final
        WaitTargetId,
        WaitLoaderStarted,
        WaitProgramStarted,
        Protocol, // the program runs: one of the protocol's states
    };

    // What sets the bootstrap phase of one protocol apart from another's.
    struct BootRules
    {
        QString loaderName; // bare file names, for the log
        QString programName;
        // The wait for the program's start.
        int programStartTimeoutMs = Bootstrap::ProgramStartTimeoutMs;
        // An unexpected answer to the loader or to the program sets the abort result and ends
        // the transfer after the short wait; otherwise only when the current wait runs out (a
        // right answer meanwhile still counts).
        bool shortWaitOnWrongLoaderAnswer = true;
        bool shortWaitOnWrongProgramAnswer = true;
        // The program's start is answered inside the protocol (the 4610 board's flash
        // transfers answer it after the sector bytes).
        bool programAnsweredByProtocol = false;
        // A line error makes the machine drop what arrives from then on; otherwise the state is
        // kept, so that the short wait ends as a time-out of that state would.
        bool lineErrorStopsProtocol = true;
        // After the program's start the data phase moves to CAN.
        bool useCan = false;
    };

    // A serial line error as the session read it from the port.
    struct LineError
    {
        bool flagsRead = true; // false: the flags could not be read; `systemText` says why
        quint32 flags = 0;
        QString systemText;
    };

    // Where a failure in the data phase struck: the sector (-1 where none applies) and the
    // address of the block in flight.
    struct Place
    {
        qint32 sector = -1;
        qint64 address = -1;
    };

    // What the transfer has moved so far; the session keeps its record from it.
    struct Tally
    {
        qint64 bytes = 0; // data bytes programmed or read
        qint64 blocks = 0;
        qint64 blocksResent = 0;
        // Download: the first sector not known to hold the image (-1: not applicable).
        qint32 resumeSector = -1;
        QByteArray sha256; // upload: of the data read, once complete
    };

    // How often one transmission is repeated at the device's request: a block, the end marker or
    // the switch byte it refuses, an upload block that comes with a bad check byte. One more
    // request ends the transfer.
    static constexpr int MaxRepeats = 3;

    // What became of the serial bytes the machine was given: each is an answer (or block data),
    // a byte that answers nothing and is let pass, or came after the end.
    struct ByteCount
    {
        qint64 taken = 0;
        qint64 ignored = 0;
        qint64 afterEnd = 0;
        qint64 total() const { return taken + ignored + afterEnd; }
    };

    virtual ~TransferMachine() = default;
    TransferMachine(const TransferMachine &) = delete;
    TransferMachine &operator=(const TransferMachine &) = delete;

    // The bare file names of the target programs, for the log.
    void setTargetNames(const QString &loader, const QString &program)
    {
        m_rules.loaderName = loader;
        m_rules.programName = program;
    }

    // Inputs.
    // The user confirmed the boot prompt (or the boot lines ran): the boot byte goes out.
    virtual void bootConfirmed(MachineStep &step);
    // The bytes of one read from the serial line (at most readLimit(), possibly none).
    virtual void serialRead(QByteArrayView bytes, MachineStep &step);
    // The session read the target program asked for by LoadTarget: its bytes, or why not.
    void targetFileRead(TargetProgram which, const QByteArray &bytes, const QString &error,
                        MachineStep &step);
    virtual void canFrame(const TCANMsg &frame, MachineStep &step);
    virtual void canError(quint32 code, MachineStep &step);
    // The idle action asked for by StartCanPhase; the CAN link is open.
    virtual void canPhaseStart(MachineStep &step);
    // The watchdog ran out; `late` holds what the line had brought meanwhile when
    // takesLateBytes(), else nothing.
    virtual void timeout(QByteArrayView late, MachineStep &step);
    // "Close COM": the session has closed the ports. After the end it changes nothing.
    virtual void userBreak(MachineStep &step);
    void lineError(const LineError &error, MachineStep &step);

    // What the session asks.
    virtual qint64 readLimit() const { return 512; }
    virtual bool takesLateBytes() const { return false; }
    // Nothing is expected: bytes and frames that arrive are dropped.
    bool idle() const { return m_state <= int(BootState::Ended); }
    BootState bootState() const { return BootState(qMin(m_state, int(BootState::Protocol))); }
    // The program runs and the protocol has moved to CAN: serial bytes are no answer.
    bool inCanPhase() const { return m_rules.useCan && m_state >= int(BootState::Protocol); }
    // The watchdog's interval before the first step.
    int initialWaitMs() const { return m_initialWaitMs; }
    // The watchdog, kept by the steps it is handed to: when the machine next needs a time-out
    // (-1: it waits for nothing), on the clock of its steps.
    qint64 deadline() const { return m_watchdog.deadline; }
    int waitMs() const { return m_watchdog.waitMs; }
    MachineWatchdog *watchdog() { return &m_watchdog; }
    // The machine has asked for the end: its outcome and report are final.
    bool ended() const { return m_state == int(BootState::Ended); }
    TransferOutcome outcome() const { return m_outcome; }
    // The final report, "\r\n" line breaks.
    QString resultText() const { return m_resultText; }
    const Tally &tally() const { return m_tally; }
    const ByteCount &byteCount() const { return m_bytes; }
    virtual Place failurePlace() const { return {}; }
    // The start of every abort text ("Flash programming aborted:\r\n\r\n").
    virtual QString abortedPrefix() const = 0;
    int loaderSize() const { return m_loaderSize; }
    int programSize() const { return m_programSize; }

protected:
    TransferMachine(BootRules rules, int initialWaitMs);

    // Whether a machine's State begins with the BootState values.
    template<class State> static constexpr bool startsWithBootStates()
    {
        return int(State::Idle) == int(BootState::Idle)
            && int(State::Ended) == int(BootState::Ended)
            && int(State::WaitTargetId) == int(BootState::WaitTargetId)
            && int(State::WaitLoaderStarted) == int(BootState::WaitLoaderStarted)
            && int(State::WaitProgramStarted) == int(BootState::WaitProgramStarted);
    }
    // The machine's one state, as the subclass's State.
    template<class State> State stateAs() const { return State(m_state); }
    template<class State> void enter(State state) { m_state = int(state); }

    // The program runs: the protocol's first state (over CAN: the CAN phase is asked for).
    virtual void programRunning(MachineStep &step) = 0;
    // With programAnsweredByProtocol: the program has been sent; the protocol enters the state
    // that waits for its answer.
    virtual void programSent(MachineStep &step);
    // Whether the data went through: checked when the subclass claims success.
    virtual bool dataComplete() const = 0;
    // Why a claimed success is not one.
    virtual QString shortfallText() const = 0;

    // The start of every serial read: false when nothing is expected (the bytes are dropped and
    // the watchdog left alone) or nothing came (the wait goes on); otherwise the read is the
    // machine's to answer.
    bool takeRead(QByteArrayView bytes, MachineStep &step);
    // The bytes of one read, in order, each offered to answer(). Once an answer has made the
    // machine send, the rest of the read came before that went out: it answers nothing (where it
    // could be an answer, the machine has looked ahead with laterAnswer() and failed first).
    // A read with no answer in it keeps the wait going.
    void takeAnswers(QByteArrayView bytes, MachineStep &step);
    // Whether `b` answers anything where the machine stands; a byte that does not is let pass
    // and leaves the watchdog running as it was.
    virtual bool isAnswer(quint8 b) const
    {
        Q_UNUSED(b);
        return true;
    }
    // One answer of a read (the watchdog has been stopped).
    virtual void answer(quint8 b, MachineStep &step);
    // The first byte in the rest of the current read that is one of `answers` (-1: none).
    int laterAnswer(std::initializer_list<quint8> answers) const;
    // From answer(): the answer changes nothing but the outcome; the current wait goes on as it
    // was, not put off.
    void keepWaiting() { m_keepWaiting = true; }
    // The current read from the byte being answered on; answer() may take `n` bytes after it
    // with skipInRead(n).
    QByteArrayView readFromHere() const { return m_here; }
    void skipInRead(qsizetype n) { m_skip = n; }
    bool restOfReadEmpty() const { return m_here.size() <= 1; }
    // The bootstrap phase's answer `b`: true when it was the bootstrap's to take.
    bool bootAnswer(quint8 b, MachineStep &step);
    // The program has answered that it runs: logs its size and "Brasvik started...".
    void logProgramStarted(MachineStep &step);

    // The device reported the end: success when the data went through, else a failure.
    void succeed(MachineStep &step, const QString &finishedLine, const QString &text);
    // Logs `line` and ends with `text` (default: the aborted heading and `line`).
    void endWithError(MachineStep &step, const QString &line, TransferOutcome outcome,
                      const QString &text = {});
    void setResult(TransferOutcome outcome, const QString &text)
    {
        m_outcome = outcome;
        m_resultText = text;
    }
    void setResultText(const QString &text) { m_resultText = text; }
    void setOutcome(TransferOutcome outcome) { m_outcome = outcome; }
    // Stops the whole machine (Idle), unless it has ended.
    void stopAll();
    // The end, asked for now: the outcome and report are final from here on.
    void endNow(MachineStep &step);
    ByteCount m_bytes;

    BootRules m_rules;
    Tally m_tally;

private:
    void wrongBootAnswer(bool shortWait, MachineStep &step);

    int m_state = int(BootState::Idle); // a value of the subclass's State
    int m_initialWaitMs = 2000;
    int m_loaderSize = 0;
    int m_programSize = 0;
    TransferOutcome m_outcome = TransferOutcome::Failed;
    QString m_resultText;
    MachineWatchdog m_watchdog;
    QByteArrayView m_here; // the bytes of the current read from the one being answered on
    QByteArrayView m_rest; // the bytes of the current read after the one being answered
    qsizetype m_skip = 0;
    bool m_restAnswersNothing = false;
    bool m_keepWaiting = false;
};
