#pragma once

#include "comm/CanDongleLibrary.h"

#include <QByteArray>

// The receive side of a CAN upload: the latest message of each of the five identifiers the
// device answers on. A batch of 32 bytes travels in four data messages (0x1BF..0x4BF, 8 bytes
// each, in any order) and a status message (0x5BF) whose first byte says 0x20 (batch complete)
// or 0x00 (no more data). Each message waits in its slot until the batch is whole; a short data
// message is replaced by a later one. The same full message twice is harmless (a frame the bus
// delivered again); a different one after a full one leaves no way to tell which is the
// device's, and is a conflict.
class CANUploadBatch
{
public:
    static constexpr quint32 StatusId = 0x5BF;
    static constexpr quint32 DataIds[4] = {0x1BF, 0x2BF, 0x3BF, 0x4BF};
    static constexpr qint32 BatchSize = 32;
    static constexpr quint8 StatusBatchComplete = 0x20;
    static constexpr quint8 StatusEndOfData = 0x00;
    static constexpr quint8 StatusRegionAccepted = 0xAA;

    enum class Event {
        Empty, // a message without data: dropped, the watchdog is left alone
        Foreign, // not one of the five identifiers: nothing stored
        Waiting, // stored; the batch is not complete yet
        Complete, // status 0x20 and four full data messages: batch() holds the 32 bytes
        EndOfData, // status 0x00
        Conflict, // a data message whose slot already holds a different one: conflictId()
    };

    // Stores a message and says where the batch stands.
    Event take(const TCANMsg &msg);
    // The 32 bytes of a complete batch, in data-message order.
    QByteArray batch() const;
    // Empties the five slots.
    void clear();
    // The identifier of the last conflict.
    quint32 conflictId() const { return m_conflictId; }

private:
    TCANMsg m_status;
    TCANMsg m_data[4];
    quint32 m_conflictId = 0;
};
