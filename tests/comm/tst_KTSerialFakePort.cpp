// The serial component on a fake port: what a pseudo-terminal cannot show (output that never
// drains, line errors, a device that vanishes) and how the received bytes travel with the
// receive event.
#include "comm/KTSerial.h"
#include "support/FakeSerialBackend.h"

#include <QElapsedTimer>
#include <QTest>

#include <memory>
#include <thread>

namespace {

using Counters = SerialBackend::ErrorCounters;

struct Recorder
{
    QStringList events;
    QByteArray received;
    QList<quint32> errors;

    void install(TKTSerial &port, bool rx = true)
    {
        port.OnError = [this](TKTSerial *s) {
            events << "error";
            quint32 flags = 0;
            ClearCommError(s->Handle(), &flags);
            errors << flags;
        };
        if (rx) {
            port.OnRxChar = [this](TKTSerial *s) {
                events << "rx";
                QByteArray buffer(int(s->InputCount()), '\0');
                buffer.resize(int(s->Read(buffer.data(), quint32(buffer.size()))));
                received += buffer;
            };
        }
        port.OnTxEmpty = [this](TKTSerial *) {
            events << "txempty";
        };
    }
};

} // namespace

class tst_KTSerialFakePort : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void failuresOfTheBackend_data();
    void failuresOfTheBackend();
    void closeFailureLeavesPortClosed();
    void txEmptyWaitsUntilOutputDrains();
    void lineErrorsReachOnError_data();
    void lineErrorsReachOnError();
    void lineErrorHidesQueueOnce_data();
    void lineErrorHidesQueueOnce();
    void vanishedPortGivesOneIoError_data() { readers(); }
    void vanishedPortGivesOneIoError();
    void receivedBytesNeedNoDriverCall();
    void handlerLeavesBytes();
    void receiveBufferBoundedByRxBufSize_data() { readers(); }
    void receiveBufferBoundedByRxBufSize();
    void discardDropsDriverAndReadAhead_data() { readers(); }
    void discardDropsDriverAndReadAhead();

private:
    // Who reads the received bytes: the worker, or the component's own thread when the port
    // has a descriptor its event loop can watch.
    static void readers()
    {
        QTest::addColumn<bool>("readsHere");
        QTest::newRow("worker reads") << false;
        QTest::newRow("own thread reads") << true;
    }
    // Offers the descriptor for rows that read on the own thread; call before Open.
    void chooseReader()
    {
        QFETCH(bool, readsHere);
        if (readsHere)
            m_fake->offerReadableHandle();
    }
    // After bytes were taken: the reader was the one the row chose.
    bool readByChosenReader() const
    {
        QFETCH(bool, readsHere);
        return (m_fake->lastReader() == std::this_thread::get_id()) == readsHere;
    }

    FakeSerialBackend *m_fake = nullptr; // owned by m_port
    std::unique_ptr<TKTSerial> m_port;
};

void tst_KTSerialFakePort::init()
{
    auto fake = std::make_unique<FakeSerialBackend>();
    m_fake = fake.get();
    m_port = std::make_unique<TKTSerial>(std::move(fake));
    m_port->SetBaudrate(br57600);
    m_port->SetSyncEventHandling(true);
}

void tst_KTSerialFakePort::cleanup()
{
    m_port.reset();
    m_fake = nullptr;
}

void tst_KTSerialFakePort::failuresOfTheBackend_data()
{
    QTest::addColumn<int>("openError");
    QTest::addColumn<int>("configureError");
    QTest::newRow("open refused") << EACCES << 0;
    QTest::newRow("line refused") << 0 << EINVAL;
}

void tst_KTSerialFakePort::failuresOfTheBackend()
{
    QFETCH(int, openError);
    QFETCH(int, configureError);
    m_fake->setOpenError(openError);
    m_fake->setConfigureError(configureError);
    m_port->OnRxChar = [](TKTSerial *) {
    };
    errno = openError ? openError : configureError;
    const QString expected = SystemErrorText();
    try {
        m_port->Open();
        QFAIL("Open did not raise");
    } catch (const ECommHandleError &e) {
        QVERIFY(openError);
        QCOMPARE(e.message(), expected);
    } catch (const ECommInitError &e) {
        QVERIFY(configureError);
        QCOMPARE(e.message(), expected);
    }
    QVERIFY(!m_port->Active());
    QCOMPARE(m_port->Handle(), -1);
    QVERIFY(!m_port->HasWorker());
    QVERIFY(!m_fake->isOpen());
}

