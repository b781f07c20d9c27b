#include "comm/KTComm.h"

#include <QTest>

#include <cerrno>

class tst_KTComm : public QObject
{
    Q_OBJECT

private slots:
    void commErrorText_data();
    void commErrorText();
    void systemErrorTexts();
    void portNames();
    void lineValues();
    void baudrates();
    void exceptionsCarryTheirMessage();
};

void tst_KTComm::commErrorText_data()
{
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<QString>("text");
    const QString overrun = "A buffer overrun has occurred. The next character is lost.\r\n";
    const QString rxOver = "An input buffer overflow has occurred.\r\n";
    QTest::newRow("none") << 0u << QString();
    QTest::newRow("unknown bit only") << 0x0800u << QString();
    QTest::newRow("overrun before rx overflow") << 0x0003u << overrun + rxOver;
    QTest::newRow("io error") << 0x0400u
                              << "An I/O error occurred during communications with the "
                                 "interface.\r\n";
    QTest::newRow("break framing parity")
        << (CE_BREAK | CE_FRAME | CE_RXPARITY)
        << "The hardware detected a break condition.\r\nThe hardware detected a framing "
           "error.\r\nThe hardware detected a parity error.\r\n";
    QTest::newRow("mode and tx full, unknown ignored")
        << (CE_MODE | CE_TXFULL | 0x0800u)
        << "Invalid interface handle or the requested mode is not supported.\r\nAn output "
           "buffer overflow has occurred.\r\n";
    QTest::newRow("all eight") << 0xFFFFFFFFu
                               << "The hardware detected a break condition.\r\n"
                                  "The hardware detected a framing error.\r\n"
                                  "An I/O error occurred during communications with the "
                                  "interface.\r\n"
                                  "Invalid interface handle or the requested mode is not "
                                  "supported.\r\n"
            + overrun + rxOver
            + "The hardware detected a parity error.\r\n"
              "An output buffer overflow has occurred.\r\n";
}

void tst_KTComm::commErrorText()
{
    QFETCH(quint32, flags);
    QFETCH(QString, text);
    QCOMPARE(CommErrorText(flags), text);
}

void tst_KTComm::systemErrorTexts()
{
    errno = 0;
    QCOMPARE(SystemErrorText(), QString());
    errno = 0;
    QCOMPARE(LastErrorText(), QStringLiteral("Unknown Error!"));
    errno = ENOENT;
    const QString text = SystemErrorText();
    QVERIFY(!text.isEmpty());
    errno = ENOENT;
    QCOMPARE(LastErrorText(), text);
}

void tst_KTComm::portNames()
{
    QCOMPARE(CommPortDeviceName(COM1), QStringLiteral("COM1"));
    QCOMPARE(CommPortDeviceName(COM16), QStringLiteral("COM16"));
    QCOMPARE(CommPortDisplayName(COM3), QStringLiteral("COM 3"));
    QCOMPARE(CommPortDisplayName(COM16), QStringLiteral("COM 16"));
}

void tst_KTComm::lineValues()
{
    // Even and odd cross over: the line record numbers odd 1 and even 2.
    QCOMPARE(ParityLineValue(TParityBit::None), quint8(0));
    QCOMPARE(ParityLineValue(TParityBit::Even), quint8(2));
    QCOMPARE(ParityLineValue(TParityBit::Odd), quint8(1));
    QCOMPARE(StopBitLineValue(sb_1), quint8(0));
    QCOMPARE(StopBitLineValue(sb_2), quint8(2));
    QCOMPARE(DataBitLineValue(db_7), quint8(7));
    QCOMPARE(DataBitLineValue(db_8), quint8(8));
}

void tst_KTComm::baudrates()
{
    const int expected[] = {1200, 2400, 4800, 9600, 19200, 28800, 38400, 57600, 115200};
    for (int i = 0; i < TBaudrateCount; ++i) {
        QCOMPARE(BaudrateValue(TBaudrate(i)), expected[i]);
        TBaudrate back = br1200;
        QVERIFY(BaudrateFromValue(expected[i], &back));
        QCOMPARE(int(back), i);
    }
    QCOMPARE(BaudrateValue(TBaudrate(42)), 9600);
    QVERIFY(!BaudrateFromValue(14400, nullptr));
}

void tst_KTComm::exceptionsCarryTheirMessage()
{
    const QString text = QStringLiteral("COM 3 is active!\r\n\r\nCannot change port!");
    try {
        throw ECommInitError(text);
    } catch (const std::runtime_error &e) {
        QCOMPARE(QString::fromUtf8(e.what()), text);
    }
    QCOMPARE(ECommHandleError(QStringLiteral("x")).message(), QStringLiteral("x"));
    QCOMPARE(ESystemError(QStringLiteral("Unable to open port driver!")).message(),
             QStringLiteral("Unable to open port driver!"));
}

QTEST_GUILESS_MAIN(tst_KTComm)
#include "tst_KTComm.moc"
