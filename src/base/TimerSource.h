#pragma once

#include "base/ClockTimer.h"

#include <QDateTime>
#include <QtGlobal>

#include <functional>
#include <memory>

// Where transfers take their time from: the watchdog, the short waits, the idle actions, the
// used time and the time stamps of a record. The program runs on system(); tests hand in virtual
// time that they advance themselves, so that no test waits for a real time-out.
class TimerSource
{
public:
    TimerSource();
    virtual ~TimerSource() = default;
    TimerSource(const TimerSource &) = delete;
    TimerSource &operator=(const TimerSource &) = delete;

    // A stopped timer whose expiry calls `onTimeout`. It may outlive the source; it then never
    // fires again.
    [[nodiscard]] virtual std::unique_ptr<ClockTimer> createTimer(std::function<void()> onTimeout)
        = 0;
    // Milliseconds on a clock that never jumps; only differences mean anything.
    virtual qint64 monotonicMs() const = 0;
    // Calendar time, for the start and end of a record.
    virtual QDateTime now() const = 0;

    // Tells sources apart even when one is created where another was freed.
    quint64 serial() const { return m_serial; }

    // The program's source: precise timers and the system's clocks.
    static TimerSource &system();

private:
    quint64 m_serial;
};
