// The POSIX serial backend on a pseudo-terminal: what the component's worker relies on.
#include "comm/PosixSerialBackend.h"
#include "support/PtyPair.h"

#include <QElapsedTimer>
#include <QTest>

#include <cerrno>
#include <thread>

class tst_PosixSerialBackend : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void waitReportsWhatHolds_data();
    void waitReportsWhatHolds();
    void wakeFromAnotherThread();
    void hangUpFailsReadAndWrite();
    void flowControlAndModemLines();
    void closedPortRefusesEverything();

private:
    std::unique_ptr<PtyPair> m_pty;
    std::unique_ptr<PosixSerialBackend> m_port;
};

void tst_PosixSerialBackend::init()
{
    m_pty = std::make_unique<PtyPair>();
    QVERIFY(m_pty->isOpen());
    m_port = std::make_unique<PosixSerialBackend>();
    QVERIFY(m_port->open(m_pty->devicePath()));
    QVERIFY(m_port->configure({}));
}

void tst_PosixSerialBackend::cleanup()
{
    m_port.reset();
    m_pty.reset();
}

void tst_PosixSerialBackend::waitReportsWhatHolds_data()
{
    QTest::addColumn<QByteArray>("arriving");
    QTest::addColumn<bool>("woken");
    QTest::addColumn<bool>("hangUp");
    QTest::addColumn<quint32>("interest");
    QTest::addColumn<quint32>("expected");
    const quint32 readable = SerialBackend::Readable | SerialBackend::LineDown;
    QTest::newRow("nothing: time runs out") << QByteArray() << false << false << readable << 0u;
    QTest::newRow("bytes") << QByteArray("ab") << false << false << readable
                           << quint32(SerialBackend::Readable);
    QTest::newRow("bytes not asked for")
        << QByteArray("ab") << false << false << quint32(SerialBackend::LineDown) << 0u;
    QTest::newRow("woken") << QByteArray() << true << false << readable
                           << quint32(SerialBackend::Woken);
    QTest::newRow("writable") << QByteArray() << false << false << quint32(SerialBackend::Writable)
                              << quint32(SerialBackend::Writable);
    QTest::newRow("hang-up") << QByteArray() << false << true << readable
                             << quint32(SerialBackend::LineDown);
    QTest::newRow("hang-up, line not watched") << QByteArray() << false << true << 0u << 0u;
}

void tst_PosixSerialBackend::waitReportsWhatHolds()
{
    QFETCH(QByteArray, arriving);
    QFETCH(bool, woken);
    QFETCH(bool, hangUp);
    QFETCH(quint32, interest);
    QFETCH(quint32, expected);
    if (!arriving.isEmpty()) {
        QVERIFY(m_pty->write(arriving));
        QTest::qWait(20);
    }
    if (woken)
        m_port->wake();
    if (hangUp)
        m_pty->closeMaster();
    quint32 ready = m_port->wait(interest, 50);
    // A hang-up may come with "readable"; only "line down" matters then.
    if (hangUp)
        ready &= ~quint32(SerialBackend::Readable);
    QCOMPARE(ready, expected);
}

void tst_PosixSerialBackend::wakeFromAnotherThread()
{
    QElapsedTimer timer;
    timer.start();
    std::thread waker([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        m_port->wake();
    });
    const quint32 ready = m_port->wait(SerialBackend::Readable | SerialBackend::LineDown, 5000);
    waker.join();
    QCOMPARE(ready, quint32(SerialBackend::Woken));
    QVERIFY(timer.elapsed() < 2000);
    // Taken: the next wait does not end at once.
    QCOMPARE(m_port->wait(SerialBackend::Readable, 20), 0u);
}

void tst_PosixSerialBackend::hangUpFailsReadAndWrite()
{
    QVERIFY(m_pty->write("xy"));
    QTest::qWait(20);
    QCOMPARE(m_port->inputQueue(), 2);
    char buffer[8];
    QCOMPARE(m_port->read(buffer, 1), 1);
    m_pty->closeMaster();
    errno = 0;
    QCOMPARE(m_port->write("z", 1), -1);
    QCOMPARE(errno, EIO);
    // Reading gives nothing more (a hung-up terminal reads as end of file), and the wait
    // reports the line down, which is what the worker goes by.
    m_port->read(buffer, sizeof buffer);
    QVERIFY(m_port->read(buffer, sizeof buffer) <= 0);
    QVERIFY(m_port->wait(SerialBackend::Readable | SerialBackend::LineDown, 100)
            & SerialBackend::LineDown);
    QCOMPARE(m_port->inputQueue(), -1);
}

void tst_PosixSerialBackend::flowControlAndModemLines()
{
    SerialBackend::LineSettings line;
    line.bitsPerSecond = 28800;
    line.stopBits = 2;
    line.flow = SerialBackend::FlowControl::Hardware;
    QVERIFY(m_port->configure(line));
    SerialBackend::LineSettings back;
    QVERIFY(m_port->lineSettings(&back));
    QCOMPARE(back.bitsPerSecond, 28800);
    QCOMPARE(back.stopBits, 2);
    QCOMPARE(int(back.flow), int(SerialBackend::FlowControl::Hardware));
    // Hardware flow control owns RTS.
    QCOMPARE(int(m_port->setModemLine(SerialBackend::ModemLine::RTS, true)),
             int(SerialBackend::ModemResult::CannotSet));
    line.flow = SerialBackend::FlowControl::AsFound;
    QVERIFY(m_port->configure(line));
    QVERIFY(m_port->lineSettings(&back));
    QCOMPARE(int(back.flow), int(SerialBackend::FlowControl::Hardware));
    line.flow = SerialBackend::FlowControl::None;
    QVERIFY(m_port->configure(line));
    QVERIFY(m_port->lineSettings(&back));
    QCOMPARE(int(back.flow), int(SerialBackend::FlowControl::None));
    // A pseudo-terminal has no modem lines.
    QCOMPARE(int(m_port->setModemLine(SerialBackend::ModemLine::DTR, false)),
             int(SerialBackend::ModemResult::CannotSet));
    QCOMPARE(int(m_port->setModemLine(SerialBackend::ModemLine::RTS, true)),
             int(SerialBackend::ModemResult::CannotSet));
}

void tst_PosixSerialBackend::closedPortRefusesEverything()
{
    QVERIFY(m_port->close());
    QVERIFY(m_port->close());
    QVERIFY(!m_port->isOpen());
    QCOMPARE(m_port->handle(), -1);
    char buffer[4];
    QCOMPARE(m_port->read(buffer, 4), -1);
    QCOMPARE(m_port->write(buffer, 4), -1);
    QCOMPARE(m_port->inputQueue(), -1);
    QVERIFY(!m_port->configure({}));
    errno = 0;
    QCOMPARE(int(m_port->setModemLine(SerialBackend::ModemLine::DTR, true)),
             int(SerialBackend::ModemResult::Failed));
    QCOMPARE(errno, EBADF);
    m_port->wake(); // harmless
    QVERIFY(m_port->open(m_pty->devicePath()));
}

QTEST_GUILESS_MAIN(tst_PosixSerialBackend)
#include "tst_PosixSerialBackend.moc"
