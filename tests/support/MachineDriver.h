#pragma once

#include "transfer/TransferMachine.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// One thing that happens to a protocol machine, as a test writes it.
struct MachineInput
{
    enum class Kind { Read, Frame, Timeout, CanPhase, UserBreak, LineError, CanError };
    Kind kind = Kind::Read;
    QByteArray bytes; // Read: the bytes of one read; Timeout: late bytes
    TCANMsg frame {};
    quint32 code = 0; // LineError: flags; CanError: the library's code

    static MachineInput read(const QByteArray &bytes) { return {Kind::Read, bytes, {}, 0}; }
    static MachineInput read(quint8 byte) { return read(QByteArray(1, char(byte))); }
    static MachineInput hex(const char *hex) { return read(QByteArray::fromHex(hex)); }
    static MachineInput timeout(const QByteArray &late = {})
    {
        return {Kind::Timeout, late, {}, 0};
    }
    static MachineInput canPhase() { return {Kind::CanPhase, {}, {}, 0}; }
    static MachineInput userBreak() { return {Kind::UserBreak, {}, {}, 0}; }
    static MachineInput lineError(quint32 flags) { return {Kind::LineError, {}, {}, flags}; }
    static MachineInput canError(quint32 code) { return {Kind::CanError, {}, {}, code}; }
    // A CAN frame with identifier `id` and the data bytes given.
    static MachineInput can(quint32 id, const QByteArray &data);
    static MachineInput reply(quint32 id, quint8 status)
    {
        return can(id, QByteArray(1, char(status)));
    }
};

Q_DECLARE_METATYPE(MachineInput)

// A CAN frame as bytes: the identifier (4 bytes, big-endian), then its data.
QByteArray frameKey(const TCANMsg &frame);

// Drives one protocol machine the way its session does, with no event loop, link or clock:
// target programs are answered from memory, and everything the machine asks for is recorded.
// Time passes only through `elapsedMs` (and `msPerInput` with each read or frame); the machine
// says when it needs a time-out (deadline()), and the driver gives it one when the time has
// come. Serial bytes wait in the line's buffer until the machine reads them (no more than
// readLimit() at a time) or drops them.
class MachineDriver
{
public:
    static const QByteArray LoaderBytes;
    static const QByteArray ProgramBytes;

    explicit MachineDriver(std::unique_ptr<TransferMachine> machine);

    TransferMachine &machine() { return *m_machine; }
    template<class M> M &as() { return static_cast<M &>(*m_machine); }

    // The boot prompt confirmed.
    void confirm();
    void feed(const MachineInput &input);
    void feed(const QList<MachineInput> &list);
    // The device falls silent: the time runs on to each deadline until the machine asks for
    // the end (a re-request or two may come first).
    void silence();

    // What the machine asked for.
    QByteArray takeSent(); // serial bytes since the last call
    QList<TCANMsg> takeFrames(); // CAN frames since the last call
    QByteArray sent() const { return m_sent; } // all serial bytes
    QList<QByteArray> sends; // every serial transmission, one entry each
    QList<TCANMsg> frames() const { return m_frames; }
    QStringList logs;
    QList<TransferPhase> phases;
    QString status;
    bool watchdogRunning() const { return m_machine->deadline() >= 0; }
    int wait() const { return m_machine->waitMs(); } // the watchdog's interval
    int finishRequests = 0;
    int canPhaseRequests = 0;
    int discards = 0;
    int dongleClosed = 0;
    // Serial bytes or frames the machine sent after it asked for the end.
    int sendsAfterFinish = 0;
    qint64 lastProgress = -1;
    // Steps after which the machine waited for an answer with no watchdog running: a device
    // that then falls silent would hang the transfer forever.
    int hangs = 0;
    bool canPhaseStarted = false;
    // Set when the target program cannot be read (its error text).
    QString unreadable[2];
    qint64 elapsedMs = 0;
    int msPerInput = 0;

    // The line in both directions, in order: what went out and what the machine read.
    struct Exchange
    {
        bool sent = false;
        QByteArray bytes; // serial bytes; over CAN the frame's identifier and data
        bool can = false;
    };
    QList<Exchange> wire;
    // Serial bytes that came, were read by the machine, dropped on its request, or dropped while
    // it expected nothing.
    qint64 bytesCome = 0;
    qint64 bytesRead = 0;
    qint64 bytesDiscarded = 0;
    qint64 bytesDropped = 0;
    int inputs = 0; // fed since the boot prompt

    bool finished() const { return finishRequests > 0; }
    TransferOutcome outcome() const { return m_machine->outcome(); }
    QString result() const;

private:
    void carryOut(const MachineStep &step);
    void step(const std::function<void(MachineStep &)> &input);
    void timeout(const QByteArray &late);
    // The time passes by `ms`; a deadline it reaches runs out first.
    void pass(int ms);
    // Reads what the line holds, as the session does on each arrival.
    void readLine();

    std::unique_ptr<TransferMachine> m_machine;
    QByteArray m_sent;
    qsizetype m_sentTaken = 0;
    QList<TCANMsg> m_frames;
    qsizetype m_framesTaken = 0;
    QByteArray m_line; // come and not read yet
};