void tst_KTSerialFakePort::closeFailureLeavesPortClosed()
{
    int deactivations = 0;
    m_port->OnDeactivate = [&](TKTSerial *) {
        ++deactivations;
    };
    m_port->Open();
    m_fake->setCloseError(EIO);
    QVERIFY_THROWS_EXCEPTION(ECommHandleError, m_port->Close());
    QVERIFY(!m_port->Active());
    QCOMPARE(m_port->Handle(), -1);
    QCOMPARE(deactivations, 0);
    m_fake->setCloseError(0);
    m_port->Open();
    QVERIFY(m_port->Active());
}

void tst_KTSerialFakePort::txEmptyWaitsUntilOutputDrains()
{
    Recorder rec;
    rec.install(*m_port);
    m_fake->setOutputDrains(false);
    m_port->Open();
    // The driver takes the bytes at once, but they stay in its transmit queue.
    QCOMPARE(m_port->Write("\x06\x04\x00", 3), 3u);
    QCOMPARE(m_fake->written(), QByteArray("\x06\x04\x00", 3));
    QTest::qWait(300);
    QVERIFY(!rec.events.contains("txempty"));
    quint32 errors = 0;
    TComStat stat;
    QVERIFY(m_port->ClearCommError(&errors, &stat));
    QCOMPARE(stat.cbOutQue, 3u);

    m_fake->drainOutput();
    QVERIFY(QTest::qWaitFor([&] { return rec.events.contains("txempty"); }, 1000));
    QTest::qWait(150);
    QCOMPARE(rec.events, QStringList {"txempty"});
}

void tst_KTSerialFakePort::lineErrorsReachOnError_data()
{
    QTest::addColumn<Counters>("counted");
    QTest::addColumn<bool>("rxHandler");
    QTest::addColumn<quint32>("expected");
    QTest::newRow("framing") << Counters {1, 0, 0, 0, 0} << true << quint32(CE_FRAME);
    QTest::newRow("parity") << Counters {0, 2, 0, 0, 0} << true << quint32(CE_RXPARITY);
    QTest::newRow("overrun") << Counters {0, 0, 1, 0, 0} << true << quint32(CE_OVERRUN);
    QTest::newRow("break") << Counters {0, 0, 0, 1, 0} << true << quint32(CE_BREAK);
    QTest::newRow("buffer overrun") << Counters {0, 0, 0, 0, 3} << true << quint32(CE_RXOVER);
    QTest::newRow("framing and overrun")
        << Counters {1, 0, 1, 0, 0} << true << quint32(CE_FRAME | CE_OVERRUN);
    // Without a receive handler the worker looks at the counters on its own.
    QTest::newRow("parity, no rx handler")
        << Counters {0, 1, 0, 0, 0} << false << quint32(CE_RXPARITY);
}

void tst_KTSerialFakePort::lineErrorsReachOnError()
{
    QFETCH(Counters, counted);
    QFETCH(bool, rxHandler);
    QFETCH(quint32, expected);
    Recorder rec;
    rec.install(*m_port, rxHandler);
    m_port->Open();
    m_fake->feed("ok");
    if (rxHandler)
        QVERIFY(QTest::qWaitFor([&] { return rec.received == "ok"; }, 2000));
    m_fake->countLineErrors(counted, QByteArray(1, '\0'));
    QVERIFY(QTest::qWaitFor([&] { return !rec.errors.isEmpty(); }, 2000));
    QCOMPARE(rec.errors, QList<quint32> {expected});
    QVERIFY(!CommErrorText(rec.errors.first()).isEmpty());
    if (rxHandler) {
        // The error comes first, then the byte that carried it.
        QVERIFY(QTest::qWaitFor([&] { return rec.received.size() == 3; }, 2000));
        QCOMPARE(rec.events, (QStringList {"rx", "error", "rx"}));
    }
    // Taken once: nothing is left for the next look.
    quint32 errors = 0;
    QVERIFY(m_port->ClearCommError(&errors));
    QCOMPARE(errors, 0u);
}

