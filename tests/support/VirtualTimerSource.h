#pragma once

#include "base/TimerSource.h"

#include <memory>

// Virtual time for tests: nothing fires until the test advances the clock, and then every timer
// that falls due fires at its own deadline, in deadline order (timers due at the same moment in
// the order they were started), including timers that the callbacks start on the way. A
// zero-interval timer (an idle action) is due at once and fires on the next advance(), settle()
// included. Time never passes on its own, so a test never waits for a real time-out.
class VirtualTimerSource : public TimerSource
{
public:
    VirtualTimerSource();
    ~VirtualTimerSource() override;

    [[nodiscard]] std::unique_ptr<ClockTimer> createTimer(std::function<void()> onTimeout) override;
    qint64 monotonicMs() const override;
    QDateTime now() const override;

    // Moves the clock `ms` forward, firing what falls due on the way.
    void advance(qint64 ms);
    // Fires what is due now.
    void settle() { advance(0); }
    // Advances from deadline to deadline until `done` holds or `limitMs` have passed; returns
    // done(). The clock stops at the deadline that made it true.
    bool advanceUntil(const std::function<bool()> &done, qint64 limitMs);
    // Milliseconds until the next timer falls due, or -1 when none runs.
    qint64 nextDueIn() const;
    // The calendar time that virtual time 0 stands for.
    static QDateTime epoch();

    struct State;

private:
    std::shared_ptr<State> m_state;
};
