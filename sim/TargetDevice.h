#pragma once

#include "DeviceContext.h"
#include "StandInProgram.h"
#include "TargetBehaviour.h"

#include <QByteArray>

#include <memory>
#include <optional>

// The simulated controller: its on-chip bootstrap loader (boot byte 0x00, identification
// byte, then a loader and a target program, each complete when the length in its header has
// arrived) and then the target program it was given. A loader or program that is not a
// stand-in, that does not belong to the other or that does not fit this device is refused by
// staying silent, as a real device would run off into the weeds.
class TargetDevice
{
public:
    TargetDevice(const SimOptions &options, DeviceMemory &memory, DeviceOutput &output,
                 SimSummary &summary);
    ~TargetDevice();
    TargetDevice(const TargetDevice &) = delete;
    TargetDevice &operator=(const TargetDevice &) = delete;

    // Reset into the bootstrap loader (the boot pushbutton and a restart).
    void powerOn();
    // A fixture resets the device through the modem lines: until bootLinesSeen() no boot
    // byte counts.
    void requireBootLines() { m_bootLinesSeen = false; }
    // The pattern has come: reset into the bootstrap loader.
    void bootLinesSeen();
    // The tool has opened its end of the line (stray bytes at startup go out now).
    void lineOpened(SimClock::Micros at);

    void serialByte(quint8 byte, SimClock::Micros at);
    void canFrame(quint32 id, QByteArrayView data, SimClock::Micros at);

private:
    enum class Stage { WaitBoot, Loader, Program, Running, Refused };

    void collect(quint8 byte, SimClock::Micros at);
    void loaderComplete(SimClock::Micros at);
    void programComplete(SimClock::Micros at);
    void refuse(const QString &why);
    // Why a program cannot run on this device and bus; empty when it can.
    QString misfit(const StandInProgram &program) const;

    DeviceContext m_ctx;
    Stage m_stage = Stage::WaitBoot;
    bool m_bootLinesSeen = true;
    QByteArray m_buffer;
    int m_expected = 0;
    std::optional<StandInProgram> m_loader;
    std::unique_ptr<TargetBehaviour> m_program;
};
