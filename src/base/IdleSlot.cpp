#include "base/IdleSlot.h"

#include "base/TimerSource.h"

#include <QCoreApplication>

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
    bool cleanupRegistered = false;
};

Slot &slot()
{
    static Slot s;
    return s;
}

void run()
{
    Slot &s = slot();
    // Move the action out first: it may post the next one.
    auto action = std::move(s.action);
    s.action = nullptr;
    s.running = true;
    if (action)
        action();
    s.running = false;
}

// A real timer must not outlive the application object it was started under.
void releaseAtExit()
{
    Slot &s = slot();
    s.action = nullptr;
    s.timer.reset();
    s.retired.reset();
    s.source = 0;
    s.cleanupRegistered = false;
}

} // namespace

namespace IdleSlot {

void post(TimerSource &timers, std::function<void()> action)
{
    Slot &s = slot();
    if (!s.running)
        s.retired.reset();
    if (!s.timer || s.source != timers.serial()) {
        if (s.running)
            s.retired = std::move(s.timer);
        s.timer = timers.createTimer(run);
        s.timer->setInterval(0);
        s.source = timers.serial();
        if (!s.cleanupRegistered && QCoreApplication::instance()) {
            qAddPostRoutine(releaseAtExit);
            s.cleanupRegistered = true;
        }
    }
    s.action = std::move(action);
    s.timer->start();
}

void post(std::function<void()> action)
{
    post(TimerSource::system(), std::move(action));
}

void cancel()
{
    Slot &s = slot();
    s.action = nullptr;
    if (s.timer)
        s.timer->stop();
}

bool pending()
{
    return static_cast<bool>(slot().action);
}

} // namespace IdleSlot
