#pragma once

#include "DeviceMemory.h"
#include "DeviceOutput.h"
#include "FaultStep.h"
#include "SimOptions.h"
#include "SimSummary.h"

// What every stage of the device shares: its memory, its options, the output, the summary
// and the state of the injected faults. Answers go through here so that "silent from a step
// on" and stray bytes apply to every protocol alike.
class DeviceContext
{
public:
    DeviceContext(const SimOptions &options, DeviceMemory &memory, DeviceOutput &output,
                  SimSummary &summary);

    const SimOptions &options;
    DeviceMemory &memory;
    SimSummary &summary;

    // Sends a serial answer for a step at the given time, unless the device has gone silent.
    void answer(const FaultStep &step, const QByteArray &bytes, SimClock::Micros at);
    void answer(FaultStep::Kind kind, quint8 byte, SimClock::Micros at);
    // Sends a CAN message for a step, unless the device has gone silent.
    void sendCan(const FaultStep &step, quint32 id, const QByteArray &data, SimClock::Micros at);

    void event(const QString &text);
    void fault(const QString &text);
    void ended(bool complete, const QString &result, SimClock::Micros at);

    static QString hexByte(quint8 byte)
    {
        return QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
    }
    static QString hexAddress(int address)
    {
        return QStringLiteral("%1").arg(address, 6, 16, QLatin1Char('0')).toUpper()
            + QLatin1Char('h');
    }

    bool isSilent() const { return m_silent; }
    // Checks "silent from" for a step the device is about to answer; true when it must not.
    bool silencedAt(const FaultStep &step);

    // One-shot faults: each returns true (and uses the fault up) when it applies to block n.
    bool takeRefusal(int block);
    bool compareErrorAt(int block);
    bool takeBadCheck(int block);
    bool takeShortBlock(int block);

    // Stray bytes before the boot byte, when asked for.
    void sendStartupStray(SimClock::Micros at);

private:
    void maybeStray(const FaultStep &step, SimClock::Micros at);

    DeviceOutput &m_output;
    bool m_silent = false;
    int m_refusalsLeft = 0;
    bool m_badCheckDone = false;
    bool m_shortDone = false;
    bool m_strayDone = false;
};
