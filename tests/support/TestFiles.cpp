#include "support/TestFiles.h"

#include "core/SectorMap.h"
#include "support/H86Builder.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

QByteArray countingPattern(qsizetype n, int seed)
{
    QByteArray b(n, Qt::Uninitialized);
    for (qsizetype i = 0; i < n; ++i)
        b[i] = char((i * 13 + seed) % 0xFD);
    return b;
}

QString writeTestFile(const QTemporaryDir &dir, const QString &name, const QByteArray &data)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
        return {};
    return path;
}

QByteArray readTestFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeTargetHex(const QString &path, const QByteArray &data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(":020000040000FA\r\n");
    f.write(":" + QByteArray::number(data.size(), 16).rightJustified(2, '0') + "000000"
            + data.toHex().toUpper() + "00\r\n");
    f.write(":00000001FF\r\n");
}

SectorImage sectorImage(int sectors, int chunkBytes, const std::function<char(int, int)> &byte)
{
    SectorImage image;
    image.flash = QByteArray(0x100000, char(0xFF));
    H86Builder h86;
    for (int s = 0; s < sectors; ++s) {
        QByteArray chunk(chunkBytes, Qt::Uninitialized);
        for (int i = 0; i < chunkBytes; ++i)
            chunk[i] = byte(s, i);
        image.flash.replace(SectorStart(s), chunkBytes, chunk);
        h86.data(SectorStart(s), chunk, 32);
    }
    image.text = h86.end().text();
    return image;
}
