#include "upload/CANUploadBatch.h"

#include <cstring>

CANUploadBatch::Event CANUploadBatch::take(const TCANMsg &msg)
{
    if (msg.Len == 0)
        return Event::Empty;
    if (msg.ID == StatusId) {
        m_status = msg;
    } else {
        bool stored = false;
        for (int i = 0; i < 4; ++i) {
            if (msg.ID == DataIds[i]) {
                // A short message is no data yet and may be replaced; a full one may not.
                if (m_data[i].Len == 8
                    && (msg.Len != 8 || std::memcmp(m_data[i].Data, msg.Data, 8) != 0)) {
                    m_conflictId = msg.ID;
                    return Event::Conflict;
                }
                m_data[i] = msg;
                stored = true;
            }
        }
        if (!stored)
            return Event::Foreign;
    }

    if (m_status.Len == 0)
        return Event::Waiting;
    if (m_status.Data[0] == StatusBatchComplete) {
        for (const TCANMsg &d : m_data) {
            if (d.Len != 8)
                return Event::Waiting;
        }
        return Event::Complete;
    }
    if (m_status.Data[0] != StatusEndOfData)
        return Event::Waiting;
    return Event::EndOfData;
}

QByteArray CANUploadBatch::batch() const
{
    QByteArray bytes;
    bytes.reserve(BatchSize);
    for (const TCANMsg &d : m_data)
        bytes.append(reinterpret_cast<const char *>(d.Data), 8);
    return bytes;
}

void CANUploadBatch::clear()
{
    m_status.Len = 0;
    for (TCANMsg &d : m_data)
        d.Len = 0;
}
