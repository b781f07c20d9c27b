#include "transfer/TransferRate.h"

#include <QElapsedTimer>

#include <cmath>
#include <memory>

TransferRate::Clock TransferRate::steadyClock()
{
    auto timer = std::make_shared<QElapsedTimer>();
    timer->start();
    return [timer] {
        return timer->elapsed();
    };
}

TransferRate::TransferRate(Clock clock, qint64 windowMs)
    : m_clock(std::move(clock)), m_windowMs(windowMs)
{
    Q_ASSERT(m_clock && m_windowMs >= MinimumSpanMs);
}

void TransferRate::restart(qint64 total, qint64 bytes)
{
    m_total = total;
    m_bytes = bytes;
    m_samples.clear();
    m_samples.push_back({m_clock(), bytes});
    m_first = m_last = m_samples.back();
}

void TransferRate::update(qint64 bytes)
{
    const qint64 now = m_clock();
    if (bytes < m_bytes || m_samples.empty()) {
        restart(m_total, bytes);
        return;
    }
    if (bytes > m_bytes)
        m_last = {now, bytes};
    m_bytes = bytes;
    if (!m_samples.empty() && m_samples.back().time == now)
        m_samples.back().bytes = bytes;
    else
        m_samples.push_back({now, bytes});
    // Keep one sample at or before the window's start, so the span covers the whole window.
    while (m_samples.size() > 2 && m_samples[1].time <= now - m_windowMs)
        m_samples.pop_front();
}

bool TransferRate::hasRate() const
{
    return m_samples.size() >= 2 && m_samples.back().time - m_samples.front().time >= MinimumSpanMs;
}

double TransferRate::bytesPerSecond() const
{
    if (!hasRate())
        return 0;
    const Sample &first = m_samples.front();
    const Sample &last = m_samples.back();
    return double(last.bytes - first.bytes) * 1000.0 / double(last.time - first.time);
}

qint64 TransferRate::secondsLeft() const
{
    const double rate = bytesPerSecond();
    if (m_total <= 0 || rate <= 0)
        return m_total > 0 && m_bytes >= m_total ? 0 : -1;
    return std::llround(std::ceil(double(std::max<qint64>(0, m_total - m_bytes)) / rate));
}

QString TransferRate::text() const
{
    if (!hasRate())
        return {};
    const QString rate = rateText(bytesPerSecond());
    const qint64 left = secondsLeft();
    if (left < 0)
        return rate;
    return QStringLiteral("%1, %2 left").arg(rate, durationText(left));
}

QString TransferRate::averageText(bool withTime) const
{
    const qint64 span = m_last.time - m_first.time;
    if (m_last.bytes <= m_first.bytes || span <= 0)
        return {};
    const QString average = rateText(double(m_last.bytes - m_first.bytes) * 1000.0 / double(span))
        + QStringLiteral(" average");
    if (!withTime)
        return average;
    return QStringLiteral("%1, %2").arg(average, durationText((span + 500) / 1000));
}

QString TransferRate::rateText(double bytesPerSecond)
{
    if (bytesPerSecond < 999.5)
        return QStringLiteral("%1 B/s").arg(std::lround(std::max(0.0, bytesPerSecond)));
    if (bytesPerSecond < 999.95e3)
        return QStringLiteral("%1 kB/s").arg(bytesPerSecond / 1e3, 0, 'f', 1);
    return QStringLiteral("%1 MB/s").arg(bytesPerSecond / 1e6, 0, 'f', 2);
}

QString TransferRate::durationText(qint64 seconds)
{
    seconds = std::max<qint64>(0, seconds);
    const qint64 h = seconds / 3600;
    const qint64 m = seconds / 60 % 60;
    const qint64 s = seconds % 60;
    if (h > 0)
        return QStringLiteral("%1:%2:%3")
            .arg(h)
            .arg(m, 2, 10, QLatin1Char('0'))
            .arg(s, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}