void tst_KTSerialFakePort::lineErrorHidesQueueOnce_data()
{
    QTest::addColumn<bool>("worker");
    QTest::newRow("asking the driver") << false;
    QTest::newRow("bytes with the event") << true;
}

void tst_KTSerialFakePort::lineErrorHidesQueueOnce()
{
    QFETCH(bool, worker);
    QList<quint32> counts;
    if (worker) {
        m_port->OnError = [](TKTSerial *) {
        };
        m_port->OnRxChar = [&](TKTSerial *s) {
            counts << s->InputCount() << s->InputCount();
        };
    }
    m_port->Open();
    QCOMPARE(m_port->HasWorker(), worker);
    m_fake->feed("xyz");
    if (worker)
        QVERIFY(QTest::qWaitFor([&] { return counts.size() == 2; }, 2000));
    else
        QCOMPARE(m_port->InputCount(), 3u);
    // A framing error arrives with one more byte.
    m_fake->countLineErrors({1, 0, 0, 0, 0}, "w");
    if (worker) {
        QVERIFY(QTest::qWaitFor([&] { return counts.size() == 4; }, 2000));
        QCOMPARE(counts, (QList<quint32> {3, 3, 0, 4}));
    } else {
        QCOMPARE(m_port->InputCount(), 0u);
        QCOMPARE(m_port->InputCount(), 4u);
    }
    m_fake->countLineErrors({0, 1, 1, 0, 0});
    quint32 errors = 0;
    TComStat stat;
    QVERIFY(ClearCommError(m_port->Handle(), &errors, &stat));
    QCOMPARE(errors, quint32(CE_RXPARITY | CE_OVERRUN));
    QCOMPARE(stat.cbInQue, 4u);
    QVERIFY(ClearCommError(m_port->Handle(), &errors));
    QCOMPARE(errors, 0u);
}

void tst_KTSerialFakePort::vanishedPortGivesOneIoError()
{
    Recorder rec;
    rec.install(*m_port);
    chooseReader();
    m_port->Open();
    m_fake->feed("\x55");
    QVERIFY(QTest::qWaitFor([&] { return rec.events.contains("rx"); }, 2000));
    QVERIFY(readByChosenReader());
    m_fake->vanish();
    QVERIFY(QTest::qWaitFor([&] { return !rec.errors.isEmpty(); }, 2000));
    QTest::qWait(150);
    QCOMPARE(rec.errors.size(), 1);
    QVERIFY(rec.errors.first() & CE_IOE);
    // Writing into the dead line raises nothing and reports nothing sent; reading gives nothing.
    QCOMPARE(m_port->Write("x", 1), 0u);
    char buffer[4];
    QCOMPARE(m_port->Read(buffer, sizeof buffer), 0u);
    QElapsedTimer timer;
    timer.start();
    m_port->Close();
    QVERIFY(timer.elapsed() < 1000);
    QCOMPARE(rec.events, (QStringList {"rx", "error"}));
    // The device is gone for good.
    errno = ENOENT;
    const QString gone = SystemErrorText();
    try {
        m_port->Open();
        QFAIL("Open did not raise");
    } catch (const ECommHandleError &e) {
        QCOMPARE(e.message(), gone);
    }
}

void tst_KTSerialFakePort::receivedBytesNeedNoDriverCall()
{
    // A request and answer conversation, as the transfers hold it.
    int answers = 0;
    m_port->OnError = [](TKTSerial *) {
    };
    m_port->OnRxChar = [&](TKTSerial *s) {
        char buffer[16];
        const quint32 n = s->Read(buffer, qMin<quint32>(s->InputCount(), sizeof buffer));
        for (quint32 i = 0; i < n; ++i) {
            const char echo = char(buffer[i] + 1);
            s->Write(&echo, 1);
            ++answers;
        }
    };
    m_port->OnTxEmpty = [](TKTSerial *) {
    };
    m_port->Open();
    for (int i = 0; i < 20; ++i) {
        m_fake->feed(QByteArray(1, char(i)));
        QVERIFY(QTest::qWaitFor([&] { return answers == i + 1; }, 2000));
    }
    QByteArray expected;
    for (int i = 0; i < 20; ++i)
        expected += char(i + 1);
    QCOMPARE(m_fake->written(), expected);
    QCOMPARE(m_fake->inputQueueCalls(), 0);
}

