#include "comm/KTSerial.h"
#include "comm/PosixSerialBackend.h"
#include "support/PtyPair.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <atomic>
#include <memory>

namespace {

// Runs the event loop until pred holds or timeoutMs passes.
template<typename Pred> bool waitFor(Pred pred, int timeoutMs = 3000)
{
    return QTest::qWaitFor(pred, timeoutMs);
}

struct Recorder
{
    QStringList events;
    QList<QThread *> threads;
    QByteArray received;
    quint32 lastErrors = 0;

    void install(TKTSerial &port, bool readOnRx = true)
    {
        port.OnError = [this](TKTSerial *s) {
            events << "error";
            threads << QThread::currentThread();
            ClearCommError(s->Handle(), &lastErrors);
        };
        port.OnRxChar = [this, readOnRx](TKTSerial *s) {
            events << "rx";
            threads << QThread::currentThread();
            if (!readOnRx)
                return;
            QByteArray buffer(int(s->InputCount()), '\0');
            buffer.resize(int(s->Read(buffer.data(), quint32(buffer.size()))));
            received += buffer;
        };
        port.OnTxEmpty = [this](TKTSerial *) {
            events << "txempty";
            threads << QThread::currentThread();
        };
    }
};

} // namespace

class tst_KTSerial : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void openCloseAreIdempotent();
    void openFailures_data();
    void openFailures();
    void notATerminalIsRefused();
    void refusedSetters_data();
    void refusedSetters();
    void setterClamps();
    void timeouts_data();
    void timeouts();
    void lineConfiguration_data();
    void lineConfiguration();
    void closedPortDoesNothing();
    void readWriteAndInputCount();
    void dispatchOrder();
    void noWorkerWithoutHandlers();
    void eventsOnOwnerThread();
    void largeWriteCompletesWithTxEmpty();
    void hangUpGivesOneIoError();
    void closeFromInsideHandler();
    void destroyWhileHandOverPending();
    void handlersOnWorkerWithoutSync();
    void destroyFromHandlerOnWorker();
    void assignCopiesSettings();

private:
    std::unique_ptr<PtyPair> m_pty;
    std::unique_ptr<TKTSerial> m_port;
};

void tst_KTSerial::init()
{
    m_pty = std::make_unique<PtyPair>();
    QVERIFY(m_pty->isOpen());
    m_port = std::make_unique<TKTSerial>();
    m_port->SetDevicePath(m_pty->devicePath());
    m_port->SetBaudrate(br57600);
    m_port->SetSyncEventHandling(true);
}

void tst_KTSerial::cleanup()
{
    m_port.reset();
    m_pty.reset();
}

void tst_KTSerial::openCloseAreIdempotent()
{
    int activations = 0, deactivations = 0;
    m_port->OnActivate = [&](TKTSerial *) {
        ++activations;
    };
    m_port->OnDeactivate = [&](TKTSerial *) {
        ++deactivations;
    };
    m_port->Close();
    QCOMPARE(deactivations, 0);
    m_port->Open();
    QVERIFY(m_port->Active());
    QVERIFY(m_port->Handle() >= 0);
    const int handle = m_port->Handle();
    m_port->Open();
    QCOMPARE(m_port->Handle(), handle);
    m_port->Close();
    m_port->Close();
    QVERIFY(!m_port->Active());
    QCOMPARE(m_port->Handle(), -1);
    QCOMPARE(activations, 1);
    QCOMPARE(deactivations, 1);
    m_port->SetActive(true);
    QVERIFY(m_port->Active());
    m_port->SetActive(false);
    QVERIFY(!m_port->Active());
}

void tst_KTSerial::openFailures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("secondOpener");
    QTest::addColumn<int>("expectedErrno");
    QTest::newRow("missing device") << "/nonexistent/ttyX" << false << ENOENT;
    QTest::newRow("no path given") << "" << false << ENOENT;
    QTest::newRow("already open") << QString() << true << EBUSY;
}

void tst_KTSerial::openFailures()
{
    QFETCH(QString, path);
    QFETCH(bool, secondOpener);
    QFETCH(int, expectedErrno);
    TKTSerial first;
    first.SetDevicePath(m_pty->devicePath());
    if (secondOpener)
        first.Open();
    else
        m_port->SetDevicePath(path);
    errno = expectedErrno;
    const QString expected = SystemErrorText();
    try {
        m_port->Open();
        QFAIL("Open did not raise");
    } catch (const ECommHandleError &e) {
        QCOMPARE(e.message(), expected);
    }
    QVERIFY(!m_port->Active());
    QCOMPARE(m_port->Handle(), -1);
}

