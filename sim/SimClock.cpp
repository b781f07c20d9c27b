#include "SimClock.h"

#include <sys/prctl.h>

#include <cerrno>
#include <chrono>
#include <ctime>

namespace {

const std::chrono::steady_clock::time_point g_start = std::chrono::steady_clock::now();

} // namespace

namespace SimClock {

Micros now()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now()
                                                                 - g_start)
        .count();
}

void sleepUntil(Micros when)
{
    // Waking from a sleep takes some tens of microseconds on a busy machine; sleep until
    // shortly before and spin the rest, so a paced byte leaves on time rather than late.
    constexpr Micros SpinMargin = 60;
    sleepPrecisely(when - SpinMargin);
    while (now() < when) { }
}

void sleepPrecisely(Micros when)
{
    if (when <= now())
        return;
    const auto target = g_start + std::chrono::microseconds(when);
    const auto sinceEpoch = target.time_since_epoch();
    timespec ts {};
    ts.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count();
    ts.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(
                     sinceEpoch - std::chrono::seconds(ts.tv_sec))
                     .count();
    // steady_clock is CLOCK_MONOTONIC on Linux.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) { }
}

void makeTimersPrecise()
{
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
}

} // namespace SimClock
