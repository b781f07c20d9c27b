#pragma once

#include <functional>

class TimerSource;

// The application's single idle-event slot: at most one action, run once when the event loop
// next has nothing else to do. Posting replaces an action that has not run yet. Transfers use
// it to start, to switch from RS-232 to CAN and to finish outside of any port or timer event.
// GUI (main) thread only.
namespace IdleSlot {

// The action runs on a zero-interval timer of `timers`: in real time once the event queue has
// been worked off, in a test's virtual time when the test next advances it.
void post(TimerSource &timers, std::function<void()> action);
// As above, in a slot of `owner`'s own: actions of different owners do not replace each other
// (several transfers running at once each have theirs). release() frees it.
void post(TimerSource &timers, std::function<void()> action, const void *owner);
// As above, on the system's timers.
void post(std::function<void()> action);
// Drops `owner`'s slot and its pending action; safe from inside that action.
void release(const void *owner);
// Drops every pending action without running it (a window that closes first).
void cancel();
bool pending();

} // namespace IdleSlot
