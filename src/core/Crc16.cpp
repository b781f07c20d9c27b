#include "core/Crc16.h"

#include <array>

namespace {

// The usual split tables: the CRC register is kept as a high and a low byte.
struct Tables
{
    std::array<quint8, 256> hi {};
    std::array<quint8, 256> lo {};
};

constexpr Tables makeTables()
{
    Tables t;
    for (int i = 0; i < 256; ++i) {
        quint16 crc = quint16(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
        t.hi[i] = quint8(crc >> 8);
        t.lo[i] = quint8(crc & 0xFF);
    }
    return t;
}

constexpr Tables tables = makeTables();

} // namespace

void Crc16::update(quint8 byte)
{
    const quint8 index = m_lo ^ byte;
    m_lo = m_hi ^ tables.lo[index];
    m_hi = tables.hi[index];
}

void Crc16::update(QByteArrayView data)
{
    for (char c : data)
        update(quint8(c));
}

quint16 Crc16::compute(QByteArrayView data)
{
    Crc16 crc;
    crc.update(data);
    return crc.value();
}
