#include "core/HexRecord.h"

#include <QTest>

class tst_HexRecord : public QObject
{
    Q_OBJECT

private slots:
    void type_data();
    void type();
    void loadOffset_data();
    void loadOffset();
    void upperAddress_data();
    void upperAddress();
    void data_data();
    void data();
    void check_data();
    void check();
};

void tst_HexRecord::type_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<HexRecord::Type>("type");

    QTest::newRow("00") << QByteArray(":0400000001020304F2") << HexRecord::Type::Data;
    QTest::newRow("04") << QByteArray(":020000040001F9") << HexRecord::Type::ExtendedLinear;
    QTest::newRow("02") << QByteArray(":020000021000EC") << HexRecord::Type::ExtendedSegment;
    QTest::newRow("01") << QByteArray(":00000001FF") << HexRecord::Type::Other;
    QTest::newRow("05") << QByteArray(":04000005000000CD2A") << HexRecord::Type::Other;
    QTest::newRow("03") << QByteArray(":0400000300003800C1") << HexRecord::Type::Other;
    QTest::newRow("10 is not 00") << QByteArray(":0000001000") << HexRecord::Type::Other;
    QTest::newRow("exactly nine characters") << QByteArray(":00000000") << HexRecord::Type::Data;
}

void tst_HexRecord::type()
{
    QFETCH(QByteArray, line);
    QFETCH(HexRecord::Type, type);
    QCOMPARE(HexRecord::type(line), type);
}

void tst_HexRecord::loadOffset_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("offset");

    QTest::newRow("zero") << QByteArray(":0000000000") << 0;
    QTest::newRow("upper case") << QByteArray(":00ABCD0000") << 0xABCD;
    QTest::newRow("lower case") << QByteArray(":00abcd0000") << 0xABCD;
    QTest::newRow("FFFF") << QByteArray(":00FFFF0000") << 0xFFFF;
    QTest::newRow("non-hex as 0") << QByteArray(":001Z3X0000") << 0x1030;
}

void tst_HexRecord::loadOffset()
{
    QFETCH(QByteArray, line);
    QFETCH(int, offset);
    QCOMPARE(HexRecord::loadOffset(line), quint16(offset));
}

void tst_HexRecord::upperAddress_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("word");

    QTest::newRow("0001") << QByteArray(":020000040001F9") << 0x0001;
    QTest::newRow("000f") << QByteArray(":02000004000fEB") << 0x000F;
    // The whole word counts, so that a far address is not folded onto low flash.
    QTest::newRow("0010") << QByteArray(":020000040010EA") << 0x0010;
    QTest::newRow("0801") << QByteArray(":020000040801F1") << 0x0801;
    QTest::newRow("FFF8") << QByteArray(":02000004FFF8xx") << 0xFFF8;
    QTest::newRow("thirteen characters") << QByteArray(":020000040005") << 0x0005;
}

void tst_HexRecord::upperAddress()
{
    QFETCH(QByteArray, line);
    QFETCH(int, word);
    QCOMPARE(HexRecord::upperAddressWord(line), quint16(word));
}

void tst_HexRecord::data_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("four bytes") << QByteArray(":0400000001020304F2")
                                << QByteArray::fromHex("01020304");
    QTest::newRow("lower case") << QByteArray(":02000000abcdxx") << QByteArray::fromHex("abcd");
    QTest::newRow("non-hex digits read as 0")
        << QByteArray(":02000000G1Z9xx") << QByteArray::fromHex("0109");
    QTest::newRow("no data") << QByteArray(":00000001FF") << QByteArray();
    QTest::newRow("nine characters") << QByteArray(":00000000") << QByteArray();
    QTest::newRow("ten characters") << QByteArray(":000000001") << QByteArray();
    // The byte count is not read: the data follow from the line length.
    QTest::newRow("byte count ignored")
        << QByteArray(":FF000000AABBCC") << QByteArray::fromHex("AABB");
    QTest::newRow("lone high nibble dropped")
        << QByteArray(":02000000ABCFF") << QByteArray::fromHex("AB");
}

void tst_HexRecord::data()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, bytes);
    QCOMPARE(HexRecord::dataLength(line), bytes.size());
    QByteArray out("prefix");
    HexRecord::appendData(line, out);
    QCOMPARE(out, QByteArray("prefix") + bytes);
}

void tst_HexRecord::check_data()
{
    using HexRecord::Defect;
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<Defect>("defect");
    QTest::addColumn<qsizetype>("column");

    QTest::newRow("data") << QByteArray(":0400000001020304F2") << Defect::None << qsizetype(0);
    QTest::newRow("lower case") << QByteArray(":0400000001020304f2") << Defect::None
                                << qsizetype(0);
    QTest::newRow("end of file") << QByteArray(":00000001FF") << Defect::None << qsizetype(0);
    QTest::newRow("type 04") << QByteArray(":02000004000FEB") << Defect::None << qsizetype(0);
    QTest::newRow("ten characters") << QByteArray(":00000001F") << Defect::TooShort << qsizetype(0);
    QTest::newRow("empty") << QByteArray() << Defect::TooShort << qsizetype(0);
    QTest::newRow("text") << QByteArray("hello world") << Defect::NoStartCode << qsizetype(1);
    QTest::newRow("semicolon") << QByteArray(";00000001FF") << Defect::NoStartCode << qsizetype(1);
    QTest::newRow("letter G") << QByteArray(":0400000001020G04F2") << Defect::NotHexDigit
                              << qsizetype(15);
    QTest::newRow("trailing blank")
        << QByteArray(":00000001FF ") << Defect::NotHexDigit << qsizetype(12);
    QTest::newRow("second colon") << QByteArray(":00000001:FF") << Defect::NotHexDigit
                                  << qsizetype(10);
    QTest::newRow("count too high")
        << QByteArray(":0500000001020304F1") << Defect::LengthMismatch << qsizetype(0);
    QTest::newRow("count too low")
        << QByteArray(":0300000001020304F3") << Defect::LengthMismatch << qsizetype(0);
    QTest::newRow("odd digits") << QByteArray(":0400000001020304F20") << Defect::LengthMismatch
                                << qsizetype(0);
    QTest::newRow("checksum off by one")
        << QByteArray(":0400000001020304F3") << Defect::BadChecksum << qsizetype(0);
    QTest::newRow("data digit changed")
        << QByteArray(":0400000001020305F2") << Defect::BadChecksum << qsizetype(0);
    QTest::newRow("type changed") << QByteArray(":00000000FF") << Defect::BadChecksum
                                  << qsizetype(0);
}

void tst_HexRecord::check()
{
    QFETCH(QByteArray, line);
    QFETCH(HexRecord::Defect, defect);
    QFETCH(qsizetype, column);
    const HexRecord::Check result = HexRecord::check(line);
    QCOMPARE(result.defect, defect);
    QCOMPARE(result.ok(), defect == HexRecord::Defect::None);
    QCOMPARE(result.column, column);
}

QTEST_GUILESS_MAIN(tst_HexRecord)
#include "tst_hexrecord.moc"
