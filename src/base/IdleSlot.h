#pragma once

#include <functional>

// The application's single idle-event slot: at most one action, run once when the event loop
// next has nothing else to do. Posting replaces an action that has not run yet. Transfers use
// it to start, to switch from RS-232 to CAN and to finish outside of any port or timer event.
// GUI (main) thread only.
namespace IdleSlot {

void post(std::function<void()> action);
// Drops a pending action without running it (a window that closes first).
void cancel();
bool pending();

} // namespace IdleSlot
