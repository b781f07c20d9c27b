#include "base/IdleSlot.h"
#include "base/PreciseTimerSource.h"
#include "support/VirtualTimerSource.h"

#include <QElapsedTimer>
#include <QtTest>

// The clocks the transfers run on: virtual time keeps QTimer's rules, the idle slot follows the
// source it is posted on, and the real timers never fire early.
class tst_TimerSource : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { IdleSlot::cancel(); }
    void virtualTimersFireAtTheirDeadlines();
    void restartRules();
    void timersStartedOnTheWayFire();
    void timerMayOutliveItsSource();
    void advanceUntilStopsAtTheDeadline();
    void idleSlotRunsTheLastActionOnce();
    void idleSlotFollowsTheSource();
    void idleSlotsOfOwnersStandApart();
    void preciseTimersNeverFireEarly();
};

void tst_TimerSource::virtualTimersFireAtTheirDeadlines()
{
    VirtualTimerSource clock;
    QStringList fired;
    auto timer = [&](const QString &name, int ms) {
        auto t = clock.createTimer(
            [&, name] { fired << QStringLiteral("%1@%2").arg(name).arg(clock.monotonicMs()); });
        t->setInterval(ms);
        t->start();
        return t;
    };
    const auto slow = timer(QStringLiteral("slow"), 30);
    const auto first = timer(QStringLiteral("first"), 10);
    const auto second = timer(QStringLiteral("second"), 10);
    const auto idle = timer(QStringLiteral("idle"), 0);
    QVERIFY(fired.isEmpty()); // nothing without advancing
    clock.advance(9);
    QCOMPARE(fired, QStringList({"idle@0"}));
    clock.advance(1);
    QCOMPARE(fired, QStringList({"idle@0", "first@10", "second@10"}));
    QVERIFY(!first->isActive());
    clock.advance(100);
    QCOMPARE(fired.last(), QStringLiteral("slow@30"));
    QCOMPARE(clock.monotonicMs(), 110);
    QCOMPARE(clock.now(), VirtualTimerSource::epoch().addMSecs(110));
    QCOMPARE(clock.nextDueIn(), -1);
}

void tst_TimerSource::restartRules()
{
    VirtualTimerSource clock;
    int fired = 0;
    const auto t = clock.createTimer([&] { ++fired; });
    t->setInterval(100);
    QVERIFY(!t->isActive()); // setting the interval does not start it
    t->start();
    clock.advance(60);
    t->start(); // starts the full interval over
    clock.advance(60);
    QCOMPARE(fired, 0);
    t->setInterval(100); // a running timer restarts, even with the same interval
    clock.advance(99);
    QCOMPARE(fired, 0);
    t->setInterval(10);
    QCOMPARE(clock.nextDueIn(), 10);
    clock.advance(10);
    QCOMPARE(fired, 1);
    clock.advance(1000); // single-shot
    QCOMPARE(fired, 1);
    t->start();
    t->stop();
    clock.advance(1000);
    QCOMPARE(fired, 1);
}

void tst_TimerSource::timersStartedOnTheWayFire()
{
    VirtualTimerSource clock;
    QList<qint64> at;
    std::unique_ptr<ClockTimer> second = clock.createTimer([&] { at << clock.monotonicMs(); });
    second->setInterval(25);
    std::unique_ptr<ClockTimer> first = clock.createTimer([&] {
        at << clock.monotonicMs();
        second->start();
        first.reset(); // a timer may be freed by its own expiry
    });
    first->setInterval(50);
    first->start();
    clock.advance(80);
    QCOMPARE(at, QList<qint64>({50, 75}));
}

void tst_TimerSource::timerMayOutliveItsSource()
{
    std::unique_ptr<ClockTimer> t;
    {
        VirtualTimerSource clock;
        t = clock.createTimer([] { QFAIL("fired after its source was gone"); });
        t->setInterval(5);
        t->start();
    }
    QVERIFY(!t->isActive());
    t->start();
    t->setInterval(7);
    QCOMPARE(t->interval(), 7);
}

void tst_TimerSource::advanceUntilStopsAtTheDeadline()
{
    VirtualTimerSource clock;
    bool done = false;
    const auto t = clock.createTimer([&] { done = true; });
    t->setInterval(1500);
    t->start();
    QVERIFY(!clock.advanceUntil([&] { return done; }, 1000));
    QCOMPARE(clock.monotonicMs(), 1000);
    QVERIFY(clock.advanceUntil([&] { return done; }, 5000));
    QCOMPARE(clock.monotonicMs(), 1500);
}

