#include "base/TimerSource.h"

#include "base/PreciseTimerSource.h"

#include <atomic>

namespace {

std::atomic<quint64> nextSerial {1};

} // namespace

TimerSource::TimerSource() : m_serial(nextSerial.fetch_add(1, std::memory_order_relaxed)) { }

TimerSource &TimerSource::system()
{
    static PreciseTimerSource source;
    return source;
}
