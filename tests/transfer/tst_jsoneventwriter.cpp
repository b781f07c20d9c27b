#include "transfer/JsonEventWriter.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

// The JSON progress feed: the line of each event, the throttle of the progress lines in
// virtual time, and the port tag.
class tst_JsonEventWriter : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void eventLines_data();
    void eventLines();
    void recordsTravelWhole();
    void progressIsThrottled();
    void heldBackProgressGoesOutLater();
    void rateAndTimeLeft();
    void rateCountsFromTheFirstDataByte();
    void portOnEveryLine();
    void nothingAfterFinished();
    void writesToADevice();

private:
    JsonEventWriter writer();
    QList<QJsonObject> objects() const;

    qint64 m_now = 0;
    QList<QByteArray> m_lines;
    QList<qint64> m_times; // when each line went out
};

namespace {

TransferEvent makeEvent(TransferEvent::Kind kind)
{
    TransferEvent e;
    e.kind = kind;
    return e;
}

TransferEvent progress(qint64 bytes, qint64 total)
{
    TransferEvent e = makeEvent(TransferEvent::Kind::Progress);
    e.bytes = bytes;
    e.total = total;
    return e;
}

TransferEvent started(qint64 total)
{
    TransferEvent e = makeEvent(TransferEvent::Kind::Started);
    e.record.id = QStringLiteral("id-1");
    e.record.totalBytes = total;
    return e;
}

TransferEvent finished()
{
    TransferEvent e = makeEvent(TransferEvent::Kind::Finished);
    e.record.id = QStringLiteral("id-1");
    e.record.outcome = TransferOutcome::Success;
    return e;
}

} // namespace

void tst_JsonEventWriter::init()
{
    m_now = 0;
    m_lines.clear();
    m_times.clear();
}

JsonEventWriter tst_JsonEventWriter::writer()
{
    return JsonEventWriter(
        [this](const QByteArray &line) {
            m_lines.append(line);
            m_times.append(m_now);
        },
        [this] { return m_now; });
}

QList<QJsonObject> tst_JsonEventWriter::objects() const
{
    QList<QJsonObject> list;
    for (const QByteArray &line : m_lines) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !line.endsWith('\n')
            || line.count('\n') != 1)
            qWarning("not one JSON line: %s", line.constData());
        list.append(doc.object());
    }
    return list;
}

void tst_JsonEventWriter::eventLines_data()
{
    QTest::addColumn<TransferEvent>("event");
    QTest::addColumn<QByteArray>("line");
    TransferEvent phase = makeEvent(TransferEvent::Kind::Phase);
    phase.phase = TransferPhase::Erase;
    QTest::newRow("phase") << phase << QByteArray(R"({"event":"phase","phase":"erase"})");
    phase.phase = TransferPhase::BootPrompt;
    QTest::newRow("boot prompt") << phase
                                 << QByteArray(R"({"event":"phase","phase":"boot-prompt"})");
    TransferEvent log = makeEvent(TransferEvent::Kind::Log);
    log.text = QStringLiteral("Target-ID: C5 \"quoted\"\ttab ü");
    QTest::newRow("log") << log
                         << QByteArray(R"({"event":"log","text":"Target-ID: C5 \"quoted\"\ttab )")
            + QByteArray("\xc3\xbc\"}");
    QTest::newRow("first progress")
        << progress(32, 65536)
        << QByteArray(R"({"event":"progress","bytes":32,"eta_s":null,"rate":null,"total":65536})");
}

void tst_JsonEventWriter::eventLines()
{
    QFETCH(TransferEvent, event);
    QFETCH(QByteArray, line);
    JsonEventWriter w = writer();
    w.handle(event);
    QCOMPARE(m_lines.size(), 1);
    QCOMPARE(m_lines.first(), line + '\n');
}

void tst_JsonEventWriter::recordsTravelWhole()
{
    JsonEventWriter w = writer();
    TransferEvent start = started(4096);
    start.record.reportText = QStringLiteral("line one\nline two");
    w.handle(start);
    TransferEvent end = finished();
    end.record.hasFailure = true;
    end.record.failedPhase = TransferPhase::Data;
    end.record.failedSector = 3;
    w.handle(end);
    QCOMPARE(m_lines.size(), 2);
    QVERIFY(m_lines.at(0).startsWith(R"({"event":"started","record":{)"));
    QVERIFY(m_lines.at(1).startsWith(R"({"event":"finished","record":{)"));
    const QList<QJsonObject> o = objects();
    QCOMPARE(o.at(0).value("record").toObject(), start.record.toJson());
    QCOMPARE(o.at(1).value("record").toObject(), end.record.toJson());
}

