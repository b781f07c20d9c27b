// An upload over the real serial component, on a fake port (what a pseudo-terminal cannot show)
// and on a pseudo-terminal, in virtual time.
#include "UploadSetups.h"
#include "base/IdleSlot.h"
#include "base/SettingsStore.h"
#include "comm/KTComm.h"
#include "comm/KTSerial.h"
#include "support/FakeSerialBackend.h"
#include "support/PtyPair.h"
#include "support/TempSettings.h"
#include "support/TestSetup.h"
#include "support/TransferProbe.h"
#include "support/VirtualTimerSource.h"
#include "transfer/KTSerialLink.h"
#include "transfer/TargetFiles.h"
#include "upload/UploadChoice.h"
#include "upload/UploadTransfer.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <thread>

namespace {

const QByteArray LoaderBytes = QByteArray::fromHex("11223344");
const QByteArray ProgramBytes = QByteArray::fromHex("aabbcc");

// An upload through TKTSerial over `backend` (a fake) or over the default backend (a device
// path), with the watchdog and the idle actions on a virtual clock.
struct PortReading
{
    explicit PortReading(std::unique_ptr<SerialBackend> backend)
        : serial(backend ? std::make_unique<TKTSerial>(std::move(backend))
                         : std::make_unique<TKTSerial>())
    {
        serial->SetPortName(COM1);
        serial->SetSyncEventHandling(true);
        link = std::make_unique<KTSerialLink>(*serial);
        transfer = std::make_unique<UploadTransfer>(
            uploadSetupFor(UploadChoice::Parameters, DeviceKind::Device46xx, 0, br115200), *link,
            nullptr,
            testSetup(TargetFiles::directory(), clock, SettingsStore::comPortDevicePath(0)));
        probe = std::make_unique<TransferProbe>(*transfer);
    }
    ~PortReading() { transfer.reset(); }
    PortReading(const PortReading &) = delete;
    PortReading &operator=(const PortReading &) = delete;

    // Opens the port; the boot prompt is pending then.
    bool open()
    {
        transfer->start();
        clock.settle();
        return transfer->bootPromptPending() && serial->Active();
    }

    VirtualTimerSource clock;
    std::unique_ptr<TKTSerial> serial;
    std::unique_ptr<KTSerialLink> link;
    std::unique_ptr<UploadTransfer> transfer;
    std::unique_ptr<TransferProbe> probe;
};

} // namespace

class TestUploadPort : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void outputThatNeverDrainsTimesOut_data();
    void outputThatNeverDrainsTimesOut();
    void staleInputIsNoIdentification_data();
    void staleInputIsNoIdentification();
    void staleInputOnPseudoTerminal();

private:
    TempSettings m_settings;
    QTemporaryDir m_h86;
};

void TestUploadPort::initTestCase()
{
    QVERIFY(m_h86.isValid());
    QVERIFY(writeStandInTargets(
        m_h86.path(),
        TargetFiles::choose(TargetFiles::Direction::Upload, false, DeviceKind::Device46xx, 0, 0)));
    TargetFiles::setDirectory(m_h86.path());
}

void TestUploadPort::cleanupTestCase()
{
    TargetFiles::setDirectory(QString());
}

void TestUploadPort::cleanup()
{
    IdleSlot::cancel();
    SettingsStore::clearOverrides();
}

void TestUploadPort::outputThatNeverDrainsTimesOut_data()
{
    // The device's answers so far; the host's next transmission then never leaves the port.
    QTest::addColumn<QByteArray>("answers");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<int>("interval");

    const QByteArray boot(1, '\0');
    QTest::newRow("boot byte") << QByteArray() << boot << 1000;
    QTest::newRow("loader") << QByteArray::fromHex("c5") << boot + LoaderBytes << 1000;
    QTest::newRow("program") << QByteArray::fromHex("c501") << boot + LoaderBytes + ProgramBytes
                             << 5000;
    QTest::newRow("block request")
        << QByteArray::fromHex("c501aaaaaa")
        << boot + LoaderBytes + ProgramBytes + QByteArray::fromHex("111355") << 2000;
}

