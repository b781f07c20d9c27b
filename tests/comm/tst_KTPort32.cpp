#include "comm/KTPort32.h"
#include "comm/KTSerial.h"
#include "comm/MemoryPortDriverBackend.h"
#include "support/PtyPair.h"

#include <QTest>

// Only the in-memory backend is used here: never real I/O ports.
class tst_KTPort32 : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void openFailsWithoutDriver();
    void sharedDriverLifecycle();
    void parallelPortTable_data();
    void parallelPortTable();
    void serialSwitchesLineDriver();
    void serialOpenFailsWithoutDriver();

private:
    std::shared_ptr<MemoryPortDriverBackend::Data> m_data;
};

void tst_KTPort32::init()
{
    m_data = std::make_shared<MemoryPortDriverBackend::Data>();
    setPortDriverBackendFactory(
        [data = m_data] { return std::make_unique<MemoryPortDriverBackend>(data); });
}

void tst_KTPort32::cleanup()
{
    ClosePortDriver();
    setPortDriverBackendFactory({});
}

void tst_KTPort32::openFailsWithoutDriver()
{
    m_data->openFails = true;
    try {
        OpenPortDriver();
        QFAIL("OpenPortDriver did not raise");
    } catch (const ESystemError &e) {
        QCOMPARE(e.message(), QStringLiteral("Unable to open port driver!"));
    }
    QVERIFY(!PortDriverEnabled);
    QCOMPARE(VicPortRead(0x3F8), quint8(0));
    VicPortWrite(0x3F8, 1);
    QVERIFY(m_data->writes.isEmpty());
}

void tst_KTPort32::sharedDriverLifecycle()
{
    QCOMPARE(VicPortRead(0x3FC), quint8(0)); // not in use yet
    OpenPortDriver();
    OpenPortDriver(); // the live instance is kept
    QVERIFY(PortDriverEnabled);
    QCOMPARE(m_data->opens, 1);
    VicPortWrite(0x3FC, 0x0B);
    QCOMPARE(VicPortRead(0x3FC), quint8(0x0B));
    ClosePortDriver();
    QVERIFY(!PortDriverEnabled);
    QCOMPARE(m_data->closes, 1);
    QVERIFY(!m_data->isOpen);
    QCOMPARE(VicPortRead(0x3FC), quint8(0));
    ClosePortDriver();
    QCOMPARE(m_data->closes, 1);
}

void tst_KTPort32::parallelPortTable_data()
{
    QTest::addColumn<bool>("readable");
    QTest::addColumn<QList<quint16>>("table");
    QTest::addColumn<int>("count");
    QTest::addColumn<quint16>("base");
    QTest::addColumn<quint16>("secondBase"); // after LPTNumber := 2 (0: refused)
    QTest::newRow("two ports") << true << QList<quint16> {0x378, 0x278, 0} << 2 << quint16(0x378)
                               << quint16(0x278);
    QTest::newRow("one port") << true << QList<quint16> {0x3BC, 0, 0} << 1 << quint16(0x3BC)
                              << quint16(0);
    QTest::newRow("table unreadable")
        << false << QList<quint16> {0x278, 0x378, 0} << 1 << quint16(0x378) << quint16(0);
}

void tst_KTPort32::parallelPortTable()
{
    QFETCH(bool, readable);
    QFETCH(QList<quint16>, table);
    QFETCH(int, count);
    QFETCH(quint16, base);
    QFETCH(quint16, secondBase);
    m_data->tableReadable = readable;
    m_data->table = {table[0], table[1], table[2]};

    TVicPort port;
    QCOMPARE(port.ReadPortByte(0x378), quint8(0xFF));
    QVERIFY(port.AttachDriver());
    QVERIFY(port.AttachDriver());
    QCOMPARE(m_data->opens, 1);
    QCOMPARE(port.LPTCount(), count);
    QCOMPARE(port.LPTBase(), base);
    QCOMPARE(port.LPTNumber(), quint8(1));

    port.WritePortByte(base + 2, 0x2A);
    QCOMPARE(port.LPTShadow()[2], quint8(0x2A));
    port.SetLPTNumber(2);
    if (secondBase) {
        QCOMPARE(port.LPTNumber(), quint8(2));
        QCOMPARE(port.LPTBase(), secondBase);
        QCOMPARE(port.LPTShadow()[2], quint8(0)); // cleared with the switch
    } else {
        QCOMPARE(port.LPTNumber(), quint8(1));
        QCOMPARE(port.LPTBase(), base);
    }
    port.SetLPTNumber(0);
    port.SetLPTNumber(4);
    QVERIFY(port.LPTNumber() == 1 || port.LPTNumber() == 2);

    port.DetachDriver();
    QVERIFY(!port.ActiveHW());
    QCOMPARE(port.ReadPortByte(0x378), quint8(0xFF));
    QCOMPARE(m_data->closes, 1);
}

void tst_KTPort32::serialSwitchesLineDriver()
{
    PtyPair pty;
    QVERIFY(pty.isOpen());
    m_data->ports.insert(0x2FD, 0x60); // line status: transmitter empty
    m_data->ports.insert(0x2FC, 0x0B); // modem control: DTR, RTS, OUT2

    TKTSerial serial;
    serial.SetPortName(COM2);
    serial.SetDevicePath(pty.devicePath());
    serial.SetVicPortAccess(true);
    serial.SetSyncEventHandling(true);
    int txEmpty = 0;
    serial.OnTxEmpty = [&](TKTSerial *) {
        ++txEmpty;
    };
    serial.Open();
    QVERIFY(PortDriverEnabled);
    QCOMPARE(serial.UARTBase(), quint16(0x2F8));

    QCOMPARE(serial.Write("\x55", 1), 1u);
    QCOMPARE(pty.read(1), QByteArray("\x55"));
    QVERIFY(QTest::qWaitFor([&] { return txEmpty == 1; }));
    std::lock_guard lock(m_data->mutex);
    // To sending before the write (DTR off), back to receiving at transmit-empty (DTR on).
    const QList<QPair<quint16, quint8>> expected {
        {0x2FF, 1}, {0x2FC, 0x0A}, {0x2FF, 2}, {0x2FC, 0x0B}};
    QCOMPARE(m_data->writes, expected);
}

void tst_KTPort32::serialOpenFailsWithoutDriver()
{
    PtyPair pty;
    m_data->openFails = true;
    TKTSerial serial;
    serial.SetDevicePath(pty.devicePath());
    serial.SetVicPortAccess(true);
    QVERIFY_THROWS_EXCEPTION(ESystemError, serial.Open());
    QVERIFY(!serial.Active());
    QCOMPARE(serial.Handle(), -1);
    // The device itself was never opened: a second component can have it.
    TKTSerial other;
    other.SetDevicePath(pty.devicePath());
    other.Open();
    QVERIFY(other.Active());
}

QTEST_GUILESS_MAIN(tst_KTPort32)
#include "tst_KTPort32.moc"
