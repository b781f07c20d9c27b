#include "core/Crc16.h"

#include <QTest>

class tst_Crc16 : public QObject
{
    Q_OBJECT

private slots:
    void knownValues_data();
    void knownValues();
    void incrementalEqualsWhole();
    void matchesBitwiseDefinition();
};

void tst_Crc16::knownValues_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("crc");

    QTest::newRow("empty") << QByteArray() << 0xFFFF;
    QTest::newRow("check value") << QByteArray("123456789") << 0x4B37;
    QTest::newRow("read holding registers") << QByteArray::fromHex("010300000001") << 0x0A84;
}

void tst_Crc16::knownValues()
{
    QFETCH(QByteArray, data);
    QFETCH(int, crc);
    QCOMPARE(Crc16::compute(data), quint16(crc));
}

void tst_Crc16::incrementalEqualsWhole()
{
    QByteArray data;
    for (int i = 0; i < 1000; ++i)
        data += char(i * 37);
    Crc16 crc;
    crc.update(QByteArrayView(data).first(333));
    for (qsizetype i = 333; i < 500; ++i)
        crc.update(quint8(data[i]));
    crc.update(QByteArrayView(data).sliced(500));
    QCOMPARE(crc.value(), Crc16::compute(data));
}

// The split tables must give the same register as shifting bit by bit, for every byte value.
void tst_Crc16::matchesBitwiseDefinition()
{
    QByteArray data;
    for (int i = 0; i < 256; ++i)
        data += char(i);
    data += QByteArray(4, char(0xFF));
    quint16 expected = 0xFFFF;
    for (char c : data) {
        expected ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            expected = (expected & 1) ? quint16((expected >> 1) ^ 0xA001) : quint16(expected >> 1);
    }
    QCOMPARE(Crc16::compute(data), expected);
}

QTEST_GUILESS_MAIN(tst_Crc16)
#include "tst_crc16.moc"