void TestUploadPort::outputThatNeverDrainsTimesOut()
{
    QFETCH(QByteArray, answers);
    QFETCH(QByteArray, sent);
    QFETCH(int, interval);

    auto backend = std::make_unique<FakeSerialBackend>();
    FakeSerialBackend &port = *backend;
    port.setOutputDrains(false); // flow control held off: the driver takes, the line never sends
    PortReading r(std::move(backend));
    QVERIFY(r.open());
    r.transfer->answerBootPrompt(true);
    for (char answer : answers) {
        const qsizetype before = port.written().size();
        port.feed(QByteArray(1, answer));
        QVERIFY(QTest::qWaitFor([&] { return port.written().size() > before; }, 2000));
    }
    QCOMPARE(port.written(), sent);
    QVERIFY(port.outputQueue() > 0);

    r.clock.advance(interval - 1);
    QVERIFY(!r.probe->logs.contains(QStringLiteral("TIMEOUT")));
    r.clock.advance(1);
    QVERIFY(!r.probe->logs.isEmpty());
    QCOMPARE(r.probe->logs.last(), QStringLiteral("TIMEOUT"));
    QVERIFY(r.clock.advanceUntil([&] { return r.probe->finished(); }, 1000));
    QCOMPARE(r.probe->reportText, QStringLiteral("Flash reading aborted:\r\n\r\nTIMEOUT"));
    QCOMPARE(r.probe->result().modalResult, 2);
    QVERIFY(!r.serial->Active());
}

void TestUploadPort::staleInputIsNoIdentification_data()
{
    // Where the stale byte waits when the user confirms the boot prompt.
    QTest::addColumn<bool>("inDriver");
    QTest::newRow("in the driver's queue") << true;
    QTest::newRow("read ahead by the worker") << false;
}

void TestUploadPort::staleInputIsNoIdentification()
{
    QFETCH(bool, inDriver);
    auto backend = std::make_unique<FakeSerialBackend>();
    FakeSerialBackend &port = *backend;
    if (inDriver)
        port.setStaleInput(QByteArray::fromHex("55"));
    PortReading r(std::move(backend));
    QVERIFY(r.open());
    if (!inDriver) {
        // Taken by the worker, its event not yet handled: the event loop does not run here.
        port.feed(QByteArray::fromHex("55"));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (port.pendingInput() > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        QCOMPARE(port.pendingInput(), qsizetype(0));
        QCOMPARE(r.serial->InputCount(), 1u);
    }
    r.transfer->answerBootPrompt(true);
    QVERIFY(QTest::qWaitFor([&] { return port.written() == QByteArray(1, '\0'); }, 2000));
    QTest::qWait(20); // a stale event, had one survived, would be handled by now
    port.feed(QByteArray::fromHex("c5"));
    QVERIFY(QTest::qWaitFor([&] { return port.written().size() > 1; }, 2000));
    QCOMPARE(port.written(), QByteArray(1, '\0') + LoaderBytes);
    QVERIFY(!r.probe->logs.isEmpty());
    QCOMPARE(r.probe->logs.first(), QStringLiteral("Target-ID: C5"));
    QCOMPARE(port.discardCalls(), 1);
    r.transfer->userBreak();
    QVERIFY(r.clock.advanceUntil([&] { return r.probe->finished(); }, 1000));
}

void TestUploadPort::staleInputOnPseudoTerminal()
{
    // A late answer to an earlier session waits on the line before the port is opened.
    PtyPair pty;
    QVERIFY(pty.isOpen());
    SettingsStore::overrideComPortDevicePath(0, pty.devicePath());
    QVERIFY(pty.write(QByteArray::fromHex("55")));
    PortReading r(nullptr);
    QVERIFY(r.open());
    r.transfer->answerBootPrompt(true);
    // The transfer answers from the event loop: read the device end without blocking it.
    QByteArray got;
    const auto receive = [&](qsizetype count) {
        return QTest::qWaitFor(
            [&] {
                got += pty.read(64, 1);
                return got.size() >= count;
            },
            2000);
    };
    QVERIFY(receive(1));
    QCOMPARE(got, QByteArray(1, '\0'));
    QVERIFY(pty.write(QByteArray::fromHex("c5")));
    QVERIFY(receive(1 + LoaderBytes.size()));
    QCOMPARE(got, QByteArray(1, '\0') + LoaderBytes);
    QVERIFY(!r.probe->logs.isEmpty());
    QCOMPARE(r.probe->logs.first(), QStringLiteral("Target-ID: C5"));
    r.transfer->userBreak();
    QVERIFY(r.clock.advanceUntil([&] { return r.probe->finished(); }, 1000));
}

QTEST_GUILESS_MAIN(TestUploadPort)
#include "tst_uploadport.moc"
