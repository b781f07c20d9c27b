#pragma once

// One single-shot timer of a TimerSource, with QTimer's rules for the intervals: starting a
// running timer starts its full interval over, and changing the interval of a running timer
// restarts it. The expiry calls the function given when the timer was created; the timer is
// stopped by then. GUI (main) thread only.
class ClockTimer
{
public:
    virtual ~ClockTimer() = default;

    virtual void setInterval(int ms) = 0;
    virtual int interval() const = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
};
