#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class QProcess;

// How to start the simulated device (brasvik-sim; sim/README.md describes every option).
struct SimDeviceOptions
{
    QString device = QStringLiteral("46xx"); // "46xx" or "4610"
    int idByte = 0xC5;
    int baud = 0; // pace the serial line at this bit rate; 0: unpaced
    bool can = false; // host a virtual CAN bus on a free port (canBus() names it)
    int canChannel = 0; // 1 or 2; 0: the device answers CAN programs for either channel
    int canBitrate = 0; // bit/s; CAN programs for another rate are refused; 0: any
    bool canPace = false; // pace frames at canBitrate
    bool oneShot = true; // end after one transfer (when the tool closes its port)
    int eraseMs = 100;
    int exitAfterSeconds = 120; // safety net for a test that never finishes
    // Written to the memory file before the start (flash, then the 4610's NV parameters,
    // then the NV RAM); empty: a fresh device (flash erased, NV RAM zero).
    QByteArray initialMemory;
    // Faults and anything else, e.g. {"--refuse-block", "3"}.
    QStringList extraArguments;
};

// One line of the simulator's trace.
struct SimTraceLine
{
    enum class Kind { HostToDevice, DeviceToHost, Event };

    qint64 micros = 0; // since the simulator started
    Kind kind = Kind::Event;
    bool can = false; // a CAN message (else serial bytes or an event)
    quint32 canId = 0;
    QByteArray bytes; // serial bytes or CAN data
    QString text; // events
};

// A running brasvik-sim for one test: starts it in the constructor and stops it in the
// destructor. The memory and trace files live in a temporary directory of its own.
//
//     SimDevice sim;                       // a 46xx device on a pseudo-terminal
//     QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
//     ... point COM1 at sim.serialPath() and run a transfer ...
//     QVERIFY(sim.waitForFinished());
//     QCOMPARE(sim.flash().mid(0x10000, 2), QByteArray::fromHex("1234"));
//
// Waiting keeps the calling thread's event loop running, so a transfer driven by that loop
// goes on while the test waits.
class SimDevice
{
public:
    explicit SimDevice(const SimDeviceOptions &options = {});
    ~SimDevice();
    SimDevice(const SimDevice &) = delete;
    SimDevice &operator=(const SimDevice &) = delete;

    bool isReady() const { return m_ready; }
    QString errorString() const { return m_error; }
    // The pseudo-terminal end to open as the tool's COM port. After a hang-up in a run that
    // is not one-shot the device announces a fresh one; it shows here once the calling
    // thread's event loop has run (QTRY_VERIFY does).
    QString serialPath() const { return m_serialPath; }
    // The virtual CAN bus in the "CANBus" notation (empty without CAN).
    QString canBus() const { return m_canBus; }

    // The next of the run's --units takes the device's place (SIGUSR1); false when the device
    // did not say so in time.
    bool swapUnit(int msecs = 5000);
    // Waits until a one-shot run has ended; false on time-out.
    bool waitForFinished(int msecs = 60000);
    bool isRunning() const;
    // 0: complete transfer; 2: ended without one; 1: could not start; -1: still running.
    int exitCode() const;
    // Ends a run (SIGTERM: the memory is saved and the summary printed) and waits.
    void stop();

    QString standardOutput() const;
    QString standardError() const;
    // The summary lines without their prefix ("result: download complete", ...).
    QStringList summary() const;
    // The value of one summary line, e.g. summaryValue("result").
    QString summaryValue(const QString &key) const;

    QString memoryFile() const;
    QString traceFile() const;
    QByteArray memory() const;
    QByteArray flash() const;
    QByteArray nvParameters() const;
    QByteArray nvRam() const;

    QList<SimTraceLine> trace() const;
    // Serial bytes of one direction, concatenated in order.
    QByteArray hostBytes() const;
    QByteArray deviceBytes() const;
    QList<SimTraceLine> canMessages() const;
    QStringList events() const;

    static QString executable();
    // The stand-in target programs (never where the tool looks by default).
    static QString h86Directory();
    static QList<SimTraceLine> parseTrace(const QByteArray &text);

private:
    void collectOutput();

    SimDeviceOptions m_options;
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_stdout;
    QByteArray m_stderr;
    QString m_serialPath;
    QString m_canBus;
    QString m_error;
    bool m_ready = false;
};
