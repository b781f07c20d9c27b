#pragma once

#include "download/DownloadMachine.h"

// Retain values (NV RAM) over RS-232 after the bootstrap phase: frames of 16 bytes with a
// checksum, each answered 0x55, and the end marker answered 0xAA.
class SerialRetainDownload : public DownloadMachine
{
public:
    enum class State {
        // Those of every machine (BootState).
        Idle,
        Ended,
        WaitTargetId,
        WaitLoaderStarted,
        WaitProgramStarted,
        // The protocol's.
        Programming,
    };
    static_assert(startsWithBootStates<State>());

    explicit SerialRetainDownload(DownloadJob job);

    State state() const { return stateAs<State>(); }

protected:
    void programRunning(MachineStep &step) override;
    bool isAnswer(quint8 b) const override;
    void answer(quint8 b, MachineStep &step) override;

private:
};
