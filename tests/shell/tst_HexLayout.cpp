#include "base/BKGlobal.h"
#include "shell/HexLayout.h"

#include <QTest>

using namespace HexLayout;

Q_DECLARE_METATYPE(HexLayout::MarkRun)

namespace {
constexpr int LH = 13;
}

class tst_HexLayout : public QObject
{
    Q_OBJECT

private slots:
    void columnTexts_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("data");
        QTest::addColumn<QString>("ascii");

        QTest::newRow("full line")
            << QByteArray::fromHex("000102030a0d41427a7f80a0ff9fc4e9")
            << "00 01 02 03 0a 0d 41 42 7a 7f 80 a0 ff 9f c4 e9"
            << QString::fromUtf16(
                   u" \u0001\u0002\u0003\n\rABz\u007f\u20ac\u00a0\u00ff\u0178\u00c4\u00e9");
        QTest::newRow("short last line")
            << QByteArray::fromHex("414243") << "41 42 43 20 20 20 20 20 20 20 20 20 20 20 20 20"
            << "ABC             ";
        QTest::newRow("nothing left")
            << QByteArray() << "20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20"
            << QString(16, u' ');
    }

    void columnTexts()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, data);
        QFETCH(QString, ascii);
        QCOMPARE(dataText(bytes), data);
        QCOMPARE(dataText(bytes).size(), DataChars);
        QCOMPARE(asciiText(bytes), ascii);
    }

    void addressText_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0 << "000000";
        QTest::newRow("last 46xx line") << 0xFFFF0 << "0ffff0";
        QTest::newRow("4610 last") << 0x508F0 << "0508f0";
    }

    void addressText()
    {
        QFETCH(int, address);
        QFETCH(QString, text);
        QCOMPARE(HexLayout::addressText(address), text);
    }

    void lineBytesStaysInsideTheBuffer()
    {
        const QByteArray buffer(40, 'x');
        QCOMPARE(lineBytes(buffer, 0).size(), 16);
        QCOMPARE(lineBytes(buffer, 32).size(), 8);
        QCOMPARE(lineBytes(buffer, 48).size(), 0);
        QCOMPARE(lineBytes(buffer, -16).size(), 0);
    }

    void scrollArithmetic()
    {
        QCOMPARE(scrollMaximum(0x100000, LH), 0xFFFF * LH);
        QCOMPARE(scrollMaximum(4096, LH), 255 * LH);
        // A page of 20 lines: the last page starts 20 lines before the end; a view shorter than
        // a page does not scroll.
        QCOMPARE(scrollMaximum(0x100000, LH, 20), (0x10000 - 20) * LH);
        QCOMPARE(scrollMaximum(4096, LH, 300), 0);
        QCOMPARE(firstLineAddress(0x1234 * LH + 5, LH), 0x12340);
        QCOMPARE(positionOf(0x12345, LH), 0x1234 * LH);
        QCOMPARE(visibleLines(130, LH), 10);
        QCOMPARE(visibleLines(131, LH), 11);
        QCOMPARE(largeStep(131, LH), 10 * LH);
        // Shorter than a line, or taller than the scroll bar allows.
        QCOMPARE(largeStep(5, LH), LH);
        QCOMPARE(largeStep(100000, LH), MaxStep);
    }

    void sectorJumps_data()
    {
        QTest::addColumn<int>("device");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("from");
        QTest::addColumn<bool>("right");
        QTest::addColumn<int>("to");

        const int flash = 0x100008;
        QTest::newRow("46xx right from 0x12340") << 1 << flash << 0x12340 << true << 0x20000;
        QTest::newRow("46xx left from 0x12340") << 1 << flash << 0x12340 << false << 0x10000;
        QTest::newRow("46xx right from 0") << 1 << flash << 0 << true << 0x4000;
        QTest::newRow("46xx right skips 0x18000") << 1 << flash << 0x10000 << true << 0x20000;
        QTest::newRow("46xx right from 0x50000") << 1 << flash << 0x50000 << true << 0x60000;
        QTest::newRow("46xx right from 0xe8000") << 1 << flash << 0xE8000 << true << 0xF0000;
        QTest::newRow("46xx right from 0xf0000") << 1 << flash << 0xF0000 << true << 0xFFFF0;
        QTest::newRow("46xx left from 0x04000") << 1 << flash << 0x4000 << false << 0;
        QTest::newRow("46xx left from 0x75000") << 1 << flash << 0x75000 << false << 0x70000;
        QTest::newRow("46xx left from 0x60000") << 1 << flash << 0x60000 << false << 0x50000;
        QTest::newRow("46xx left from 0xffff0") << 1 << flash << 0xFFFF0 << false << 0xF0000;
        QTest::newRow("board right from 0x10000") << 2 << 0x50000 << 0x10000 << true << 0x18000;
        QTest::newRow("board left from 0x20000") << 2 << 0x50000 << 0x20000 << false << 0x18000;
        QTest::newRow("board right from 0x50000, NV image")
            << 2 << 329984 << 0x50000 << true << 0x508F0;
        QTest::newRow("board right from 0x40000") << 2 << 0x50000 << 0x40000 << true << 0x50000;
        QTest::newRow("board left never above 0x50000")
            << 2 << 329984 << 0x508F0 << false << 0x50000;
        QTest::newRow("no type: 0x30000 is not a stop") << 0 << flash << 0x20000 << true << 0x50000;
    }

    void sectorJumps()
    {
        QFETCH(int, device);
        QFETCH(int, length);
        QFETCH(int, from);
        QFETCH(bool, right);
        QFETCH(int, to);
        const int p = positionOf(from, LH);
        const int target = right ? rightTarget(p, LH, DeviceKind(device), length)
                                 : leftTarget(p, LH, DeviceKind(device));
        QCOMPARE(firstLineAddress(target, LH), to);
    }

    // A jump from inside a line (the scroll bar moves in pixels) still lands on the boundary.
    void jumpFromBetweenLines()
    {
        const int p = positionOf(0x4000, LH) + 3;
        QCOMPARE(leftTarget(p, LH, DeviceKind::Device46xx), positionOf(0x4000, LH));
        QCOMPARE(rightTarget(p, LH, DeviceKind::Device46xx, 0x100008), positionOf(0x6000, LH));
    }

    void marks_data()
    {
        QTest::addColumn<QList<MarkRun>>("runs");
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("marks");
        QTest::addColumn<quint64>("dataCells");

        const QList<MarkRun> runs {{0x0F, 0x11}, {0x13, 0x14}, {0x1F, 0x31}, {0x45, 0x46}};
        QTest::newRow("none") << QList<MarkRun> {} << 0x10 << 0 << quint64(0);
        QTest::newRow("run into the next line") << runs << 0x00 << 0x8000 << (quint64(3) << 45);
        QTest::newRow("run from the line before")
            << runs << 0x10 << 0x8009 << ((quint64(3) << 45) | (quint64(3) << 9) | 3);
        QTest::newRow("whole line") << runs << 0x20 << 0xFFFF << quint64(0x6DB6DB6DB6DB);
        QTest::newRow("between runs") << runs << 0x30 << 0x0001 << quint64(3);
        QTest::newRow("past the last run") << runs << 0x50 << 0 << quint64(0);
    }

    void marks()
    {
        QFETCH(QList<MarkRun>, runs);
        QFETCH(int, address);
        QFETCH(int, marks);
        QFETCH(quint64, dataCells);
        QCOMPARE(int(lineMarks(runs, address)), marks);
        QCOMPARE(HexLayout::dataCells(quint16(marks)), dataCells);
        QCOMPARE(asciiCells(quint16(marks)), quint64(marks));
    }
};

QTEST_GUILESS_MAIN(tst_HexLayout)
#include "tst_HexLayout.moc"
