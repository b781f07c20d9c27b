#pragma once

#include "comm/SerialBackend.h"

#include <atomic>
#include <mutex>

// The line error flags (CE_* bits) of one opening until ClearCommError takes them: failures the
// component saw (I/O errors, a line that went down) and what the driver's error counters grew
// by. The worker collects as it goes; any thread may take.
class SerialLineErrors
{
public:
    // A new opening: nothing pending, the counters as they stand now.
    void reset(SerialBackend &backend);
    void raise(quint32 flags);
    // Adds what the counters grew by since the last look; true when they grew.
    bool collect(SerialBackend &backend);
    // Everything pending, with a fresh look at the counters; cleared.
    quint32 take(SerialBackend &backend);
    // Only what has been collected or raised so far, without asking the driver; cleared.
    quint32 takeSeen() { return m_pending.exchange(0); }
    // False where the driver keeps no counters.
    bool hasCounters() const;

    // CE_* flags for the counters that grew from before to now.
    static quint32 flagsBetween(const SerialBackend::ErrorCounters &before,
                                const SerialBackend::ErrorCounters &now);

private:
    mutable std::mutex m_mutex;
    bool m_haveCounters = false;
    SerialBackend::ErrorCounters m_counters;
    std::atomic<quint32> m_pending {0};
};
