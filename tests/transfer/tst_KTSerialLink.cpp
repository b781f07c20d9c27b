// The transfers' serial link over the component, on a fake port.
#include "comm/KTSerial.h"
#include "support/FakeSerialBackend.h"
#include "transfer/KTSerialLink.h"

#include <QTest>

#include <memory>

class tst_KTSerialLink : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void answersComeWithTheEvent();
    void lineErrorsAndVanishedPort();
    void closedLinkGivesNothing();

private:
    FakeSerialBackend *m_fake = nullptr; // owned by m_serial
    std::unique_ptr<TKTSerial> m_serial;
    std::unique_ptr<KTSerialLink> m_link;
};

void tst_KTSerialLink::init()
{
    auto fake = std::make_unique<FakeSerialBackend>();
    m_fake = fake.get();
    m_serial = std::make_unique<TKTSerial>(std::move(fake));
    m_serial->SetSyncEventHandling(true);
    m_link = std::make_unique<KTSerialLink>(*m_serial);
}

void tst_KTSerialLink::cleanup()
{
    m_link.reset();
    m_serial.reset();
}

void tst_KTSerialLink::answersComeWithTheEvent()
{
    // As a block transfer reads: a header byte first, the rest of the block later.
    QList<qint64> counts;
    QByteArray got;
    int txEmpty = 0;
    m_link->setHandlers({[&] {
                             const qint64 n = m_link->inputCount();
                             counts << n;
                             char buffer[4];
                             const qint64 r = m_link->read(buffer, qMin<qint64>(n, 4));
                             got.append(buffer, r);
                             if (r > 0)
                                 m_link->write(QByteArray(1, '\x55'));
                         },
                         [&] { ++txEmpty; },
                         [] {
                         }});
    m_link->setBaudrate(br115200);
    QCOMPARE(int(m_link->open().status), int(SerialLink::OpenStatus::Opened));
    QCOMPARE(m_fake->configurations().last().bitsPerSecond, 115200);

    m_fake->feed("\xAA");
    QVERIFY(QTest::qWaitFor([&] { return txEmpty == 1; }, 2000));
    m_fake->feed("123456");
    QVERIFY(QTest::qWaitFor([&] { return txEmpty == 2; }, 2000));
    // Two bytes were left; the next bytes bring them along.
    m_fake->feed("7");
    QVERIFY(QTest::qWaitFor([&] { return txEmpty == 3; }, 2000));
    QCOMPARE(counts, (QList<qint64> {1, 6, 3}));
    QCOMPARE(got,
             QByteArray("\xAA"
                        "1234"
                        "567"));
    QCOMPARE(m_fake->written(), QByteArray(3, '\x55'));
    // None of it asked the driver what was waiting.
    QCOMPARE(m_fake->inputQueueCalls(), 0);
    m_link->close();
    m_link->clearHandlers();
    QVERIFY(!m_serial->OnRxChar);
}

void tst_KTSerialLink::lineErrorsAndVanishedPort()
{
    QList<quint32> flags;
    m_link->setHandlers({[&] {
                             char buffer[8];
                             m_link->read(buffer, m_link->inputCount());
                         },
                         [] {},
                         [&] {
                             quint32 f = 0;
                             QVERIFY(m_link->takeLineErrors(&f));
                             flags << f;
                         }});
    QCOMPARE(int(m_link->open().status), int(SerialLink::OpenStatus::Opened));
    m_fake->countLineErrors({1, 0, 1, 0, 0}, QByteArray(1, '\0'));
    QVERIFY(QTest::qWaitFor([&] { return flags.size() == 1; }, 2000));
    QCOMPARE(flags.first(), quint32(CE_FRAME | CE_OVERRUN));
    m_fake->vanish();
    QVERIFY(QTest::qWaitFor([&] { return flags.size() == 2; }, 2000));
    QVERIFY(flags.last() & CE_IOE);
    QCOMPARE(m_link->write("x"), 0);
    m_link->close();
    QVERIFY(!m_link->isActive());
}

void tst_KTSerialLink::closedLinkGivesNothing()
{
    char buffer[4];
    QCOMPARE(m_link->inputCount(), 0);
    QCOMPARE(m_link->read(buffer, 4), 0);
    QCOMPARE(m_link->write("ab"), 0);
    quint32 flags = 0;
    QVERIFY(!m_link->takeLineErrors(&flags));
    QVERIFY(!m_link->lastErrorText().isEmpty());
    m_fake->setOpenError(EACCES);
    const SerialLink::OpenResult result = m_link->open();
    QCOMPARE(int(result.status), int(SerialLink::OpenStatus::Raised));
    errno = EACCES;
    QCOMPARE(result.message, SystemErrorText());
}

QTEST_GUILESS_MAIN(tst_KTSerialLink)
#include "tst_KTSerialLink.moc"
