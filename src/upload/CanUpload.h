#pragma once

#include "upload/CANUploadBatch.h"
#include "upload/UploadMachine.h"

// A reading over CAN after the bootstrap phase over RS-232: a flash region is asked for and
// must be accepted (0xAA); then batches of 32 bytes are asked for with 0x55, one request in
// flight at a time, until the status says that no data are left. Retain values skip the region
// request.
class CanUpload : public UploadMachine
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
        WaitRegionAccepted,
        Reading,
    };
    static_assert(startsWithBootStates<State>());

    static constexpr int CanTimeoutMs = 5000;
    static constexpr quint32 CanCommandId = 0x63F;

    explicit CanUpload(UploadJob job);

    void canPhaseStart(MachineStep &step) override;
    void canFrame(const TCANMsg &frame, MachineStep &step) override;

    State state() const { return stateAs<State>(); }

protected:
    void programRunning(MachineStep &step) override;

private:
    void StoreCANBlock(MachineStep &step);
    void requestBatch(MachineStep &step);

    CANUploadBatch m_batch;
    TCANMsg m_canCommand {};
};
