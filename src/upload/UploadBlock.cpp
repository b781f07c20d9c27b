#include "upload/UploadBlock.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr quint8 CheckSeed = 0xAA;
}

quint8 UploadBlock::checkByteFor(QByteArrayView data)
{
    quint8 x = CheckSeed;
    for (char c : data)
        x ^= quint8(c);
    return x;
}

qint32 UploadBlock::append(QByteArrayView bytes)
{
    const qint32 taken = qint32(std::min<qsizetype>(bytes.size(), room()));
    if (taken > 0)
        std::memcpy(m_buffer.data() + m_fill, bytes.data(), size_t(taken));
    m_fill += taken;
    return taken;
}

bool UploadBlock::isGood() const
{
    quint8 x = CheckSeed;
    for (quint8 b : m_buffer)
        x ^= b;
    return x == 0;
}
