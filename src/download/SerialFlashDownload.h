#pragma once

#include "download/DownloadMachine.h"

// Flash programming over RS-232 after the bootstrap phase: the start and end sector, the erase,
// the blocks of up to 32 bytes each answered 0x55, and the end marker answered 0xAA. The 4610
// board's program answers its start in place of the sector bytes, and its combined image goes
// on with the NV part in retain-values frames after the flash blocks.
class SerialFlashDownload : public DownloadMachine
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
        WaitStartSectorAck,
        WaitEndSectorAck, // on the 4610 board: waiting for the program's start
        WaitErase,
        Programming,
        RetainProgramming, // the NV part of the board's combined image
    };
    static_assert(startsWithBootStates<State>());

    explicit SerialFlashDownload(DownloadJob job);

    State state() const { return stateAs<State>(); }

protected:
    void programRunning(MachineStep &step) override;
    void programSent(MachineStep &step) override;
    void sendNextFrame(MachineStep &step) override;
    bool isAnswer(quint8 b) const override;
    void answer(quint8 b, MachineStep &step) override;

private:
    void endSectorAcknowledged(MachineStep &step);
    void eraseAnswered(quint8 b, MachineStep &step);
    void SendFlashBlock(MachineStep &step);
    // An answer the protocol has no place for: the transfer ends after the short wait.
    void unexpectedReply(MachineStep &step);
};