void tst_KTSerial::notATerminalIsRefused()
{
    // The device opens, but it has no line to configure: the opening is undone.
    m_port->SetDevicePath(QStringLiteral("/dev/null"));
    m_port->OnRxChar = [](TKTSerial *) {
    };
    QVERIFY_THROWS_EXCEPTION(ECommInitError, m_port->Open());
    QVERIFY(!m_port->Active());
    QCOMPARE(m_port->Handle(), -1);
    QVERIFY(!m_port->HasWorker());
    m_port->SetDevicePath(m_pty->devicePath());
    m_port->Open();
    QVERIFY(m_port->Active());
}

void tst_KTSerial::refusedSetters_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("open");
    QTest::addColumn<int>("setter"); // 0 PortName, 1 VicPortAccess
    QTest::addColumn<QString>("message");
    QTest::newRow("port while open")
        << int(COM3) << true << 0 << "COM 3 is active!\r\n\r\nCannot change port!";
    QTest::newRow("vic while open")
        << int(COM1) << true << 1 << "COM 1 is active!\r\n\r\nCannot change VicPort access!";
    QTest::newRow("vic on COM7") << int(COM7) << false << 1
                                 << "COM 7 is selected!\r\n\r\nCannot enable the VicPort access!";
}

void tst_KTSerial::refusedSetters()
{
    QFETCH(int, port);
    QFETCH(bool, open);
    QFETCH(int, setter);
    QFETCH(QString, message);
    m_port->SetPortName(TPort(port));
    m_port->SetDevicePath(m_pty->devicePath());
    if (open)
        m_port->Open();
    try {
        if (setter == 0)
            m_port->SetPortName(COM5);
        else
            m_port->SetVicPortAccess(true);
        QFAIL("setter did not raise");
    } catch (const ECommInitError &e) {
        QCOMPARE(e.message(), message);
    }
    QCOMPARE(int(m_port->PortName()), port);
    QVERIFY(!m_port->VicPortAccess());
    QCOMPARE(m_port->Active(), open);
}

void tst_KTSerial::setterClamps()
{
    m_port->SetRxBufSize(5);
    QCOMPARE(m_port->RxBufSize(), 16);
    m_port->SetTxBufSize(-1);
    QCOMPARE(m_port->TxBufSize(), 16);
    m_port->SetRxBufSize(4096);
    QCOMPARE(m_port->RxBufSize(), 4096);
    m_port->SetRxTimeOut(-3);
    QCOMPARE(m_port->RxTimeOut(), 0);
    m_port->SetTxTimeOut(-1);
    QCOMPARE(m_port->TxTimeOut(), 0);

    // Another port forgets the path given for the one before; the same port keeps it.
    m_port->SetPortName(COM1);
    QCOMPARE(m_port->DevicePath(), m_pty->devicePath());
    // Ports beyond COM4 drop the direct-port mode; COM1..COM4 set the UART base.
    m_port->SetPortName(COM2);
    QCOMPARE(m_port->DevicePath(), QString());
    QCOMPARE(m_port->UARTBase(), quint16(0x2F8));
    m_port->SetPortName(COM4);
    QCOMPARE(m_port->UARTBase(), quint16(0x2E8));
    m_port->SetVicPortAccess(true);
    m_port->SetPortName(COM7);
    QVERIFY(!m_port->VicPortAccess());
    QCOMPARE(m_port->UARTBase(), quint16(0x2E8));
}

void tst_KTSerial::timeouts_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("rx");
    QTest::addColumn<int>("tx");
    QTest::addColumn<QList<quint32>>("expected");
    QTest::newRow("rx only at 57600")
        << int(br57600) << 100 << 0 << QList<quint32> {100, 1, 100, 0, 0};
    QTest::newRow("both at 1200") << int(br1200) << 50 << 70 << QList<quint32> {50, 8, 50, 8, 70};
    QTest::newRow("tx only at 4800") << int(br4800) << 0 << 30 << QList<quint32> {0, 0, 0, 2, 30};
    QTest::newRow("both zero keep") << int(br9600) << 0 << 0 << QList<quint32> {0, 0, 0, 0, 0};
}

