#pragma once

#include <QByteArrayView>
#include <QtGlobal>

// CRC-16 with the reflected polynomial 0xA001, initial value 0xFFFF and no final XOR
// (check value 0x4B37 for "123456789"), as carried by remote-update files.
class Crc16
{
public:
    void update(QByteArrayView data);
    void update(quint8 byte);
    quint16 value() const { return quint16(m_hi << 8 | m_lo); }

    static quint16 compute(QByteArrayView data);

private:
    quint8 m_hi = 0xFF;
    quint8 m_lo = 0xFF;
};
