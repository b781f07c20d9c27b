#pragma once

#include "download/DownloadMachine.h"

// Retain values (NV RAM) over RS-232 after the bootstrap phase: frames of 16 bytes with a
// checksum, each answered 0x55, and the end marker answered 0xAA.
class SerialRetainDownload : public DownloadMachine
{
public:
    enum class State {
        Idle,
        Booting,
        Programming,
    };

    explicit SerialRetainDownload(DownloadJob job);

    void serialRead(QByteArrayView bytes, MachineStep &step) override;

    State state() const { return m_state; }

protected:
    bool protocolIdle() const override { return m_state == State::Idle; }
    void stopProtocol() override { m_state = State::Idle; }
    void programRunning(MachineStep &step) override;
    bool isAnswer(quint8 b) const override;
    void answer(quint8 b, MachineStep &step) override;

private:
    State m_state = State::Booting;
};
