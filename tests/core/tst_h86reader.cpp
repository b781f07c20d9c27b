#include "core/H86Reader.h"
#include "support/H86Builder.h"

#include <QTest>

using H86Reader::Error;

class tst_H86Reader : public QObject
{
    Q_OBJECT

private slots:
    void placesData_data();
    void placesData();
    void failures_data();
    void failures();
    void lineEndings_data();
    void lineEndings();
    void mismatchDoesNotStopReading();
    void recordRunningOverTheEnd();
    void everySingleBitFlipIsCaught();
};

static QByteArray filled(qsizetype size)
{
    return QByteArray(size, char(0xFF));
}

void tst_H86Reader::placesData_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<qsizetype>("bufferSize");
    QTest::addColumn<qint32>("address");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint32>("dataEnd");

    const qsizetype mib = 0x100000;
    QTest::newRow("first record") << QByteArray(":0400000001020304F2\r\n:00000001FF\r\n") << mib
                                  << 0 << QByteArray::fromHex("01020304") << 4;
    QTest::newRow("load offset") << H86Builder().data(0x1234, "\xAA\xBB").end().text() << mib
                                 << 0x1234 << QByteArray::fromHex("AABB") << 0x1236;
    QTest::newRow("lower case") << QByteArray(":02001000abcd76\n") << mib << 0x10
                                << QByteArray::fromHex("ABCD") << 0x12;
    QTest::newRow("upper address 000F") << QByteArray(":02000004000FEB\n:020010001122BB\n") << mib
                                        << 0xF0010 << QByteArray::fromHex("1122") << 0xF0012;
    QTest::newRow("upper address 0004 on the 4610")
        << QByteArray(":020000040004F6\n:020010001122BB\n") << qsizetype(0x50000) << 0x40010
        << QByteArray::fromHex("1122") << 0x40012;
    QTest::newRow("type 01 does not end the file")
        << QByteArray(":00000001FF\n:02002000334467\n") << mib << 0x20
        << QByteArray::fromHex("3344") << 0x22;
    QTest::newRow("other record types skipped")
        << QByteArray(":0400000300003800C1\n:04000005000000CD2A\n:01003000557A\n") << mib << 0x30
        << QByteArray::fromHex("55") << 0x31;
    QTest::newRow("last byte of the 46xx flash")
        << H86Builder().data(0xFFFFE, "\x12\x34").text() << mib << 0xFFFFE
        << QByteArray::fromHex("1234") << 0x100000;
    QTest::newRow("last byte of the 4610 flash")
        << H86Builder().data(0x4FFFF, "\x56").text() << qsizetype(0x50000) << 0x4FFFF
        << QByteArray::fromHex("56") << 0x50000;
    QTest::newRow("data end is the highest address")
        << H86Builder().data(0x7FFF0, QByteArray(16, 'x')).data(0x100, "\x01").text() << mib
        << 0x100 << QByteArray::fromHex("01") << 0x80000;
    QTest::newRow("DOS end marks pad the end")
        << QByteArray(":0100000007F8\r\n\x1A\x1A\x1A\x1A\r\n\x1A") << mib << 0
        << QByteArray::fromHex("07") << 1;
    QTest::newRow("a zero-length record besides data")
        << QByteArray(":0000000000\n:0100000007F8\n") << mib << 0 << QByteArray::fromHex("07") << 1;
}

void tst_H86Reader::placesData()
{
    QFETCH(QByteArray, text);
    QFETCH(qsizetype, bufferSize);
    QFETCH(qint32, address);
    QFETCH(QByteArray, bytes);
    QFETCH(qint32, dataEnd);

    QByteArray buffer = filled(bufferSize);
    const H86Reader::Result result = H86Reader::read(text, buffer);
    QCOMPARE(result.error, Error::None);
    QCOMPARE(buffer.size(), bufferSize);
    QCOMPARE(buffer.mid(address, bytes.size()), bytes);
    QCOMPARE(result.dataEnd, dataEnd);
    // Nothing else was touched around the placed bytes.
    if (address > 0)
        QCOMPARE(buffer.at(address - 1), char(0xFF));
}

