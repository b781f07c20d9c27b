#include "base/IdleSlot.h"

#include <QCoreApplication>
#include <QTimer>

namespace {

struct Slot
{
    std::function<void()> action;
    QTimer *timer = nullptr;
};

Slot &slot()
{
    static Slot s;
    return s;
}

void run()
{
    // Move the action out first: it may post the next one.
    auto action = std::move(slot().action);
    slot().action = nullptr;
    if (action)
        action();
}

} // namespace

namespace IdleSlot {

void post(std::function<void()> action)
{
    Slot &s = slot();
    if (!s.timer) {
        // A zero-interval timer fires once the event queue has been worked off.
        s.timer = new QTimer(QCoreApplication::instance());
        s.timer->setSingleShot(true);
        s.timer->setInterval(0);
        QObject::connect(s.timer, &QTimer::timeout, run);
        QObject::connect(s.timer, &QObject::destroyed, [] { slot().timer = nullptr; });
    }
    s.action = std::move(action);
    s.timer->start();
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
