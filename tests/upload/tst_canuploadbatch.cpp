#include "upload/CANUploadBatch.h"

#include <QTest>

namespace {

TCANMsg message(quint32 id, const QByteArray &data)
{
    TCANMsg m;
    m.ID = id;
    m.Len = quint8(data.size());
    for (int i = 0; i < data.size() && i < 8; ++i)
        m.Data[i] = quint8(data[i]);
    return m;
}

TCANMsg dataMessage(int slot, int len = 8)
{
    QByteArray d;
    for (int i = 0; i < len; ++i)
        d.append(char(slot * 8 + i));
    return message(CANUploadBatch::DataIds[slot], d);
}

TCANMsg status(quint8 b)
{
    return message(CANUploadBatch::StatusId, QByteArray(1, char(b)));
}

using Event = CANUploadBatch::Event;

} // namespace

class TestCANUploadBatch : public QObject
{
    Q_OBJECT

private slots:
    void anyOrder_data();
    void anyOrder();
    void shortDataMessageNeverCompletes();
    void foreignAndEmptyMessages();
    void endOfDataRightAway();
    void sameIdentifierTwice();
};

void TestCANUploadBatch::anyOrder_data()
{
    // Order of arrival: 0..3 data slots, 4 the status.
    QTest::addColumn<QList<int>>("order");
    QTest::newRow("data first") << QList<int> {0, 1, 2, 3, 4};
    QTest::newRow("status first") << QList<int> {4, 0, 1, 2, 3};
    QTest::newRow("reversed") << QList<int> {3, 2, 4, 1, 0};
    QTest::newRow("status in the middle") << QList<int> {1, 4, 3, 0, 2};
}

void TestCANUploadBatch::anyOrder()
{
    QFETCH(QList<int>, order);
    QByteArray expected;
    for (int i = 0; i < 32; ++i)
        expected.append(char(i));

    CANUploadBatch batch;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < order.size(); ++i) {
            const TCANMsg m = order[i] == 4 ? status(0x20) : dataMessage(order[i]);
            const Event e = batch.take(m);
            QCOMPARE(e, i + 1 == order.size() ? Event::Complete : Event::Waiting);
        }
        QCOMPARE(batch.batch(), expected);
        batch.clear();
    }
}

void TestCANUploadBatch::shortDataMessageNeverCompletes()
{
    CANUploadBatch batch;
    QCOMPARE(batch.take(dataMessage(0)), Event::Waiting);
    QCOMPARE(batch.take(dataMessage(1, 7)), Event::Waiting);
    QCOMPARE(batch.take(dataMessage(2)), Event::Waiting);
    QCOMPARE(batch.take(dataMessage(3)), Event::Waiting);
    QCOMPARE(batch.take(status(0x20)), Event::Waiting);
    QCOMPARE(batch.take(status(0x20)), Event::Waiting);
}

void TestCANUploadBatch::foreignAndEmptyMessages()
{
    CANUploadBatch batch;
    QCOMPARE(batch.take(message(0x63F, QByteArray(1, 0x55))), Event::Foreign);
    QCOMPARE(batch.take(message(0x1BE, QByteArray(8, 0))), Event::Foreign);
    QCOMPARE(batch.take(message(CANUploadBatch::StatusId, QByteArray())), Event::Empty);
    // An empty status message does not count as a status.
    for (int s = 0; s < 4; ++s)
        QCOMPARE(batch.take(dataMessage(s)), Event::Waiting);
}

void TestCANUploadBatch::endOfDataRightAway()
{
    CANUploadBatch batch;
    QCOMPARE(batch.take(status(0x00)), Event::EndOfData);
    batch.clear();
    QCOMPARE(batch.take(dataMessage(0)), Event::Waiting);
    // Other status bytes keep the batch waiting.
    QCOMPARE(batch.take(status(0x33)), Event::Waiting);
    QCOMPARE(batch.take(status(0x00)), Event::EndOfData);
}

void TestCANUploadBatch::sameIdentifierTwice()
{
    // The same message again is a frame delivered twice; a different one is a conflict.
    CANUploadBatch batch;
    QCOMPARE(batch.take(message(0x1BF, QByteArray(8, 'a'))), Event::Waiting);
    QCOMPARE(batch.take(message(0x1BF, QByteArray(8, 'a'))), Event::Waiting);
    QCOMPARE(batch.take(message(0x1BF, QByteArray(8, 'b'))), Event::Conflict);
    QCOMPARE(batch.conflictId(), 0x1BFu);
    for (int s = 1; s < 4; ++s)
        batch.take(dataMessage(s));
    QCOMPARE(batch.take(status(0x20)), Event::Complete);
    QCOMPARE(batch.batch().left(8), QByteArray(8, 'a'));
}

QTEST_GUILESS_MAIN(TestCANUploadBatch)
#include "tst_canuploadbatch.moc"