void tst_KTSerial::timeouts()
{
    QFETCH(int, baud);
    QFETCH(int, rx);
    QFETCH(int, tx);
    QFETCH(QList<quint32>, expected);
    m_port->SetBaudrate(TBaudrate(baud));
    m_port->Open();
    m_port->SetRxTimeOut(rx);
    m_port->SetTxTimeOut(tx);
    const TCommTimeouts t = m_port->Timeouts();
    QCOMPARE((QList<quint32> {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                              t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                              t.WriteTotalTimeoutConstant}),
             expected);
}

void tst_KTSerial::lineConfiguration_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("bitsPerSecond");
    for (int i = 0; i < TBaudrateCount; ++i)
        QTest::addRow("%d", BaudrateValue(TBaudrate(i))) << i << BaudrateValue(TBaudrate(i));
}

void tst_KTSerial::lineConfiguration()
{
    QFETCH(int, baud);
    QFETCH(int, bitsPerSecond);
    auto backend = std::make_unique<PosixSerialBackend>();
    const PosixSerialBackend *posix = backend.get();
    m_port = std::make_unique<TKTSerial>(std::move(backend));
    m_port->SetDevicePath(m_pty->devicePath());
    m_port->SetFrameParitybit(TParityBit::Odd);
    m_port->SetFrameStopbits(sb_2);
    m_port->SetFrameDatabits(db_7);
    m_port->Open();
    m_port->SetBaudrate(TBaudrate(baud));
    // Pseudo-terminals force eight data bits without parity, so only the rate and the stop
    // bits can be read back here.
    SerialBackend::LineSettings line;
    QVERIFY(posix->lineSettings(&line));
    QCOMPARE(line.bitsPerSecond, bitsPerSecond);
    QCOMPARE(line.stopBits, 2);
    m_port->SetFrameStopbits(sb_1);
    m_port->SetFrameParitybit(TParityBit::Even);
    QVERIFY(posix->lineSettings(&line));
    QCOMPARE(line.stopBits, 0);
    QCOMPARE(line.bitsPerSecond, bitsPerSecond);
}

void tst_KTSerial::closedPortDoesNothing()
{
    char buffer[4] = {1, 2, 3, 4};
    QCOMPARE(m_port->InputCount(), 0u);
    QCOMPARE(m_port->Read(buffer, 4), 0u);
    QCOMPARE(m_port->Write(buffer, 4), 0u);
    quint32 errors = 0;
    errno = 0;
    QVERIFY(!ClearCommError(m_port->Handle(), &errors));
    QCOMPARE(errno, EBADF);
    QCOMPARE(LastErrorText(), SystemErrorText());
}

void tst_KTSerial::readWriteAndInputCount()
{
    m_port->Open();
    char buffer[64] = {};
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(m_port->Read(buffer, sizeof buffer), 0u);
    QVERIFY(timer.elapsed() < 100);

    QVERIFY(m_pty->write(QByteArray("\x01\x02\x03\x04\x05", 5)));
    QVERIFY(waitFor([&] { return m_port->InputCount() == 5; }));
    QCOMPARE(m_port->Read(buffer, 3), 3u);
    QCOMPARE(QByteArray(buffer, 3), QByteArray("\x01\x02\x03", 3));
    QCOMPARE(m_port->Read(buffer, sizeof buffer), 2u);
    QCOMPARE(QByteArray(buffer, 2), QByteArray("\x04\x05", 2));
    QCOMPARE(m_port->InputCount(), 0u);

    // Bytes go out untranslated: raw mode, no newline mapping, no software flow control.
    const QByteArray out("\x00\x0a\x0d\x11\x13\xff", 6);
    QCOMPARE(m_port->Write(out.constData(), quint32(out.size())), quint32(out.size()));
    QCOMPARE(m_pty->read(out.size()), out);
}

