#pragma once

#include "DeviceMemory.h"
#include "DeviceOutput.h"
#include "ModemLinePattern.h"
#include "SimOptions.h"
#include "SimSummary.h"
#include "TraceWriter.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>

class SimCanLink;
class SimSerialLink;
class TargetDevice;

// Puts the simulator together: the memory, the device model, the serial and CAN links and
// the trace; decides when a run ends and reports it.
//
// Exit codes: 0 the run ended normally (in one-shot mode: with a complete transfer), 1 the
// simulator could not start, 2 a one-shot run ended without a complete transfer.
class SimRunner : public QObject, public DeviceOutput
{
    Q_OBJECT

public:
    explicit SimRunner(const SimOptions &options, QObject *parent = nullptr);
    ~SimRunner() override;

    bool start(QString *error);
    // Ends the run: saves the memory, flushes the trace, prints the summary, quits the loop.
    void finish(int exitCode);
    // Ends the run from outside (a signal), with the exit code the run has earned so far.
    void stop() { finish(m_options.oneShot && !m_complete ? 2 : 0); }
    // The next of --units takes the device's place on the link (SIGUSR1): the memory is saved
    // to the old unit's file and loaded from the new one's, and the device waits for its boot
    // byte. Prints "brasvik-sim: unit FILE".
    void swapUnit();

    void sendSerial(const QByteArray &bytes, SimClock::Micros at) override;
    void sendCan(quint32 id, const QByteArray &data, SimClock::Micros at) override;
    void event(const QString &text) override;
    void transferEnded(bool complete, SimClock::Micros at) override;

private:
    bool openSerial(QString *error);
    void serialReceived(const QByteArray &bytes, qint64 firstNs, qint64 perByteNs);
    void hostClosed();
    void hungUp(const QString &why);
    void saveMemory();
    void announce(const QString &what, const QString &value);
    // --boot-lines: watch the tool's DTR and RTS on a real serial device.
    void watchBootLines();
    void pollBootLines();

    SimOptions m_options;
    qsizetype m_nextUnit = 0;
    bool m_altered = false;
    DeviceMemory m_memory;
    SimSummary m_summary;
    TraceWriter m_trace;
    std::unique_ptr<TargetDevice> m_device;
    std::unique_ptr<SimSerialLink> m_serial;
    std::unique_ptr<SimCanLink> m_can;
    QTimer m_traceFlush;
    QTimer m_lingerAfterEnd;
    QTimer m_timeLimit;
    QTimer m_modemPoll;
    std::optional<ModemLinePattern> m_bootLines;
    int m_lastLines = -1; // (dtr << 1 | rts) at the last poll; -1 before the first
    bool m_complete = false;
    bool m_finished = false;
};
