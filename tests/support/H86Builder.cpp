#include "support/H86Builder.h"

#include <algorithm>

QByteArray H86Builder::recordLine(quint8 type, quint16 offset, QByteArrayView payload)
{
    QByteArray raw;
    raw += char(payload.size());
    raw += char(offset >> 8);
    raw += char(offset & 0xFF);
    raw += char(type);
    raw += payload;
    quint8 sum = 0;
    for (char c : raw)
        sum += quint8(c);
    raw += char(quint8(-sum));
    return ':' + raw.toHex().toUpper();
}

H86Builder &H86Builder::data(qint32 address, QByteArrayView bytes, int perRecord)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const qint32 at = address + qint32(done);
        const qint32 upper = at >> 16;
        if (upper != m_upper) {
            const char word[2] = {char(upper >> 8), char(upper & 0xFF)};
            record(0x04, 0, QByteArrayView(word, 2));
            m_upper = upper;
        }
        // A record never crosses a 64 KiB boundary.
        const qsizetype room = 0x10000 - (at & 0xFFFF);
        const qsizetype n = std::min({qsizetype(perRecord), bytes.size() - done, room});
        record(0x00, quint16(at & 0xFFFF), bytes.sliced(done, n));
        done += n;
    }
    return *this;
}

H86Builder &H86Builder::record(quint8 type, quint16 offset, QByteArrayView payload)
{
    m_lines += recordLine(type, offset, payload);
    return *this;
}

H86Builder &H86Builder::line(const QByteArray &raw)
{
    m_lines += raw;
    return *this;
}

H86Builder &H86Builder::end()
{
    return record(0x01, 0, {});
}

QByteArray H86Builder::text(const QByteArray &eol) const
{
    QByteArray out;
    for (const QByteArray &l : m_lines)
        out += l + eol;
    return out;
}
