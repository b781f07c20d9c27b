// The boot line sequence as a fixture's setting or --boot-lines writes it.
#include "transfer/BootLines.h"

#include <QtTest>

class tst_BootLines : public QObject
{
    Q_OBJECT
private slots:
    void validSequences_data();
    void validSequences();
    void malformedSequences_data();
    void malformedSequences();
};

void tst_BootLines::validSequences_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("canonical"); // empty: no sequence
    QTest::addColumn<int>("steps");

    QTest::newRow("fixture reset") << "dtr=1,rts=1,wait=50,dtr=0,wait=100,rts=0"
                                   << "dtr=1,rts=1,wait=50,dtr=0,wait=100,rts=0" << 6;
    QTest::newRow("blanks around steps and names in capitals") << "  DTR=1 , Rts=0,\tWAIT=5 "
                                                               << "dtr=1,rts=0,wait=5" << 3;
    QTest::newRow("wait bounds") << "wait=0,wait=10000"
                                 << "wait=0,wait=10000" << 2;
    const QString steps32 = QStringLiteral("dtr=1,").repeated(31) + "rts=0";
    QTest::newRow("32 steps") << steps32 << steps32 << 32;
    QTest::newRow("leading zeros") << "wait=0050"
                                   << "wait=50" << 1;
    QTest::newRow("empty is none") << ""
                                   << "" << 0;
    QTest::newRow("blanks only are none") << "   "
                                          << "" << 0;
}

void tst_BootLines::validSequences()
{
    QFETCH(QString, text);
    QFETCH(QString, canonical);
    QFETCH(int, steps);
    const BootLines::Sequence s = BootLines::parse(text);
    QVERIFY2(s.ok(), qPrintable(s.error));
    QCOMPARE(s.steps.size(), steps);
    QCOMPARE(BootLines::toText(s.steps), canonical);
    // The canonical text reads back as the same steps.
    QCOMPARE(BootLines::parse(canonical).steps, s.steps);
}

void tst_BootLines::malformedSequences_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");

    QTest::newRow("line level 2") << "dtr=1,rts=2"
                                  << "step 2 \"rts=2\": rts takes 0 or 1";
    QTest::newRow("line without level") << "dtr="
                                        << "step 1 \"dtr=\": dtr takes 0 or 1";
    QTest::newRow("level as word") << "dtr=on"
                                   << "step 1 \"dtr=on\": dtr takes 0 or 1";
    QTest::newRow("unknown line") << "dtr=1,cts=1"
                                  << "step 2 \"cts=1\": expected dtr=0|1, rts=0|1 or wait=MS";
    QTest::newRow("no equals sign") << "dtr"
                                    << "step 1 \"dtr\": expected dtr=0|1, rts=0|1 or wait=MS";
    QTest::newRow("blank inside step") << "dtr =1"
                                       << "step 1 \"dtr =1\": expected dtr=0|1, rts=0|1 or wait=MS";
    QTest::newRow("wait too long")
        << "wait=10001"
        << "step 1 \"wait=10001\": wait takes milliseconds from 0 to 10000";
    QTest::newRow("negative wait") << "wait=-5"
                                   << "step 1 \"wait=-5\": wait takes milliseconds from 0 to 10000";
    QTest::newRow("wait with unit")
        << "dtr=1,wait=50ms"
        << "step 2 \"wait=50ms\": wait takes milliseconds from 0 to 10000";
    QTest::newRow("hex wait") << "wait=0x10"
                              << "step 1 \"wait=0x10\": wait takes milliseconds from 0 to 10000";
    QTest::newRow("huge wait")
        << "wait=99999999999"
        << "step 1 \"wait=99999999999\": wait takes milliseconds from 0 to 10000";
    QTest::newRow("empty step") << "dtr=1,,rts=0"
                                << "step 2 is empty";
    QTest::newRow("trailing comma") << "dtr=1,rts=0,"
                                    << "step 3 is empty";
    QTest::newRow("33 steps") << QStringLiteral("dtr=1,").repeated(32) + "rts=0"
                              << "33 steps; a sequence has at most 32 steps and 10000 ms of "
                                 "waiting in all";
    QTest::newRow("waits past 10 s in all")
        << "dtr=1,wait=6000,rts=1,wait=4001"
        << "step 4 \"wait=4001\": the waits come to 10001 ms; a sequence has at most 32 steps "
           "and 10000 ms of waiting in all";
    QTest::newRow("semicolons") << "dtr=1;rts=0"
                                << "step 1 \"dtr=1;rts=0\": dtr takes 0 or 1";
}

void tst_BootLines::malformedSequences()
{
    QFETCH(QString, text);
    QFETCH(QString, error);
    const BootLines::Sequence s = BootLines::parse(text);
    QVERIFY(!s.ok());
    QCOMPARE(s.error, error);
    // Nothing of a malformed sequence may run.
    QVERIFY(s.steps.isEmpty());
}

QTEST_GUILESS_MAIN(tst_BootLines)
#include "tst_bootlines.moc"
