// Boot entry through the modem lines: a download over the real serial component on a fake port,
// in virtual time, with the DTR/RTS changes the port saw and when it saw them.
#include "base/IdleSlot.h"
#include "base/SettingsStore.h"
#include "comm/KTSerial.h"
#include "download/DownloadTransfer.h"
#include "support/FakeSerialBackend.h"
#include "support/TestFiles.h"
#include "support/TestSetup.h"
#include "support/TransferProbe.h"
#include "support/VirtualTimerSource.h"
#include "transfer/KTSerialLink.h"
#include "transfer/TargetFiles.h"
#include "transfer/TransferOutcome.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class tst_DownloadBootLines : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void sequenceRunsBeforeTheBootByte_data();
    void sequenceRunsBeforeTheBootByte();
    void malformedSequenceSendsNothing_data();
    void malformedSequenceSendsNothing();
    void linesThePortCannotSet_data();
    void linesThePortCannotSet();
    void optionReplacesSetting_data();
    void optionReplacesSetting();
    void userBreakDuringWait();
};

namespace {

void storeBootLines(const QString &text)
{
    auto s = SettingsStore::open();
    s->setValue(QStringLiteral("Ports/COM1BootLines"), text);
    s->sync();
}

// "DTR1@50": DTR raised at 50 ms of virtual time.
QStringList changesSeen(const FakeSerialBackend &fake)
{
    QStringList seen;
    for (const FakeSerialBackend::ModemChange &c : fake.modemChanges()) {
        seen << QStringLiteral("%1%2@%3")
                    .arg(c.line == SerialBackend::ModemLine::DTR ? "DTR" : "RTS")
                    .arg(c.on ? 1 : 0)
                    .arg(c.ms);
    }
    return seen;
}

// A download on COM1 whose port is a FakeSerialBackend behind the real component and link.
struct Rig
{
    QTemporaryDir dir;
    VirtualTimerSource clock;
    FakeSerialBackend *fake = nullptr; // owned by serial
    std::unique_ptr<TKTSerial> serial;
    std::unique_ptr<KTSerialLink> link;
    std::unique_ptr<DownloadTransfer> transfer;
    std::unique_ptr<TransferProbe> probe;

    Rig()
    {
        auto backend = std::make_unique<FakeSerialBackend>();
        fake = backend.get();
        fake->setClock([this] { return clock.monotonicMs(); });
        serial = std::make_unique<TKTSerial>(std::move(backend));
        serial->SetSyncEventHandling(true);
        link = std::make_unique<KTSerialLink>(*serial);

        DownloadRequest r;
        r.image = QByteArray(0x100008, char(0xFF));
        r.image.replace(0, 4, QByteArray::fromHex("01020304"));
        r.fileName = QStringLiteral("/tmp/os.h86");
        r.endSector = 11;
        r.dataEnd = 4;
        r.deviceType = DeviceKind::Device46xx;
        TransferSetup setup = testSetup(dir.path(), clock, SettingsStore::comPortDevicePath(0));
        setup.portName = QStringLiteral("COM1");
        setup.bootLines = SettingsStore::comPortBootLines(0);
        setup.bootLinesOrigin = QStringLiteral("Ports/COM1BootLines");
        transfer = std::make_unique<DownloadTransfer>(*link, TransferSession::CanLinkFactory(),
                                                      std::move(r), setup);
        writeTargetHex(transfer->loaderFile(), QByteArray::fromHex("11223344"));
        writeTargetHex(transfer->programFile(), QByteArray::fromHex("aabbcc"));
        probe = std::make_unique<TransferProbe>(*transfer);
    }

    ~Rig()
    {
        transfer.reset();
        link.reset();
        serial.reset();
    }
    Rig(const Rig &) = delete;
    Rig &operator=(const Rig &) = delete;

    void start()
    {
        transfer->start();
        clock.settle();
    }

    // Refused before anything was sent: no report but the box's text in the record, exit status
    // 3, the port closed again.
    void verifyRefusedQuietly()
    {
        QVERIFY(probe->finished());
        QCOMPARE(probe->record->outcome, TransferOutcome::Aborted);
        QCOMPARE(TransferOutcomes::exitStatus(*probe->record), 3);
        QCOMPARE(probe->record->reportText,
                 probe->boxes.isEmpty() ? QString()
                                        : TransferSession::plainText(probe->boxes.last().text));
        QVERIFY(!probe->promptShown);
        QCOMPARE(fake->written(), QByteArray());
        QVERIFY(!serial->Active());
    }
};

} // namespace