void tst_KTSerial::dispatchOrder()
{
    QStringList order;
    m_port->OnTxEmpty = [&](TKTSerial *) {
        order << "txempty";
    };
    m_port->OnRxChar = [&](TKTSerial *) {
        order << "rx";
    };
    m_port->OnError = [&](TKTSerial *) {
        order << "error";
    };
    m_port->DispatchEvents(EV_TXEMPTY | EV_RXCHAR | EV_ERR);
    QCOMPARE(order, (QStringList {"error", "rx", "txempty"}));
    // Only assigned handlers run; a handler may clear another before its turn.
    order.clear();
    m_port->OnError = [&](TKTSerial *s) {
        order << "error";
        s->OnRxChar = nullptr;
    };
    m_port->DispatchEvents(EV_RXCHAR | EV_ERR);
    QCOMPARE(order, QStringList {"error"});
}

void tst_KTSerial::noWorkerWithoutHandlers()
{
    int calls = 0;
    m_port->OnActivate = [&](TKTSerial *) {
        ++calls;
    };
    m_port->Open();
    QCOMPARE(calls, 1);
    QVERIFY(!m_port->HasWorker());
    // A handler installed after Open has no effect until the next Open.
    m_port->OnRxChar = [&](TKTSerial *) {
        ++calls;
    };
    QVERIFY(m_pty->write("abc"));
    QTest::qWait(100);
    QCOMPARE(calls, 1);
    QCOMPARE(m_port->InputCount(), 3u);
    m_port->Close(); // drops the queued bytes
    m_port->Open();
    QVERIFY(m_port->HasWorker());
    QVERIFY(m_pty->write("d"));
    QVERIFY(waitFor([&] { return calls == 3; }));
}

void tst_KTSerial::eventsOnOwnerThread()
{
    Recorder rec;
    rec.install(*m_port);
    m_port->Open();
    QVERIFY(m_port->HasWorker());
    const char request[] = {0x00};
    QCOMPARE(m_port->Write(request, 1), 1u);
    QCOMPARE(m_pty->read(1), QByteArray(1, '\0'));
    QVERIFY(waitFor([&] { return rec.events.contains("txempty"); }));
    QVERIFY(m_pty->write(QByteArray("\xC5", 1)));
    QVERIFY(waitFor([&] { return rec.received.size() == 1; }));
    QCOMPARE(rec.received, QByteArray("\xC5", 1));
    QCOMPARE(rec.events, (QStringList {"txempty", "rx"}));
    for (QThread *t : rec.threads)
        QCOMPARE(t, QThread::currentThread());
}

void tst_KTSerial::largeWriteCompletesWithTxEmpty()
{
    Recorder rec;
    rec.install(*m_port);
    m_port->Open();
    QByteArray big(256 * 1024, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 7);
    QByteArray copy = big;
    // The driver cannot take it all at once: the rest is still being sent.
    QCOMPARE(m_port->Write(copy.constData(), quint32(copy.size())), 0u);
    copy.fill('x'); // the component keeps its own copy
    QByteArray got;
    QVERIFY(waitFor([&] {
        got += m_pty->read(big.size() - got.size(), 10);
        return got.size() == big.size();
    }));
    QCOMPARE(got, big);
    QVERIFY(waitFor([&] { return rec.events.contains("txempty"); }));
    QCOMPARE(rec.events.count("txempty"), 1);
}

void tst_KTSerial::hangUpGivesOneIoError()
{
    Recorder rec;
    rec.install(*m_port, false);
    m_port->Open();
    QVERIFY(m_pty->write("\x55\x55"));
    QVERIFY(waitFor([&] { return rec.events.contains("rx"); }));
    m_pty->closeMaster();
    QVERIFY(waitFor([&] { return rec.events.contains("error"); }));
    QTest::qWait(200);
    QCOMPARE(rec.events.count("error"), 1);
    QVERIFY(rec.lastErrors & CE_IOE);
    QCOMPARE(rec.events.first(), QStringLiteral("rx"));
    QCOMPARE(rec.events.at(1), QStringLiteral("error"));
    // Writing into the dead line raises no exception; closing does not hang.
    QCOMPARE(m_port->Write("x", 1), 0u);
    QElapsedTimer timer;
    timer.start();
    m_port->Close();
    QVERIFY(timer.elapsed() < 1000);
}

void tst_KTSerial::closeFromInsideHandler()
{
    int rxCalls = 0;
    bool reopened = false;
    m_port->OnRxChar = [&](TKTSerial *s) {
        ++rxCalls;
        s->Close();
        // Reopening at once works: the previous worker has let go of the device.
        s->Open();
        reopened = s->Active();
        s->Close();
    };
    m_port->Open();
    QVERIFY(m_pty->write("a"));
    QVERIFY(waitFor([&] { return rxCalls == 1; }));
    QVERIFY(reopened);
    QVERIFY(!m_port->Active());
    QTest::qWait(50);
    QCOMPARE(rxCalls, 1);
}

