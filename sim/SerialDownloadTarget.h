#pragma once

#include "TargetBehaviour.h"

#include <QByteArray>

// The download programs over RS-232: flash programming of a 46xx device (sector range,
// erase, checksummed block frames), of the 4610 board (erase at once, then blocks, then
// optionally 0xF0 and retain frames into the NV parameter area), and retain values
// programming (retain frames into the NV RAM).
class SerialDownloadTarget : public TargetBehaviour
{
public:
    enum class Kind { Flash46xx, Flash4610, Retain };

    SerialDownloadTarget(DeviceContext &context, Kind kind);

    void start(SimClock::Micros at) override;
    void serialByte(quint8 byte, SimClock::Micros at) override;

private:
    enum class State {
        WaitStartSector,
        WaitEndSector,
        Erasing,
        WaitFlashFrame,
        CollectFlashFrame,
        WaitRetainFrame,
        CollectRetainFrame,
        Finished
    };

    void erase(int first, int end, SimClock::Micros at);
    void flashFrame(SimClock::Micros at);
    void retainFrame(SimClock::Micros at);
    void finish(SimClock::Micros at);

    Kind m_kind;
    State m_state = State::WaitStartSector;
    int m_firstSector = 0;
    QByteArray m_frame;
    int m_frameLength = 0;
    int m_block = 1; // number of the block being received, counted from 1
    QByteArray *m_retainTarget = nullptr; // NV RAM, or the 4610's NV parameter area
    int m_retainOffset = 0;
};