void tst_DownloadBootLines::cleanup()
{
    storeBootLines(QString());
    IdleSlot::cancel();
}

void tst_DownloadBootLines::sequenceRunsBeforeTheBootByte_data()
{
    QTest::addColumn<bool>("fromSetting");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<QStringList>("changes");
    QTest::addColumn<int>("bootByteMs");

    QTest::newRow("fixture reset from the setting")
        << true << "dtr=1,rts=1,wait=50,dtr=0,wait=100,rts=0"
        << "dtr=1,rts=1,wait=50,dtr=0,wait=100,rts=0"
        << QStringList {"DTR1@0", "RTS1@0", "DTR0@50", "RTS0@150"} << 150;
    QTest::newRow("trailing wait holds the boot byte back")
        << false << "RTS=0 , wait=20,rts=1,wait=0,dtr=0,wait=7"
        << "rts=0,wait=20,rts=1,wait=0,dtr=0,wait=7" << QStringList {"RTS0@0", "RTS1@20", "DTR0@20"}
        << 27;
    QTest::newRow("wait first") << false << "wait=30,dtr=1"
                                << "wait=30,dtr=1" << QStringList {"DTR1@30"} << 30;
    QTest::newRow("lines only") << true << "dtr=0,rts=0"
                                << "dtr=0,rts=0" << QStringList {"DTR0@0", "RTS0@0"} << 0;
}

void tst_DownloadBootLines::sequenceRunsBeforeTheBootByte()
{
    QFETCH(bool, fromSetting);
    QFETCH(QString, text);
    QFETCH(QString, logged);
    QFETCH(QStringList, changes);
    QFETCH(int, bootByteMs);

    if (fromSetting)
        storeBootLines(text);
    Rig rig;
    if (!fromSetting)
        rig.transfer->setBootLines(text, QStringLiteral("--boot-lines"));
    QVERIFY(rig.transfer->usesBootLines());
    rig.start();
    QVERIFY(!rig.probe->promptShown);
    QVERIFY(rig.probe->boxLines().isEmpty());
    QCOMPARE(rig.probe->logs.value(0),
             QStringLiteral("Boot entry through the modem lines: ") + logged);
    if (bootByteMs > 0) {
        rig.clock.advance(bootByteMs - 1);
        QCOMPARE(rig.fake->written(), QByteArray());
        rig.clock.advance(1);
    }
    QCOMPARE(changesSeen(*rig.fake), changes);
    QCOMPARE(rig.fake->written(), QByteArray(1, '\0'));
    QCOMPARE(rig.transfer->phase(), TransferPhase::Identification);
    // The target's answer is awaited as after a confirmed prompt.
    QCOMPARE(rig.transfer->machine().bootState(), TransferMachine::BootState::WaitTargetId);
}

void tst_DownloadBootLines::malformedSequenceSendsNothing_data()
{
    QTest::addColumn<bool>("fromSetting");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("box");

    QTest::newRow("setting") << true << "dtr=1,rts=2"
                             << "Boot lines error|Malformed boot line sequence in "
                                "Ports/COM1BootLines: step 2 \"rts=2\": rts takes 0 or 1\r\n\r\n"
                                "No byte was sent. Download will be aborted!";
    QTest::newRow("option") << false << "dtr=1,wait=1s"
                            << "Boot lines error|Malformed boot line sequence in --boot-lines: "
                               "step 2 \"wait=1s\": wait takes milliseconds from 0 to 10000"
                               "\r\n\r\nNo byte was sent. Download will be aborted!";
}

void tst_DownloadBootLines::malformedSequenceSendsNothing()
{
    QFETCH(bool, fromSetting);
    QFETCH(QString, text);
    QFETCH(QString, box);

    if (fromSetting)
        storeBootLines(text);
    Rig rig;
    if (!fromSetting)
        rig.transfer->setBootLines(text, QStringLiteral("--boot-lines"));
    rig.start();
    QCOMPARE(rig.probe->boxLines(), QStringList {box});
    rig.verifyRefusedQuietly();
    QVERIFY(rig.fake->modemChanges().isEmpty());
    // Refused before the port was even opened.
    QVERIFY(rig.fake->configurations().isEmpty());
    QVERIFY(rig.probe->logs.isEmpty());
}