void tst_KTSerial::destroyWhileHandOverPending()
{
    int calls = 0;
    m_port->OnRxChar = [&](TKTSerial *) {
        ++calls;
    };
    m_port->Open();
    QVERIFY(m_pty->write("a"));
    // The event waits for this thread, which does not run its event loop.
    QThread::msleep(50);
    QElapsedTimer timer;
    timer.start();
    m_port.reset();
    QVERIFY(timer.elapsed() < 1000);
    QCoreApplication::processEvents();
    QCOMPARE(calls, 0);
}

void tst_KTSerial::handlersOnWorkerWithoutSync()
{
    m_port->SetSyncEventHandling(false);
    std::atomic<QThread *> handlerThread {nullptr};
    std::atomic<int> calls {0};
    m_port->OnRxChar = [&](TKTSerial *s) {
        handlerThread = QThread::currentThread();
        char buffer[16];
        s->Read(buffer, sizeof buffer);
        if (++calls == 2)
            s->Close(); // from the worker itself
    };
    m_port->Open();
    QVERIFY(m_pty->write("a"));
    QVERIFY(waitFor([&] { return calls == 1; }));
    QVERIFY(handlerThread != QThread::currentThread());
    QVERIFY(m_pty->write("b"));
    QVERIFY(waitFor([&] { return calls == 2; }));
    QVERIFY(waitFor([&] { return !m_port->Active(); }));
    m_port.reset();
}

void tst_KTSerial::destroyFromHandlerOnWorker()
{
    m_port->SetSyncEventHandling(false);
    std::atomic<bool> opened {false};
    std::atomic<bool> destroyed {false};
    TKTSerial *port = m_port.release();
    port->OnRxChar = [&](TKTSerial *s) {
        // The handler owns the component only once this thread is done with it.
        if (!opened.load())
            return;
        delete s; // the worker's own handler ends the component
        destroyed = true;
    };
    port->Open();
    opened = true;
    QVERIFY(m_pty->write("a"));
    QVERIFY(waitFor([&] { return destroyed.load(); }));
    // The worker winds up on its own once the handler has returned; the process must survive it.
    QTest::qWait(100);
}

void tst_KTSerial::assignCopiesSettings()
{
    TKTSerial source;
    source.SetPortName(COM3);
    source.SetDevicePath(QStringLiteral("/dev/ttyUSB3"));
    source.SetBaudrate(br28800);
    source.SetFrameDatabits(db_7);
    source.SetFrameParitybit(TParityBit::Odd);
    source.SetFrameStopbits(sb_2);
    source.SetRxBufSize(4096);
    source.SetTxBufSize(1024);
    source.SetRxTimeOut(10);
    source.SetTxTimeOut(20);
    source.SetThreadPriority(QThread::LowPriority);
    source.SetVicPortAccess(true);

    TKTSerial target;
    target.Assign(source);
    QCOMPARE(int(target.PortName()), int(COM3));
    QCOMPARE(target.DevicePath(), QStringLiteral("/dev/ttyUSB3"));
    QCOMPARE(int(target.Baudrate()), int(br28800));
    QCOMPARE(int(target.FrameDatabits()), int(db_7));
    QCOMPARE(int(target.FrameParitybit()), int(TParityBit::Odd));
    QCOMPARE(int(target.FrameStopbits()), int(sb_2));
    QCOMPARE(target.RxBufSize(), 4096);
    QCOMPARE(target.TxBufSize(), 1024);
    QCOMPARE(target.RxTimeOut(), 10);
    QCOMPARE(target.TxTimeOut(), 20);
    QCOMPARE(target.ThreadPriority(), QThread::LowPriority);
    QVERIFY(!target.VicPortAccess());

    // While open nothing is copied.
    m_port->Open();
    m_port->Assign(source);
    QCOMPARE(int(m_port->PortName()), int(COM1));
    QCOMPARE(int(m_port->Baudrate()), int(br57600));
}

QTEST_GUILESS_MAIN(tst_KTSerial)
#include "tst_KTSerial.moc"
