#pragma once

#include <QtGlobal>

// Microseconds on the monotonic clock since the simulator started. Every time stamp in the
// device model, the links and the trace is on this scale, so a reply can be dated from the
// moment its request finished arriving on the (simulated) line.
namespace SimClock {

using Micros = qint64;

Micros now();

// Sleeps until the given time with microsecond precision (absolute, so late wake-ups do not
// add up). Returns at once when the time has passed.
void sleepUntil(Micros when);
// The sleep alone, without the final spin.
void sleepPrecisely(Micros when);

// Lowers the kernel's timer slack so that short sleeps end on time; called once at start.
void makeTimersPrecise();

} // namespace SimClock