void tst_DownloadBootLines::linesThePortCannotSet_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("vanish"); // the port goes away during the first wait
    QTest::addColumn<QString>("box");

    QTest::newRow("no DTR (pseudo-terminal)")
        << "dtr=1,wait=10,rts=0" << false
        << "Boot lines error|Cannot set the DTR line of COM1: the port has no modem lines (a "
           "pseudo-terminal has none), so the boot line sequence in Ports/COM1BootLines cannot "
           "run.\r\n\r\nNo byte was sent. Download will be aborted!";
    QTest::newRow("no RTS")
        << "rts=1" << false
        << "Boot lines error|Cannot set the RTS line of COM1: the port has no modem lines (a "
           "pseudo-terminal has none), or hardware flow control holds RTS, so the boot line "
           "sequence in Ports/COM1BootLines cannot run.\r\n\r\nNo byte was sent. Download will "
           "be aborted!";
    QTest::newRow("port gone") << "wait=10,dtr=1" << true
                               << "Boot lines error|Setting the DTR line of COM1 failed: ";
}

void tst_DownloadBootLines::linesThePortCannotSet()
{
    QFETCH(QString, text);
    QFETCH(bool, vanish);
    QFETCH(QString, box);

    storeBootLines(text);
    Rig rig;
    rig.fake->setModemLinesSupported(vanish);
    rig.start();
    if (vanish) {
        QVERIFY(rig.probe->boxLines().isEmpty());
        rig.fake->vanish();
        rig.clock.advance(10);
    }
    QCOMPARE(rig.probe->boxLines().size(), 1);
    QVERIFY2(rig.probe->boxLines().first().startsWith(box),
             qPrintable(rig.probe->boxLines().first()));
    QVERIFY(rig.probe->boxLines().first().endsWith(
        QLatin1String("No byte was sent. Download will be aborted!")));
    rig.verifyRefusedQuietly();
    QVERIFY(rig.fake->modemChanges().isEmpty());
    // Nothing goes out later either.
    rig.clock.advance(5000);
    QCOMPARE(rig.fake->written(), QByteArray());
}

void tst_DownloadBootLines::optionReplacesSetting_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QStringList>("changes");

    QTest::newRow("other sequence") << "rts=1" << QStringList {"RTS1@0"};
    QTest::newRow("empty turns it off") << "" << QStringList();
}

void tst_DownloadBootLines::optionReplacesSetting()
{
    QFETCH(QString, option);
    QFETCH(QStringList, changes);

    // The setting alone would stop the transfer: the option must replace it, not add to it.
    storeBootLines(QStringLiteral("dtr=1,wait=5,bogus"));
    Rig rig;
    rig.transfer->setBootLines(option, QStringLiteral("--boot-lines"));
    QCOMPARE(rig.transfer->usesBootLines(), !option.isEmpty());
    rig.start();
    QVERIFY(rig.probe->boxLines().isEmpty());
    QCOMPARE(changesSeen(*rig.fake), changes);
    QCOMPARE(rig.probe->promptShown, option.isEmpty());
    if (option.isEmpty()) {
        QVERIFY(rig.probe->logs.isEmpty());
        QCOMPARE(rig.fake->written(), QByteArray());
        rig.transfer->answerBootPrompt(true);
    }
    QCOMPARE(rig.fake->written(), QByteArray(1, '\0'));
}

void tst_DownloadBootLines::userBreakDuringWait()
{
    storeBootLines(QStringLiteral("dtr=1,wait=100,dtr=0"));
    Rig rig;
    rig.start();
    rig.clock.advance(50);
    QVERIFY(!rig.probe->record.has_value());
    rig.transfer->userBreak();
    rig.verifyRefusedQuietly();
    rig.clock.advance(500);
    QCOMPARE(changesSeen(*rig.fake), QStringList {"DTR1@0"});
    QCOMPARE(rig.fake->written(), QByteArray());
}

QTEST_GUILESS_MAIN(tst_DownloadBootLines)
#include "tst_downloadbootlines.moc"
