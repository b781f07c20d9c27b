#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class QTemporaryDir;

// Files a test writes into a directory of its own, and the data they hold.

// Bytes counting in steps of 13 modulo 253: no run of them looks like erased flash.
QByteArray countingPattern(qsizetype n, int seed = 1);
// Writes `data` to `name` in `dir`: its path, or empty when it could not be written whole.
QString writeTestFile(const QTemporaryDir &dir, const QString &name, const QByteArray &data);
QByteArray readTestFile(const QString &path);
// A stand-in target program at `path` holding `data`: an extended address record of 0, one
// data record at offset 0 (its checksum byte left 00) and the end record.
void writeTargetHex(const QString &path, const QByteArray &data);

// An image with `chunkBytes` of data at the start of each of the first `sectors` flash sectors,
// byte `i` of sector `s` being `byte(s, i)`.
struct SectorImage
{
    QByteArray text; // H86 in 32-byte records
    QByteArray flash; // the 1 MiB of flash it leaves in the device (erased elsewhere)
};
SectorImage sectorImage(int sectors, int chunkBytes, const std::function<char(int, int)> &byte);
