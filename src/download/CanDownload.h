#pragma once

#include "download/DownloadMachine.h"

#include <array>

// Flash or retain values over CAN after the bootstrap phase over RS-232: the erase command
// (flash only), then one block at a time, four data messages and the command, each answered on
// the reply identifier; an empty block is the end marker, answered 0xAA.
class CanDownload : public DownloadMachine
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
        WaitCanPhase, // the program runs; the CAN phase starts when the session is idle
        WaitErase,
        Programming,
    };
    static_assert(startsWithBootStates<State>());

    static constexpr quint8 CanEraseFinished = 0x33;
    static constexpr quint32 CanCommandId = 0x63F;
    static constexpr quint32 CanDataIds[4] = {0x23F, 0x33F, 0x43F, 0x53F};
    static constexpr quint32 CanReplyId = 0x5BF;

    explicit CanDownload(DownloadJob job);

    void canPhaseStart(MachineStep &step) override;
    void canFrame(const TCANMsg &frame, MachineStep &step) override;

    State state() const { return stateAs<State>(); }

protected:
    void programRunning(MachineStep &step) override;

private:
    void SendCANFlashBlock(MachineStep &step);
    void SendCANRetainBlock(MachineStep &step);
    void sendCanBlock(const QByteArray &data, MachineStep &step);

    TCANMsg m_canCommand {};
    std::array<TCANMsg, 4> m_canData {};
};
