#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QtGlobal>

// Builds Intel HEX text for tests: data records with correct byte counts and checksums,
// extended linear address records whenever the upper address changes, and raw lines.
class H86Builder
{
public:
    // Data records for `bytes` from `address` on, at most `perRecord` bytes each.
    H86Builder &data(qint32 address, QByteArrayView bytes, int perRecord = 16);
    // A record of any type with its checksum.
    H86Builder &record(quint8 type, quint16 offset, QByteArrayView payload);
    // A line exactly as given.
    H86Builder &line(const QByteArray &raw);
    // The end-of-file record.
    H86Builder &end();

    QByteArray text(const QByteArray &eol = "\r\n") const;

    static QByteArray recordLine(quint8 type, quint16 offset, QByteArrayView payload);

private:
    QList<QByteArray> m_lines;
    qint32 m_upper = 0;
};