void tst_JsonEventWriter::progressIsThrottled()
{
    // A block every 7 ms for 10 s: 1429 progress events.
    JsonEventWriter w = writer();
    w.handle(started(1429 * 32));
    qint64 bytes = 0;
    for (int i = 0; i < 1429; ++i) {
        m_now += 7;
        w.handle(progress(bytes += 32, 1429 * 32));
    }
    w.handle(finished());

    const QList<QJsonObject> o = objects();
    QList<qint64> times;
    qint64 lastBytes = -1;
    for (qsizetype i = 0; i < o.size(); ++i) {
        if (o.at(i).value("event").toString() != QLatin1String("progress"))
            continue;
        QVERIFY(o.at(i).value("bytes").toInteger() > lastBytes);
        lastBytes = o.at(i).value("bytes").toInteger();
        times.append(m_times.at(i));
    }
    // Ten a second at most; only the final figure, sent with "finished", may come sooner.
    for (qsizetype i = 1; i + 1 < times.size(); ++i)
        QVERIFY2(times.at(i) - times.at(i - 1) >= JsonEventWriter::ProgressIntervalMs,
                 qPrintable(QString::number(times.at(i))));
    const qsizetype progressLines = o.size() - 2;
    QVERIFY2(progressLines >= 95 && progressLines <= 101,
             qPrintable(QString::number(progressLines)));
    // The final figure is never swallowed by the throttle.
    QCOMPARE(o.at(o.size() - 2).value("event").toString(), QStringLiteral("progress"));
    QCOMPARE(o.at(o.size() - 2).value("bytes").toInteger(), 1429 * 32);
    QCOMPARE(o.last().value("event").toString(), QStringLiteral("finished"));
}

void tst_JsonEventWriter::heldBackProgressGoesOutLater()
{
    JsonEventWriter w = writer();
    w.handle(started(1000));
    w.handle(progress(100, 1000)); // out at once
    m_now += 30;
    w.handle(progress(200, 1000)); // held back
    w.handle(makeEvent(TransferEvent::Kind::Log));
    QCOMPARE(m_lines.size(), 3);
    m_now += 80; // its turn has come: it goes out ahead of the next line, in order
    w.handle(makeEvent(TransferEvent::Kind::Log));
    QCOMPARE(m_lines.size(), 5);
    QVERIFY(m_lines.at(3).contains(R"("bytes":200)"));
    QVERIFY(m_lines.at(4).startsWith(R"({"event":"log")"));
    // Nothing held back now: finished adds no progress line of its own.
    w.handle(finished());
    QCOMPARE(m_lines.size(), 6);
}

void tst_JsonEventWriter::rateAndTimeLeft()
{
    JsonEventWriter w = writer();
    w.handle(started(0)); // the total comes with the progress
    for (int i = 1; i <= 20; ++i) {
        m_now += 100;
        w.handle(progress(i * 1152, 115200));
    }
    const QJsonObject last = objects().last();
    QCOMPARE(last.value("rate").toInteger(), 11520);
    QCOMPARE(last.value("total").toInteger(), 115200);
    QCOMPARE(last.value("eta_s").toInteger(), 8); // 92160 bytes left at 11520 B/s
}

void tst_JsonEventWriter::rateCountsFromTheFirstDataByte()
{
    // Seven seconds of loader and erase, then two seconds of blocks at 11520 B/s: the figure is
    // the blocks' rate, not held down by the wait before them.
    JsonEventWriter w = writer();
    w.handle(started(115200));
    m_now += 3000;
    w.handle(progress(0, 115200));
    m_now += 4000;
    for (int i = 1; i <= 20; ++i) {
        m_now += 100;
        w.handle(progress(i * 1152, 115200));
    }
    const QJsonObject last = objects().last();
    QCOMPARE(last.value("rate").toInteger(), 11520);
    QCOMPARE(last.value("eta_s").toInteger(), 8);
}

void tst_JsonEventWriter::portOnEveryLine()
{
    JsonEventWriter w = writer();
    w.setPort(QStringLiteral("COM3"));
    w.handle(started(10));
    TransferEvent phase = makeEvent(TransferEvent::Kind::Phase);
    w.handle(phase);
    w.handle(makeEvent(TransferEvent::Kind::Log));
    w.handle(progress(5, 10));
    w.handle(finished());
    const QList<QJsonObject> o = objects();
    QCOMPARE(o.size(), 5);
    for (const QJsonObject &line : o)
        QCOMPARE(line.value("port").toString(), QStringLiteral("COM3"));
    QCOMPARE(m_lines.at(1),
             QByteArray(R"({"event":"phase","phase":"starting","port":"COM3"})") + '\n');
}

void tst_JsonEventWriter::nothingAfterFinished()
{
    JsonEventWriter w = writer();
    w.handle(started(10));
    w.handle(finished());
    w.handle(makeEvent(TransferEvent::Kind::Log));
    w.handle(progress(10, 10));
    w.handle(finished());
    QCOMPARE(m_lines.size(), 2);
    // A new transfer through the same writer starts afresh.
    w.handle(started(10));
    w.handle(progress(10, 10));
    QCOMPARE(m_lines.size(), 4);
}

void tst_JsonEventWriter::writesToADevice()
{
    QBuffer buffer;
    QVERIFY(buffer.open(QIODevice::WriteOnly));
    JsonEventWriter w(&buffer, [this] { return m_now; });
    w.handle(makeEvent(TransferEvent::Kind::Log));
    QCOMPARE(buffer.data(), QByteArray(R"({"event":"log","text":""})") + '\n');
}

QTEST_GUILESS_MAIN(tst_JsonEventWriter)
#include "tst_jsoneventwriter.moc"
