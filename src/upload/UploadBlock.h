#pragma once

#include <QByteArrayView>
#include <QtGlobal>

#include <array>

// One serial upload block as it is collected from the line: 256 data bytes and a check byte.
// The block is good when the check byte equals 0xAA XOR the 256 data bytes.
class UploadBlock
{
public:
    static constexpr qint32 DataSize = 256;
    static constexpr qint32 FrameSize = DataSize + 1;

    // The check byte the device sends for 256 data bytes.
    static quint8 checkByteFor(QByteArrayView data);

    void reset() { m_fill = 0; }
    // Appends as many bytes as there is room for; returns how many were taken (bytes beyond
    // the 257 of a block are not part of the protocol and are dropped by the caller).
    qint32 append(QByteArrayView bytes);
    qint32 fill() const { return m_fill; }
    qint32 room() const { return FrameSize - m_fill; }
    bool complete() const { return m_fill >= FrameSize; }
    // Only meaningful for a complete block.
    bool isGood() const;
    QByteArrayView data() const
    {
        return QByteArrayView(reinterpret_cast<const char *>(m_buffer.data()), DataSize);
    }

private:
    std::array<quint8, FrameSize> m_buffer {};
    qint32 m_fill = 0;
};
