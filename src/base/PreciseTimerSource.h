#pragma once

#include "base/TimerSource.h"

#include <QElapsedTimer>

// Real time. Its timers are precise: Qt's default coarse timers may fire up to 5 % early, which
// turns the 2000 ms wait for the identification into 1.9 s.
class PreciseTimerSource : public TimerSource
{
public:
    PreciseTimerSource();

    [[nodiscard]] std::unique_ptr<ClockTimer> createTimer(std::function<void()> onTimeout) override;
    qint64 monotonicMs() const override { return m_clock.elapsed(); }
    QDateTime now() const override { return QDateTime::currentDateTimeUtc(); }

private:
    QElapsedTimer m_clock;
};
