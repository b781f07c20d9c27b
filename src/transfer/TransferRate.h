#pragma once

#include <QString>
#include <QtGlobal>

#include <deque>
#include <functional>

// Rate and time left of a running transfer: bytes per second smoothed over a sliding window,
// so that a pause (the erase, a resent block) shows within seconds without the figure jumping
// on every block. Time comes from a monotonic millisecond clock that tests replace.
class TransferRate
{
public:
    using Clock = std::function<qint64()>; // monotonic milliseconds
    static Clock steadyClock();

    static constexpr qint64 DefaultWindowMs = 5000;
    // Below this much history the figure is a guess and not shown.
    static constexpr qint64 MinimumSpanMs = 500;

    explicit TransferRate(Clock clock = steadyClock(), qint64 windowMs = DefaultWindowMs);

    // Starts over for `total` bytes, `bytes` of them done already.
    void restart(qint64 total, qint64 bytes = 0);
    // Bytes done so far. Call it again without new bytes to let the rate fall during a stall.
    // Fewer bytes than before start the history over (a new pass).
    void update(qint64 bytes);
    void setTotal(qint64 total) { m_total = total; }

    qint64 bytes() const { return m_bytes; }
    qint64 total() const { return m_total; }
    bool hasRate() const;
    double bytesPerSecond() const; // 0 while !hasRate()
    qint64 secondsLeft() const; // -1 while unknown
    // "11.2 kB/s, 0:42 left"; "11.2 kB/s" without a total; empty while !hasRate().
    QString text() const;

    // The settled figure for the end: the average from restart() to the last bytes that came,
    // "4.3 kB/s average", with the time that took when `withTime` ("4.3 kB/s average, 1:08");
    // empty while no bytes came after restart().
    QString averageText(bool withTime) const;

    static QString rateText(double bytesPerSecond); // "980 B/s", "11.2 kB/s", "1.05 MB/s"
    static QString durationText(qint64 seconds); // "0:42", "12:05", "1:02:03"

private:
    struct Sample
    {
        qint64 time;
        qint64 bytes;
    };

    Clock m_clock;
    qint64 m_windowMs;
    qint64 m_total = 0;
    qint64 m_bytes = 0;
    std::deque<Sample> m_samples;
    Sample m_first {0, 0}; // at restart()
    Sample m_last {0, 0}; // the latest update that brought bytes
};