void tst_H86Reader::failures_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<qsizetype>("bufferSize");
    QTest::addColumn<Error>("error");
    QTest::addColumn<qsizetype>("line");

    const qsizetype mib = 0x100000;
    const QByteArray good = ":0400000001020304F2\n";
    QTest::newRow("type 02") << good + ":020000021000EC\n"
                             << mib << Error::InvalidHexFileType << qsizetype(2);
    QTest::newRow("type 02 wins over an earlier mismatch")
        << QByteArray(":020000040004F6\n:02FFFF001122CD\n:020000021000EC\n") << qsizetype(0x50000)
        << Error::InvalidHexFileType << qsizetype(3);
    QTest::newRow("beyond the 4610 flash")
        << QByteArray(":020000040004F6\n:02FFFF001122CD\n") << qsizetype(0x50000)
        << Error::DeviceMismatch << qsizetype(0);
    QTest::newRow("beyond the 46xx flash") << QByteArray(":02000004000FEB\n:02FFFF001122CD\n")
                                           << mib << Error::DeviceMismatch << qsizetype(0);
    QTest::newRow("empty line") << good + "\n" + good << mib << Error::LineTooShort << qsizetype(2);
    // Only a run that holds a DOS end mark is padding.
    QTest::newRow("empty last line without an end mark") << good + good
            + "\n" << mib << Error::LineTooShort << qsizetype(3);
    QTest::newRow("eight characters") << good + ":0000000" + "\n"
                                      << mib << Error::LineTooShort << qsizetype(2);
    QTest::newRow("short type-04 line")
        << QByteArray(":00000004FC\n") << mib << Error::LineTooShort << qsizetype(1);
    QTest::newRow("short line stops before a mismatch is reported")
        << QByteArray(":02000004000FEB\n:02FFFF001122CD\nshort\n") << mib << Error::LineTooShort
        << qsizetype(3);
    // An upper address at or beyond the flash's end, however few of its digits are set:
    // reading stops there.
    const QByteArray atZero = H86Builder().data(0, "\x01").text();
    QTest::newRow("upper address 0010") << atZero + ":020000040010EA\n" + atZero << mib
                                        << Error::UpperAddressBeyondFlash << qsizetype(2);
    QTest::newRow("upper address 0800") << QByteArray(":020000040800F2\n:0100000001FE\n") << mib
                                        << Error::UpperAddressBeyondFlash << qsizetype(1);
    QTest::newRow("upper address 0801") << QByteArray(":020000040801F1\n:0100000001FE\n") << mib
                                        << Error::UpperAddressBeyondFlash << qsizetype(1);
    QTest::newRow("upper address 6000 without data after it")
        << atZero + ":0200000460009A\n"
        << mib << Error::UpperAddressBeyondFlash << qsizetype(2);
    QTest::newRow("upper address 0005 on the 4610")
        << QByteArray(":020000040005F5\n:0100000001FE\n") << qsizetype(0x50000)
        << Error::UpperAddressBeyondFlash << qsizetype(1);
    // Damaged or foreign records: reading stops at the first one.
    QTest::newRow("text file") << QByteArray("hello world\r\n") << mib << Error::InvalidRecord
                               << qsizetype(1);
    QTest::newRow("type-04 line cut short")
        << QByteArray(":02000004000\n") << mib << Error::InvalidRecord << qsizetype(1);
    QTest::newRow("non-hex digit") << good + ":02000000G1Z9xx\n"
                                   << mib << Error::InvalidRecord << qsizetype(2);
    QTest::newRow("tab in a record")
        << QByteArray(":01000000\t07F8\n") << mib << Error::InvalidRecord << qsizetype(1);
    QTest::newRow("bad checksum") << good + ":0400100001020304E3\n" + good << mib
                                  << Error::InvalidRecord << qsizetype(2);
    QTest::newRow("byte count too high") << good + ":0500000001020304F1\n"
                                         << mib << Error::InvalidRecord << qsizetype(2);
    QTest::newRow("bad record after a mismatch")
        << QByteArray(":02000004000FEB\n:02FFFF001122CD\n:02FFFF001122CE\n") << mib
        << Error::InvalidRecord << qsizetype(3);
    QTest::newRow("end mark inside the file") << good + "\x1A:0400100001020304E2\n"
                                              << mib << Error::InvalidRecord << qsizetype(2);
    // Nothing to program.
    QTest::newRow("empty file") << QByteArray() << mib << Error::NoData << qsizetype(0);
    QTest::newRow("end record only")
        << QByteArray(":00000001FF\r\n") << mib << Error::NoData << qsizetype(0);
    QTest::newRow("records without data")
        << QByteArray(":020000040001F9\n:0000000000\n:00000001FF\n") << mib << Error::NoData
        << qsizetype(0);
    QTest::newRow("NUL byte") << good + QByteArray(":04000000\0\0\0\0F2\n", 16) << mib
                              << Error::NotText << qsizetype(2);
    QTest::newRow("binary junk") << QByteArray::fromHex("7f454c4602010100000000000000") << mib
                                 << Error::NotText << qsizetype(1);
}

