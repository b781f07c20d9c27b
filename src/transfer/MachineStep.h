#pragma once

#include "comm/CanDongleLibrary.h"
#include "transfer/TransferRecord.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

// The two target programs of a transfer, in the order they are sent.
enum class TargetProgram { Loader, Program };

// One thing a protocol machine asks its session to do.
struct MachineAction
{
    enum class Kind {
        Send, // write `bytes` on the serial line
        SendCan, // send `frame` on the CAN bus
        Log, // one log line `text`
        Phase, // `phase` entered
        Progress, // the image position `value` reached
        Status, // the status text `text`
        DiscardInput, // drop whatever the serial line has brought and not been read
        LoadTarget, // read target program `value` (a TargetProgram) and hand it back
        StartCanPhase, // move to CAN once the event loop is idle
        Finish, // end the transfer once the event loop is idle
        CloseDongle, // close the CAN dongle (the link stays until the end)
    };

    Kind kind = Kind::Log;
    QByteArray bytes;
    TCANMsg frame {};
    qint64 value = 0;
    QString text;
    TransferPhase phase = TransferPhase::Starting;
};

// A machine's watchdog as a value, on the clock of its steps: the wait, and when it runs out
// (-1: stopped).
struct MachineWatchdog
{
    int waitMs = 0;
    qint64 deadline = -1;
};

// One step of a protocol machine: what the session tells it about the moment (the time since
// the boot prompt was confirmed) and, in order, what the machine asks the session to do. The
// machine has no clock, link or timer of its own: its watchdog is a value that the step's
// arm(), stop() and setWait() keep, so that the machine always knows its deadline; the session's
// timer follows that deadline, and no action is needed for it.
class MachineStep
{
public:
    explicit MachineStep(qint64 elapsedMs = 0, MachineWatchdog *watchdog = nullptr)
        : m_elapsedMs(elapsedMs), m_watchdog(watchdog)
    { }

    qint64 elapsedMs() const { return m_elapsedMs; }

    // Send-and-arm: the watchdog is armed with every serial transmission.
    void send(const QByteArray &bytes);
    void sendByte(quint8 byte) { send(QByteArray(1, char(byte))); }
    // CAN transmissions do not arm; the machine arms where the protocol waits.
    void sendCan(const TCANMsg &frame);
    // Starts the watchdog unless it runs.
    void arm();
    void stop();
    // The watchdog's interval; changing it restarts a running watchdog.
    void setWait(int ms);
    // An end from inside an event goes through the watchdog after this short wait.
    static constexpr int AbortDelayMs = 100;
    void endSoon()
    {
        setWait(AbortDelayMs);
        arm();
    }
    void log(const QString &line);
    void phase(TransferPhase phase);
    void progress(qint64 position);
    void status(const QString &text);
    void discardInput() { add(MachineAction::Kind::DiscardInput); }
    void loadTarget(TargetProgram which);
    void startCanPhase() { add(MachineAction::Kind::StartCanPhase); }
    void finish() { add(MachineAction::Kind::Finish); }
    void closeDongle() { add(MachineAction::Kind::CloseDongle); }

    const QList<MachineAction> &actions() const { return m_actions; }
    // Takes back the actions from `index` on and puts the watchdog back as it was then.
    void takeBack(qsizetype index, const MachineWatchdog &was);
    // Serial and CAN transmissions asked for so far.
    int transmissions() const { return m_transmissions; }

private:
    MachineAction &add(MachineAction::Kind kind);

    qint64 m_elapsedMs = 0;
    MachineWatchdog *m_watchdog = nullptr;
    QList<MachineAction> m_actions;
    int m_transmissions = 0;
};