void tst_TimerSource::idleSlotRunsTheLastActionOnce()
{
    VirtualTimerSource clock;
    QStringList ran;
    IdleSlot::post(clock, [&] { ran << QStringLiteral("replaced"); });
    IdleSlot::post(clock, [&] {
        ran << QStringLiteral("first");
        // An action may post the next one.
        IdleSlot::post(clock, [&] { ran << QStringLiteral("next"); });
    });
    QVERIFY(IdleSlot::pending());
    QVERIFY(ran.isEmpty());
    clock.settle();
    QCOMPARE(ran, QStringList({"first", "next"}));
    QVERIFY(!IdleSlot::pending());
    clock.advance(1000);
    QCOMPARE(ran.size(), 2);

    IdleSlot::post(clock, [&] { ran << QStringLiteral("cancelled"); });
    IdleSlot::cancel();
    clock.settle();
    QCOMPARE(ran.size(), 2);
}

void tst_TimerSource::idleSlotsOfOwnersStandApart()
{
    VirtualTimerSource clock;
    QStringList ran;
    int a = 0;
    int b = 0;
    IdleSlot::post(clock, [&] { ran << QStringLiteral("a replaced"); }, &a);
    IdleSlot::post(clock, [&] { ran << QStringLiteral("b"); }, &b);
    IdleSlot::post(clock, [&] { ran << QStringLiteral("a"); }, &a);
    IdleSlot::post(clock, [&] { ran << QStringLiteral("application"); });
    clock.settle();
    ran.sort();
    QCOMPARE(ran, QStringList({"a", "application", "b"}));

    // An owner that goes from inside its own action (a transfer freed by its last listener),
    // and one that goes with an action pending: neither runs again.
    ran.clear();
    IdleSlot::post(
        clock,
        [&] {
            ran << QStringLiteral("a once");
            IdleSlot::post(clock, [&] { ran << QStringLiteral("a after release"); }, &a);
            IdleSlot::release(&a);
        },
        &a);
    IdleSlot::post(clock, [&] { ran << QStringLiteral("b released"); }, &b);
    IdleSlot::release(&b);
    clock.settle();
    QCOMPARE(ran, QStringList({"a once"}));
    QVERIFY(!IdleSlot::pending());
    IdleSlot::post(clock, [&] { ran << QStringLiteral("a again"); }, &a);
    clock.settle();
    QCOMPARE(ran, QStringList({"a once", "a again"}));
    IdleSlot::release(&a);
}

void tst_TimerSource::idleSlotFollowsTheSource()
{
    int ran = 0;
    for (int round = 0; round < 3; ++round) {
        // Each source in turn, possibly where the last one was freed.
        auto clock = std::make_unique<VirtualTimerSource>();
        IdleSlot::post(*clock, [&] { ++ran; });
        clock->settle();
        QCOMPARE(ran, round + 1);
    }
    VirtualTimerSource a;
    VirtualTimerSource b;
    IdleSlot::post(a, [&] { ++ran; });
    IdleSlot::post(b, [&] { ran += 10; });
    a.settle();
    QCOMPARE(ran, 3);
    b.settle();
    QCOMPARE(ran, 13);

    // The system's source runs it from the event loop.
    IdleSlot::post([&] { ++ran; });
    QTRY_COMPARE(ran, 14);
}

void tst_TimerSource::preciseTimersNeverFireEarly()
{
    PreciseTimerSource source;
    constexpr int Timers = 5;
    constexpr int IntervalMs = 40;
    QList<qint64> elapsed(Timers, -1);
    int fired = 0;
    QElapsedTimer clock;
    std::vector<std::unique_ptr<ClockTimer>> timers;
    for (int i = 0; i < Timers; ++i) {
        timers.push_back(source.createTimer([&, i] {
            elapsed[i] = clock.elapsed();
            ++fired;
        }));
        timers.back()->setInterval(IntervalMs + i);
    }
    const qint64 startMs = source.monotonicMs();
    clock.start();
    for (auto &t : timers)
        t->start();
    QTRY_COMPARE(fired, Timers);
    for (int i = 0; i < Timers; ++i)
        QVERIFY2(elapsed[i] >= IntervalMs + i, qPrintable(QString::number(elapsed[i])));
    QVERIFY(source.monotonicMs() - startMs >= IntervalMs + Timers - 1);
}

QTEST_GUILESS_MAIN(tst_TimerSource)
#include "tst_timersource.moc"
