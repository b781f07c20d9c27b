#pragma once

#include "upload/UploadBlock.h"
#include "upload/UploadMachine.h"

// A reading over RS-232 after the bootstrap phase: blocks of 256 bytes and a check byte, each
// asked for with 0x55 and answered with the header 0xAA, re-requested with 0x5A on a bad check
// byte (MaxRepeats times per block at most) or a time-out (twice per block at most), until the
// device answers 0xA5. A flash region is first asked for with its start and end sector; the 4610
// board's program answers its start in place of the end sector's acknowledgement; retain values
// are read at once.
class SerialUpload : public UploadMachine
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
        WaitBlock, // a request is out: the header or the end is due
        ReceivingBlock,
    };
    static_assert(startsWithBootStates<State>());

    static constexpr int SectorTimeoutMs = 1000;
    static constexpr int BlockTimeoutMs = 2000;
    static constexpr int RetainBlockTimeoutMs = 1500;
    // Re-requests after time-outs within one block; the next time-out ends the reading.
    static constexpr int MaxBlockRetries = 2;

    static constexpr quint8 BlockRefused = 0x5A;
    static constexpr quint8 BlockHeader = 0xAA;
    static constexpr quint8 EndMark = 0xA5;
    static constexpr quint8 SectorAck = 0xAA;

    explicit SerialUpload(UploadJob job);

    void serialRead(QByteArrayView bytes, MachineStep &step) override;
    void timeout(QByteArrayView late, MachineStep &step) override;
    qint64 readLimit() const override;
    bool takesLateBytes() const override { return state() == State::ReceivingBlock; }

    State state() const { return stateAs<State>(); }

protected:
    void programRunning(MachineStep &step) override;
    void programSent(MachineStep &step) override;
    bool isAnswer(quint8 b) const override;
    void answer(quint8 b, MachineStep &step) override;

private:
    void startSectorAnswered(quint8 b, MachineStep &step);
    void endSectorAnswered(quint8 b, MachineStep &step);
    void blockAnswer(quint8 b, MachineStep &step);
    // Takes as much of `bytes` as the block has room for; returns how many.
    qint32 blockBytes(QByteArrayView bytes, MachineStep &step);
    // `followed`: more bytes came in the read that completed it.
    void CheckBlock(bool followed, MachineStep &step);
    void badCheckTooOften(MachineStep &step);
    void request(quint8 byte, MachineStep &step);

    UploadBlock m_block;
    qint32 m_retryCount = 0;
    int m_badChecks = 0; // of the block asked for
};
