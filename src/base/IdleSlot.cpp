#include "base/IdleSlot.h"

#include "base/TimerSource.h"

#include <QCoreApplication>

#include <map>
#include <memory>

namespace {

struct Slot
{
    std::function<void()> action;
    std::unique_ptr<ClockTimer> timer;
    quint64 source = 0; // serial of the source the timer came from
    // A timer replaced while its own expiry runs; freed once that has returned.
    std::unique_ptr<ClockTimer> retired;
    bool running = false;
    bool released = false; // the owner is gone: the slot goes once its action has returned
};

struct Slots
{
    // The application's slot under nullptr, and one per owner that asked for its own.
    std::map<const void *, Slot> byOwner;
    bool cleanupRegistered = false;
};

Slots &idleSlots()
{
    static Slots s;
    return s;
}

void run(const void *owner)
{
    auto &byOwner = idleSlots().byOwner;
    const auto it = byOwner.find(owner);
    if (it == byOwner.end())
        return;
    Slot &s = it->second;
    // Move the action out first: it may post the next one.
    auto action = std::move(s.action);
    s.action = nullptr;
    s.running = true;
    if (action)
        action();
    s.running = false;
    // A slot released meanwhile keeps its timer until this expiry has returned; the next post
    // frees it.
    if (s.released && s.timer)
        s.timer->stop();
}

// Frees the slots whose owners went while their action ran.
void sweepReleased()
{
    auto &byOwner = idleSlots().byOwner;
    for (auto it = byOwner.begin(); it != byOwner.end();) {
        if (it->second.released && !it->second.running)
            it = byOwner.erase(it);
        else
            ++it;
    }
}

// A real timer must not outlive the application object it was started under.
void releaseAtExit()
{
    Slots &s = idleSlots();
    s.byOwner.clear();
    s.cleanupRegistered = false;
}

} // namespace

namespace IdleSlot {

void post(TimerSource &timers, std::function<void()> action, const void *owner)
{
    Slots &all = idleSlots();
    sweepReleased();
    Slot &s = all.byOwner[owner];
    s.released = false;
    if (!s.running)
        s.retired.reset();
    if (!s.timer || s.source != timers.serial()) {
        if (s.running)
            s.retired = std::move(s.timer);
        s.timer = timers.createTimer([owner] { run(owner); });
        s.timer->setInterval(0);
        s.source = timers.serial();
        if (!all.cleanupRegistered && QCoreApplication::instance()) {
            qAddPostRoutine(releaseAtExit);
            all.cleanupRegistered = true;
        }
    }
    s.action = std::move(action);
    s.timer->start();
}

void post(TimerSource &timers, std::function<void()> action)
{
    post(timers, std::move(action), nullptr);
}

void post(std::function<void()> action)
{
    post(TimerSource::system(), std::move(action));
}

void release(const void *owner)
{
    auto &byOwner = idleSlots().byOwner;
    const auto it = byOwner.find(owner);
    if (!owner || it == byOwner.end())
        return;
    if (it->second.running) {
        it->second.action = nullptr;
        it->second.released = true;
        return;
    }
    byOwner.erase(it);
}

void cancel()
{
    for (auto &[owner, s] : idleSlots().byOwner) {
        s.action = nullptr;
        if (s.timer)
            s.timer->stop();
    }
}

bool pending()
{
    for (const auto &[owner, s] : idleSlots().byOwner) {
        if (s.action)
            return true;
    }
    return false;
}

} // namespace IdleSlot
