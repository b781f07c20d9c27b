#include "transfer/TransferRate.h"

#include <QtTest>

// The rate and time-left estimator, in virtual time.
class tst_TransferRate : public QObject
{
    Q_OBJECT
private slots:
    void steadyRate();
    void noFigureFromTooLittleHistory();
    void windowFollowsAChange();
    void stallLetsTheRateFall();
    void newPassStartsOver();
    void rateText_data();
    void rateText();
    void durationText_data();
    void durationText();

private:
    qint64 m_now = 0;
    TransferRate::Clock clock()
    {
        return [this] {
            return m_now;
        };
    }
};

void tst_TransferRate::steadyRate()
{
    m_now = 1000;
    TransferRate rate(clock());
    rate.restart(11200 * 52, 0);
    // 11.2 kB/s in blocks every 100 ms for 10 s.
    for (int i = 1; i <= 100; ++i) {
        m_now += 100;
        rate.update(qint64(i) * 1120);
    }
    QVERIFY(rate.hasRate());
    QCOMPARE(qRound(rate.bytesPerSecond()), 11200);
    QCOMPARE(rate.secondsLeft(), 42);
    QCOMPARE(rate.text(), QStringLiteral("11.2 kB/s, 0:42 left"));

    rate.setTotal(0);
    QCOMPARE(rate.text(), QStringLiteral("11.2 kB/s")); // no total, no time left
    rate.setTotal(11200 * 52);
    m_now += 100;
    rate.update(11200 * 52);
    QCOMPARE(rate.secondsLeft(), 0);
}

void tst_TransferRate::noFigureFromTooLittleHistory()
{
    TransferRate rate(clock());
    QVERIFY(!rate.hasRate());
    QCOMPARE(rate.text(), QString());
    rate.restart(1000);
    QCOMPARE(rate.secondsLeft(), -1);
    m_now += TransferRate::MinimumSpanMs - 1;
    rate.update(400);
    QVERIFY(!rate.hasRate());
    QCOMPARE(rate.bytesPerSecond(), 0.0);
    QCOMPARE(rate.text(), QString());
    m_now += 1;
    rate.update(500);
    QVERIFY(rate.hasRate());
    QCOMPARE(rate.bytesPerSecond(), 1000.0);
    QCOMPARE(rate.text(), QStringLiteral("1.0 kB/s, 0:01 left"));
}

void tst_TransferRate::windowFollowsAChange()
{
    TransferRate rate(clock(), 5000);
    rate.restart(10'000'000);
    qint64 bytes = 0;
    for (int i = 0; i < 200; ++i) { // 20 s at 10 kB/s
        m_now += 100;
        rate.update(bytes += 1000);
    }
    QCOMPARE(qRound(rate.bytesPerSecond()), 10000);
    for (int i = 0; i < 50; ++i) { // the line speeds up to 50 kB/s
        m_now += 100;
        rate.update(bytes += 5000);
    }
    // A whole window later the old speed is forgotten, not averaged in.
    QCOMPARE(qRound(rate.bytesPerSecond()), 50000);
    QCOMPARE(rate.secondsLeft(), (10'000'000 - bytes + 49'999) / 50'000);
    // The settled figure at the end is the whole run's average, not the window's.
    QCOMPARE(rate.averageText(true), QStringLiteral("18.0 kB/s average, 0:25"));
}

void tst_TransferRate::stallLetsTheRateFall()
{
    TransferRate rate(clock(), 5000);
    rate.restart(100000);
    for (int i = 1; i <= 50; ++i) {
        m_now += 100;
        rate.update(i * 1000);
    }
    QCOMPARE(qRound(rate.bytesPerSecond()), 10000);
    m_now += 2500; // half a window without a byte (an erase)
    rate.update(50000);
    QCOMPARE(qRound(rate.bytesPerSecond()), 5000);
    m_now += 5000;
    rate.update(50000);
    QCOMPARE(rate.bytesPerSecond(), 0.0);
    QCOMPARE(rate.secondsLeft(), -1);
    QCOMPARE(rate.text(), QStringLiteral("0 B/s"));
    // Up to the last bytes that came: a break during the stall does not drag the average down.
    QCOMPARE(rate.averageText(false), QStringLiteral("10.0 kB/s average"));
    QCOMPARE(TransferRate(clock()).averageText(true), QString());
}

void tst_TransferRate::newPassStartsOver()
{
    TransferRate rate(clock());
    rate.restart(2000);
    m_now += 1000;
    rate.update(2000);
    QCOMPARE(rate.bytesPerSecond(), 2000.0);
    // Fewer bytes than before: a second pass (the NV part after the flash), not a negative rate.
    m_now += 100;
    rate.update(100);
    QVERIFY(!rate.hasRate());
    QCOMPARE(rate.bytes(), 100);
    m_now += 1000;
    rate.update(600);
    QCOMPARE(rate.bytesPerSecond(), 500.0);
}

void tst_TransferRate::rateText_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0.0 << "0 B/s";
    QTest::newRow("bytes") << 980.4 << "980 B/s";
    QTest::newRow("rounds up into kB") << 999.6 << "1.0 kB/s";
    QTest::newRow("115200 bit/s") << 11520.0 << "11.5 kB/s";
    QTest::newRow("just under 1 MB") << 999'960.0 << "1.00 MB/s";
    QTest::newRow("MB") << 1'050'000.0 << "1.05 MB/s";
}

void tst_TransferRate::rateText()
{
    QFETCH(double, rate);
    QFETCH(QString, text);
    QCOMPARE(TransferRate::rateText(rate), text);
}

void tst_TransferRate::durationText_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << qint64(0) << "0:00";
    QTest::newRow("negative") << qint64(-5) << "0:00";
    QTest::newRow("seconds") << qint64(42) << "0:42";
    QTest::newRow("minutes") << qint64(12 * 60 + 5) << "12:05";
    QTest::newRow("hours") << qint64(3600 + 2 * 60 + 3) << "1:02:03";
}

void tst_TransferRate::durationText()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, text);
    QCOMPARE(TransferRate::durationText(seconds), text);
}

QTEST_GUILESS_MAIN(tst_TransferRate)
#include "tst_transferrate.moc"
