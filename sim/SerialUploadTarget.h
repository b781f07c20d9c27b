#pragma once

#include "TargetBehaviour.h"

#include <QByteArray>

// The upload programs over RS-232: a sector range (46xx flash only), then one 256-byte block
// with its header 0xAA and check byte per request 0x55, the same block again on 0x5A, and
// the end mark 0xA5 when nothing is left.
class SerialUploadTarget : public TargetBehaviour
{
public:
    enum class Kind { Flash46xx, Flash4610, Retain };

    SerialUploadTarget(DeviceContext &context, Kind kind);

    void start(SimClock::Micros at) override;
    void serialByte(quint8 byte, SimClock::Micros at) override;

    static constexpr int BlockSize = 256;

private:
    enum class State { WaitStartSector, WaitEndSector, WaitRequest, Finished };

    void sendBlock(bool again, SimClock::Micros at);

    Kind m_kind;
    State m_state = State::WaitStartSector;
    int m_firstSector = 0;
    QByteArray m_source; // the bytes the region covers
    int m_sourceAddress = 0; // device address of m_source[0]
    int m_next = 0; // offset of the next block to send
    int m_block = 0; // number of the block sent last, counted from 1
};