void tst_H86Reader::failures()
{
    QFETCH(QByteArray, text);
    QFETCH(qsizetype, bufferSize);
    QFETCH(Error, error);
    QFETCH(qsizetype, line);

    QByteArray buffer = filled(bufferSize);
    const H86Reader::Result result = H86Reader::read(text, buffer);
    QCOMPARE(result.error, error);
    if (line)
        QCOMPARE(result.line, line);
    QCOMPARE(buffer.size(), bufferSize);
}

void tst_H86Reader::lineEndings_data()
{
    QTest::addColumn<QByteArray>("eol");
    QTest::newRow("CR LF") << QByteArray("\r\n");
    QTest::newRow("LF") << QByteArray("\n");
    QTest::newRow("CR") << QByteArray("\r");
}

void tst_H86Reader::lineEndings()
{
    QFETCH(QByteArray, eol);
    QByteArray text = H86Builder().data(0x20, "\x01\x02").data(0x100, "\x03").end().text(eol);
    // The last line needs no terminator.
    text.chop(eol.size());
    QByteArray buffer = filled(0x100000);
    const H86Reader::Result result = H86Reader::read(text, buffer);
    QCOMPARE(result.error, Error::None);
    QCOMPARE(buffer.mid(0x20, 2), QByteArray::fromHex("0102"));
    QCOMPARE(buffer.at(0x100), char(3));
    QCOMPARE(result.dataEnd, 0x101);
}

// A mismatch is only reported at the end: the lines after it are still read (and a short line
// after it still stops the reading, see the failure rows).
void tst_H86Reader::mismatchDoesNotStopReading()
{
    const QByteArray text = ":020000040004F6\n:02FFFF001122CD\n:020000040000FA\n:0100100022CD\n";
    QByteArray buffer = filled(0x50000);
    const H86Reader::Result result = H86Reader::read(text, buffer);
    QCOMPARE(result.error, Error::DeviceMismatch);
    QCOMPARE(buffer.at(0x10), char(0x22));
}

void tst_H86Reader::recordRunningOverTheEnd()
{
    QByteArray buffer = filled(0x50000);
    const H86Reader::Result result
        = H86Reader::read(":020000040004F6\n:04FFFE0001020304F5\n", buffer);
    QCOMPARE(result.error, Error::DeviceMismatch);
    QCOMPARE(buffer.size(), 0x50000);
    QCOMPARE(buffer.right(2), QByteArray::fromHex("0102"));
}

// A file damaged in one bit either loads exactly as the intact file (a hex letter changed
// case) or is refused: it never puts other bytes into the image.
void tst_H86Reader::everySingleBitFlipIsCaught()
{
    const QByteArray intact
        = H86Builder().data(0x100, "\x12\x34\x56\x78").data(0x1FFFE, "\xAB\xCD\xEF").end().text();
    QByteArray reference = filled(0x100000);
    const H86Reader::Result good = H86Reader::read(intact, reference);
    QCOMPARE(good.error, Error::None);

    int loaded = 0;
    int caseChanges = 0;
    for (qsizetype i = 0; i < intact.size(); ++i) {
        const char c = intact.at(i);
        if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))
            ++caseChanges;
        for (int bit = 0; bit < 8; ++bit) {
            QByteArray damaged = intact;
            damaged[i] = char(damaged.at(i) ^ (1 << bit));
            QByteArray buffer = filled(0x100000);
            const H86Reader::Result result = H86Reader::read(damaged, buffer);
            if (!result.ok())
                continue;
            ++loaded;
            QVERIFY2(buffer == reference && result.dataEnd == good.dataEnd,
                     qPrintable(QStringLiteral("byte %1 bit %2").arg(i).arg(bit)));
        }
    }
    // Only the case bit of a hex letter, and a flipped final line break that reads as a DOS
    // end mark, leave the content as it was.
    QVERIFY2(loaded <= caseChanges + 1, qPrintable(QString::number(loaded)));
}

QTEST_GUILESS_MAIN(tst_H86Reader)
#include "tst_h86reader.moc"