void tst_KTSerialFakePort::handlerLeavesBytes()
{
    // Bytes a handler leaves are there for the next one, which comes only for new bytes.
    QList<quint32> counts;
    QByteArray taken;
    m_port->OnRxChar = [&](TKTSerial *s) {
        counts << s->InputCount();
        char byte = 0;
        if (s->Read(&byte, 1) == 1)
            taken += byte;
    };
    m_port->Open();
    m_fake->feed("abc");
    QVERIFY(QTest::qWaitFor([&] { return counts.size() == 1; }, 2000));
    QTest::qWait(50);
    QCOMPARE(counts.size(), 1);
    m_fake->feed("d");
    QVERIFY(QTest::qWaitFor([&] { return counts.size() == 2; }, 2000));
    QCOMPARE(counts, (QList<quint32> {3, 3}));
    QCOMPARE(taken, QByteArray("ab"));
    QCOMPARE(m_port->InputCount(), 2u);
    char rest[8];
    QCOMPARE(m_port->Read(rest, sizeof rest), 2u);
    QCOMPARE(QByteArray(rest, 2), QByteArray("cd"));
    // Closing drops what nobody took.
    m_fake->feed("e");
    QVERIFY(QTest::qWaitFor([&] { return counts.size() == 3; }, 2000));
    m_port->Close();
    m_port->Open();
    QCOMPARE(m_port->InputCount(), 0u);
}

void tst_KTSerialFakePort::receiveBufferBoundedByRxBufSize()
{
    // The worker reads no further ahead than RxBufSize; the rest waits in the driver and comes
    // in order as the reader makes room.
    m_port->SetRxBufSize(16);
    int events = 0;
    m_port->OnRxChar = [&](TKTSerial *) {
        ++events;
    };
    chooseReader();
    m_port->Open();
    QByteArray sent;
    for (int i = 0; i < 100; ++i)
        sent += char(i);
    m_fake->feed(sent);
    QVERIFY(QTest::qWaitFor([&] { return events >= 1; }, 2000));
    QTest::qWait(50);
    QCOMPARE(m_port->InputCount(), 16u);
    QCOMPARE(m_fake->inputQueue(), 84);
    QVERIFY(readByChosenReader());
    QByteArray got;
    QVERIFY(QTest::qWaitFor(
        [&] {
            char buffer[7];
            got.append(buffer, m_port->Read(buffer, sizeof buffer));
            return got.size() == sent.size();
        },
        3000));
    QCOMPARE(got, sent);
}

void tst_KTSerialFakePort::discardDropsDriverAndReadAhead()
{
    // The worker has read 16 bytes ahead and stalls; the driver holds the rest.
    m_port->SetRxBufSize(16);
    int events = 0;
    m_port->OnRxChar = [&](TKTSerial *) {
        ++events;
    };
    QVERIFY(!m_port->DiscardInput());
    QCOMPARE(errno, EBADF);
    chooseReader();
    m_port->Open();
    m_fake->feed(QByteArray(40, 'x'));
    QVERIFY(QTest::qWaitFor([&] { return events >= 1; }, 2000));
    QVERIFY(QTest::qWaitFor([&] { return m_port->InputCount() == 16u; }, 2000));
    QVERIFY(m_port->DiscardInput());
    QCOMPARE(m_fake->discardCalls(), 1);
    QCOMPARE(m_port->InputCount(), 0u);
    QCOMPARE(m_fake->pendingInput(), qsizetype(0));
    // What comes after it is kept, and the worker reads again after its stall.
    m_fake->feed("new");
    QVERIFY(QTest::qWaitFor([&] { return m_port->InputCount() == 3u; }, 2000));
    char buffer[8];
    QCOMPARE(m_port->Read(buffer, sizeof buffer), 3u);
    QCOMPARE(QByteArray(buffer, 3), QByteArray("new"));
}

QTEST_GUILESS_MAIN(tst_KTSerialFakePort)
#include "tst_KTSerialFakePort.moc"
